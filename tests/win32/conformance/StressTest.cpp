// Volume: many messages of random sizes through one pipe. (The one very large message is a
// MessageReadPieces case.)

#include "Support.h"

#include <random>
#include <thread>
#include <vector>

using namespace w32test;

namespace {

TEST(Stress, HundredThousandMessagesArriveIntactAndInOrder)
{
    constexpr size_t kMessages = 100000;
    // Sizes from a fixed seed: mostly small, some medium, a few up to 64 KiB, and empty ones.
    std::mt19937 random(20240601);
    std::vector<uint32_t> sizes(kMessages);
    for (uint32_t& size : sizes) {
        const uint32_t kind = random() % 100;
        const uint32_t low = kind < 75 ? 1 : kind < 99 ? 65 : 4097, high = kind < 75 ? 64 : kind < 99 ? 4096 : 65536;
        size = kind < 2 ? 0 : std::uniform_int_distribution<uint32_t>(low, high)(random);
    }
    PipePair pair = connectedPair("stress");

    std::thread writer([&] {
        Overlapped write;
        for (size_t i = 0; i < kMessages; ++i) {
            const std::string message = patternBytes(sizes[i], static_cast<uint32_t>(i));
            DWORD written = 0;
            if (!WriteFile(pair.client.get(), message.data(), sizes[i], &written, &write)) {
                ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
                ASSERT_TRUE(GetOverlappedResult(pair.client.get(), &write, &written, TRUE)) << GetLastError();
            }
            ASSERT_EQ(written, sizes[i]);
        }
    });

    std::string buffer(65536, '\0');
    Overlapped read;
    size_t mismatches = 0;
    for (size_t i = 0; i < kMessages && mismatches < 10; ++i) {
        DWORD got = 0;
        if (!ReadFile(pair.server.get(), &buffer[0], static_cast<DWORD>(buffer.size()), &got, &read)) {
            ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
            ASSERT_TRUE(GetOverlappedResult(pair.server.get(), &read, &got, TRUE)) << GetLastError();
        }
        if (got != sizes[i] || buffer.compare(0, got, patternBytes(got, static_cast<uint32_t>(i))) != 0) {
            ++mismatches;
            ADD_FAILURE() << "message " << i << ": " << got << " bytes, expected " << sizes[i];
        }
    }
    writer.join();
}

}  // namespace
