// SPDX-License-Identifier: MIT
// The service's tables. Both hold weak references only: a dispatch takes a strong one for the
// length of one call, so an owner may drop its socket object inside any of its handlers.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "Backend.h"
#include "packwarden/detail/Platform.h"
#include "packwarden/detail/Registries.h"

namespace packwarden::MSocketSupport::detail {

// SocketRegistry: socket handle -> object. Small handles (descriptors, Winsock's handles in
// practice) index a vector, so a dispatch is one vector access and allocates nothing; larger
// ones go to a map rather than grow the vector to their size.
class SocketTable {
  public:
    bool Present() const { return count_ > 0; }
    std::size_t Count() const { return count_; }
    bool Contains(int32_t handle) const;
    // False when the handle is negative or already present.
    bool Add(int32_t handle, std::weak_ptr<SocketEventSink> object);
    // False when the handle is not present.
    bool Remove(int32_t handle);
    // Every dispatch: one bounds check and the lock (an unused entry's reference is empty).
    std::shared_ptr<SocketEventSink> Find(int32_t handle) const {
        if (handle >= 0 && static_cast<std::size_t>(handle) < entries_.size()) {
            return entries_[static_cast<std::size_t>(handle)].lock();
        }
        return handle >= DirectLimit ? FindLarge(handle) : nullptr;
    }

  private:
    std::shared_ptr<SocketEventSink> FindLarge(int32_t handle) const;

    static constexpr int32_t DirectLimit = 1 << 16;
    // One reference per handle number, the unused ones included; which are in use is kept
    // apart, a bit each, so an entry is no larger than the reference.
    std::vector<std::weak_ptr<SocketEventSink>> entries_;
    std::vector<bool> used_;
    std::unordered_map<int32_t, std::weak_ptr<SocketEventSink>> large_;
    std::size_t count_ = 0;
};

// LookupRegistry (task -> object and the task's buffer) and LookupBuffers (object -> its
// latest task). Buffers belong to their task, so a second lookup by the same object never
// takes the first one's buffer away, and each completion reads only its own.
class LookupTable {
  public:
    struct Entry {
        std::weak_ptr<SocketEventSink> object;
        const SocketEventSink* key = nullptr;
        std::shared_ptr<LookupBuffer> buffer;
    };

    bool Present() const { return !tasks_.empty(); }
    std::size_t Count() const { return tasks_.size(); }
    // A positive handle not in use by an outstanding lookup.
    int32_t NewTask();
    void Add(int32_t task, Entry entry);
    Entry* Find(int32_t task);
    // Removes a finished or failed task; both tables go when the last task has gone.
    void Remove(int32_t task);
    void Forget(const SocketEventSink* key) { latest_.erase(key); }
    int32_t LatestTask(const SocketEventSink* key) const;

  private:
    std::unordered_map<int32_t, Entry> tasks_;
    std::unordered_map<const SocketEventSink*, int32_t> latest_;
    int32_t nextTask_ = 1;
};

}  // namespace packwarden::MSocketSupport::detail
