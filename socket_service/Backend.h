// SPDX-License-Identifier: MIT
// The seam between the service's shared logic and the platform it runs on. Each platform's
// folder (posix/, win32/) realises everything declared here, plus the loop entry points of
// MSocketSupport.h (ChannelFd, ProcessPending, AnnouncePending) and the Platform
// calls; CMake compiles exactly one of them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "packwarden/detail/Platform.h"

namespace packwarden::MSocketSupport::detail {

// A lookup's result, written by the worker that performs it and read on the channel's thread
// once its completion has arrived: the host's canonical name and its addresses of both
// families, in the order the system gave them.
struct LookupBuffer {
    std::string name;
    std::vector<Platform::Address> addresses;
};

namespace backend {

// Starts the networking library for version 1.1. Returns 0, or the code that selects the
// failure's description (LastPlatformError then holds the number to report).
int32_t Startup(int32_t& maxDatagramSize);
void Cleanup();
// The number of a record kind, the same for a name for as long as the system runs.
uint32_t RegisterMessageName(const std::string& name);
// The executable's file name without folder and extension.
std::string ProgramName();

// The channel's handle: non-zero, and different from the one before it; 0 on failure.
int32_t CreateChannelWindow();
void DestroyChannelWindow(int32_t window);

// Asks for SocketEventMask on `handle`, delivered to `window` as `message` records. Returns 0
// or a Winsock error number.
int32_t SelectEvents(int32_t handle, int32_t window, uint32_t message);
// Stops a handle's events; records already queued for it are dropped, never delivered to a
// later registration of the same number.
void StopEvents(int32_t handle);
// Queues a record on the channel (PostChannelRecord, once the window has been checked).
bool Post(int32_t window, uint32_t message, int32_t wParam, int32_t lParam);

// Starts an asynchronous lookup into `buffer`; its completion reaches the window as a
// ResolveMessage record. Sets `task` (non-zero, not shared with an outstanding lookup) and
// returns 0, or returns a Winsock error number.
int32_t StartLookup(const std::string& hostName, const std::shared_ptr<LookupBuffer>& buffer,
                    int32_t& task);
// ProcessPending's work. It stops after a bounded number of rounds while handlers keep
// queueing records; `announce` then makes the channel readable for the rest, which an
// embedding loop needs and RunUntil, which comes straight back, does not.
void Drain(bool announce);
// Blocks until work may be pending or `timeoutMs` passes (RunUntil's wait); does not block
// while records are queued.
void WaitForWork(int timeoutMs);
// Makes the loop call WakeUpDue at `when` (or earlier, if an earlier wake-up is set: whoever
// it wakes looks again).
void WakeAt(std::chrono::steady_clock::time_point when);

}  // namespace backend

// What the loop's wake-up serves: the closes finished on objects' behalf, then the objects'
// own deadlines (SetDeadline). Each sets the next wake-up it needs.
void WakeUpDue();

}  // namespace packwarden::MSocketSupport::detail
