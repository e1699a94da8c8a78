// SPDX-License-Identifier: MIT
#include "posix/WinePrefix.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
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

std::string HomeFolder() {
    if (const char* env = std::getenv("HOME"); env != nullptr && *env != '\0') {
        return env;
    }
    if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) {
        return pw->pw_dir;
    }
    return {};
}

std::string WinePrefix() {
    if (const char* prefix = std::getenv("WINEPREFIX"); prefix != nullptr && *prefix != '\0') {
        return prefix;
    }
    return HomeFolder() + "/.wine";
}

std::vector<std::string> SteamLibraryFolders(std::string_view vdf) {
    // The file is nested "key" "value" and "key" { ... } pairs; only quoted tokens and braces
    // matter here.
    struct Token {
        std::string text;
        bool quoted;
    };
    std::vector<Token> tokens;
    for (std::size_t i = 0; i < vdf.size(); ++i) {
        const char c = vdf[i];
        if (c == '{' || c == '}') {
            tokens.push_back({std::string(1, c), false});
        } else if (c == '"') {
            std::string text;
            for (++i; i < vdf.size() && vdf[i] != '"'; ++i) {
                if (vdf[i] == '\\' && i + 1 < vdf.size()) {
                    ++i;  // "\\" stands for one backslash, "\"" for a quote
                }
                text += vdf[i];
            }
            tokens.push_back({std::move(text), true});
        }
    }
    std::vector<std::string> folders;
    int depth = 0;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const Token& token = tokens[i];
        if (!token.quoted) {
            depth += token.text == "{" ? 1 : -1;
            continue;
        }
        if (i + 1 >= tokens.size() || !tokens[i + 1].quoted) {
            continue;  // a key whose value is a block
        }
        const std::string& value = tokens[i + 1].text;
        const bool numbered =
            !token.text.empty() && std::all_of(token.text.begin(), token.text.end(), [](char d) {
                return std::isdigit(static_cast<unsigned char>(d));
            });
        if ((depth == 2 && EqualsIgnoringCase(token.text, "path")) || (depth == 1 && numbered)) {
            folders.push_back(value);
        }
        ++i;  // the value is consumed with its key
    }
    return folders;
}

namespace {

// The sub-folders of `folder`, in the order of their names.
std::vector<std::string> SubFolders(const std::string& folder) {
    std::vector<std::string> names;
    DirHandle dir(::opendir(folder.c_str()));
    if (!dir) {
        return names;
    }
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    std::vector<std::string> folders;
    for (const std::string& name : names) {
        folders.push_back(folder + "/" + name);
    }
    return folders;
}

std::string ReadSmallFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string content;
    constexpr std::size_t Limit = 1 << 20;  // a library list is a few hundred bytes
    char buffer[4096];
    while (in && content.size() < Limit) {
        in.read(buffer, sizeof buffer);
        content.append(buffer, static_cast<std::size_t>(in.gcount()));
    }
    return content;
}

}  // namespace

std::vector<std::string> CandidatePrefixes() {
    const std::string home = HomeFolder();
    std::vector<std::string> places;
    if (const char* prefix = std::getenv("WINEPREFIX"); prefix != nullptr && *prefix != '\0') {
        places.emplace_back(prefix);
    }
    places.push_back(home + "/.wine");

    // Steam: its own library, then those it lists; every game it runs through Proton has a
    // prefix of its own under compatdata.
    std::vector<std::string> libraries;
    for (const char* root : {"/.steam/steam", "/.local/share/Steam",
                             "/.var/app/com.valvesoftware.Steam/.local/share/Steam"}) {
        const std::string steam = home + root;
        libraries.push_back(steam);
        for (std::string& listed :
             SteamLibraryFolders(ReadSmallFile(steam + "/steamapps/libraryfolders.vdf"))) {
            libraries.push_back(std::move(listed));
        }
    }
    for (const std::string& library : libraries) {
        for (const std::string& game : SubFolders(library + "/steamapps/compatdata")) {
            places.push_back(game + "/pfx");
        }
    }
    // Lutris makes one prefix per game under ~/Games; Bottles one per bottle.
    for (const char* parent : {"/Games", "/.local/share/bottles/bottles",
                               "/.var/app/com.usebottles.bottles/data/bottles/bottles"}) {
        for (std::string& prefix : SubFolders(home + parent)) {
            places.push_back(std::move(prefix));
        }
    }

    std::vector<std::string> prefixes;
    std::vector<std::string> seen;  // the same prefix reached through links counts once
    for (const std::string& place : places) {
        if (!PathExists(place + "/system.reg")) {
            continue;
        }
        std::string real = RealPath(place).value_or(place);
        if (std::find(seen.begin(), seen.end(), real) == seen.end()) {
            seen.push_back(std::move(real));
            prefixes.push_back(place);
        }
    }
    return prefixes;
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
