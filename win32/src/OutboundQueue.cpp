#include "OutboundQueue.h"

#include <algorithm>

namespace win32layer {

void OutboundQueue::push(const void* token, const char* body, uint32_t length)
{
    Record record;
    record.token = token;
    WireFormat::encodeHeader(length, record.header);
    record.headerSent = 0;
    record.body = body;
    record.bodyLength = length;
    record.bodySent = 0;
    records_.push_back(std::move(record));
}

int OutboundQueue::gather(struct iovec* iov, int maxEntries) const
{
    int used = 0;
    for (const Record& record : records_) {
        if (used + 2 > maxEntries)
            break;
        if (record.headerSent < WireFormat::kHeaderBytes) {
            iov[used].iov_base = const_cast<uint8_t*>(record.header + record.headerSent);
            iov[used].iov_len = WireFormat::kHeaderBytes - record.headerSent;
            ++used;
        }
        if (record.bodySent < record.bodyLength) {
            iov[used].iov_base = const_cast<char*>(record.body + record.bodySent);
            iov[used].iov_len = static_cast<size_t>(record.bodyLength - record.bodySent);
            ++used;
        }
    }
    return used;
}

void OutboundQueue::consume(size_t sentBytes, std::vector<const void*>* finished)
{
    while (sentBytes > 0 && !records_.empty()) {
        Record& record = records_.front();
        const size_t headerTake = std::min(sentBytes, WireFormat::kHeaderBytes - record.headerSent);
        record.headerSent += headerTake;
        sentBytes -= headerTake;
        const uint64_t bodyTake = std::min<uint64_t>(sentBytes, record.bodyLength - record.bodySent);
        record.bodySent += bodyTake;
        sentBytes -= static_cast<size_t>(bodyTake);
        if (record.headerSent == WireFormat::kHeaderBytes && record.bodySent == record.bodyLength) {
            if (record.token != nullptr)
                finished->push_back(record.token);
            records_.pop_front();
        }
    }
}

void OutboundQueue::cancelIf(const std::function<bool(const void*)>& matches, std::vector<const void*>* cancelled)
{
    for (auto it = records_.begin(); it != records_.end();) {
        if (it->token == nullptr || !matches(it->token)) {
            ++it;
            continue;
        }
        cancelled->push_back(it->token);
        if (it->headerSent == 0) {
            it = records_.erase(it);
            continue;
        }
        detach(*it);
        ++it;
    }
}

void OutboundQueue::release(const void* token)
{
    for (Record& record : records_) {
        if (record.token == token) {
            detach(record);
            return;
        }
    }
}

void OutboundQueue::detach(Record& record)
{
    // The writer's buffer is no longer ours once the writer is answered: keep the unsent rest.
    record.owned.assign(record.body + record.bodySent, record.body + record.bodyLength);
    record.body = record.owned.data();
    record.bodyLength = record.owned.size();
    record.bodySent = 0;
    record.token = nullptr;
}

void OutboundQueue::clear(std::vector<const void*>* dropped)
{
    for (const Record& record : records_) {
        if (record.token != nullptr)
            dropped->push_back(record.token);
    }
    records_.clear();
}

}  // namespace win32layer
