// SPDX-License-Identifier: MIT
// MSocketSupport: the process-wide half of the asynchronous socket layer.
//
// It starts and releases the networking service, owns the one notification channel through
// which every network event and every host-lookup completion reaches the user-interface
// thread, and routes each record, by the handle it carries, to the socket object that owns
// that handle. Everything here runs on one thread (the thread that drains the channel);
// only the resolver's worker thread runs elsewhere, and it never touches these tables.
//
// On Windows the channel is a hidden message-only window: Winsock's asynchronous select and
// lookups post their messages to it, and the program's own message loop (GetMessage,
// DispatchMessage) delivers everything; ProcessPending and RunUntil pump the thread's messages
// for programs without a loop. On Linux the channel is emulated on epoll.
//
// Handles cross this interface as 32-bit integers on every platform. A Win64 SOCKET, HANDLE or
// HWND is 64 bits wide, but the values Windows gives them fit in 32 (window handles are 32-bit
// by design; socket and lookup handles are small handle-table values), so none is cut short.
//
// Embedding the channel in an event loop on Linux:
//   - ChannelFd() is readable whenever work is pending; watch it (a QSocketNotifier, say);
//   - when it fires, call ProcessPending(), which turns readiness into records and dispatches
//     every record queued, one at a time, in order;
//   - owners without an event loop (tests, command-line tools) call RunUntil().
// Records queued while ProcessPending runs (those a handler posts, say) are dispatched by that
// same call before it returns, so they do not make ChannelFd() readable: the steady state costs
// no system call beyond the sockets' own. A handler that runs a loop of its own (a modal
// dialog) would block with such records unseen; that loop calls AnnouncePending() before it
// blocks (Qt's aboutToBlock, say). ProcessPending and RunUntil need nothing of the kind.
//
// This header is the service's whole contract. What the socket object needs of the service
// beyond it (the registries, the channel's records, the platform calls) is no API and is not
// installed.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include "packwarden/SocketErrors.h"

namespace packwarden::MSocketSupport {

// ---------------------------------------------------------------------------------------------
// Errors

// The one error type of the socket layer: number, source ("Module.Operation") and description.
// Thrown where an operation "raises"; recorded in CurrentError() where it "records".
class SocketError : public std::runtime_error {
  public:
    SocketError(int32_t number, std::string source, std::string description);
    int32_t Number;
    std::string Source;
    std::string Description;
};

// The runtime's overflow error (number 6, "Overflow").
constexpr int32_t OverflowErrorNumber = 6;
inline constexpr const char* OverflowErrorText = "Overflow";

struct ErrorRecord {
    int32_t Number = 0;
    std::string Source;
    std::string Description;
    bool Empty() const { return Number == 0 && Source.empty() && Description.empty(); }
    void Clear() { *this = ErrorRecord{}; }
};

// The error most recently recorded by an operation that reports failure through its result.
ErrorRecord& CurrentError();

// The description of a socket error number, from the table in SocketErrors.h ("Connection
// refused." for WsaEConnRefused, ...); "Unknown error." for every number without a row there.
std::string SocketErrorText(int32_t number);

// ---------------------------------------------------------------------------------------------
// Value conversions at the platform boundary

// The bytes at `address` up to the first zero byte; empty for a null address.
std::string AnsiStringAt(const char* address);
// 0..65535 -> the 16-bit value with the same low bits; anything else throws SocketError
// {6, "MSocketSupport.UnsignedToShort", "Overflow"}.
int16_t UnsignedToShort(int32_t value);
// A 16-bit value read as 0..65535.
int32_t ShortToUnsigned(int16_t value);
// x AND 0xFFFF, and (x >> 16) AND 0xFFFF; never negative.
int32_t LowWord(int32_t x);
int32_t HighWord(int32_t x);

// ---------------------------------------------------------------------------------------------
// Network event codes carried by socket-event records. Winsock's headers define the same
// names as macros with the same values; where they are included first, these constants are
// still declared (the macros are set aside and restored), but the names then read as the
// macros: write MSocketSupport::FD_READ only where <winsock2.h> is not included.

#pragma push_macro("FD_READ")
#pragma push_macro("FD_WRITE")
#pragma push_macro("FD_OOB")
#pragma push_macro("FD_ACCEPT")
#pragma push_macro("FD_CONNECT")
#pragma push_macro("FD_CLOSE")
#undef FD_READ
#undef FD_WRITE
#undef FD_OOB
#undef FD_ACCEPT
#undef FD_CONNECT
#undef FD_CLOSE
constexpr int32_t FD_READ = 1;
constexpr int32_t FD_WRITE = 2;
constexpr int32_t FD_OOB = 4;
constexpr int32_t FD_ACCEPT = 8;
constexpr int32_t FD_CONNECT = 16;
constexpr int32_t FD_CLOSE = 32;
#pragma pop_macro("FD_READ")
#pragma pop_macro("FD_WRITE")
#pragma pop_macro("FD_OOB")
#pragma pop_macro("FD_ACCEPT")
#pragma pop_macro("FD_CONNECT")
#pragma pop_macro("FD_CLOSE")
constexpr int32_t SocketEventMask = 1 | 2 | 8 | 16 | 32;  // read, write, accept, connect, close

// The largest datagram on Linux, where the platform reports none (65535 - 8 - 20).
constexpr int32_t DefaultMaxDatagramSize = 65507;

// ---------------------------------------------------------------------------------------------
// Service start-up and shut-down

// Starts the service once; later calls return MaxDatagramSize() and do nothing else.
// Throws SocketError (source "MSocketSupport.InitWinsockService") when start-up fails.
int32_t InitWinsockService();
// Releases the service when no socket is registered; otherwise does nothing.
void CleanupWinsockService();

bool WinsockStarted();
int32_t MaxDatagramSize();

// ---------------------------------------------------------------------------------------------
// Embedding the channel in an event loop (see the top of this file)

// A file descriptor that is readable whenever work is pending (for records queued during a
// dispatch, see AnnouncePending). Lives for the process. -1 on Windows, which has no such
// descriptor: there the thread's message queue is the channel.
int ChannelFd();
// Turns pending readiness into records and dispatches every queued record. Never blocks.
// Re-entrant: a handler may call it (or RunUntil) again from inside a dispatch. On Windows it
// dispatches the thread's queued messages, a bounded number per call.
void ProcessPending();
// Makes ChannelFd() readable when records are queued that no running ProcessPending will
// reach: for an event loop that is about to block inside a handler. Cheap when there are none.
// Nothing to do on Windows, where every loop of the thread sees the queued messages.
void AnnouncePending();
// Dispatches until `done()` holds or `timeout` passes; returns done(). For tests and owners
// without an event loop.
bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

// ---------------------------------------------------------------------------------------------
// Closing without loss
//
// A close never throws away bytes already handed over. When a socket object lets go of an
// established stream connection (it closes it, tears it down after the peer's close, or is
// released) while bytes still wait to be sent or the peer may still be sending, the service
// takes the handle over: it writes the bytes left as the socket becomes writable, shuts sending
// down, reads and discards whatever the peer still sends until the peer closes, and only then
// closes the handle, since closing with unread data would turn the close into a reset that
// destroys what the network still holds for the peer. It gives up (closes at once) when the
// connection breaks or no byte has moved either way for CloseTimeout() (a byte the peer
// acknowledged counts as moved, though the socket was quiet). Whatever the peer does, a close
// lasts no longer than CloseLifetime(), and no more than MaxPendingCloses() are under way:
// beyond either bound the close is abortive (a reset), the oldest going first. Nothing of this
// reaches the object's owner. A program about to exit calls FinishPendingCloses, since the
// bytes still held here go with the process.

// Handles taken over whose close has not finished yet.
std::size_t PendingCloseCount();
// Runs the loop until every close handed over has finished, or `timeout` passes; true when
// none is left. Everything else queued is dispatched meanwhile, as by RunUntil.
bool FinishPendingCloses(std::chrono::milliseconds timeout);
// How long a handed-over close may make no progress before it gives up (default 30 s).
void SetCloseTimeout(std::chrono::milliseconds timeout);
std::chrono::milliseconds CloseTimeout();
// The longest a handed-over close may last from its hand-over, progress or not (default 2 min).
void SetCloseLifetime(std::chrono::milliseconds lifetime);
std::chrono::milliseconds CloseLifetime();
// The most closes under way at once (default 1024; at least 1): a hand-over beyond it aborts
// the oldest.
void SetMaxPendingCloses(std::size_t count);
std::size_t MaxPendingCloses();
// Aborts the close handed over longest ago (a reset), for an owner that needs its descriptor
// back; false when none is under way. With `onlyIdle`, only among the closes whose peer has
// every byte (nothing left to send, nothing unacknowledged): a close still delivering is left
// to finish.
bool AbortOldestPendingClose(bool onlyIdle = false);

}  // namespace packwarden::MSocketSupport

// The spelling of releases up to 2.x, before the service joined the packwarden namespace.
// Kept for one release; write packwarden::MSocketSupport in new code.
namespace MSocketSupport = packwarden::MSocketSupport;
