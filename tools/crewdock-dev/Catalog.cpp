#include "Catalog.h"

#include <algorithm>
#include <system_error>
#include <unordered_map>

namespace crewdock {

namespace {

std::string FoldCase(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

}  // namespace

bool IsSafeFileName(std::string_view name) {
    return !name.empty() && name.front() != '.' &&
           name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

std::optional<std::vector<CatalogEntry>> ReadCatalog(const std::filesystem::path& folder) {
    std::error_code ec;
    std::filesystem::directory_iterator it(folder, ec);
    if (ec) {
        return std::nullopt;
    }
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
        entries.push_back({std::move(name), size});
    }
    if (ec) {
        return std::nullopt;
    }
    std::sort(entries.begin(), entries.end(),
              [](const CatalogEntry& a, const CatalogEntry& b) { return a.name < b.name; });
    return entries;
}

std::vector<Shortfall> Compare(const std::vector<CatalogEntry>& catalog,
                               const std::vector<PackageEntry>& player) {
    std::unordered_map<std::string, std::vector<int64_t>> sizesByName;
    for (const auto& p : player) {
        sizesByName[FoldCase(p.name)].push_back(p.size);
    }
    std::vector<Shortfall> out;
    for (const auto& entry : catalog) {
        const auto it = sizesByName.find(FoldCase(entry.name));
        if (it == sizesByName.end()) {
            out.push_back({entry, true, 0});
            continue;
        }
        const auto& sizes = it->second;
        const bool same = std::any_of(sizes.begin(), sizes.end(), [&](int64_t s) {
            return s >= 0 && static_cast<uint64_t>(s) == entry.size;
        });
        if (!same) {
            out.push_back({entry, false, sizes.front()});
        }
    }
    return out;
}

}  // namespace crewdock
