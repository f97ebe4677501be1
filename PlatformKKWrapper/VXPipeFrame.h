#pragma once

#include <QByteArray>

#include <climits>

// The frame both pipes carry: a 4-byte payload length N (a signed 32-bit count, in the byte order
// of VXIpcUtils: little-endian) followed by N payload bytes.
//
// Building and reassembly are pure functions on byte arrays, testable without a pipe. The
// reassembly treats what arrives as a byte stream: a frame may be split over several chunks
// and one chunk may hold several frames.
class VXPipeFrame
{
public:
    static constexpr int kLengthSize = 4;
    // The largest payload whose frame size N + 4 still fits a signed 32-bit int.
    static constexpr int kMaxPayload = INT_MAX - kLengthSize;
    static_assert(kMaxPayload == 2147483643, "frame size must fit a signed 32-bit int");
    // The longest payload the module accepts from a client unless the host configures another
    // limit: far above any real message, far below what would exhaust the host's memory.
    static constexpr int kDefaultPayloadLimit = 128 * 1024 * 1024;  // bytes
    // A reassembly buffer that has grown past this for a large frame gives its memory back once
    // that frame is out, so one large message does not stay pinned for the connection's life.
    static constexpr int kKeptCapacity = 64 * 1024;  // bytes

    // What Reassemble() did with one chunk.
    struct Outcome
    {
        int payloads = 0;       // complete payloads handed to the sink
        bool dropped = false;   // a length field was negative or over the limit: the buffer was dropped
        int badLength = 0;      // that length field
        int droppedBytes = 0;   // how many buffered bytes were dropped with it
    };

    // The frame of `payload`: its length in 4 bytes, then the payload.
    static QByteArray Pack(const QByteArray& payload);
    // Makes `frame` the frame of `payload`, reusing the memory `frame` already holds.
    static void PackInto(QByteArray& frame, const QByteArray& payload);

    // Appends `chunk` to `buffer` and hands every complete payload to `sink`, in order. Each
    // frame's bytes leave the buffer right after its payload has been handed over, so between
    // calls the buffer holds at most one incomplete frame. A length field that is negative or
    // larger than `payloadLimit` (at most kMaxPayload) is not accepted: the whole buffer is
    // dropped (there is no way to find the next frame boundary in a byte stream), the outcome
    // says so, and nothing is ever allocated for that length. The loop never repeats without
    // consuming bytes.
    template <typename Sink>
    static Outcome Reassemble(QByteArray& buffer, const char* chunk, int size, Sink&& sink,
                              int payloadLimit = kMaxPayload);

    static int ReadLength(const char* bytes);
};

template <typename Sink>
VXPipeFrame::Outcome VXPipeFrame::Reassemble(QByteArray& buffer, const char* chunk, int size, Sink&& sink,
                                             int payloadLimit)
{
    Outcome outcome;
    buffer.append(chunk, size);
    while (buffer.size() >= kLengthSize) {
        const int length = ReadLength(buffer.constData());
        if (length < 0 || length > payloadLimit || length > kMaxPayload) {
            outcome.dropped = true;
            outcome.badLength = length;
            outcome.droppedBytes = buffer.size();
            buffer = QByteArray();  // frees it: clear() would keep the capacity
            return outcome;
        }
        if (buffer.size() - kLengthSize < length)
            break;  // incomplete: wait for the next chunk
        sink(buffer.mid(kLengthSize, length));
        buffer.remove(0, kLengthSize + length);
        ++outcome.payloads;
    }
    if (buffer.capacity() > kKeptCapacity && buffer.size() < buffer.capacity() / 4)
        buffer = buffer.isEmpty() ? QByteArray() : QByteArray(buffer.constData(), buffer.size());
    return outcome;
}
