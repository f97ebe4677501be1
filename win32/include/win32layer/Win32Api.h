// The one header through which all code reaches named pipes, events and overlapped I/O.
//
// On Windows it is <windows.h> and nothing else. Elsewhere it declares the same types, constants and
// functions, implemented by the Win32Layer library on Unix sockets; values and signatures are those
// of the Windows SDK, so code written against it compiles and behaves alike on both.
#pragma once

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#else  // !_WIN32

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define WIN32LAYER_EXPORT __attribute__((visibility("default")))
#else
#define WIN32LAYER_EXPORT
#endif

#define WINAPI

#ifdef __cplusplus
extern "C" {
#endif

typedef int BOOL;
typedef unsigned char BYTE;
// 32 bits as on Windows; "unsigned long" would be 64 bits on LP64 Linux.
typedef unsigned int DWORD;
typedef DWORD* LPDWORD;
typedef void* HANDLE;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef uintptr_t ULONG_PTR;
// wchar_t is 32 bits on Linux: names are passed as L"" literals or QString::toWCharArray output.
typedef wchar_t WCHAR;
typedef const WCHAR* LPCWSTR;
typedef WCHAR* LPWSTR;

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

// Field names and order as in the Windows SDK. Internal holds the NTSTATUS of the operation
// (0x103 while it is pending), InternalHigh the number of bytes transferred.
typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        LPVOID Pointer;
    };
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

#define TRUE 1
#define FALSE 0

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INFINITE 0xFFFFFFFFu

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64

#define PIPE_ACCESS_INBOUND 0x00000001u
#define PIPE_ACCESS_OUTBOUND 0x00000002u
#define PIPE_ACCESS_DUPLEX 0x00000003u
#define FILE_FLAG_FIRST_PIPE_INSTANCE 0x00080000u
#define FILE_FLAG_OVERLAPPED 0x40000000u

#define PIPE_TYPE_BYTE 0x00000000u
#define PIPE_TYPE_MESSAGE 0x00000004u
#define PIPE_READMODE_BYTE 0x00000000u
#define PIPE_READMODE_MESSAGE 0x00000002u
#define PIPE_WAIT 0x00000000u
#define PIPE_NOWAIT 0x00000001u
#define PIPE_ACCEPT_REMOTE_CLIENTS 0x00000000u
#define PIPE_REJECT_REMOTE_CLIENTS 0x00000008u
#define PIPE_UNLIMITED_INSTANCES 255u

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_WRITE_ATTRIBUTES 0x00000100u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u

#define NMPWAIT_USE_DEFAULT_WAIT 0x00000000u
#define NMPWAIT_NOWAIT 0x00000001u
#define NMPWAIT_WAIT_FOREVER 0xFFFFFFFFu

#define ERROR_SUCCESS 0u
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_TOO_MANY_OPEN_FILES 4u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_GEN_FAILURE 31u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_BROKEN_PIPE 109u
#define ERROR_SEM_TIMEOUT 121u
#define ERROR_INVALID_NAME 123u
#define ERROR_FILENAME_EXCED_RANGE 206u
#define ERROR_BAD_PIPE 230u
#define ERROR_PIPE_BUSY 231u
#define ERROR_NO_DATA 232u
#define ERROR_PIPE_NOT_CONNECTED 233u
#define ERROR_MORE_DATA 234u
#define ERROR_PIPE_CONNECTED 535u
#define ERROR_PIPE_LISTENING 536u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_IO_INCOMPLETE 996u
#define ERROR_IO_PENDING 997u
#define ERROR_NOT_FOUND 1168u

WIN32LAYER_EXPORT HANDLE WINAPI CreateNamedPipeW(LPCWSTR lpName, DWORD dwOpenMode, DWORD dwPipeMode,
                                                 DWORD nMaxInstances, DWORD nOutBufferSize,
                                                 DWORD nInBufferSize, DWORD nDefaultTimeOut,
                                                 LPSECURITY_ATTRIBUTES lpSecurityAttributes);
WIN32LAYER_EXPORT BOOL WINAPI ConnectNamedPipe(HANDLE hNamedPipe, LPOVERLAPPED lpOverlapped);
WIN32LAYER_EXPORT BOOL WINAPI DisconnectNamedPipe(HANDLE hNamedPipe);
WIN32LAYER_EXPORT HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                            LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                            DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                            HANDLE hTemplateFile);
WIN32LAYER_EXPORT BOOL WINAPI SetNamedPipeHandleState(HANDLE hNamedPipe, LPDWORD lpMode,
                                                      LPDWORD lpMaxCollectionCount,
                                                      LPDWORD lpCollectDataTimeout);
WIN32LAYER_EXPORT BOOL WINAPI WaitNamedPipeW(LPCWSTR lpNamedPipeName, DWORD nTimeOut);

WIN32LAYER_EXPORT BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                       LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
WIN32LAYER_EXPORT BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                        LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
WIN32LAYER_EXPORT BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                                  LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
WIN32LAYER_EXPORT BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped);

WIN32LAYER_EXPORT HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                             BOOL bInitialState, LPCWSTR lpName);
WIN32LAYER_EXPORT BOOL WINAPI SetEvent(HANDLE hEvent);
WIN32LAYER_EXPORT BOOL WINAPI ResetEvent(HANDLE hEvent);
WIN32LAYER_EXPORT DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
WIN32LAYER_EXPORT DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                                      DWORD dwMilliseconds);

WIN32LAYER_EXPORT BOOL WINAPI CloseHandle(HANDLE hObject);
WIN32LAYER_EXPORT DWORD WINAPI GetLastError(void);
WIN32LAYER_EXPORT void WINAPI SetLastError(DWORD dwErrCode);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // !_WIN32
