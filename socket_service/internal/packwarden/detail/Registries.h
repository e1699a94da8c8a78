// SPDX-License-Identifier: MIT
// Not API, and never installed: the socket service's channel records and registries, which the
// socket object, the tests and the benchmarks use. May change in any release.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "packwarden/MSocketSupport.h"
#include "packwarden/detail/SocketEventSink.h"

namespace packwarden::MSocketSupport {

// ---------------------------------------------------------------------------------------------
// The notification channel

// The two record kinds, assigned at start-up ("<program>.WinsockMessage", ".ResolveMessage").
uint32_t WinsockMessage();
uint32_t ResolveMessage();

// The channel's logical handle ("window"): non-zero while at least one socket is registered
// (or a lookup is outstanding); 0 when none exists. Records carry it and are dropped when it is
// no longer the current one.
int32_t SocketWindow();
// Creates the logical handle; 0 on failure. Called by RegisterSocket when SocketWindow() is 0.
int32_t CreateSocketWindow();
// Destroys the logical handle; false on failure. Called after the last deregistration.
bool DestroySocketWindow();

// Queues a record at the tail of the channel, in order with readiness records. A record posted
// from inside a dispatch (a handler's, or the FD_WRITE a full send earns) joins the tail at the
// next round of that ProcessPending, behind the readiness collected then, so a socket that
// became readable meanwhile is served first. False when the channel cannot take it (no such
// window).
bool PostChannelRecord(int32_t window, uint32_t message, int32_t wParam, int32_t lParam);
// PostChannelRecord(SocketWindow(), WinsockMessage(), socketHandle, eventCode): a socket
// object's own notification for its handle (the FD_WRITE after a full send, say).
bool PostSocketRecord(int32_t socketHandle, int32_t eventCode);

// Routes one record. Socket events go to PostSocketEvent of the object registered under wParam,
// lookup completions to PostGetHostEvent; other kinds go to the previous procedure (see
// SetPreviousWindowProc) and its result is returned. Never throws.
int32_t SocketWindowProc(int32_t window, uint32_t message, int32_t wParam, int32_t lParam);

using WindowProc =
    std::function<int32_t(int32_t window, uint32_t message, int32_t wParam, int32_t lParam)>;
// Receives records of any kind other than the two above (default: returns 0).
void SetPreviousWindowProc(WindowProc proc);

// ---------------------------------------------------------------------------------------------
// Registries, through which a record finds the object it belongs to

// Enters a socket handle for `object` and asks for its network events (SocketEventMask).
// False on failure, with the reason in CurrentError() (none when the handle was already
// registered). A failed registration leaves no entry behind.
bool RegisterSocket(int32_t socketHandle, std::weak_ptr<SocketEventSink> object);
// Stops a handle's events and removes it; destroys the window after the last one.
// False for -1 or when no socket is registered; throws when the handle is not registered.
bool DeregisterSocket(int32_t socketHandle);
// Starts an asynchronous lookup of `hostName` for `object`; returns its task handle (never 0
// for a started lookup), or 0 with the reason in CurrentError(). The completion is delivered
// exactly once, on the channel's thread, to PostGetHostEvent (or dropped silently when the
// object has gone).
int32_t ResolveHost(std::string& hostName, std::weak_ptr<SocketEventSink> object);
// Drops `object`'s lookup-buffer entry, if any (kept for callers of the original interface;
// buffers belong to their lookup's task here, so it never loses an outstanding lookup's buffer).
void ForgetLookupBuffer(const SocketEventSink* object);

// Closing without loss (see MSocketSupport.h): the object's side of the hand-over.
//
// The handle taken over leaves the socket registry (it no longer counts in
// SocketRegistryCount) but keeps the channel's window alive until its close has finished.

// Takes over `socketHandle`, a registered stream handle whose object has let go of it, with
// the bytes it still had to send; `sendingShutDown` when the object already shut sending
// down. False (and nothing taken) when the handle is not registered.
bool HandOverClose(int32_t socketHandle, std::string unsent, bool sendingShutDown);

// Deadlines: an object asks to be called (DeadlineReached) from the loop at a given time, as the
// loop's own wake-up serves the closes above, with no thread and no polling. One per object: a
// new time replaces the last. Held weakly: an object that has gone is simply not called.
void SetDeadline(std::weak_ptr<SocketEventSink> object, std::chrono::steady_clock::time_point when);
void ClearDeadline(const SocketEventSink* object);
std::size_t DeadlineCount();

// Introspection, for tests and diagnostics.
bool SocketRegistryPresent();
std::size_t SocketRegistryCount();
bool LookupRegistryPresent();
std::size_t LookupRegistryCount();
// The object registered for a lookup task, or null.
std::shared_ptr<SocketEventSink> LookupOwner(int32_t taskHandle);

}  // namespace packwarden::MSocketSupport
