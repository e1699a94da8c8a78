// SPDX-License-Identifier: MIT
#include "SessionStore.h"

#include <algorithm>

namespace crewdock {

namespace {

// What a string costs on the heap beyond its own object: nothing while it is short enough to
// live inside the object, else its capacity and the allocator's header.
std::size_t HeapBytes(const std::string& s) {
    return s.capacity() > 15 ? s.capacity() + 1 + 16 : 0;
}

}  // namespace

int FoldedCompare(std::string_view a, std::string_view b) {
    const auto fold = [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u >= 'A' && u <= 'Z' ? u - 'A' + 'a' : u;
    };
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned x = fold(a[i]);
        const unsigned y = fold(b[i]);
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

std::vector<uint32_t> IndexByFoldedName(const std::vector<PackageEntry>& packages) {
    std::vector<uint32_t> index(packages.size());
    for (std::size_t i = 0; i < index.size(); ++i) {
        index[i] = static_cast<uint32_t>(i);
    }
    std::stable_sort(index.begin(), index.end(), [&](uint32_t a, uint32_t b) {
        return FoldedCompare(packages[a].name, packages[b].name) < 0;
    });
    return index;
}

SessionStore::SessionStore(std::size_t maxSessions, std::size_t maxBytes)
    : maxSessions_(std::max<std::size_t>(maxSessions, 1)), maxBytes_(maxBytes) {}

std::size_t SessionStore::Cost(const Session& session) {
    // The entry, its map and list nodes, the two vectors and every string's heap block.
    std::size_t cost = sizeof(Entry) + 64 + HeapBytes(session.game) + HeapBytes(session.version) +
                       session.packages.capacity() * sizeof(PackageEntry) +
                       session.packages.size() * sizeof(uint32_t);
    for (const auto& p : session.packages) {
        cost += HeapBytes(p.name);
    }
    return cost;
}

void SessionStore::Erase(uint32_t number) {
    const auto it = entries_.find(number);
    if (it == entries_.end()) {
        return;
    }
    bytes_ -= it->second.bytes;
    oldestFirst_.erase(it->second.age);
    entries_.erase(it);
}

void SessionStore::Put(uint32_t number, Session session) {
    Erase(number);
    const std::size_t cost = Cost(session);
    while (!entries_.empty() && (entries_.size() >= maxSessions_ || bytes_ + cost > maxBytes_)) {
        Erase(oldestFirst_.front());
    }
    // A single posting larger than the whole budget is still kept: it is bounded by the
    // request size limit, and dropping it would lose the player's list silently.
    oldestFirst_.push_back(number);
    std::vector<uint32_t> byName = IndexByFoldedName(session.packages);
    entries_.emplace(number, Entry{std::move(session), std::move(byName), nextSerial_++, cost,
                                   std::prev(oldestFirst_.end())});
    bytes_ += cost;
}

const Session* SessionStore::Find(uint32_t number) const {
    return Lookup(number).session;
}

StoredSession SessionStore::Lookup(uint32_t number) const {
    const auto it = entries_.find(number);
    if (it == entries_.end()) {
        return {};
    }
    return {&it->second.session, &it->second.byName, it->second.serial};
}

}  // namespace crewdock
