#pragma once

#include "WireFormat.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <sys/uio.h>
#include <vector>

namespace win32layer {

// The sending side of a pipe's data socket: the records of pending writes, in order.
//
// A record is sent straight from the writer's buffer (no copy): its header and body go out as one
// gather list, and several queued records share one sendmsg. A write completes when the last byte
// of its record has been handed to the kernel. Each record carries an opaque token (the pending
// request) that comes back when the record is finished or removed.
//
// Cancelling a write whose record is partly sent cannot take those bytes back: the stream would no
// longer parse. Its unsent rest is copied into the queue and sent later, so the reader still gets
// the whole message, and the token is returned at once. Unsent records simply vanish.
//
// Pure and single-threaded: the owning Connection calls it under its pipe's mutex.
class OutboundQueue {
public:
    static constexpr int kMaxIov = 64;

    bool empty() const { return records_.empty(); }

    void push(const void* token, const char* body, uint32_t length);

    // Fills iov from the front of the queue; returns the number of entries used.
    int gather(struct iovec* iov, int maxEntries) const;

    // Accounts sentBytes as handed to the kernel; appends the tokens of records now complete.
    void consume(size_t sentBytes, std::vector<const void*>* finished);

    // Removes the records whose token matches and returns their tokens.
    void cancelIf(const std::function<bool(const void*)>& matches, std::vector<const void*>* cancelled);

    // The writer of this record has been answered already: keep sending it, from a copy of its
    // unsent bytes, without reporting it again.
    void release(const void* token);

    // Drops everything (the connection is gone); returns the tokens of pending writes.
    void clear(std::vector<const void*>* dropped);

    // Whether the front record has started going out.
    bool frontStarted() const { return !records_.empty() && records_.front().headerSent > 0; }
    const void* frontToken() const { return records_.empty() ? nullptr : records_.front().token; }

private:
    struct Record;
    static void detach(Record& record);

    struct Record {
        const void* token;  // nullptr once the writer has been answered (cancelled, rest owned)
        uint8_t header[WireFormat::kHeaderBytes];
        size_t headerSent;
        const char* body;
        uint64_t bodyLength;
        uint64_t bodySent;
        std::vector<char> owned;  // the body's unsent rest, once its writer has been answered
    };

    std::deque<Record> records_;
};

}  // namespace win32layer
