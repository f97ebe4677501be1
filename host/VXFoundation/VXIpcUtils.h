#pragma once

#include "VXFoundation/VXFoundationExport.h"

#include <QString>

#include <cstddef>

// Conversions used on the wire between the host and other processes.
//
// Byte order: integers travel LITTLE-ENDIAN, least significant byte first. The length prefix of
// every pipe frame is written with IntToBytes(n, buffer, 4) and read with BytesToInt(buffer, 0);
// the other process must use the same order. Example: 2049 -> 01 08 00 00.
class VXFOUNDATION_EXPORT VXIpcUtils
{
public:
    // Stores the `length` low-order bytes of `value` (at most 4; a longer buffer gets zeros after
    // the fourth byte) at `bytes`, least significant first.
    static void IntToBytes(int value, unsigned char* bytes, size_t length);
    // Reads the 4 bytes at `bytes + offset` written by IntToBytes(value, ..., 4).
    static int BytesToInt(const unsigned char* bytes, int offset);
    // Writes `text` as a NUL-terminated wide string; `buffer` must hold text.size() + 1 wide
    // characters. Returns the number of wide characters written before the NUL.
    static int CharToWchar(const QString& text, wchar_t* buffer);
};
