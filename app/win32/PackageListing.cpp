// SPDX-License-Identifier: MIT
// Listing a folder's packages on Windows: the wide-character calls, names as UTF-8.
#include <windows.h>

#include <memory>
#include <optional>
#include <type_traits>

#include "AsciiText.h"
#include "Inventory.h"
#include "win32/Utf8.h"

namespace packwarden {
namespace {

struct FindCloser {
    void operator()(HANDLE find) const { ::FindClose(find); }
};
using FindHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, FindCloser>;

struct FileCloser {
    void operator()(HANDLE file) const { ::CloseHandle(file); }
};
using FileHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, FileCloser>;

bool IsPackageName(std::wstring_view name) {
    // "*.pk3" as a pattern would also take "a.pk3x" through its short name; the name decides.
    if (name.size() <= 4) {
        return false;
    }
    const std::wstring_view suffix = name.substr(name.size() - 4);
    for (std::size_t i = 0; i < 4; ++i) {
        if (suffix[i] > 0x7F || AsciiLower(static_cast<char>(suffix[i])) != ".pk3"[i]) {
            return false;
        }
    }
    return true;
}

// The size of the file a link leads to; nothing when it leads nowhere.
std::optional<int64_t> TargetSize(const std::wstring& path) {
    FileHandle file(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        file.release();
        return std::nullopt;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file.get(), &info)) {
        return std::nullopt;
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        return 0;
    }
    return static_cast<int64_t>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) |
                                info.nFileSizeLow);
}

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

std::string WithTrailingSeparator(std::string folder) {
    if (folder.empty() || folder.back() != '\\') {
        folder += '\\';
    }
    return folder;
}

Listing ListPackages(const std::string& folder, std::vector<PackageEntry>& entries) {
    entries.clear();
    std::wstring path = WideFromUtf8(folder);
    if (!path.empty() && path.back() != L'\\' && path.back() != L'/') {
        path += L'\\';
    }
    WIN32_FIND_DATAW data{};
    FindHandle find(::FindFirstFileExW((path + L"*").c_str(), FindExInfoBasic, &data,
                                       FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH));
    if (find.get() == INVALID_HANDLE_VALUE) {
        find.release();
        // A drive's empty root has nothing at all to list, not even "."; that is no failure.
        return ::GetLastError() == ERROR_FILE_NOT_FOUND && IsFolder(path) ? Listing::Listed
                                                                          : Listing::Unreadable;
    }
    std::vector<PackageEntry> found;
    do {
        const std::wstring_view name(data.cFileName);
        if (!IsPackageName(name) ||
            (data.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM))) {
            continue;
        }
        if (found.size() == MaxInventoryEntries) {
            return Listing::TooMany;
        }
        int64_t size = 0;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            // A link: the size of what it leads to, as the game would read it.
            const std::optional<int64_t> target = TargetSize(path + data.cFileName);
            if (!target) {
                continue;
            }
            size = *target;
        } else if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            size = static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) |
                                        data.nFileSizeLow);
        }
        found.push_back({Utf8FromWide(name), size});
    } while (::FindNextFileW(find.get(), &data));
    if (::GetLastError() != ERROR_NO_MORE_FILES) {
        return Listing::Unreadable;
    }
    entries = std::move(found);
    return Listing::Listed;
}

}  // namespace packwarden
