#include "VXFoundation/VXIpcUtils.h"

#include <cstdint>

void VXIpcUtils::IntToBytes(int value, unsigned char* bytes, size_t length)
{
    const uint32_t bits = static_cast<uint32_t>(value);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = i < 4 ? static_cast<unsigned char>(bits >> (8 * i)) : 0;
}

int VXIpcUtils::BytesToInt(const unsigned char* bytes, int offset)
{
    const unsigned char* p = bytes + offset;
    const uint32_t bits = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    return static_cast<int>(bits);
}

int VXIpcUtils::CharToWchar(const QString& text, wchar_t* buffer)
{
    const int written = text.toWCharArray(buffer);
    buffer[written] = L'\0';
    return written;
}
