// SPDX-License-Identifier: MIT
// ByteBuffer: bytes appended at the tail and consumed from the head, each in O(1) amortised.
//
// The readable bytes are [read_, write_) of one block. Consuming advances read_; the dead
// prefix is reclaimed, when the tail lacks room, by moving the live bytes to the front only if
// the prefix is at least half the block (otherwise the block grows), so every byte is moved a
// constant number of times however appends and consumes interleave. prepare/commit let a
// receive write straight into the tail.
//
// The block is a std::string, so that the readable bytes can be handed over whole (release)
// as a string of their own, and a string given back (adopt) can serve as the next block: a
// receiver and its owner then pass two blocks back and forth without copying or allocating.
// The price is that a block is zero-filled where it grows, and where an adopted string had
// no bytes yet.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace packwarden {

class ByteBuffer {
  public:
    std::size_t size() const { return write_ - read_; }
    bool empty() const { return write_ == read_; }
    const uint8_t* data() const { return Base() + read_; }
    std::string_view view() const { return {block_.data() + read_, size()}; }
    // The block's size: readable bytes, the dead prefix and the room at the tail.
    std::size_t capacity() const { return block_.size(); }

    // Room for `n` more bytes at the tail; valid until the next change of the buffer. Only
    // what commit() then counts becomes readable.
    uint8_t* prepare(std::size_t n) {
        if (block_.size() - write_ < n) {
            MakeRoom(n);
        }
        return Base() + write_;
    }
    void commit(std::size_t n) { write_ += std::min(n, block_.size() - write_); }

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
        std::string().swap(block_);
        read_ = write_ = 0;
    }

    // Hands the readable bytes over as a string that is exactly them, in the block itself
    // (moved to its front first when a prefix was consumed): no copy. The buffer is left
    // empty, without a block.
    std::string release() {
        const std::size_t live = size();
        if (read_ > 0 && live > 0) {
            std::memmove(block_.data(), block_.data() + read_, live);
        }
        block_.resize(live);
        read_ = write_ = 0;
        std::string out;
        out.swap(block_);
        return out;
    }

    // Takes `storage` as the block of an empty buffer; its contents are dropped and its whole
    // capacity becomes room. The buffer's own block, if any, goes back in `storage`.
    void adopt(std::string& storage) {
        block_.swap(storage);
        block_.resize(block_.capacity());
        read_ = write_ = 0;
    }

  private:
    uint8_t* Base() { return reinterpret_cast<uint8_t*>(block_.data()); }
    const uint8_t* Base() const { return reinterpret_cast<const uint8_t*>(block_.data()); }

    void MakeRoom(std::size_t n) {
        const std::size_t live = size();
        const std::size_t capacity = block_.size();
        if (read_ >= capacity / 2 && capacity - live >= n) {
            std::memmove(block_.data(), block_.data() + read_, live);
        } else {
            std::string block;
            block.reserve(std::max({capacity * 2, live + n, std::size_t{256}}));
            block.append(view());
            block.resize(block.capacity());
            block_.swap(block);
        }
        read_ = 0;
        write_ = live;
    }

    std::string block_;
    std::size_t read_ = 0;
    std::size_t write_ = 0;
};

}  // namespace packwarden
