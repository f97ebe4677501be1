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
    m_buffer.append(data, size);
    // Frames are cut out by offset and the consumed bytes removed once at the end, so a read
    // holding many small frames costs one move, not one per frame.
    int offset = 0;
    while (m_buffer.size() - offset >= kLengthSize) {
        const int length =
            VXIpcUtils::BytesToInt(reinterpret_cast<const unsigned char*>(m_buffer.constData()), offset);
        if (length < 0 || length > kMaxPayload) {
            result.dropped = true;
            result.badLength = length;
            result.droppedBytes = m_buffer.size() - offset;
            m_buffer.clear();
            return result;
        }
        if (m_buffer.size() - offset - kLengthSize < length)
            break;  // the rest of this frame comes with a later read
        result.payloads.append(m_buffer.mid(offset + kLengthSize, length));
        offset += kLengthSize + length;
    }
    m_buffer.remove(0, offset);
    return result;
}
