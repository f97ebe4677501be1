// The send side's queue, driven by a fake socket that takes a given number of bytes per call.

#include "LayerSupport.h"

#include "OutboundQueue.h"

#include <vector>

using namespace w32layertest;
using win32layer::OutboundQueue;
using Tokens = std::vector<const void*>;

namespace {

const int kTokens[4] = {};
const void* token(int i) { return &kTokens[i]; }
std::string record(const std::string& body) { return header(uint32_t(body.size())) + body; }

class OutboundQueueTest : public ::testing::Test {
protected:
    void push(int i, const std::string& body) { queue_.push(token(i), body.data(), uint32_t(body.size())); }

    // Sends at most `budget` bytes from the queue; returns the tokens of the writes that finished.
    Tokens send(size_t budget)
    {
        struct iovec iov[OutboundQueue::kMaxIov];
        const int count = queue_.gather(iov, OutboundQueue::kMaxIov);
        size_t sent = 0;
        for (int i = 0; i < count && sent < budget; ++i) {
            const size_t take = std::min(iov[i].iov_len, budget - sent);
            wire_.append(static_cast<const char*>(iov[i].iov_base), take);
            sent += take;
        }
        Tokens finished;
        queue_.consume(sent, &finished);
        return finished;
    }

    OutboundQueue queue_;
    std::string wire_;
};

TEST_F(OutboundQueueTest, WritesFinishInOrderWhenTheirLastByteIsSent)
{
    const std::string a = "first", empty, c = "third";
    push(0, a);
    push(1, empty);
    push(2, c);
    EXPECT_TRUE(send(4 + a.size() - 1).empty());
    EXPECT_EQ(send(1), Tokens{token(0)});
    EXPECT_EQ(send(1000), (Tokens{token(1), token(2)}));
    EXPECT_TRUE(queue_.empty());
    EXPECT_EQ(wire_, record(a) + record(empty) + record(c));
}

// An unsent write vanishes; a partly sent one is answered at once, but its record is completed from
// a copy (the writer's buffer is the writer's again), so the stream still parses.
TEST_F(OutboundQueueTest, CancelledWritesAreAnsweredAtOnce)
{
    std::string partly = "abcdefghij";
    const std::string unsent = "drop", kept = "keep";
    push(0, partly);
    push(1, unsent);
    push(2, kept);
    send(7);  // header and "abc"
    Tokens cancelled;
    queue_.cancelIf([](const void* t) { return t != token(2); }, &cancelled);
    EXPECT_EQ(cancelled, (Tokens{token(0), token(1)}));
    partly.assign(10, '#');
    EXPECT_EQ(send(1000), Tokens{token(2)});  // the cancelled one is not reported twice
    EXPECT_TRUE(queue_.empty());
    EXPECT_EQ(wire_, record("abcdefghij") + record("keep"));
}

// A released write was answered already: it is still sent, from a copy, but neither reported nor
// returned when the queue is cleared.
TEST_F(OutboundQueueTest, ReleasedWriteIsSentFromACopyButNotReported)
{
    std::string released = "payload";
    const std::string other = "other";
    push(0, released);
    push(1, other);
    push(2, other);
    push(3, released);
    queue_.release(token(0));
    queue_.release(token(3));
    released.assign(7, '#');
    EXPECT_EQ(send(4 + 7 + 4 + 5), Tokens{token(1)});
    EXPECT_EQ(wire_, record("payload") + record("other"));
    Tokens dropped;
    queue_.clear(&dropped);
    EXPECT_EQ(dropped, Tokens{token(2)});
    EXPECT_TRUE(queue_.empty());
}

TEST_F(OutboundQueueTest, GatherRespectsTheIovLimit)
{
    const std::string a = "m";
    for (int i = 0; i < 100; ++i)
        push(i % 4, a);
    struct iovec iov[OutboundQueue::kMaxIov];
    EXPECT_EQ(queue_.gather(iov, OutboundQueue::kMaxIov), OutboundQueue::kMaxIov);
    EXPECT_EQ(queue_.gather(iov, 3), 2);  // a record's header and body go together
}

}  // namespace
