// The loop entry points on Windows: the channel is the thread's message queue, so a program
// with a message loop of its own needs none of these; they pump the thread's messages for
// programs and tests that have no loop.
#include "WinsockHandles.h"
#include "packwarden/MSocketSupport.h"

namespace MSocketSupport {

namespace {

// Messages dispatched by one ProcessPending, so a handler that keeps posting cannot keep the
// caller's loop from its turn.
constexpr int MaxMessagesPerDrain = 256;

}  // namespace

int ChannelFd() {
    return -1;
}

void ProcessPending() {
    MSG msg{};
    for (int i = 0; i < MaxMessagesPerDrain && ::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE);
         ++i) {
        if (msg.message == WM_QUIT) {
            // Not ours to take: left for the program's own loop.
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
}

void AnnouncePending() {
    // Queued messages are visible to any loop of the thread; nothing to announce.
}

bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        ProcessPending();
        if (done()) {
            return true;
        }
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) {
            return done();
        }
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        // Wakes for messages already in the queue too, not only for new ones.
        ::MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(ms), QS_ALLINPUT,
                                      MWMO_INPUTAVAILABLE);
    }
}

}  // namespace MSocketSupport
