// ByteBuffer: bytes appended at the tail and consumed from the head, each in O(1) amortised.
//
// The readable bytes are [read_, data_.size()). Consuming advances read_; the dead prefix is
// reclaimed when it is at least half the storage, so every byte is moved at most a constant
// number of times however the appends and consumes interleave.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace packwarden {

class ByteBuffer {
  public:
    std::size_t size() const { return data_.size() - read_; }
    bool empty() const { return size() == 0; }
    const uint8_t* data() const { return data_.data() + read_; }
    std::string_view view() const { return {reinterpret_cast<const char*>(data()), size()}; }

    void append(const void* bytes, std::size_t n) {
        if (n == 0) {
            return;
        }
        const auto* p = static_cast<const uint8_t*>(bytes);
        data_.insert(data_.end(), p, p + n);
    }
    void append(std::string_view s) { append(s.data(), s.size()); }

    // Drops the first n readable bytes (all of them when n >= size()).
    void consume(std::size_t n) {
        if (n >= size()) {
            clear();
            return;
        }
        read_ += n;
        if (read_ >= data_.size() / 2) {
            data_.erase(data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(read_));
            read_ = 0;
        }
    }

    void clear() {
        data_.clear();
        read_ = 0;
    }

    // Releases the storage too (a long-lived idle connection keeps no peak allocation).
    void reset() {
        std::vector<uint8_t>().swap(data_);
        read_ = 0;
    }

  private:
    std::vector<uint8_t> data_;
    std::size_t read_ = 0;
};

}  // namespace packwarden
