#pragma once

#include <cstddef>
#include <cstdint>

namespace win32layer {

// What travels on a pipe's sockets.
//
// Data socket, both directions: one record per WriteFile,
//     [length: 4 bytes, little endian][length bytes]
// Zero-length records are the empty messages of message-type pipes. 0xFFFFFFFF is not a valid
// length, so a message is at most 0xFFFFFFFE bytes (and WriteFile takes a DWORD anyway).
//
// Handshake, server to client, right after the server accepts a connection:
//     [answer: 1 byte][pipe flags: 1 byte]
// The kernel completes connect() from its backlog before the server has decided anything, so the
// client waits for this answer to learn whether it got the instance ("connected") or must report
// ERROR_PIPE_BUSY ("busy"; the server closes the socket after it). A "connected" answer carries, as
// SCM_RIGHTS, one end of a socket pair: the control socket.
//
// Control socket, server to client: a single kControlDisconnected byte, written by
// DisconnectNamedPipe before the data socket is closed. It travels beside the data rather than in
// it, so it reaches the client even when the data socket's buffer is full or a message is half
// sent; a data socket that ends without it means the server closed its handle.
class WireFormat {
public:
    static constexpr size_t kHeaderBytes = 4;
    static constexpr uint32_t kMaxMessageBytes = 0xFFFFFFFEu;

    static constexpr uint8_t kAnswerConnected = 'C';
    static constexpr uint8_t kAnswerBusy = 'B';
    static constexpr size_t kHandshakeBytes = 2;
    // Pipe flags in the handshake.
    static constexpr uint8_t kFlagMessageType = 0x01;
    static constexpr uint8_t kFlagServerReads = 0x02;
    static constexpr uint8_t kFlagServerWrites = 0x04;

    static constexpr uint8_t kControlDisconnected = 'D';

    static void encodeHeader(uint32_t length, uint8_t out[kHeaderBytes])
    {
        for (size_t i = 0; i < kHeaderBytes; ++i)
            out[i] = static_cast<uint8_t>(length >> (8 * i));
    }

    static uint32_t decodeHeader(const uint8_t in[kHeaderBytes])
    {
        uint32_t length = 0;
        for (size_t i = 0; i < kHeaderBytes; ++i)
            length |= static_cast<uint32_t>(in[i]) << (8 * i);
        return length;
    }
};

static_assert(WireFormat::kHeaderBytes == sizeof(uint32_t), "record header is one 32-bit length");

}  // namespace win32layer
