// ByteBuffer: bytes appended at the tail and consumed from the head, each in O(1) amortised.
//
// The readable bytes are [read_, write_) of one block. Consuming advances read_; the dead
// prefix is reclaimed, when the tail lacks room, by moving the live bytes to the front only if
// the prefix is at least half the block (otherwise the block grows), so every byte is moved a
// constant number of times however appends and consumes interleave. prepare/commit let a
// receive write straight into the tail; the block is never zero-filled.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace packwarden {

class ByteBuffer {
  public:
    std::size_t size() const { return write_ - read_; }
    bool empty() const { return write_ == read_; }
    const uint8_t* data() const { return block_.get() + read_; }
    std::string_view view() const { return {reinterpret_cast<const char*>(data()), size()}; }

    // Room for `n` more bytes at the tail; valid until the next change of the buffer. Only
    // what commit() then counts becomes readable.
    uint8_t* prepare(std::size_t n) {
        if (capacity_ - write_ < n) {
            MakeRoom(n);
        }
        return block_.get() + write_;
    }
    void commit(std::size_t n) { write_ += std::min(n, capacity_ - write_); }

    void append(const void* bytes, std::size_t n) {
        if (n == 0) {
            return;
        }
        std::memcpy(prepare(n), bytes, n);
        write_ += n;
    }
    void append(std::string_view s) { append(s.data(), s.size()); }

    // Drops the first n readable bytes (all of them when n >= size()).
    void consume(std::size_t n) {
        if (n >= size()) {
            clear();
            return;
        }
        read_ += n;
    }

    void clear() { read_ = write_ = 0; }

    // Releases the storage too (a long-lived idle connection keeps no peak allocation).
    void reset() {
        block_.reset();
        capacity_ = read_ = write_ = 0;
    }

  private:
    void MakeRoom(std::size_t n) {
        const std::size_t live = size();
        if (read_ >= capacity_ / 2 && capacity_ - live >= n) {
            std::memmove(block_.get(), block_.get() + read_, live);
        } else {
            const std::size_t capacity = std::max({capacity_ * 2, live + n, std::size_t{256}});
            auto block = std::make_unique_for_overwrite<uint8_t[]>(capacity);
            if (live > 0) {
                std::memcpy(block.get(), block_.get() + read_, live);
            }
            block_ = std::move(block);
            capacity_ = capacity;
        }
        read_ = 0;
        write_ = live;
    }

    std::unique_ptr<uint8_t[]> block_;
    std::size_t capacity_ = 0;
    std::size_t read_ = 0;
    std::size_t write_ = 0;
};

}  // namespace packwarden
