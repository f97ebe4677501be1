#include "PlatformKKWrapper/VXPipeInstance.h"

#include "VXFoundation/VXIpcUtils.h"

#include <QDebug>

HANDLE VXPipeInstance::Create(const QString& name)
{
    // Wide enough for the longest accepted name and its terminator, also where a wide character
    // is 4 bytes and a surrogate pair becomes one character.
    wchar_t wideName[kMaxNameLength + 1];
    HANDLE pipe = INVALID_HANDLE_VALUE;
    if (name.size() > kMaxNameLength) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
    } else {
        VXIpcUtils::CharToWchar(name, wideName);
        pipe = CreateNamedPipeW(wideName, kOpenMode, kPipeMode, 1, kBufferSize, kBufferSize, 0, nullptr);
    }
    if (pipe == INVALID_HANDLE_VALUE) {
        // Read before anything else runs: on Windows, Qt's logging itself resets the last error.
        const DWORD error = GetLastError();
        qDebug().noquote() << QStringLiteral("CreateNamedPipe failed with %1./n").arg(error);
    }
    return pipe;
}

void VXPipeInstance::CloseHandles(HANDLE& connectEvent, HANDLE& exitEvent, HANDLE& pipe)
{
    if (connectEvent)
        CloseHandle(connectEvent);
    if (exitEvent)
        CloseHandle(exitEvent);
    connectEvent = exitEvent = nullptr;
    if (pipe && pipe != INVALID_HANDLE_VALUE)
        CloseHandle(pipe);
    pipe = nullptr;
}
