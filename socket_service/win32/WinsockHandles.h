// SPDX-License-Identifier: MIT
// Winsock's handles in the service's 32-bit numbering.
//
// The service's interface carries socket handles, window handles and lookup task handles as
// 32-bit integers. On 64-bit Windows a SOCKET and a HANDLE are 64 bits wide, but their values
// fit: sockets and lookup tasks are handle-table values far below 2^31, and window handles are
// 32-bit values by design (sign-extended to 64 bits), so they cross both ways unchanged. A
// socket handle that did not fit is refused where it is created (Platform::socket, accept).
#pragma once

#include <windows.h>
#include <winsock2.h>

#include <cstdint>
#include <limits>

namespace packwarden::MSocketSupport::detail {

inline SOCKET ToSocket(int32_t handle) {
    return handle < 0 ? INVALID_SOCKET : static_cast<SOCKET>(handle);
}

inline bool FitsHandle(SOCKET s) {
    return s != INVALID_SOCKET && s <= static_cast<SOCKET>(std::numeric_limits<int32_t>::max());
}

// The handle carried in a notification's wParam (or a record's, posted as a 32-bit value).
inline int32_t HandleFrom(WPARAM wParam) {
    return static_cast<int32_t>(static_cast<uint32_t>(wParam));
}

inline HWND WindowFrom(int32_t window) {
    return reinterpret_cast<HWND>(static_cast<intptr_t>(window));
}

inline int32_t WindowValue(HWND window) {
    return static_cast<int32_t>(reinterpret_cast<intptr_t>(window));
}

}  // namespace packwarden::MSocketSupport::detail
