#include "PlatformKKWrapper/VXPipeFrame.h"

#include "VXFoundation/VXIpcUtils.h"

QByteArray VXPipeFrame::Pack(const QByteArray& payload)
{
    unsigned char length[kLengthSize];
    VXIpcUtils::IntToBytes(payload.size(), length, kLengthSize);
    QByteArray frame;
    frame.reserve(kLengthSize + payload.size());
    frame.append(reinterpret_cast<const char*>(length), kLengthSize);
    frame.append(payload);
    return frame;
}

int VXPipeFrame::ReadLength(const char* bytes)
{
    return VXIpcUtils::BytesToInt(reinterpret_cast<const unsigned char*>(bytes), 0);
}
