// SPDX-License-Identifier: MIT
// The Win32 realisation of the service's seam: Winsock 1.1, a hidden message-only window that
// receives WSAAsyncSelect's messages and the lookups' completions (a worker thread per lookup,
// both families), and its procedure, which hands them to SocketWindowProc.
#include "Backend.h"

#include <algorithm>
#include <array>
#include <system_error>
#include <thread>

#include "Lingering.h"
#include "ServiceState.h"
#include "SocketAddress.h"
#include "Win32Service.h"
#include "packwarden/detail/Platform.h"
#include "packwarden/detail/Registries.h"

namespace packwarden::MSocketSupport::detail {

namespace {

// Posted behind a deregistered handle's last possible message (see Win32Service::stale).
constexpr UINT StaleMarker = WM_APP + 0x5C;
// The window's timer that wakes the loop for the closes the service finishes (WakeAt).
constexpr UINT_PTR CloseTimer = 1;

LRESULT CALLBACK NotificationProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto& w = Win32();
    const auto& st = State();
    if (message == StaleMarker) {
        auto it = w.stale.find(HandleFrom(wParam));
        if (it != w.stale.end() && --it->second == 0) {
            w.stale.erase(it);
        }
        return 0;
    }
    if (message == WM_TIMER && wParam == CloseTimer) {
        ::KillTimer(window, CloseTimer);
        w.wakeAt = std::chrono::steady_clock::time_point::max();
        WakeUpDue();
        return 0;
    }
    const auto low = static_cast<int32_t>(static_cast<uint32_t>(lParam));
    if (message != 0 && message == st.winsockMessage) {
        const int32_t handle = HandleFrom(wParam);
        if (w.stale.count(handle) != 0) {
            return 0;
        }
        return SocketWindowProc(WindowValue(window), message, handle, low);
    }
    if (message != 0 && message == st.resolveMessage) {
        return SocketWindowProc(WindowValue(window), message, HandleFrom(wParam), low);
    }
    // Records of other kinds posted through PostChannelRecord reach a procedure installed with
    // SetPreviousWindowProc; the window system's own messages stay with the window's class.
    if (message >= WM_USER && st.previousProc) {
        return SocketWindowProc(WindowValue(window), message, HandleFrom(wParam), low);
    }
    return CallWindowProcA(w.previous, window, message, wParam, lParam);
}

}  // namespace

Win32Service& Win32() {
    static Win32Service service;
    return service;
}

namespace backend {

int32_t Startup(int32_t& maxDatagramSize) {
    Win32();  // made after the shared state, so it is destroyed before the lookup buffers
    WSADATA data{};
    const int code = ::WSAStartup(0x0101, &data);
    if (code != 0) {
        // WSAGetLastError has nothing to say before a successful start-up: the code is the error.
        Platform::SetLastPlatformError(code);
        return code;
    }
    maxDatagramSize = ShortToUnsigned(static_cast<int16_t>(data.iMaxUdpDg));
    if (maxDatagramSize == 0) {
        // Stacks that only keep the field for 1.1 programs may leave it 0; the largest IPv4
        // datagram payload is the honest figure then.
        maxDatagramSize = DefaultMaxDatagramSize;
    }
    return 0;
}

void Cleanup() {
    ::WSACleanup();
}

uint32_t RegisterMessageName(const std::string& name) {
    return ::RegisterWindowMessageA(name.c_str());
}

std::string ProgramName() {
    std::array<char, MAX_PATH + 1> path{};
    const DWORD n = ::GetModuleFileNameA(nullptr, path.data(), MAX_PATH);
    std::string name = n > 0 ? std::string(path.data(), n) : "program";
    if (auto slash = name.find_last_of("\\/"); slash != std::string::npos) {
        name.erase(0, slash + 1);
    }
    if (auto dot = name.rfind('.'); dot != std::string::npos && dot > 0) {
        name.erase(dot);
    }
    return name;
}

int32_t CreateChannelWindow() {
    auto& w = Win32();
    // Message-only: never shown, and it needs no display (a hidden top-level window does).
    HWND window = ::CreateWindowExA(0, "STATIC", "SOCKET_WINDOW", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                    nullptr, ::GetModuleHandleA(nullptr), nullptr);
    if (window == nullptr) {
        return 0;
    }
    w.window = window;
    w.previous = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&NotificationProc)));
    w.stale.clear();
    return WindowValue(window);
}

void DestroyChannelWindow(int32_t window) {
    auto& w = Win32();
    HWND handle = WindowFrom(window);
    if (handle != w.window || handle == nullptr) {
        return;
    }
    ::SetWindowLongPtrA(handle, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(w.previous));
    // Destroying the window also drops the messages still queued for it.
    ::DestroyWindow(handle);
    w.window = nullptr;
    w.previous = nullptr;
    w.stale.clear();
    w.wakeAt = std::chrono::steady_clock::time_point::max();  // its timer went with it
}

int32_t SelectEvents(int32_t handle, int32_t window, uint32_t message) {
    if (::WSAAsyncSelect(ToSocket(handle), WindowFrom(window), message, SocketEventMask) ==
        SOCKET_ERROR) {
        return ::WSAGetLastError();
    }
    return 0;
}

void StopEvents(int32_t handle) {
    auto& w = Win32();
    ::WSAAsyncSelect(ToSocket(handle), w.window, 0, 0);
    if (w.window == nullptr) {
        return;
    }
    // Messages already queued for the handle stay queued; the marker goes behind them.
    ++w.stale[handle];
    if (!::PostMessageA(w.window, StaleMarker, static_cast<WPARAM>(static_cast<uint32_t>(handle)),
                        0)) {
        if (--w.stale[handle] == 0) {
            w.stale.erase(handle);
        }
    }
}

bool Post(int32_t window, uint32_t message, int32_t wParam, int32_t lParam) {
    return ::PostMessageA(WindowFrom(window), message,
                          static_cast<WPARAM>(static_cast<uint32_t>(wParam)),
                          static_cast<LPARAM>(static_cast<uint32_t>(lParam))) != 0;
}

int32_t StartLookup(const std::string& hostName, const std::shared_ptr<LookupBuffer>& buffer,
                    int32_t& task) {
    HWND window = WindowFrom(State().window);
    const UINT message = State().resolveMessage;
    const int32_t started = State().lookups.NewTask();
    try {
        // Detached, like the Linux resolver's worker: a lookup may take as long as the
        // network's time-outs, and the exit never waits for one. It touches only what it owns;
        // its completion reaches the window as the lookups always have, the task in wParam,
        // the error in lParam's high word.
        std::thread([window, message, started, hostName, buffer] {
            addrinfo hints{};
            hints.ai_family = AF_UNSPEC;
            hints.ai_socktype = SOCK_STREAM;
            hints.ai_flags = AI_CANONNAME;
            addrinfo* list = nullptr;
            int error = ::getaddrinfo(hostName.c_str(), nullptr, &hints, &list);
            if (error == 0) {
                FillLookup(list, hostName, *buffer);
                ::freeaddrinfo(list);
                error = buffer->addresses.empty() ? WsaNoData : 0;
            } else if (error == WSA_NOT_ENOUGH_MEMORY) {
                error = WsaENoBufs;
            }
            ::PostMessageA(window, message, static_cast<WPARAM>(static_cast<uint32_t>(started)),
                           static_cast<LPARAM>(static_cast<uint32_t>(error) << 16));
        }).detach();
    } catch (const std::system_error&) {
        return WsaENoBufs;
    }
    task = started;
    return 0;
}

void WakeAt(std::chrono::steady_clock::time_point when) {
    auto& w = Win32();
    if (w.window == nullptr || when >= w.wakeAt) {
        return;  // an earlier wake-up is set; whoever it wakes looks again
    }
    w.wakeAt = when;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(when - std::chrono::steady_clock::now());
    const auto delay = std::clamp<int64_t>(left.count(), USER_TIMER_MINIMUM, USER_TIMER_MAXIMUM);
    if (::SetTimer(w.window, CloseTimer, static_cast<UINT>(delay), nullptr) == 0) {
        // Without a timer the closes still finish as their sockets report; only an idle one
        // would wait longer than its time-out.
        w.wakeAt = std::chrono::steady_clock::time_point::max();
    }
}

}  // namespace backend

}  // namespace packwarden::MSocketSupport::detail
