// The read side's framing, fed bytes directly: message and byte reads, peers that drip bytes,
// lengths that claim more than ever arrives, what a pending read still lacks, and the end of the
// stream. Each case is a script of steps on one stream.

#include "LayerSupport.h"

#include "InboundStream.h"

#include <cstring>
#include <vector>

using namespace w32layertest;
using win32layer::InboundStream;

namespace {

struct Step {
    enum Op { Feed, ReadMessage, ReadBytes, Shortfall, EndOfStream, Buffered } op;
    std::string bytes;  // Feed: what arrives; reads: what they return
    bool complete;      // reads: false when they cannot complete yet
    uint32_t capacity;  // reads, Shortfall
    size_t count;       // Shortfall, Buffered; ReadMessage: 1 when the message goes on (ERROR_MORE_DATA)
};

Step feed(const std::string& bytes) { return {Step::Feed, bytes, false, 0, 0}; }
Step message(uint32_t capacity, const std::string& data, bool more = false)
{
    return {Step::ReadMessage, data, true, capacity, more ? 1u : 0u};
}
Step bytes(uint32_t capacity, const std::string& data) { return {Step::ReadBytes, data, true, capacity, 0}; }
Step pending(Step::Op read, uint32_t capacity) { return {read, "", false, capacity, 0}; }
Step shortfall(uint32_t capacity, size_t count) { return {Step::Shortfall, "", false, capacity, count}; }
Step endOfStream() { return {Step::EndOfStream, "", false, 0, 0}; }
Step buffered(size_t count) { return {Step::Buffered, "", false, 0, count}; }
std::string record(const std::string& body) { return header(static_cast<uint32_t>(body.size())) + body; }

struct Script {
    const char* label;
    std::vector<Step> steps;
};

class InboundStreamScript : public ::testing::TestWithParam<Script> {};

TEST_P(InboundStreamScript, EachStepGivesWhatItShould)
{
    InboundStream stream;
    int index = 0;
    for (const Step& step : GetParam().steps) {
        SCOPED_TRACE("step " + std::to_string(index++));
        std::string buffer(step.capacity, '\0');
        InboundStream::ReadResult result;
        bool complete = false;
        switch (step.op) {
        case Step::Feed: {
            auto space = stream.reserve(step.bytes.size());
            ASSERT_NE(space.first, nullptr);
            std::memcpy(space.first, step.bytes.data(), step.bytes.size());
            stream.commit(step.bytes.size());
            continue;
        }
        case Step::ReadMessage: complete = stream.readMessage(&buffer[0], step.capacity, &result); break;
        case Step::ReadBytes: complete = stream.readBytes(&buffer[0], step.capacity, &result); break;
        case Step::Shortfall: EXPECT_EQ(stream.shortfall(true, step.capacity), step.count); continue;
        case Step::EndOfStream: stream.endOfStream(); continue;
        case Step::Buffered: EXPECT_EQ(stream.buffered(), step.count); continue;
        }
        ASSERT_EQ(complete, step.complete);
        if (complete) {
            EXPECT_EQ(buffer.substr(0, result.bytes), step.bytes);
            EXPECT_EQ(result.moreData, step.count == 1);
        }
    }
}

constexpr Step::Op kMessage = Step::ReadMessage;
constexpr Step::Op kBytes = Step::ReadBytes;

INSTANTIATE_TEST_SUITE_P(
    InboundStream, InboundStreamScript,
    ::testing::Values(
        // Completes only with its last byte, however the bytes arrive.
        Script{"DrippedMessage",
               {shortfall(64, 4), feed(header(5).substr(0, 3)), pending(kMessage, 64), shortfall(64, 1),
                feed(header(5).substr(3)), pending(kMessage, 64), shortfall(64, 5), feed("hell"),
                pending(kMessage, 64), shortfall(64, 1), feed("o"), message(64, "hello"), buffered(0)}},
        Script{"ShortfallCountsOnlyWhatTheReadNeeds",
               {feed(header(50) + std::string(20, 'a')), shortfall(100, 30), shortfall(10, 1)}},
        Script{"MessagesNeverSpan",
               {feed(record("abc") + record("") + record("defg")), message(100, "abc"), message(100, ""),
                message(100, "defg"), pending(kMessage, 100)}},
        Script{"PartOfAMessageNeedsOnlyThatPart",
               {feed(header(1000) + std::string(10, 'x')), message(10, std::string(10, 'x'), true),
                pending(kMessage, 10), shortfall(10, 10)}},
        // Never waits for (or makes room for) what a header claims, only for what the read takes.
        Script{"HugeClaimedLength",
               {feed(header(0xFFFFFFF0u)), shortfall(16, 16), pending(kMessage, 16), shortfall(16, 16),
                feed(std::string(16, 'z')), message(16, std::string(16, 'z'), true)}},
        Script{"ByteReadsCrossMessagesButStopBeforeAnEmptyOne",
               {feed(record("abc") + record("de") + record("") + record("f")), bytes(100, "abcde"), bytes(100, ""),
                bytes(100, "f"), pending(kBytes, 100)}},
        Script{"ByteReadTakesWhatIsThereAndLeavesTheRest",
               {feed(header(10) + "01234"), bytes(3, "012"), bytes(100, "34"), pending(kBytes, 100), feed("56789"),
                bytes(100, "56789")}},
        Script{"ZeroCapacityByteReadCompletesOnDataWithoutTakingIt",
               {pending(kBytes, 0), feed(record("abc")), bytes(0, ""), bytes(8, "abc")}},
        // A writer that goes leaves whole messages to be read, never part of one.
        Script{"EndOfStreamKeepsWholeMessagesAndDropsAHalfHeader",
               {feed(record("a") + record("") + header(7).substr(0, 2)), endOfStream(), message(10, "a"),
                message(10, ""), buffered(0)}},
        Script{"EndOfStreamDropsATrailingUnfinishedRecord",
               {feed(record("whole") + header(100) + "part"), endOfStream(), message(100, "whole"),
                pending(kMessage, 100), buffered(0)}},
        Script{"EndOfStreamInsideAMessageDropsItsRest",
               {feed(header(100) + std::string(30, 'q')), message(10, std::string(10, 'q'), true), endOfStream(),
                pending(kMessage, 10), buffered(0)}}),
    [](const ::testing::TestParamInfo<Script>& info) { return std::string(info.param.label); });

}  // namespace
