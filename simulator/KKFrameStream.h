#pragma once

#include <QByteArray>
#include <QList>

#include <climits>

// The frame both pipes carry, as the chat client sees it: a payload length N in 4 bytes (a signed
// 32-bit integer, least significant byte first) followed by the N payload bytes.
//
// Pack() builds one frame. Append() takes bytes as they come off a pipe and returns every payload
// they complete: a frame may arrive split over any number of reads, and one read may hold several
// frames. Pure and not thread-aware: one thread at a time uses an instance (the endpoint's reader
// thread while it runs, the endpoint's owner between runs).
class KKFrameStream
{
public:
    static constexpr int kLengthSize = 4;
    // The largest payload whose frame, N + 4 bytes, still fits a signed 32-bit int.
    static constexpr int kMaxPayload = INT_MAX - kLengthSize;
    static_assert(kMaxPayload == 2147483643, "a frame's size must fit a signed 32-bit int");

    struct Result
    {
        QList<QByteArray> payloads;  // complete payloads, in order
        // A length field was negative or above kMaxPayload. Nothing tells where the next frame
        // would start, so everything buffered (that field included) was dropped.
        bool dropped = false;
        int badLength = 0;
        int droppedBytes = 0;
    };

    static QByteArray Pack(const QByteArray& payload);

    Result Append(const char* data, int size);
    // Bytes of an incomplete frame held back for the next Append().
    int Buffered() const { return m_buffer.size(); }
    void Clear() { m_buffer.clear(); }

private:
    // Cuts the complete frames at the start of `bytes` into `result`; returns how many bytes
    // they took (all of them when a bad length drops the rest).
    static int Cut(const char* bytes, int size, Result* result);

    QByteArray m_buffer;
};
