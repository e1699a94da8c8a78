// SPDX-License-Identifier: MIT
#include "Catalog.h"

#include <algorithm>
#include <system_error>

namespace crewdock {

namespace {

bool ByName(const CatalogEntry& a, const CatalogEntry& b) {
    return a.name < b.name;
}

}  // namespace

bool IsSafeFileName(std::string_view name) {
    return !name.empty() && name.front() != '.' &&
           name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

std::optional<std::vector<CatalogEntry>> ReadCatalog(const std::filesystem::path& folder,
                                                     std::size_t maxEntries) {
    std::error_code ec;
    std::filesystem::directory_iterator it(folder, ec);
    if (ec) {
        return std::nullopt;
    }
    // A heap of the first names so far, its greatest on top: a huge folder costs time in
    // proportion, never memory.
    std::vector<CatalogEntry> entries;
    for (const std::filesystem::directory_iterator end; it != end; it.increment(ec)) {
        if (ec) {
            return std::nullopt;
        }
        std::string name = it->path().filename().string();
        std::error_code fileEc;
        if (!IsSafeFileName(name) || !it->is_regular_file(fileEc)) {
            continue;
        }
        const auto size = it->file_size(fileEc);
        if (fileEc) {
            continue;  // vanished or unreadable since the listing: not offered
        }
        if (entries.size() == maxEntries) {
            if (maxEntries == 0 || !(name < entries.front().name)) {
                continue;
            }
            std::pop_heap(entries.begin(), entries.end(), ByName);
            entries.pop_back();
        }
        entries.push_back({std::move(name), size});
        std::push_heap(entries.begin(), entries.end(), ByName);
    }
    if (ec) {
        return std::nullopt;
    }
    std::sort_heap(entries.begin(), entries.end(), ByName);
    return entries;
}

std::optional<Shortfall> CheckEntry(const CatalogEntry& entry,
                                    const std::vector<PackageEntry>& player,
                                    const std::vector<uint32_t>& byName) {
    const auto first = std::partition_point(byName.begin(), byName.end(), [&](uint32_t i) {
        return FoldedCompare(player[i].name, entry.name) < 0;
    });
    auto it = first;
    for (; it != byName.end() && FoldedCompare(player[*it].name, entry.name) == 0; ++it) {
        const int64_t size = player[*it].size;
        if (size >= 0 && static_cast<uint64_t>(size) == entry.size) {
            return std::nullopt;
        }
    }
    if (it == first) {
        return Shortfall{entry, true, 0};
    }
    // Equal names keep their posting order in the index.
    return Shortfall{entry, false, player[*first].size};
}

std::vector<Shortfall> Compare(const std::vector<CatalogEntry>& catalog,
                               const std::vector<PackageEntry>& player) {
    const std::vector<uint32_t> byName = IndexByFoldedName(player);
    std::vector<Shortfall> out;
    for (const auto& entry : catalog) {
        if (auto shortfall = CheckEntry(entry, player, byName)) {
            out.push_back(std::move(*shortfall));
        }
    }
    return out;
}

}  // namespace crewdock
