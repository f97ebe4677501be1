// libFuzzer target for the frame reassembly. The first input byte seeds how the rest is cut into
// chunks; the rest is the byte stream a chat client could send. Checked on every input:
//  - reassembly never hangs or crashes, and each call consumes what it was given;
//  - between calls the buffer holds at most one incomplete frame (fewer than 4 bytes, or fewer
//    than the 4 + N its valid length field announces);
//  - when no length field had to be dropped, the payloads are the same however the stream was
//    cut: exactly those of reading it in one piece.

#include "PlatformKKWrapper/VXPipeFrame.h"

#include <QByteArray>
#include <QList>

#include <cstdint>
#include <cstdlib>

namespace {

struct Result
{
    QList<QByteArray> payloads;
    bool dropped = false;
};

bool OneIncompleteFrameAtMost(const QByteArray& buffer)
{
    if (buffer.size() < VXPipeFrame::kLengthSize)
        return true;
    const int length = VXPipeFrame::ReadLength(buffer.constData());
    return length >= 0 && length <= VXPipeFrame::kMaxPayload &&
           buffer.size() < VXPipeFrame::kLengthSize + length;
}

Result Feed(const uint8_t* data, size_t size, uint32_t seed)
{
    Result result;
    QByteArray buffer;
    size_t offset = 0;
    uint32_t state = seed * 2654435761u + 1;
    while (offset < size) {
        state = state * 1103515245u + 12345u;
        const size_t chunk = seed == 0 ? size : 1 + (state >> 16) % 300;
        const size_t take = chunk < size - offset ? chunk : size - offset;
        const auto outcome = VXPipeFrame::Reassemble(buffer, reinterpret_cast<const char*>(data + offset), int(take),
                                                     [&](const QByteArray& payload) { result.payloads.append(payload); });
        result.dropped = result.dropped || outcome.dropped;
        if (!OneIncompleteFrameAtMost(buffer))
            std::abort();
        offset += take;
    }
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0 || size > (1 << 20))
        return 0;
    const uint32_t seed = data[0];
    const Result chunked = Feed(data + 1, size - 1, seed == 0 ? 1 : seed);
    const Result whole = Feed(data + 1, size - 1, 0);
    if (!chunked.dropped && !whole.dropped && chunked.payloads != whole.payloads)
        std::abort();
    return 0;
}
