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
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace MSocketSupport {

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

// The description of a socket error number ("Connection refused." for 10061, ...);
// "Unknown error." for every number without a row of its own.
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
// The receiving side of dispatch. The socket object implements it (privately: only the service
// calls these, with an object it found in its tables).

class SocketEventSink {
  public:
    // A network event for the object's handle: an FD_* code and a socket error number (0 = ok).
    virtual void PostSocketEvent(int32_t eventCode, int32_t errorCode) = 0;
    // A host lookup finished: the task handle (0 on failure), the IPv4 address in network byte
    // order as it lies in memory (0 on failure), the official host name and the error number.
    virtual void PostGetHostEvent(int32_t lookupHandle, uint32_t address, std::string& hostName,
                                  int32_t& errorCode) = 0;

  protected:
    ~SocketEventSink() = default;
};

// ---------------------------------------------------------------------------------------------
// Service start-up and shut-down

// Starts the service once; later calls return MaxDatagramSize() and do nothing else.
// Throws SocketError (source "MSocketSupport.InitWinsockService") when start-up fails.
int32_t InitWinsockService();
// Releases the service when no socket is registered; otherwise does nothing.
void CleanupWinsockService();

bool WinsockStarted();
int32_t MaxDatagramSize();
// The two record kinds, assigned at start-up ("<program>.WinsockMessage", ".ResolveMessage").
uint32_t WinsockMessage();
uint32_t ResolveMessage();

// ---------------------------------------------------------------------------------------------
// The notification channel

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
// Registries

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

// ---------------------------------------------------------------------------------------------
// Closing without loss
//
// A close never throws away bytes already handed over. When an object lets go of an
// established stream connection (it closes it, tears it down after the peer's close, or is
// released) while bytes still wait to be sent or the peer may still be sending, it hands the
// handle over here instead of closing it. The service then writes the bytes left as the socket
// becomes writable, shuts sending down, reads and discards whatever the peer still sends until
// the peer closes, and only then closes the handle: closing with unread data would turn the
// close into a reset, which destroys what the network still holds for the peer. It gives up
// (closes at once) when the connection breaks or no byte has moved either way for
// CloseTimeout() (a byte the peer acknowledged counts as moved, though the socket was quiet).
// Whatever the peer does, a close lasts no longer than CloseLifetime(), and no more than
// MaxPendingCloses() are under way: beyond either bound the close is abortive (a reset), the
// oldest going first. Nothing of this reaches the object's owner.
//
// The handle leaves the socket registry (it no longer counts in SocketRegistryCount) but keeps
// the channel's window alive until its close has finished. A program about to exit calls
// FinishPendingCloses, since the bytes still held here go with the process.

// Takes over `socketHandle`, a registered stream handle whose object has let go of it, with
// the bytes it still had to send; `sendingShutDown` when the object already shut sending
// down. False (and nothing taken) when the handle is not registered.
bool HandOverClose(int32_t socketHandle, std::string unsent, bool sendingShutDown);
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

// Introspection, for tests and diagnostics.
bool SocketRegistryPresent();
std::size_t SocketRegistryCount();
bool LookupRegistryPresent();
std::size_t LookupRegistryCount();
// The object registered for a lookup task, or null.
std::shared_ptr<SocketEventSink> LookupOwner(int32_t taskHandle);

// ---------------------------------------------------------------------------------------------
// Platform layer: the socket calls the socket object makes. Each one performs the real call,
// keeps the channel's readiness rules (a receive re-arms FD_READ, a send that would block arms
// FD_WRITE, a connect in progress arms FD_CONNECT, a successful listen arms FD_ACCEPT, an accept
// re-arms it), and leaves the Winsock-numbered error in LastPlatformError(). They return what
// the Winsock call returns (-1 for failure). Sockets are created non-blocking and close-on-exec;
// sends never raise SIGPIPE.

namespace Platform {

int32_t LastPlatformError();
void SetLastPlatformError(int32_t winsockError);
// errno -> the Winsock numbering (EAGAIN -> 10035, ECONNREFUSED -> 10061, ...).
int32_t WinsockErrorFromErrno(int err);

int32_t socket(int32_t family, int32_t type, int32_t protocol);
int32_t closesocket(int32_t handle);
// IPv4 only; address and port in network byte order.
int32_t connect(int32_t handle, uint32_t address, uint16_t port);
int32_t bind(int32_t handle, uint32_t address, uint16_t port);
int32_t listen(int32_t handle, int32_t backlog);
// Returns the new handle (non-blocking) or -1; fills the peer's address when given room.
// Out of descriptors (10024): the listener's FD_ACCEPT comes again only after a short pause.
int32_t accept(int32_t handle, uint32_t* address, uint16_t* port);
int32_t send(int32_t handle, const void* data, std::size_t length);
int32_t sendto(int32_t handle, const void* data, std::size_t length, uint32_t address,
               uint16_t port);
int32_t recv(int32_t handle, void* data, std::size_t length);
// A datagram longer than `length` fills `data`, the rest is lost, and the call fails with 10040.
int32_t recvfrom(int32_t handle, void* data, std::size_t length, uint32_t* address, uint16_t* port);
int32_t shutdown(int32_t handle, int32_t how);
int32_t getsockname(int32_t handle, uint32_t* address, uint16_t* port);
int32_t getpeername(int32_t handle, uint32_t* address, uint16_t* port);
// Socket-level options in the Winsock numbering: SO_BROADCAST 0x20, SO_RCVBUF 0x1002,
// SO_TYPE 0x1008 (level 0xFFFF). SO_LINGER 0x80 is set with the linger time in seconds as its
// value (0: a close drops what is unsent and resets the connection), negative for off.
int32_t getsockopt(int32_t handle, int32_t level, int32_t option, int32_t* value);
int32_t setsockopt(int32_t handle, int32_t level, int32_t option, int32_t value);
// What the peer has acknowledged of a stream connection, as a count that only grows: progress
// as the peer sees it, rather than bytes handed to a send buffer that may hold megabytes.
// TCP_INFO on Linux; SIO_TCP_INFO on Windows 10 and later. False where the system cannot tell.
bool BytesAcknowledged(int32_t handle, uint64_t* count);
// Bytes handed to the system that the peer has not acknowledged yet, sent or not, the end of
// the stream counting as one once sending is shut down (SIOCOUTQ on Linux); 0 once the peer
// has every byte. False where the system cannot tell (Windows).
bool BytesUnacknowledged(int32_t handle, uint64_t* count);
// Lets a stream socket about to be bound take a port whose earlier connections still wait out
// TIME_WAIT, without letting it share a port someone listens on: SO_REUSEADDR on Linux;
// nothing on Windows, whose plain bind already allows it and whose SO_REUSEADDR would let the
// socket take over a port in use.
int32_t AllowRebind(int32_t handle);
// inet_addr: INADDR_NONE (0xFFFFFFFF) for text that is no address; network byte order.
uint32_t inet_addr(const std::string& text);
std::string inet_ntoa(uint32_t address);
// Blocking reverse lookup; false when the address has no name.
bool gethostbyaddr(uint32_t address, std::string& officialName);

// The seam through which tests make fail what cannot be made to fail for real. Each hook,
// when set, replaces the real call; reset with ResetHooks().
struct Hooks {
    // Start-up: return 0, or one of 10022/10091/10092/other; set LastPlatformError yourself.
    std::function<int32_t()> startup;
    std::function<bool()> createChannel;
    std::function<int32_t(int32_t family, int32_t type, int32_t protocol)> socket;
    std::function<int32_t(int32_t handle)> closesocket;
    // The request for a handle's notifications (RegisterSocket): return false to refuse it
    // (the error reported is the LastPlatformError the hook leaves; 10022 when it leaves none).
    std::function<bool(int32_t handle)> selectEvents;
    // Starting an asynchronous lookup (ResolveHost): return false to refuse it (the error
    // reported is the LastPlatformError the hook leaves; 10055 when it leaves none).
    std::function<bool(const std::string& hostName)> startLookup;
    // The lookup itself, run on the resolver's worker in place of the real one (a lookup that
    // never answers, say): returns the error number the lookup ends with (not 0). Taken when
    // the lookup starts, so resetting the hooks later does not reach a lookup under way.
    std::function<int32_t(const std::string& hostName)> lookup;
};
Hooks& TestHooks();
void ResetHooks();

}  // namespace Platform

}  // namespace MSocketSupport
