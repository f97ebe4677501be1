#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

namespace win32layer {

// The receiving side of a pipe's data socket: bytes received but not yet read, and where the
// record (message) boundaries in them are.
//
//     [consumed][buffered: begin_ .. end_][free]
//
// Reads are served from this buffer, so many small ReadFile calls cost one recv between them. It
// is filled only on demand: a pending read asks for what it still lacks (shortfall), and the
// connection receives at least kChunkBytes at a time. Nothing is read ahead without a read waiting,
// so a fast writer and a slow reader leave the data in the kernel, whose buffer pushes back on the
// writer. Lengths in record headers are never used to allocate: the buffer grows only to what the
// waiting read needs, which the reader chose.
//
// A message-mode read completes when min(capacity, rest of the current message) bytes are here, so
// it sees a message whole, as Windows shows it, and never spans two messages.
//
// Pure and single-threaded: the owning Connection calls it under its pipe's mutex.
class InboundStream {
public:
    static constexpr size_t kChunkBytes = 64 * 1024;

    struct ReadResult {
        uint32_t bytes = 0;
        bool moreData = false;  // message mode: the message goes on (ERROR_MORE_DATA)
    };

    InboundStream() = default;
    InboundStream(const InboundStream&) = delete;
    InboundStream& operator=(const InboundStream&) = delete;

    // Message-read mode. Returns false, consuming nothing the reader can see, when the read cannot
    // complete yet.
    bool readMessage(char* destination, uint32_t capacity, ReadResult* result);
    // Byte-read mode: whatever is here up to capacity, across message boundaries. An empty message
    // at the front completes a read with 0 bytes; one after some data ends the read before it. A
    // zero-capacity read completes, taking nothing, as soon as there is data.
    bool readBytes(char* destination, uint32_t capacity, ReadResult* result);

    // How many more bytes must arrive before such a read can complete (at least 1 if it cannot).
    size_t shortfall(bool messageMode, uint32_t capacity) const;

    // At least minBytes of contiguous free space to receive into; {nullptr, 0} if memory ran out.
    std::pair<char*, size_t> reserve(size_t minBytes);
    void commit(size_t bytes);

    // The writer has gone: drops a trailing record it did not finish, so a reader never sees part of
    // a message that was never completely written.
    void endOfStream();
    void clear();

    size_t buffered() const { return end_ - begin_; }

private:
    const uint8_t* front() const { return reinterpret_cast<const uint8_t*>(data_.get() + begin_); }
    void consume(size_t bytes);
    void releaseIfLarge();

    std::unique_ptr<char[]> data_;
    size_t capacity_ = 0;
    size_t begin_ = 0;
    size_t end_ = 0;
    bool inMessage_ = false;   // the header of the front message has been consumed
    uint64_t remaining_ = 0;   // bytes of that message not yet read, received or not
};

}  // namespace win32layer
