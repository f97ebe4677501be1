// The send side's queue, driven by a fake socket that takes a given number of bytes per call.

#include "InboundStream.h"
#include "OutboundQueue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using win32layer::InboundStream;
using win32layer::OutboundQueue;

namespace {

// Sends at most `budget` bytes from the queue, appending them to *wire. Returns the finished tokens.
std::vector<const void*> send(OutboundQueue* queue, size_t budget, std::string* wire)
{
    struct iovec iov[OutboundQueue::kMaxIov];
    const int count = queue->gather(iov, OutboundQueue::kMaxIov);
    size_t sent = 0;
    for (int i = 0; i < count && sent < budget; ++i) {
        const size_t take = std::min(iov[i].iov_len, budget - sent);
        wire->append(static_cast<const char*>(iov[i].iov_base), take);
        sent += take;
    }
    std::vector<const void*> finished;
    queue->consume(sent, &finished);
    return finished;
}

std::vector<std::string> decode(const std::string& wire)
{
    InboundStream stream;
    auto space = stream.reserve(wire.size());
    std::copy(wire.begin(), wire.end(), space.first);
    stream.commit(wire.size());
    std::vector<std::string> messages;
    for (;;) {
        std::string buffer(wire.size(), '\0');
        InboundStream::ReadResult result;
        if (!stream.readMessage(&buffer[0], static_cast<uint32_t>(buffer.size()), &result))
            break;
        messages.push_back(buffer.substr(0, result.bytes));
    }
    return messages;
}

const int kTokens[4] = {};
const void* token(int i) { return &kTokens[i]; }

TEST(OutboundQueue, WritesFinishInOrderWhenTheirLastByteIsSent)
{
    const std::string a = "first", b = "second message";
    OutboundQueue queue;
    queue.push(token(0), a.data(), static_cast<uint32_t>(a.size()));
    queue.push(token(1), b.data(), static_cast<uint32_t>(b.size()));
    std::string wire;
    EXPECT_TRUE(send(&queue, 4 + a.size() - 1, &wire).empty());
    EXPECT_EQ(send(&queue, 1, &wire), std::vector<const void*>{token(0)});
    EXPECT_EQ(send(&queue, 1000, &wire), std::vector<const void*>{token(1)});
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(decode(wire), (std::vector<std::string>{a, b}));
}

TEST(OutboundQueue, OneSendCanFinishSeveralWritesIncludingEmptyOnes)
{
    const std::string a = "x";
    OutboundQueue queue;
    queue.push(token(0), a.data(), 1);
    queue.push(token(1), nullptr, 0);
    queue.push(token(2), a.data(), 1);
    std::string wire;
    EXPECT_EQ(send(&queue, 1000, &wire), (std::vector<const void*>{token(0), token(1), token(2)}));
    EXPECT_EQ(decode(wire), (std::vector<std::string>{"x", "", "x"}));
}

TEST(OutboundQueue, CancelledUnsentWriteVanishes)
{
    const std::string a = "keep", b = "drop";
    OutboundQueue queue;
    queue.push(token(0), a.data(), 4);
    queue.push(token(1), b.data(), 4);
    std::vector<const void*> cancelled;
    queue.cancelIf([](const void* t) { return t == token(1); }, &cancelled);
    EXPECT_EQ(cancelled, std::vector<const void*>{token(1)});
    std::string wire;
    EXPECT_EQ(send(&queue, 1000, &wire), std::vector<const void*>{token(0)});
    EXPECT_EQ(decode(wire), std::vector<std::string>{"keep"});
}

TEST(OutboundQueue, CancelledPartlySentWriteStillCompletesItsRecordFromACopy)
{
    std::string body = "abcdefghij";
    OutboundQueue queue;
    queue.push(token(0), body.data(), 10);
    std::string wire;
    send(&queue, 7, &wire);  // header and "abc"
    std::vector<const void*> cancelled;
    queue.cancelIf([](const void*) { return true; }, &cancelled);
    EXPECT_EQ(cancelled, std::vector<const void*>{token(0)});
    body.assign(10, '#');  // the writer's buffer is the writer's again
    EXPECT_TRUE(send(&queue, 1000, &wire).empty());  // finished, but not reported twice
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(decode(wire), std::vector<std::string>{"abcdefghij"});
}

TEST(OutboundQueue, ReleasedWriteIsSentButNotReported)
{
    std::string body = "payload";
    OutboundQueue queue;
    queue.push(token(0), body.data(), 7);
    queue.release(token(0));
    body.assign(7, '#');
    std::string wire;
    EXPECT_TRUE(send(&queue, 1000, &wire).empty());
    EXPECT_EQ(decode(wire), std::vector<std::string>{"payload"});
}

TEST(OutboundQueue, ClearReturnsEveryPendingWriter)
{
    const std::string a = "a";
    OutboundQueue queue;
    queue.push(token(0), a.data(), 1);
    queue.push(token(1), a.data(), 1);
    queue.release(token(1));
    std::vector<const void*> dropped;
    queue.clear(&dropped);
    EXPECT_EQ(dropped, std::vector<const void*>{token(0)});
    EXPECT_TRUE(queue.empty());
}

TEST(OutboundQueue, GatherRespectsTheIovLimit)
{
    const std::string a = "m";
    OutboundQueue queue;
    for (int i = 0; i < 100; ++i)
        queue.push(token(i % 4), a.data(), 1);
    struct iovec iov[OutboundQueue::kMaxIov];
    EXPECT_EQ(queue.gather(iov, OutboundQueue::kMaxIov), OutboundQueue::kMaxIov);
    EXPECT_EQ(queue.gather(iov, 3), 2);  // a record's header and body go together
}

}  // namespace
