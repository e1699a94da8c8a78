// Module1: where the game is installed.
//
// The game is a Windows program run through Wine, so its registry lives in the Wine prefix that
// holds it ($WINEPREFIX, default ~/.wine) as Wine's text files; system.reg is
// HKEY_LOCAL_MACHINE. ReadRegistryValue reads one value from there with the rules of the
// platform's 8-bit registry query (a 1024-byte buffer, the terminating zero byte trimmed), and
// the path it yields is mapped to a Unix path through the prefix's dosdevices/ links.
#pragma once

#include <cstdint>
#include <string>

namespace Module1 {

constexpr uint32_t HKEY_CLASSES_ROOT = 0x80000000;
constexpr uint32_t HKEY_CURRENT_USER = 0x80000001;
constexpr uint32_t HKEY_LOCAL_MACHINE = 0x80000002;
constexpr uint32_t HKEY_USERS = 0x80000003;

// Registry value types the reader distinguishes.
constexpr uint32_t REG_SZ = 1;
constexpr uint32_t REG_EXPAND_SZ = 2;
constexpr uint32_t REG_BINARY = 3;
constexpr uint32_t REG_DWORD = 4;

// The most bytes a value may take, its terminating zero byte included.
constexpr std::size_t ValueBufferSize = 1024;

// Reads value `valueName` ("" or "@" for the key's default value) of key `keyPath` (below
// `hive`, components separated by "\", compared without regard to case). True when the key
// exists and the value was read and fits the buffer. A text (REG_SZ) is returned as UTF-8
// without its terminating zero byte, a REG_DWORD as its decimal number; any other type leaves
// `result` as it was. False, with `result` untouched, for any other hive, a missing or
// unreadable prefix, a file that is not a Wine registry, a missing key or value, a value of
// more than 1024 bytes or one that cannot be parsed. Any other line that cannot be parsed (a
// broken key header or value, a line over 1 MiB) is skipped, and lines may be indented.
//
// A 32-bit program on a 64-bit Wine prefix finds HKLM\Software\X under
// Software\Wow6432Node\X; that place is tried too when the key is not found where named.
bool ReadRegistryValue(uint32_t hive, const std::string& keyPath, const std::string& valueName,
                       std::string& result);

// The Wine prefix: $WINEPREFIX when set and not empty, else ~/.wine.
std::string WinePrefix();

// Maps a Windows path ("C:\Games\EF2", or "\\?\C:\Games\EF2") to the Unix path it stands
// for in `prefix` ("<prefix>/dosdevices/c:/Games/EF2"), resolved through links and matched
// without regard to case as far as it exists. "." and ".." are taken on the text first, as
// Windows takes them, and ".." at the drive's root stays there. A path without a drive letter
// only has its separators turned to "/". No trailing "/" (except for "/" itself); "" for "".
// The result is the file system's bytes, which need not be UTF-8.
std::string UnixPathFromWindows(const std::string& windowsPath, const std::string& prefix);

// The game's base folder as the folder field shows it at start: the install path from the
// registry, mapped, followed by "/base"; "/base" alone when the lookup fails.
std::string InstallBaseFolder();

}  // namespace Module1
