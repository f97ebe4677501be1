#include "FrameCounter.h"

#include <algorithm>

void FrameCounter::Feed(const char* data, int size)
{
    int offset = 0;
    while (offset < size) {
        if (m_skip > 0) {
            const int take = int(std::min<long long>(m_skip, size - offset));
            m_skip -= take;
            offset += take;
            if (m_skip == 0)
                ++m_frames;
            continue;
        }
        while (m_headerBytes < 4 && offset < size)
            m_header[m_headerBytes++] = static_cast<unsigned char>(data[offset++]);
        if (m_headerBytes < 4)
            break;
        m_headerBytes = 0;
        m_skip = m_header[0] | m_header[1] << 8 | m_header[2] << 16 | static_cast<long long>(m_header[3]) << 24;
        if (m_skip == 0)
            ++m_frames;
    }
}
