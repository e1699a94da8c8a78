// SPDX-License-Identifier: MIT
// The Wine prefix the game is installed in, and its Windows paths as Unix paths (Linux).
#pragma once

#include <string>

namespace Module1 {

// The Wine prefix: $WINEPREFIX when set and not empty, else ~/.wine. Its system.reg holds
// HKEY_LOCAL_MACHINE; ReadRegistryValue reads it with every rule of that file (SystemReg.h:
// escapes, hex continuations, indented lines; a line that cannot be parsed, or is over 1 MiB,
// is skipped).
std::string WinePrefix();

// Maps a Windows path ("C:\Games\EF2", or "\\?\C:\Games\EF2") to the Unix path it stands
// for in `prefix` ("<prefix>/dosdevices/c:/Games/EF2"), resolved through links and matched
// without regard to case as far as it exists. "." and ".." are taken on the text first, as
// Windows takes them, and ".." at the drive's root stays there. A path without a drive letter
// only has its separators turned to "/". No trailing "/" (except for "/" itself); "" for "".
// The result is the file system's bytes, which need not be UTF-8.
std::string UnixPathFromWindows(const std::string& windowsPath, const std::string& prefix);

}  // namespace Module1
