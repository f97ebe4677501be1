// Volume: many messages of random sizes through one pipe, and one very large message.

#include "Support.h"

#include <random>
#include <thread>
#include <vector>

using namespace w32test;

namespace {

// Sizes drawn from a fixed seed: mostly small, some medium, a few up to 64 KiB, and empty ones.
std::vector<uint32_t> messageSizes(size_t count, uint32_t seed)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> kind(0, 99);
    std::vector<uint32_t> sizes(count);
    for (uint32_t& size : sizes) {
        const int k = kind(random);
        if (k < 2)
            size = 0;
        else if (k < 75)
            size = std::uniform_int_distribution<uint32_t>(1, 64)(random);
        else if (k < 99)
            size = std::uniform_int_distribution<uint32_t>(65, 4096)(random);
        else
            size = std::uniform_int_distribution<uint32_t>(4097, 65536)(random);
    }
    return sizes;
}

// A message's bytes, derived from its index so the reader can check them without a copy.
void fillMessage(std::string* buffer, uint32_t index, uint32_t size)
{
    buffer->resize(size);
    for (uint32_t i = 0; i < size; ++i)
        (*buffer)[i] = static_cast<char>((index * 131u + i * 7u) >> 2);
}

TEST(Stress, HundredThousandMessagesArriveIntactAndInOrder)
{
    constexpr size_t kMessages = 100000;
    const std::vector<uint32_t> sizes = messageSizes(kMessages, 20240601);
    PipePair pair = connectedPair("stress");

    std::thread writer([&] {
        std::string message;
        Overlapped write;
        for (size_t i = 0; i < kMessages; ++i) {
            fillMessage(&message, static_cast<uint32_t>(i), sizes[i]);
            DWORD written = 0;
            if (!WriteFile(pair.client.get(), message.data(), sizes[i], &written, &write)) {
                ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
                ASSERT_TRUE(GetOverlappedResult(pair.client.get(), &write, &written, TRUE)) << GetLastError();
            }
            ASSERT_EQ(written, sizes[i]);
        }
    });

    std::string buffer(65536, '\0');
    std::string expected;
    Overlapped read;
    size_t mismatches = 0;
    for (size_t i = 0; i < kMessages && mismatches < 10; ++i) {
        DWORD got = 0;
        if (!ReadFile(pair.server.get(), &buffer[0], static_cast<DWORD>(buffer.size()), &got, &read)) {
            ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
            ASSERT_TRUE(GetOverlappedResult(pair.server.get(), &read, &got, TRUE)) << GetLastError();
        }
        fillMessage(&expected, static_cast<uint32_t>(i), sizes[i]);
        if (got != sizes[i] || buffer.compare(0, got, expected) != 0) {
            ++mismatches;
            ADD_FAILURE() << "message " << i << ": " << got << " bytes, expected " << sizes[i];
        }
    }
    writer.join();
}

TEST(Stress, SixtyFourMebibyteMessageIsReadBackInPieces)
{
    constexpr size_t kMessageBytes = 64u << 20;
    constexpr DWORD kPieceBytes = 1u << 20;
    PipePair pair = connectedPair("huge");
    std::string message(kMessageBytes, '\0');
    for (size_t i = 0; i < kMessageBytes; ++i)
        message[i] = static_cast<char>(i * 2654435761u >> 24);

    std::thread writer([&] { EXPECT_EQ(writeMessage(pair.server.get(), message), kMessageBytes); });
    std::string piece(kPieceBytes, '\0');
    size_t offset = 0;
    size_t moreData = 0;
    for (;;) {
        DWORD got = 0;
        Overlapped read;
        BOOL done = ReadFile(pair.client.get(), &piece[0], kPieceBytes, &got, &read);
        DWORD error = done ? ERROR_SUCCESS : GetLastError();
        if (error == ERROR_IO_PENDING || error == ERROR_MORE_DATA) {
            done = GetOverlappedResult(pair.client.get(), &read, &got, TRUE);
            error = done ? ERROR_SUCCESS : GetLastError();
        }
        ASSERT_TRUE(error == ERROR_SUCCESS || error == ERROR_MORE_DATA) << error;
        ASSERT_LE(offset + got, kMessageBytes);
        ASSERT_EQ(0, message.compare(offset, got, piece, 0, got)) << "at offset " << offset;
        offset += got;
        if (error == ERROR_SUCCESS)
            break;
        ++moreData;
    }
    writer.join();
    EXPECT_EQ(offset, kMessageBytes);
    EXPECT_EQ(moreData, kMessageBytes / kPieceBytes - 1);
}

}  // namespace
