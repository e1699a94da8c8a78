// SPDX-License-Identifier: MIT
// The loop on Windows: the channel is the thread's message queue, so a program
// with a message loop of its own needs none of this; ProcessPending and RunUntil pump the
// thread's messages for programs and tests that have no loop.
#include "Backend.h"
#include "WinsockHandles.h"
#include "packwarden/detail/Platform.h"
#include "packwarden/detail/Registries.h"

namespace packwarden::MSocketSupport {

namespace {

// Messages dispatched by one ProcessPending at most, so a handler that keeps posting cannot
// keep the caller's loop from its turn.
constexpr int MaxMessagesPerDrain = 256;
// Posted to the thread when a ProcessPending starts: it dispatches what was queued before it,
// as the Linux channel's drain does, and leaves what arrives meanwhile (a notification a
// handler's own action caused, the FD_WRITE a full send earns) to the next turn, so that the
// caller sees the object's state between the two.
constexpr UINT DrainMarker = WM_APP + 0x5D;

}  // namespace

int ChannelFd() {
    return -1;
}

namespace {

// Dispatches one message taken from the queue; false for WM_QUIT, which is put back for the
// program's own loop.
bool Dispatch(const MSG& msg) {
    if (msg.message == WM_QUIT) {
        ::PostQuitMessage(static_cast<int>(msg.wParam));
        return false;
    }
    ::TranslateMessage(&msg);
    ::DispatchMessageA(&msg);
    return true;
}

}  // namespace

void ProcessPending() {
    // Drains nest (a handler may run one): each knows its own marker.
    static WPARAM lastDrain = 0;
    const WPARAM drain = ++lastDrain;
    ::PostThreadMessageA(::GetCurrentThreadId(), DrainMarker, drain, 0);
    MSG msg{};
    int budget = MaxMessagesPerDrain;
    while (budget-- > 0 && ::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.hwnd == nullptr && msg.message == DrainMarker) {
            if (msg.wParam == drain) {
                break;
            }
            continue;  // an earlier drain's, which ended before reaching it
        }
        if (!Dispatch(msg)) {
            return;
        }
    }
    // Timers, input and painting come only once no posted message waits, and a marker always
    // does: they get their turn here.
    constexpr UINT rest = (QS_TIMER | QS_INPUT | QS_PAINT) << 16;
    while (budget-- > 0 && ::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE | rest)) {
        if (!Dispatch(msg)) {
            return;
        }
    }
}

void AnnouncePending() {
    // Queued messages are visible to any loop of the thread; nothing to announce.
}

namespace detail::backend {

void Drain(bool) {
    // Nothing to announce: every loop of the thread sees the queued messages.
    ProcessPending();
}

void WaitForWork(int timeoutMs) {
    // Wakes for messages already in the queue too, not only for new ones.
    ::MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(timeoutMs), QS_ALLINPUT,
                                  MWMO_INPUTAVAILABLE);
}

}  // namespace detail::backend

}  // namespace packwarden::MSocketSupport
