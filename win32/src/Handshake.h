#pragma once

#include "win32layer/Win32Api.h"

#include <cstdint>

namespace win32layer {

// The server's answer to a new connection and its reading on the client side (see WireFormat).
// Stateless; any thread.
class Handshake {
public:
    // Sends [answer][flags], passing controlFd along with it when it is not -1. False if the
    // client has already gone.
    static bool send(int socketFd, uint8_t answer, uint8_t flags, int controlFd);

    // Waits up to timeoutMs for the server's answer. Returns ERROR_SUCCESS with the pipe flags and
    // the control socket; ERROR_PIPE_BUSY when the instance is taken (or the server does not answer
    // in time); ERROR_FILE_NOT_FOUND when the server went away; ERROR_BAD_PIPE when what came back
    // is not a handshake.
    static DWORD receive(int socketFd, int timeoutMs, uint8_t* flags, int* controlFd);
};

}  // namespace win32layer
