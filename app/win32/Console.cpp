// SPDX-License-Identifier: MIT
#include "win32/Console.h"

namespace packwarden {

bool PrintToConsole(DWORD stream, const std::string& text) {
    HANDLE handle = ::GetStdHandle(stream);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        if (!::AttachConsole(ATTACH_PARENT_PROCESS) &&
            ::GetLastError() != ERROR_ACCESS_DENIED /* attached already */) {
            return false;
        }
        handle = ::GetStdHandle(stream);
        if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
            handle = ::CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
        }
        if (handle == INVALID_HANDLE_VALUE) {
            return false;
        }
    }
    DWORD written = 0;
    return ::WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

}  // namespace packwarden
