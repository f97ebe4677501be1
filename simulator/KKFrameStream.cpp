#include "simulator/KKFrameStream.h"

#include "VXFoundation/VXIpcUtils.h"

QByteArray KKFrameStream::Pack(const QByteArray& payload)
{
    QByteArray frame(kLengthSize, '\0');
    VXIpcUtils::IntToBytes(payload.size(), reinterpret_cast<unsigned char*>(frame.data()), kLengthSize);
    frame.append(payload);
    return frame;
}

KKFrameStream::Result KKFrameStream::Append(const char* data, int size)
{
    Result result;
    if (!m_buffer.isEmpty()) {
        m_buffer.append(data, size);
        const int consumed = Cut(m_buffer.constData(), m_buffer.size(), &result);
        if (result.dropped)
            m_buffer.clear();
        else
            m_buffer.remove(0, consumed);
        return result;
    }
    // Nothing held back: frames are cut straight out of the read, so a payload is copied once,
    // and only the tail of an incomplete frame is kept.
    const int consumed = Cut(data, size, &result);
    if (!result.dropped)
        m_buffer.append(data + consumed, size - consumed);
    return result;
}

int KKFrameStream::Cut(const char* bytes, int size, Result* result)
{
    // Frames are cut out by offset and the consumed bytes removed once by the caller, so a read
    // holding many small frames costs one move, not one per frame.
    int offset = 0;
    while (size - offset >= kLengthSize) {
        const int length = VXIpcUtils::BytesToInt(reinterpret_cast<const unsigned char*>(bytes), offset);
        if (length < 0 || length > kMaxPayload) {
            result->dropped = true;
            result->badLength = length;
            result->droppedBytes = size - offset;
            return size;
        }
        if (size - offset - kLengthSize < length)
            break;  // the rest of this frame comes with a later read
        result->payloads.append(QByteArray(bytes + offset + kLengthSize, length));
        offset += kLengthSize + length;
    }
    return offset;
}
