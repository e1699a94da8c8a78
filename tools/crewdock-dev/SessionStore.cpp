#include "SessionStore.h"

#include <algorithm>

namespace crewdock {

SessionStore::SessionStore(std::size_t maxSessions, std::size_t maxBytes)
    : maxSessions_(std::max<std::size_t>(maxSessions, 1)), maxBytes_(maxBytes) {}

std::size_t SessionStore::Cost(const Session& session) {
    std::size_t cost = sizeof(Session) + session.game.size() + session.version.size();
    for (const auto& p : session.packages) {
        cost += sizeof(PackageEntry) + p.name.size();
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
    entries_.emplace(number, Entry{std::move(session), cost, std::prev(oldestFirst_.end())});
    bytes_ += cost;
}

const Session* SessionStore::Find(uint32_t number) const {
    const auto it = entries_.find(number);
    return it == entries_.end() ? nullptr : &it->second.session;
}

}  // namespace crewdock
