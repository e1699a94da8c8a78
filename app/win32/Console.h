// SPDX-License-Identifier: MIT
// Standard output and error for a window program, which has no console of its own.
#pragma once

#include <windows.h>

#include <string>

namespace packwarden {

// Writes `text` to `stream` (STD_OUTPUT_HANDLE or STD_ERROR_HANDLE): the handle the program was
// given (a pipe, a file), else the console it was started from, if any. False when there is
// none or the write fails.
bool PrintToConsole(DWORD stream, const std::string& text);

}  // namespace packwarden
