// SPDX-License-Identifier: MIT
// The package lists players have posted, by session number, held in memory only. The store is
// bounded both in sessions and in bytes (counted as the heap holds them); when full, the oldest
// posting goes first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace crewdock {

struct PackageEntry {
    std::string name;
    int64_t size = 0;  // as posted; old clients wrap sizes of 2 GiB and more to negatives
};

struct Session {
    std::string game;
    std::string version;
    std::vector<PackageEntry> packages;  // in the order posted
};

// <0, 0 or >0 as `a` sorts before, with or after `b`, ASCII case aside (bytes unsigned).
int FoldedCompare(std::string_view a, std::string_view b);

// The positions of `packages` ordered by name without regard to ASCII case, equal names in
// posting order: a name is then found by binary search.
std::vector<uint32_t> IndexByFoldedName(const std::vector<PackageEntry>& packages);

// A session as held, with its name index and the serial of its posting: a page being sent in
// pieces checks the serial before each piece, so it never mixes two postings.
struct StoredSession {
    const Session* session = nullptr;
    const std::vector<uint32_t>* byName = nullptr;
    uint64_t serial = 0;
};

class SessionStore {
  public:
    static constexpr std::size_t kDefaultMaxSessions = 4096;
    static constexpr std::size_t kDefaultMaxBytes = 64 * 1024 * 1024;

    explicit SessionStore(std::size_t maxSessions = kDefaultMaxSessions,
                          std::size_t maxBytes = kDefaultMaxBytes);

    // Keeps `session` under `number`, replacing an earlier posting of the same number.
    void Put(uint32_t number, Session session);
    // Null when nothing is held for `number`.
    const Session* Find(uint32_t number) const;
    // Empty (null session) when nothing is held for `number`.
    StoredSession Lookup(uint32_t number) const;

    std::size_t size() const { return entries_.size(); }
    std::size_t bytes() const { return bytes_; }

  private:
    struct Entry {
        Session session;
        std::vector<uint32_t> byName;
        uint64_t serial = 0;
        std::size_t bytes = 0;
        std::list<uint32_t>::iterator age;
    };
    static std::size_t Cost(const Session& session);
    void Erase(uint32_t number);

    std::size_t maxSessions_;
    std::size_t maxBytes_;
    std::size_t bytes_ = 0;
    uint64_t nextSerial_ = 1;
    std::unordered_map<uint32_t, Entry> entries_;
    std::list<uint32_t> oldestFirst_;
};

}  // namespace crewdock
