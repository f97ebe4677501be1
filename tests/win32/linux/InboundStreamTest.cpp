// The read side's framing, fed bytes directly: message and byte reads, peers that drip one byte at
// a time, lengths that claim more than ever arrives, and the end of the stream.

#include "InboundStream.h"
#include "WireFormat.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using win32layer::InboundStream;
using win32layer::WireFormat;

namespace {

std::string record(const std::string& body)
{
    uint8_t header[WireFormat::kHeaderBytes];
    WireFormat::encodeHeader(static_cast<uint32_t>(body.size()), header);
    return std::string(reinterpret_cast<char*>(header), sizeof header) + body;
}

std::string header(uint32_t length)
{
    uint8_t bytes[WireFormat::kHeaderBytes];
    WireFormat::encodeHeader(length, bytes);
    return std::string(reinterpret_cast<char*>(bytes), sizeof bytes);
}

void feed(InboundStream* stream, const std::string& bytes)
{
    auto space = stream->reserve(bytes.size());
    ASSERT_NE(space.first, nullptr);
    std::memcpy(space.first, bytes.data(), bytes.size());
    stream->commit(bytes.size());
}

struct Read {
    bool complete;
    std::string data;
    bool moreData;
};

Read readMessage(InboundStream* stream, uint32_t capacity)
{
    std::string buffer(capacity, '\0');
    InboundStream::ReadResult result;
    const bool complete = stream->readMessage(&buffer[0], capacity, &result);
    buffer.resize(complete ? result.bytes : 0);
    return {complete, buffer, complete && result.moreData};
}

Read readBytes(InboundStream* stream, uint32_t capacity)
{
    std::string buffer(capacity, '\0');
    InboundStream::ReadResult result;
    const bool complete = stream->readBytes(&buffer[0], capacity, &result);
    buffer.resize(complete ? result.bytes : 0);
    return {complete, buffer, false};
}

TEST(InboundStream, DrippedMessageCompletesOnlyWithItsLastByte)
{
    InboundStream stream;
    const std::string bytes = record("hello");
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
        feed(&stream, bytes.substr(i, 1));
        ASSERT_FALSE(readMessage(&stream, 64).complete) << "after byte " << i;
    }
    feed(&stream, bytes.substr(bytes.size() - 1));
    EXPECT_EQ(readMessage(&stream, 64).data, "hello");
}

TEST(InboundStream, ReadOfPartOfAMessageNeedsOnlyThatPart)
{
    InboundStream stream;
    feed(&stream, header(1000) + std::string(10, 'x'));
    Read piece = readMessage(&stream, 10);
    EXPECT_TRUE(piece.complete);
    EXPECT_TRUE(piece.moreData);
    EXPECT_FALSE(readMessage(&stream, 10).complete);
}

TEST(InboundStream, ShortfallIsBoundedByTheReadNotByTheClaimedLength)
{
    InboundStream stream;
    feed(&stream, header(0xFFFFFFF0u));
    EXPECT_LE(stream.shortfall(true, 16), 16u);
    EXPECT_FALSE(readMessage(&stream, 16).complete);
    EXPECT_EQ(stream.shortfall(true, 16), 16u);
    feed(&stream, std::string(16, 'z'));
    EXPECT_EQ(readMessage(&stream, 16).data, std::string(16, 'z'));
}

TEST(InboundStream, ShortfallCountsTheMissingHeaderAndBody)
{
    InboundStream stream;
    EXPECT_EQ(stream.shortfall(true, 100), WireFormat::kHeaderBytes);
    feed(&stream, header(50).substr(0, 3));
    EXPECT_EQ(stream.shortfall(true, 100), 1u);
    feed(&stream, header(50).substr(3) + std::string(20, 'a'));
    EXPECT_EQ(stream.shortfall(true, 100), 30u);
    EXPECT_EQ(stream.shortfall(true, 10), 1u);  // could complete now
}

TEST(InboundStream, ByteReadsCrossMessagesButStopBeforeAnEmptyOne)
{
    InboundStream stream;
    feed(&stream, record("abc") + record("de") + record("") + record("f"));
    EXPECT_EQ(readBytes(&stream, 100).data, "abcde");
    Read empty = readBytes(&stream, 100);
    EXPECT_TRUE(empty.complete);
    EXPECT_EQ(empty.data, "");
    EXPECT_EQ(readBytes(&stream, 100).data, "f");
    EXPECT_FALSE(readBytes(&stream, 100).complete);
}

TEST(InboundStream, ByteReadTakesWhatIsThereAndLeavesTheRest)
{
    InboundStream stream;
    feed(&stream, header(10) + "01234");
    EXPECT_EQ(readBytes(&stream, 3).data, "012");
    EXPECT_EQ(readBytes(&stream, 100).data, "34");
    EXPECT_FALSE(readBytes(&stream, 100).complete);
    feed(&stream, "56789");
    EXPECT_EQ(readBytes(&stream, 100).data, "56789");
}

TEST(InboundStream, ZeroCapacityByteReadCompletesOnDataWithoutTakingIt)
{
    InboundStream stream;
    EXPECT_FALSE(readBytes(&stream, 0).complete);
    feed(&stream, record("abc"));
    EXPECT_TRUE(readBytes(&stream, 0).complete);
    EXPECT_EQ(readBytes(&stream, 8).data, "abc");
}

TEST(InboundStream, EndOfStreamDropsATrailingUnfinishedRecord)
{
    InboundStream stream;
    feed(&stream, record("whole") + header(100) + "part");
    stream.endOfStream();
    EXPECT_EQ(readMessage(&stream, 100).data, "whole");
    EXPECT_FALSE(readMessage(&stream, 100).complete);
    EXPECT_EQ(stream.buffered(), 0u);
}

TEST(InboundStream, EndOfStreamDropsAHalfHeader)
{
    InboundStream stream;
    feed(&stream, record("a") + header(7).substr(0, 2));
    stream.endOfStream();
    EXPECT_EQ(readMessage(&stream, 10).data, "a");
    EXPECT_EQ(stream.buffered(), 0u);
}

TEST(InboundStream, EndOfStreamInsideAMessageBeingReadDropsItsRest)
{
    InboundStream stream;
    feed(&stream, header(100) + std::string(30, 'q'));
    EXPECT_TRUE(readMessage(&stream, 10).moreData);
    stream.endOfStream();
    EXPECT_FALSE(readMessage(&stream, 10).complete);
    EXPECT_EQ(stream.buffered(), 0u);
}

}  // namespace
