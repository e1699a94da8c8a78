// SPDX-License-Identifier: MIT
// Listing a folder's packages on Linux: names as the file system's bytes, sizes through the
// open folder.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>

#include "AsciiText.h"
#include "Inventory.h"

namespace packwarden {
namespace {

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

bool IsPackageName(std::string_view name) {
    return name.size() > 4 && name[0] != '.' && EndsWithIgnoringCase(name, ".pk3");
}

}  // namespace

std::string WithTrailingSeparator(std::string folder) {
    if (folder.empty() || folder.back() != '/') {
        folder += '/';
    }
    return folder;
}

Listing ListPackages(const std::string& folder, std::vector<PackageEntry>& entries) {
    entries.clear();
    DirHandle dir(::opendir(folder.c_str()));
    if (!dir) {
        return Listing::Unreadable;
    }
    // Sizes are read relative to the open folder: no path to build or walk per file.
    const int folderFd = ::dirfd(dir.get());
    // A folder that can be read but not searched would let no entry be examined, and an empty
    // list would go out as if the folder held no package.
    struct stat self {};
    if (::fstatat(folderFd, ".", &self, 0) != 0) {
        return Listing::Unreadable;
    }
    std::vector<PackageEntry> found;
    while (true) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (entry == nullptr) {
            if (errno != 0) {
                return Listing::Unreadable;
            }
            break;
        }
        if (!IsPackageName(entry->d_name)) {
            continue;
        }
        if (found.size() == MaxInventoryEntries) {
            return Listing::TooMany;
        }
        struct stat st {};
        if (::fstatat(folderFd, entry->d_name, &st, 0) != 0) {
            // Removed while listed, a link to nothing or in a loop, a name too long to follow:
            // one entry that cannot be examined is not the folder's failure.
            continue;
        }
        found.push_back(
            {entry->d_name, S_ISDIR(st.st_mode) ? 0 : static_cast<int64_t>(st.st_size)});
    }
    entries = std::move(found);
    return Listing::Listed;
}

}  // namespace packwarden
