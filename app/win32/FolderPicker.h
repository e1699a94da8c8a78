// SPDX-License-Identifier: MIT
// The shell's folder picker, for the window's Browse button (Windows).
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace packwarden {

// Lets the player choose one file-system folder, in a dialog owned by `owner` with `title`,
// opened at `start` when that names a folder. The Vista item dialog when the system has it,
// else the older browse dialog. Nothing when the player cancels or picks something that has no
// file-system path. COM must be set up on the calling thread (a single-threaded apartment).
std::optional<std::wstring> PickFolderWithShell(HWND owner, const std::wstring& title,
                                                const std::wstring& start);

}  // namespace packwarden
