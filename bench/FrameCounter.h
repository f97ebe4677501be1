#pragma once

// Counts complete frames (4-byte little-endian length, then the payload) in a byte stream fed in
// pieces of any size, without copying payloads. One reader thread at a time.
class FrameCounter
{
public:
    void Feed(const char* data, int size);
    long long Frames() const { return m_frames; }

private:
    unsigned char m_header[4] = {};
    int m_headerBytes = 0;
    long long m_skip = 0;  // payload bytes of the current frame still to come
    long long m_frames = 0;
};
