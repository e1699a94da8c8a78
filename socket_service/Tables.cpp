// SPDX-License-Identifier: MIT
#include "Tables.h"

#include <limits>

namespace packwarden::MSocketSupport::detail {

bool SocketTable::Contains(int32_t handle) const {
    if (handle >= DirectLimit) {
        return large_.find(handle) != large_.end();
    }
    return handle >= 0 && static_cast<std::size_t>(handle) < entries_.size() &&
           used_[static_cast<std::size_t>(handle)];
}

bool SocketTable::Add(int32_t handle, std::weak_ptr<SocketEventSink> object) {
    if (handle < 0 || Contains(handle)) {
        return false;
    }
    if (handle >= DirectLimit) {
        large_.emplace(handle, std::move(object));
        ++count_;
        return true;
    }
    const auto index = static_cast<std::size_t>(handle);
    if (index >= entries_.size()) {
        std::size_t size = entries_.empty() ? 64 : entries_.size();
        while (size <= index) {
            size *= 2;
        }
        entries_.resize(size);
        used_.resize(size);
    }
    used_[index] = true;
    entries_[index] = std::move(object);
    ++count_;
    return true;
}

bool SocketTable::Remove(int32_t handle) {
    if (!Contains(handle)) {
        return false;
    }
    if (handle >= DirectLimit) {
        large_.erase(handle);
    } else {
        entries_[static_cast<std::size_t>(handle)].reset();
        used_[static_cast<std::size_t>(handle)] = false;
    }
    --count_;
    return true;
}

std::shared_ptr<SocketEventSink> SocketTable::FindLarge(int32_t handle) const {
    auto it = large_.find(handle);
    return it == large_.end() ? nullptr : it->second.lock();
}

int32_t LookupTable::NewTask() {
    for (;;) {
        const int32_t task = nextTask_;
        nextTask_ = nextTask_ == std::numeric_limits<int32_t>::max() ? 1 : nextTask_ + 1;
        if (tasks_.find(task) == tasks_.end()) {
            return task;
        }
    }
}

void LookupTable::Add(int32_t task, Entry entry) {
    const SocketEventSink* key = entry.key;
    tasks_[task] = std::move(entry);
    latest_[key] = task;
}

LookupTable::Entry* LookupTable::Find(int32_t task) {
    auto it = tasks_.find(task);
    return it == tasks_.end() ? nullptr : &it->second;
}

void LookupTable::Remove(int32_t task) {
    auto it = tasks_.find(task);
    if (it == tasks_.end()) {
        return;
    }
    auto latest = latest_.find(it->second.key);
    if (latest != latest_.end() && latest->second == task) {
        latest_.erase(latest);
    }
    tasks_.erase(it);
    if (tasks_.empty()) {
        latest_.clear();
    }
}

int32_t LookupTable::LatestTask(const SocketEventSink* key) const {
    auto it = latest_.find(key);
    return it == latest_.end() ? 0 : it->second;
}

}  // namespace packwarden::MSocketSupport::detail
