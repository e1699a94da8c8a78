// SPDX-License-Identifier: MIT
// The Wine prefix the game is installed in, and its Windows paths as Unix paths (Linux).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace Module1 {

// The Wine prefix: $WINEPREFIX when set and not empty, else ~/.wine. Its system.reg holds
// HKEY_LOCAL_MACHINE; ReadRegistryValue reads it with every rule of that file (SystemReg.h:
// escapes, hex continuations, indented lines; a line that cannot be parsed, or is over 1 MiB,
// is skipped).
std::string WinePrefix();

// The user's home folder: $HOME when set and not empty, else the password database's entry.
std::string HomeFolder();

// The Wine prefixes the game may be installed in, in the order they are tried: $WINEPREFIX
// (when set), ~/.wine, Steam's Proton prefixes, Lutris's and Bottles' (see InstallBaseFolder
// in Module1.h). Only folders that hold a system.reg are listed, each once; the prefixes found
// under one folder come in the order of their names.
std::vector<std::string> CandidatePrefixes();

// The library folders a Steam libraryfolders.vdf lists (the "path" of each entry, or the value
// of a numbered entry in the file's older form), escapes undone, in the file's order.
std::vector<std::string> SteamLibraryFolders(std::string_view vdf);

// Maps a Windows path ("C:\Games\EF2", or "\\?\C:\Games\EF2") to the Unix path it stands
// for in `prefix` ("<prefix>/dosdevices/c:/Games/EF2"), resolved through links and matched
// without regard to case as far as it exists. "." and ".." are taken on the text first, as
// Windows takes them, and ".." at the drive's root stays there. A path without a drive letter
// only has its separators turned to "/". No trailing "/" (except for "/" itself); "" for "".
// The result is the file system's bytes, which need not be UTF-8.
std::string UnixPathFromWindows(const std::string& windowsPath, const std::string& prefix);

}  // namespace Module1
