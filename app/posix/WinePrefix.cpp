// SPDX-License-Identifier: MIT
#include "posix/WinePrefix.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "AsciiText.h"

namespace Module1 {
namespace {

using packwarden::AsciiLower;
using packwarden::EqualsIgnoringCase;
using packwarden::StartsWithIgnoringCase;

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

bool PathExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::optional<std::string> RealPath(const std::string& path) {
    struct Free {
        void operator()(char* p) const { std::free(p); }
    };
    std::unique_ptr<char, Free> resolved(::realpath(path.c_str(), nullptr));
    if (!resolved) {
        return std::nullopt;
    }
    return std::string(resolved.get());
}

// The entry of `folder` named `name` without regard to case, if any.
std::optional<std::string> FindIgnoringCase(const std::string& folder, const std::string& name) {
    DirHandle dir(::opendir(folder.c_str()));
    if (!dir) {
        return std::nullopt;
    }
    while (const dirent* entry = ::readdir(dir.get())) {
        if (EqualsIgnoringCase(entry->d_name, name)) {
            return std::string(entry->d_name);
        }
    }
    return std::nullopt;
}

std::vector<std::string> SplitComponents(std::string_view path) {
    std::vector<std::string> parts;
    std::size_t pos = 0;
    while (pos < path.size()) {
        std::size_t end = path.find('/', pos);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        if (end > pos) {
            parts.emplace_back(path.substr(pos, end - pos));
        }
        pos = end + 1;
    }
    return parts;
}

std::string JoinPath(std::string base, const std::vector<std::string>& parts, std::size_t from) {
    for (std::size_t i = from; i < parts.size(); ++i) {
        if (base.empty() || base.back() != '/') {
            base += '/';
        }
        base += parts[i];
    }
    return base;
}

}  // namespace

std::string WinePrefix() {
    if (const char* prefix = std::getenv("WINEPREFIX"); prefix != nullptr && *prefix != '\0') {
        return prefix;
    }
    std::string home;
    if (const char* env = std::getenv("HOME"); env != nullptr && *env != '\0') {
        home = env;
    } else if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) {
        home = pw->pw_dir;
    }
    return home + "/.wine";
}

std::string UnixPathFromWindows(const std::string& windowsPath, const std::string& prefix) {
    std::string path = windowsPath;
    // "\\?\C:\..." (and "\\.\C:\...") is C:\... with the usual rewriting turned off;
    // "\\?\UNC\server\share" is "\\server\share".
    if (path.size() >= 4 && path[0] == '\\' && path[1] == '\\' &&
        (path[2] == '?' || path[2] == '.') && path[3] == '\\') {
        path.erase(0, 4);
        if (StartsWithIgnoringCase(path, "UNC\\")) {
            path.replace(0, 4, "\\\\");
        }
    }
    for (char& c : path) {
        if (c == '\\') {
            c = '/';
        }
    }
    const bool hasDrive =
        path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':';
    if (!hasDrive) {
        while (path.size() > 1 && path.back() == '/') {
            path.pop_back();
        }
        return path;
    }
    const std::string root = prefix + "/dosdevices/" + AsciiLower(path[0]) + ":";
    // "." and ".." are resolved on the path's text, as Windows does, and ".." stops at the
    // drive's root: C:\..\Games is C:\Games, never a folder outside the drive.
    std::vector<std::string> parts;
    for (std::string& part : SplitComponents(std::string_view(path).substr(2))) {
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (part != ".") {
            parts.push_back(std::move(part));
        }
    }
    std::optional<std::string> current = RealPath(root);
    if (!current) {
        return JoinPath(root, parts, 0);
    }
    // Windows paths ignore case; follow the folders that exist, keep the rest as written.
    for (std::size_t i = 0; i < parts.size(); ++i) {
        std::string next = JoinPath(*current, {parts[i]}, 0);
        if (!PathExists(next)) {
            std::optional<std::string> actual = FindIgnoringCase(*current, parts[i]);
            if (!actual) {
                return JoinPath(*current, parts, i);
            }
            next = JoinPath(*current, {*actual}, 0);
        }
        std::optional<std::string> resolved = RealPath(next);
        if (!resolved) {
            return JoinPath(next, parts, i + 1);
        }
        current = std::move(resolved);
    }
    return *current;
}

}  // namespace Module1
