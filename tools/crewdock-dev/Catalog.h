// SPDX-License-Identifier: MIT
// The catalog: a folder whose plain files are the packages this server offers for download,
// and the comparison of a player's posted list against it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "SessionStore.h"

namespace crewdock {

struct CatalogEntry {
    std::string name;
    uint64_t size = 0;

    bool operator==(const CatalogEntry&) const = default;
};

// A package the player lacks, or has with another size.
struct Shortfall {
    CatalogEntry entry;
    bool missing = true;
    int64_t playerSize = 0;  // when not missing: the size the player has
};

// The most packages a catalog offers: the first ones by name. Pages compare against this many at
// most, so their cost stays bounded whatever the folder holds.
constexpr std::size_t kMaxCatalogEntries = 10000;

// True for a name that can only mean a file directly inside the catalog folder: not empty,
// no '/', '\\' or NUL, not hidden (which also rules out "." and "..").
bool IsSafeFileName(std::string_view name);

// The regular files directly inside `folder` (symbolic links followed), hidden ones and names
// that are not safe left out, sorted by name; the first `maxEntries` of them. Empty result when
// the folder cannot be read. Nothing is opened, so special files cost nothing here.
std::optional<std::vector<CatalogEntry>> ReadCatalog(const std::filesystem::path& folder,
                                                     std::size_t maxEntries = kMaxCatalogEntries);

// Whether the player lacks `entry` or has it with another size; `byName` is
// IndexByFoldedName(player). Names compare without regard to ASCII case, as on the players'
// file systems; a player's first package of that name gives the size reported.
std::optional<Shortfall> CheckEntry(const CatalogEntry& entry,
                                    const std::vector<PackageEntry>& player,
                                    const std::vector<uint32_t>& byName);

// Catalog entries the player lacks or has with another size, in catalog order.
std::vector<Shortfall> Compare(const std::vector<CatalogEntry>& catalog,
                               const std::vector<PackageEntry>& player);

}  // namespace crewdock
