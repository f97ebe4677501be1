#include "InboundStream.h"

#include "WireFormat.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace win32layer {

namespace {
// After a large message the buffer shrinks back, so one big read does not pin its memory.
constexpr size_t kKeepCapacity = 4 * InboundStream::kChunkBytes;
}  // namespace

bool InboundStream::readMessage(char* destination, uint32_t capacity, ReadResult* result)
{
    if (!inMessage_) {
        if (buffered() < WireFormat::kHeaderBytes)
            return false;
        remaining_ = WireFormat::decodeHeader(front());
        consume(WireFormat::kHeaderBytes);
        inMessage_ = true;
    }
    const uint64_t want = std::min<uint64_t>(capacity, remaining_);
    if (buffered() < want)
        return false;
    std::memcpy(destination, data_.get() + begin_, want);
    consume(want);
    remaining_ -= want;
    result->bytes = static_cast<uint32_t>(want);
    result->moreData = remaining_ > 0;
    if (remaining_ == 0)
        inMessage_ = false;
    return true;
}

bool InboundStream::readBytes(char* destination, uint32_t capacity, ReadResult* result)
{
    uint32_t copied = 0;
    for (;;) {
        if (!inMessage_) {
            if (buffered() < WireFormat::kHeaderBytes)
                break;
            const uint32_t length = WireFormat::decodeHeader(front());
            if (length == 0) {
                if (copied > 0)
                    break;
                consume(WireFormat::kHeaderBytes);
                *result = ReadResult{};
                return true;
            }
            if (copied == capacity)
                break;
            consume(WireFormat::kHeaderBytes);
            inMessage_ = true;
            remaining_ = length;
        }
        const size_t take = static_cast<size_t>(
            std::min<uint64_t>(std::min<uint64_t>(capacity - copied, remaining_), buffered()));
        if (take == 0)
            break;
        std::memcpy(destination + copied, data_.get() + begin_, take);
        consume(take);
        copied += static_cast<uint32_t>(take);
        remaining_ -= take;
        if (remaining_ == 0)
            inMessage_ = false;
    }
    if (copied > 0) {
        result->bytes = copied;
        result->moreData = false;
        return true;
    }
    const bool dataHere = inMessage_ ? buffered() > 0 : buffered() >= WireFormat::kHeaderBytes;
    if (capacity == 0 && dataHere) {
        *result = ReadResult{};
        return true;
    }
    return false;
}

size_t InboundStream::shortfall(bool messageMode, uint32_t capacity) const
{
    if (!inMessage_) {
        if (buffered() < WireFormat::kHeaderBytes)
            return WireFormat::kHeaderBytes - buffered();
        if (!messageMode)
            return 1;
        const uint64_t length = WireFormat::decodeHeader(front());
        const uint64_t needed = WireFormat::kHeaderBytes + std::min<uint64_t>(capacity, length);
        return needed > buffered() ? static_cast<size_t>(needed - buffered()) : 1;
    }
    if (!messageMode)
        return 1;
    const uint64_t want = std::min<uint64_t>(capacity, remaining_);
    return want > buffered() ? static_cast<size_t>(want - buffered()) : 1;
}

std::pair<char*, size_t> InboundStream::reserve(size_t minBytes)
{
    if (capacity_ - end_ < minBytes && begin_ > 0) {
        std::memmove(data_.get(), data_.get() + begin_, buffered());
        end_ -= begin_;
        begin_ = 0;
    }
    if (capacity_ - end_ < minBytes) {
        // Doubling keeps the copying linear in the size of a large message received in pieces.
        const size_t newCapacity = std::max({kChunkBytes, end_ + minBytes, 2 * capacity_});
        std::unique_ptr<char[]> bigger(new (std::nothrow) char[newCapacity]);
        if (!bigger)
            return {nullptr, 0};
        if (end_ > 0)
            std::memcpy(bigger.get(), data_.get(), end_);
        data_ = std::move(bigger);
        capacity_ = newCapacity;
    }
    return {data_.get() + end_, capacity_ - end_};
}

void InboundStream::commit(size_t bytes) { end_ += bytes; }

void InboundStream::endOfStream()
{
    size_t position = begin_;
    if (inMessage_) {
        if (remaining_ > buffered()) {
            clear();  // the message being read was cut short
            return;
        }
        position += static_cast<size_t>(remaining_);
    }
    while (end_ - position >= WireFormat::kHeaderBytes) {
        const uint64_t length =
            WireFormat::decodeHeader(reinterpret_cast<const uint8_t*>(data_.get() + position));
        if (end_ - position - WireFormat::kHeaderBytes < length)
            break;
        position += WireFormat::kHeaderBytes + static_cast<size_t>(length);
    }
    end_ = position;
    if (buffered() == 0 && !inMessage_)
        clear();
}

void InboundStream::clear()
{
    begin_ = end_ = 0;
    inMessage_ = false;
    remaining_ = 0;
    releaseIfLarge();
}

void InboundStream::consume(size_t bytes)
{
    begin_ += bytes;
    if (begin_ == end_) {
        begin_ = end_ = 0;
        releaseIfLarge();
    }
}

void InboundStream::releaseIfLarge()
{
    if (capacity_ > kKeepCapacity) {
        data_.reset();
        capacity_ = 0;
    }
}

}  // namespace win32layer
