// SPDX-License-Identifier: MIT
// The lookup on Linux: the game's registry entry read from a Wine prefix's system.reg
// (SystemReg.h parses it), the install path mapped through that prefix (WinePrefix.h); the
// prefixes tried in turn are the usual places (WinePrefix.h, CandidatePrefixes).
#include "Module1.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string_view>
#include <system_error>

#include "AsciiText.h"
#include "posix/SystemReg.h"
#include "posix/WinePrefix.h"

namespace Module1 {
namespace {

using packwarden::StartsWithIgnoringCase;

// A prefix's system.reg is a few megabytes; anything far beyond that is not one.
constexpr std::uintmax_t MaxRegistryFileSize = 64u << 20;

std::optional<std::string> ReadWholeFile(const std::string& path) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec || size > MaxRegistryFileSize) {
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::string content(static_cast<std::size_t>(size), '\0');
    in.read(content.data(), static_cast<std::streamsize>(content.size()));
    content.resize(static_cast<std::size_t>(in.gcount()));
    if (in.bad()) {
        return std::nullopt;
    }
    return content;
}

// The value as ReadRegistryValue reads it, from the registry of Wine prefix `prefix`.
bool ReadFromPrefix(const std::string& prefix, uint32_t hive, const std::string& keyPath,
                    const std::string& valueName, std::string& result) {
    if (hive != HKEY_LOCAL_MACHINE) {
        return false;
    }
    std::optional<std::string> content = ReadWholeFile(prefix + "/system.reg");
    if (!content) {
        return false;
    }
    RawValue value;
    Lookup found = FindValue(*content, keyPath, valueName, value);
    constexpr std::string_view Software = "software\\";
    if (found == Lookup::NotFound && StartsWithIgnoringCase(keyPath, Software) &&
        !StartsWithIgnoringCase(keyPath, "software\\wow6432node\\")) {
        const std::string redirected = "Software\\Wow6432Node\\" + keyPath.substr(Software.size());
        found = FindValue(*content, redirected, valueName, value);
    }
    return found == Lookup::Found && StoreValue(value.type, std::move(value.data), result);
}

}  // namespace

bool ReadRegistryValue(uint32_t hive, const std::string& keyPath, const std::string& valueName,
                       std::string& result) {
    return ReadFromPrefix(WinePrefix(), hive, keyPath, valueName, result);
}

std::string InstallBaseFolder() {
    for (const std::string& prefix : CandidatePrefixes()) {
        std::string installPath;
        if (ReadFromPrefix(prefix, HKEY_LOCAL_MACHINE, GameKeyPath, InstallPathValue,
                           installPath) &&
            !installPath.empty()) {
            const std::string folder = UnixPathFromWindows(installPath, prefix);
            return (folder == "/" ? std::string() : folder) + "/base";
        }
    }
    return {};
}

std::string NoGameFound() {
    std::string places;
    if (const char* prefix = std::getenv("WINEPREFIX"); prefix != nullptr && *prefix != '\0') {
        places = std::string(prefix) + " (WINEPREFIX), ";
    }
    return "No game found in " + places +
           "~/.wine, Steam's Proton prefixes, or Lutris's and Bottles' prefixes; choose its base "
           "folder with Browse, or start with WINEPREFIX=<the game's Wine prefix>";
}

}  // namespace Module1
