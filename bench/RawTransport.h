#pragma once

#include "win32layer/Win32Api.h"

#include <QString>
#include <QVector>

// The raw transport the module stands on, without the module: two threads of this process
// exchanging the same frames (a 4-byte length and the payload, one write per frame) over a
// socket pair or over a pair of our Win32 layer's pipe ends created as the module creates them.
// The reader reads in chunks of a given size and counts complete frames.
//
// Used from one thread (the benchmark's); the writer thread it starts lives only for one run.
class RawTransport
{
public:
    enum Kind { SocketPair, Win32Pipe };

    struct Cost
    {
        double writerCpuSeconds = 0;
        double readerCpuSeconds = 0;
        qint64 writerSyscalls = -1;  // -1: not counted
        qint64 readerSyscalls = -1;
    };

    explicit RawTransport(Kind kind);
    ~RawTransport();
    RawTransport(const RawTransport&) = delete;
    RawTransport& operator=(const RawTransport&) = delete;

    bool IsOpen() const;
    static QString KindName(Kind kind);

    // Writes `count` frames of `payloadSize` bytes in a thread of its own while this thread reads
    // them in `readSize` chunks. Returns the seconds from the first write to the last frame read.
    double OneWay(int count, int payloadSize, int readSize, Cost* cost = nullptr, bool countSyscalls = false);
    // Ping-pong of one small frame between the two threads; microseconds per round trip.
    QVector<double> RoundTrips(int samples, int payloadSize);
    // Ping-pong of one small frame between this process and a child of it, over a socket pair,
    // one thread on each side with blocking reads: the floor of any two-process design.
    static QVector<double> ProcessRoundTrips(int samples, int payloadSize);

private:
    bool WriteAll(bool fromFirst, const char* data, int size);
    // Reads once into `buffer`; returns bytes read, or -1 when the connection failed.
    int ReadSome(bool intoFirst, char* buffer, int size);

    Kind m_kind;
    int m_fds[2] = {-1, -1};             // socket pair: [0] writes, [1] reads (and back for round trips)
    HANDLE m_server = INVALID_HANDLE_VALUE;  // pipe: the server end writes
    HANDLE m_client = INVALID_HANDLE_VALUE;  // pipe: the client end reads
    HANDLE m_serverEvent = nullptr;
};
