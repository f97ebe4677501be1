#include "PlatformKKWrapper/VXPipeFrame.h"

#include "VXFoundation/VXIpcUtils.h"

#include <cstring>

QByteArray VXPipeFrame::Pack(const QByteArray& payload)
{
    QByteArray frame;
    PackInto(frame, payload);
    return frame;
}

void VXPipeFrame::PackInto(QByteArray& frame, const QByteArray& payload)
{
    // resize() keeps a detached buffer's capacity, so a frame reused for each write stops
    // allocating once it has held the largest one.
    frame.resize(kLengthSize + payload.size());
    char* bytes = frame.data();
    VXIpcUtils::IntToBytes(payload.size(), reinterpret_cast<unsigned char*>(bytes), kLengthSize);
    if (!payload.isEmpty())
        std::memcpy(bytes + kLengthSize, payload.constData(), size_t(payload.size()));
}

int VXPipeFrame::ReadLength(const char* bytes)
{
    return VXIpcUtils::BytesToInt(reinterpret_cast<const unsigned char*>(bytes), 0);
}
