// libFuzzer target for everything a chat client's bytes go through in the module: the frame
// reassembly with a payload limit, the message text form, and the dispatch to the host's
// callback (a recording one). Input: one byte that seeds how the rest is cut into chunks, one
// byte that picks the payload limit, then the byte stream a client could send. Checked on every
// input:
//  - nothing crashes, hangs or leaks, and every call consumes what it was given;
//  - between calls the reassembly buffer holds at most one incomplete frame whose length was
//    accepted;
//  - a length outside the limit ends the stream there, and the payloads before it are the same
//    however the stream was cut: exactly those of reading it in one piece;
//  - the dispatch makes at most one callback per payload.

#include "ManagerInspector.h"
#include "RecordingCallback.h"

#include "PlatformKKWrapper/VXKopkopManager.h"
#include "PlatformKKWrapper/VXPipeFrame.h"

#include <QByteArray>
#include <QList>

#include <cstdint>
#include <cstdlib>

namespace {

struct Result
{
    QList<QByteArray> payloads;
    bool ended = false;  // a length was refused: the module ends the connection there
};

bool OneAcceptedIncompleteFrameAtMost(const QByteArray& buffer, int limit)
{
    if (buffer.size() < VXPipeFrame::kLengthSize)
        return true;
    const int length = VXPipeFrame::ReadLength(buffer.constData());
    return length >= 0 && length <= limit && buffer.size() < VXPipeFrame::kLengthSize + length;
}

Result Feed(const uint8_t* data, size_t size, uint32_t seed, int limit)
{
    Result result;
    QByteArray buffer;
    size_t offset = 0;
    uint32_t state = seed * 2654435761u + 1;
    while (offset < size && !result.ended) {
        state = state * 1103515245u + 12345u;
        const size_t chunk = seed == 0 ? size : 1 + (state >> 16) % 3000;
        const size_t take = chunk < size - offset ? chunk : size - offset;
        const auto outcome = VXPipeFrame::Reassemble(
            buffer, reinterpret_cast<const char*>(data + offset), int(take),
            [&](const QByteArray& payload) { result.payloads.append(payload); }, limit);
        result.ended = outcome.dropped;
        if (outcome.dropped ? !buffer.isEmpty() : !OneAcceptedIncompleteFrameAtMost(buffer, limit))
            std::abort();
        offset += take;
    }
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2 || size > (1 << 20))
        return 0;
    const uint32_t seed = data[0];
    // Small limits make the fuzzer meet the refusal often; the top half is the module's default.
    const int limit = data[1] & 0x80 ? VXPipeFrame::kDefaultPayloadLimit : 1 + (data[1] * 37) % 4096;
    const Result chunked = Feed(data + 2, size - 2, seed == 0 ? 1 : seed, limit);
    const Result whole = Feed(data + 2, size - 2, 0, limit);
    if (chunked.payloads != whole.payloads || chunked.ended != whole.ended)
        std::abort();

    // One manager for the whole run, never initialised: no pipes, no threads, no client to start;
    // what the start-up report would send out has nowhere to go.
    static VXKopkopManager manager;
    static RecordingCallback callback;
    static const bool registered = (manager.SetKKCallback(&callback), true);
    (void)registered;
    callback.calls.clear();
    VXKopkopManagerInspector inspect(&manager);
    for (const QByteArray& payload : whole.payloads)
        inspect.ReadData(payload);
    if (callback.calls.size() > whole.payloads.size())
        std::abort();
    return 0;
}
