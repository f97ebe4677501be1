#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace win32layer {

// SHA-256 (FIPS 180-4). Used to turn a pipe name of up to 256 characters into a socket file name
// short enough for sun_path; a cryptographic hash keeps two names from colliding in practice.
class Sha256 {
public:
    using Digest = std::array<uint8_t, 32>;

    Sha256();
    void update(const void* data, size_t length);
    Digest finish();

    static Digest of(const void* data, size_t length);

private:
    void processBlock(const uint8_t* block);

    std::array<uint32_t, 8> state_;
    std::array<uint8_t, 64> buffer_;
    size_t buffered_ = 0;
    uint64_t totalBytes_ = 0;
};

}  // namespace win32layer
