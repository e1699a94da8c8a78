// SPDX-License-Identifier: MIT
// The channel's FIFO: a ring buffer that only allocates when it grows, so that steady-state
// traffic queues and dispatches records without touching the heap. Its size is a power of
// two, so a position wraps with a mask rather than a division.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace packwarden::MSocketSupport::detail {

template <typename T>
class RecordQueue {
  public:
    bool Empty() const { return count_ == 0; }
    std::size_t Size() const { return count_; }

    void Push(const T& value) {
        if (count_ == slots_.size()) {
            Grow();
        }
        slots_[(head_ + count_) & (slots_.size() - 1)] = value;
        ++count_;
    }

    bool Pop(T& out) {
        if (count_ == 0) {
            return false;
        }
        out = slots_[head_];
        head_ = (head_ + 1) & (slots_.size() - 1);
        --count_;
        return true;
    }

  private:
    void Grow() {
        std::vector<T> bigger(slots_.empty() ? 64 : slots_.size() * 2);
        for (std::size_t i = 0; i < count_; ++i) {
            bigger[i] = slots_[(head_ + i) & (slots_.size() - 1)];
        }
        slots_ = std::move(bigger);
        head_ = 0;
    }

    std::vector<T> slots_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
};

}  // namespace packwarden::MSocketSupport::detail
