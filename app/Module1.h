// SPDX-License-Identifier: MIT
// Module1: where the game is installed.
//
// ReadRegistryValue reads one value of the game's registry entry with the rules of the
// platform's registry query (a value of at most 1024 bytes, a text's terminating zero byte
// trimmed). One realisation per platform, chosen by CMake:
//   - Windows (win32/Module1.cpp): the registry itself, the 32-bit view first (the game is a
//     32-bit program, so a real installation's key lives there), then the native one;
//   - Linux (posix/Module1.cpp): the game runs through Wine, so its registry is the Wine
//     prefix's text file system.reg (parsed by posix/SystemReg.h), and the path it yields is
//     mapped to a Unix path through the prefix's dosdevices/ links (posix/WinePrefix.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Module1 {

// Windows' headers define the same names as macros with the same values; where they are
// included first, these constants are still declared (the macros are set aside and
// restored), but the names then read as the macros.
#pragma push_macro("HKEY_CLASSES_ROOT")
#pragma push_macro("HKEY_CURRENT_USER")
#pragma push_macro("HKEY_LOCAL_MACHINE")
#pragma push_macro("HKEY_USERS")
#pragma push_macro("REG_SZ")
#pragma push_macro("REG_EXPAND_SZ")
#pragma push_macro("REG_BINARY")
#pragma push_macro("REG_DWORD")
#undef HKEY_CLASSES_ROOT
#undef HKEY_CURRENT_USER
#undef HKEY_LOCAL_MACHINE
#undef HKEY_USERS
#undef REG_SZ
#undef REG_EXPAND_SZ
#undef REG_BINARY
#undef REG_DWORD
constexpr uint32_t HKEY_CLASSES_ROOT = 0x80000000;
constexpr uint32_t HKEY_CURRENT_USER = 0x80000001;
constexpr uint32_t HKEY_LOCAL_MACHINE = 0x80000002;
constexpr uint32_t HKEY_USERS = 0x80000003;

// Registry value types the reader distinguishes.
constexpr uint32_t REG_SZ = 1;
constexpr uint32_t REG_EXPAND_SZ = 2;
constexpr uint32_t REG_BINARY = 3;
constexpr uint32_t REG_DWORD = 4;

#pragma pop_macro("HKEY_CLASSES_ROOT")
#pragma pop_macro("HKEY_CURRENT_USER")
#pragma pop_macro("HKEY_LOCAL_MACHINE")
#pragma pop_macro("HKEY_USERS")
#pragma pop_macro("REG_SZ")
#pragma pop_macro("REG_EXPAND_SZ")
#pragma pop_macro("REG_BINARY")
#pragma pop_macro("REG_DWORD")

// The most bytes a value may take as UTF-8, its terminating zero byte included.
constexpr std::size_t ValueBufferSize = 1024;

// Reads value `valueName` ("" for the key's default value; on Linux "@" too) of key `keyPath`
// (below `hive`, components separated by "\", compared without regard to case). True when the
// key exists and the value was read and fits the buffer. A text (REG_SZ) is returned as UTF-8
// without its terminating zero byte, a REG_DWORD as its decimal number; any other type leaves
// `result` as it was. False, with `result` untouched, for a missing key or value, one that may
// not be read, or a value of more than 1024 bytes.
//
// A 32-bit program on 64-bit Windows finds HKLM\Software\X under Software\Wow6432Node\X: both
// places are tried (on Windows the 32-bit view first; in a Wine prefix's file the place named
// first).
bool ReadRegistryValue(uint32_t hive, const std::string& keyPath, const std::string& valueName,
                       std::string& result);

// Where the game keeps its install path, below HKEY_LOCAL_MACHINE.
inline constexpr const char* GameKeyPath = "software\\activision\\elite force ii";
inline constexpr const char* InstallPathValue = "installpath";

// For both realisations of ReadRegistryValue. REG_SZ, REG_EXPAND_SZ and REG_MULTI_SZ: the
// types stored as text.
bool IsTextType(uint32_t type);
// Gives a value's bytes, as the 8-bit query returns them (a text as UTF-8 with its terminating
// zero byte), to `result` by the rules above; false, with `result` untouched, when they take
// more than ValueBufferSize bytes.
bool StoreValue(uint32_t type, std::string bytes, std::string& result);

// The game's base folder as the folder field shows it at start: the install path from the
// registry followed by "\base" ("/base" on Linux, the path mapped to a Unix one); empty when
// no registry names the game (the field then asks the player to choose the folder).
//
// On Linux the game may be in any of the usual Wine prefixes, and the first that names it
// wins: $WINEPREFIX, ~/.wine, Steam's Proton prefixes (steamapps/compatdata/*/pfx of Steam's
// own library and of every library folder listed in its libraryfolders.vdf), Lutris's
// (~/Games/*) and Bottles' (native and Flatpak) prefixes.
std::string InstallBaseFolder();

// What was looked for, as the second line of the message when the field is left empty: where
// InstallBaseFolder looked, and what the player can do.
std::string NoGameFound();

}  // namespace Module1
