// SPDX-License-Identifier: MIT
// CSocket: an asynchronous socket of IPv4 and IPv6 (TCP or UDP, client or listening) that raises
// events to one owner on the user-interface thread.
//
// The owner creates an object with CSocket::Create(), sets properties, calls operations and
// reacts to the events it chooses to handle (override the handlers of CSocketEvents it needs).
// The operating-system handle is created lazily by the first operation that needs one, with the
// Protocol in force then, and registered with the socket service (MSocketSupport), whose
// notification channel delivers every network event to the object.
//
// Threading: everything runs on the thread that drains the service's channel. Events are raised
// synchronously, in the order they happen, from inside the operation or the dispatch that
// causes them; a handler may call any operation of the same object, including CloseSocket, and
// may release its last reference to the object (the dispatch holds its own until it returns);
// a released object raises nothing more, and a connection it accepts then is closed.
//
// Errors: operations that fail raise MSocketSupport::SocketError with a Winsock error number,
// the source "CSocket.<Operation>" and the description from SocketErrorText. Failures found
// after an operation returned reach the owner only as OnError: a refused or reset connection
// (State 9, handle gone, empty Source), a failed lookup (State 9, the handle stays, empty
// Source), a connect after a lookup that fails at once (State 5, Source
// "CSocket.PostGetHostEvent"). An exception thrown by a handler ends the handling of the
// notification that raised the event and is dropped there; raised inside an operation
// (OnSendProgress inside SendData), it passes out of that operation.
//
// Typical client session:
//   OnConnect; after SendData, OnSendProgress (one or more) then OnSendComplete;
//   OnDataArrival for each arrival; when the peer closes, OnDataArrival for data still waiting,
//   then OnClose (State 0, no handle). Received data must be taken inside OnDataArrival:
//   the teardown empties the receive buffer before OnClose. A peer's close may be a half-close
//   (it has finished sending and still reads): when it comes while bytes of ours are still
//   being sent, they go out first, with their events, and OnClose follows the first
//   OnSendComplete after which the owner sent nothing more, so a server streaming a reply in
//   pieces from OnSendComplete finishes it.
//
// Closing without loss: a close never throws away bytes already handed to SendData. When the
// object lets go of an established stream connection (CloseSocket, the teardown after the
// peer's close, Accept over a held handle, or the release of the object) while bytes still
// wait to be sent, they still go out: the socket service takes the handle and those bytes
// over, sends them, shuts sending down, reads and discards what the peer still sends until it
// closes, and only then closes the handle (see MSocketSupport::HandOverClose), so no close
// leaves unread data behind to turn it into a reset. The owner's events are as they would be
// without the bytes: nothing is raised for what the service sends. A program about to exit
// calls MSocketSupport::FinishPendingCloses. Abort is the one way to drop unsent bytes.
//
// Receive flow control: the receive buffer holds at most ReceiveBufferLimit bytes (4 MiB
// unless set). At the bound the object stops reading until its owner takes data with GetData;
// a stream's sender is then held back by the network, and nothing is dropped (a datagram
// socket's network drops what does not fit, as it does for any slow reader). OnDataArrival
// reports at most the bound. A peer's close waits behind the data the buffer cannot take yet:
// OnClose follows once the owner has taken enough for the rest to be read.
//
// Typical server: set LocalPort (or Bind), Listen; on OnConnectionRequest(requestID) create a
// fresh CSocket and call Accept(requestID) on it. A connection that is not accepted inside the
// handler stays open, and may be accepted later by handing the same requestID to Accept.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "packwarden/ByteBuffer.h"
#include "packwarden/MSocketSupport.h"
#include "packwarden/Variant.h"
#include "packwarden/detail/CSocketState.h"
#include "packwarden/detail/SocketEventSink.h"

namespace packwarden::MSocketSupport {
struct NetAddress;  // an address of either family; not API
}

namespace packwarden::detail {
struct ConnectRace;  // the attempts of a connect to a name (private to the sources)
struct SecureLink;   // a secure object's session and settings (private to the sources)
}  // namespace packwarden::detail

namespace packwarden::tls {
class TlsSession;  // the encryption of a secure connection (private to the sources)
}

namespace packwarden {

using MSocketSupport::SocketError;

enum SocketState : int32_t {
    StateClosed = 0,
    StateListening = 2,
    StateResolvingHost = 4,
    StateHostResolved = 5,
    StateConnecting = 6,
    StateConnected = 7,
    StateClosing = 8,
    StateError = 9,
};

enum SocketProtocol : int32_t {
    ProtocolTcp = 0,
    ProtocolUdp = 1,
};

enum LookupPurposeCode : int32_t {
    LookupForConnect = 0,
    LookupForSend = 1,
};

// "Wrong protocol or connection state for the requested transaction or request."
constexpr int32_t WrongProtocolOrStateError = 40006;

// The events a CSocket raises. Every handler has an empty default; override what you need.
class CSocketEvents {
  public:
    virtual ~CSocketEvents() = default;
    // Occurs when the connection has been closed.
    virtual void OnClose() {}
    // Occurs connect operation is completed.
    virtual void OnConnect() {}
    // A connection has been taken from a listening socket's queue; requestID is its handle,
    // never -1 (a failed platform accept raises nothing and the socket stays listening). Hand it
    // to Accept on a fresh CSocket, here or later: a connection not accepted inside this
    // handler stays open, unregistered, until some object accepts it.
    virtual void OnConnectionRequest(int32_t /*requestID*/) {}
    // Data arrived; bytesTotal is everything now waiting in the receive buffer (at most
    // ReceiveBufferLimit, see the class comment).
    virtual void OnDataArrival(int32_t /*bytesTotal*/) {}
    // A network error was reported for the socket. Scode is 0, HelpFile empty, HelpContext 0;
    // Description and CancelDisplay may be written but are not read back.
    virtual void OnError(int16_t /*Number*/, std::string& /*Description*/, int32_t /*Scode*/,
                         const std::string& /*Source*/, const std::string& /*HelpFile*/,
                         int32_t /*HelpContext*/, bool& /*CancelDisplay*/) {}
    // Everything handed to SendData has been handed to the network.
    virtual void OnSendComplete() {}
    // After every send attempt: bytes taken by this attempt, bytes still waiting.
    virtual void OnSendProgress(int32_t /*bytesSent*/, int32_t /*bytesRemaining*/) {}
};

class CSocket final : public std::enable_shared_from_this<CSocket>,
                      private MSocketSupport::SocketEventSink {
    // Only Create() can make this key, so every object is owned by a std::shared_ptr.
    struct ConstructionKey {
        explicit ConstructionKey() = default;
    };

  public:
    explicit CSocket(ConstructionKey);
    // Starts the socket service if it is not running (throws its SocketError when it cannot
    // start). Creates no handle.
    static std::shared_ptr<CSocket> Create();
    // Lets go of a remaining handle (an established connection is closed without loss, see
    // above) and lets the service shut down when no socket is left. Never throws.
    ~CSocket();

    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;

    // The one owner whose handlers receive the events; null for none. Not owned: detach it
    // before the owner goes away.
    void SetOwner(CSocketEvents* owner) { owner_ = owner; }

    // -- Operations, in the order of the class's interface --------------------------------

    // Send data to remote computer. The value's bytes (see Variant::WireBytes) are appended to
    // the send buffer, behind anything still waiting, and the whole buffer is offered to the
    // network at once; what the network does not take goes out as the socket becomes writable.
    // OnSendProgress(bytesSent, bytesRemaining) follows every attempt, the first one inside
    // this call; OnSendComplete follows from the loop once the buffer is empty. A value that
    // yields no bytes does nothing and raises nothing.
    // Stream: an object without a handle raises 40006 (source "CSocket.SendData").
    // Stream after CloseSocket (StateClosing): raises WsaEShutdown, nothing is queued.
    // Datagram: the handle is created if needed; each call's bytes go out as one datagram to
    // RemoteHostIP:RemotePort, or, when only a name is known, once RemoteHost has been
    // resolved (OnSendProgress(0, N) at once, the datagrams on completion). A datagram is
    // offered once: one the network refuses (or whose name cannot be resolved) is dropped when
    // its error is raised, and never goes out with a later call.
    // Other failures raise the platform's error with source "CSocket.SendData".
    void SendData(const Variant& varData);
    // Look at incoming data without removing it from the buffer. Same arguments and result as
    // GetData; errors carry the source "CSocket.PeekData".
    void PeekData(Variant& varData, const Variant& varType = {}, const Variant& maxLen = {});
    // Listen for incoming connection requests: binds first when not bound (see Bind), then
    // listens with a backlog of 5; State becomes StateListening. A platform refusal (a datagram
    // object, say) sets StateError. Errors carry the source "CSocket.Listen".
    void Listen();
    // Retrieve data sent by the remote computer. maxLen is the most bytes to take (empty, 0,
    // negative or larger than the buffer: all of it). varType is a VarType code: empty gives
    // text; a numeric code gives a value built from the leading bytes of its size (missing high
    // bytes are zero, further taken bytes are dropped); vbString text; vbByteArray the bytes; a
    // code outside the table takes the bytes and leaves varData as it was. An empty buffer
    // leaves varData and BytesReceived alone; otherwise BytesReceived becomes what is left.
    // Arguments that are no number raise 13 "Type mismatch" (source "CSocket.GetData").
    void GetData(Variant& varData, const Variant& varType = {}, const Variant& maxLen = {});
    // Connect to the remote computer. Both arguments optional: a host (name, dotted address, or
    // IPv6 literal with or without brackets; 255.255.255.255 counts as a name) and a port (number
    // or numeric text, rounded halves to even; other text leaves RemotePort as it is). An address
    // goes straight to StateConnecting; a name passes StateResolvingHost and StateHostResolved
    // first, and RemoteHost becomes the host's official name. The outcome arrives as OnConnect
    // (State 7) or OnError (State 9).
    // A name is looked up for both families. With more than one address, the addresses race
    // inside StateConnecting: IPv6 first, the families taking turns (each family's addresses in
    // the order the system gave them); a new attempt starts 250 ms after the previous one
    // started, or at once when an attempt fails sooner. The first connection to complete wins
    // and becomes SocketHandle; the other attempts are closed at once, raising nothing. So a
    // host whose IPv6 path silently drops connections is reached over IPv4 within a fraction
    // of a second, not after the system's time-out. The owner sees one outcome: one OnConnect,
    // with RemoteHostIP the address connected to, or, when every address has failed, one
    // OnError with the last failure's number (10061 refused, 10060 timed out, 10051/10065
    // unreachable), State 9, the handle gone. (A handle already bound, by Bind, connects from
    // its own family only, and tries one address, as a name with one address does.)
    // ConnectTimeout bounds the whole connect, the lookup of a name included.
    // Raises, with source "CSocket.CSocket.Connect":
    // WsaEAddrNotAvail without a host, 6 "Overflow" for a port outside 0..65535, WsaEIsConn on a
    // connected handle, or the platform's error. A handle that cannot be created makes it do
    // nothing.
    void Connect(const Variant& strRemoteHost = {}, const Variant& lngRemotePort = {});
    // Close current connection. Connected: shuts the sending direction down (StateClosing),
    // behind the bytes still waiting to be sent; data the peer still sends arrives, and
    // OnClose follows the peer's close. In any other state the handle is let go of at once
    // (StateClosed, no event), and a lookup under way is forgotten; an established connection
    // (a second CloseSocket) is still closed without loss by the service. Without a handle it
    // does nothing. While connecting to a name, every attempt under way is closed with it.
    // Never raises.
    void CloseSocket();
    // Drop the connection at once: bytes not yet sent are discarded, the network's queue for
    // the peer too, and an established connection is reset. StateClosed, no event, a lookup
    // under way is forgotten. For an owner that must be sure nothing more goes out (a request
    // given up half-way). Without a handle it only empties the send buffer. Never raises.
    void Abort();
    // Binds socket to specific port and adapter. A port of 0 or less and an empty address keep
    // the stored LocalPort / LocalIP (empty: any local address). LocalPort is not read back, so
    // after binding to port 0 it stays 0. Text that is no dotted address, and the limited
    // broadcast 255.255.255.255, raise WsaEAddrNotAvail "Cannot assign requested address."; the
    // stored LocalIP keeps the text. Errors carry the source "CSocket.Bind".
    // An IPv6 literal ("::1", "[::1]") binds to that family only. A stream socket with no
    // address (and so Listen without one) takes both families where the system has IPv6 (one
    // IPv6 handle that maps IPv4 peers), IPv4 alone where it has not. A handle bound to one
    // family cannot connect to the other: WsaEAfNoSupport.
    void Bind(int32_t lngLocalPort = 0, const std::string& strLocalIP = {});
    // Accept an incoming connection request: take over the handle delivered by
    // OnConnectionRequest. Fills LocalIP/LocalPort (LocalHostName = LocalIP), RemoteHost/
    // RemoteHostIP (the peer's address: dotted IPv4, also for an IPv4 peer of a listener that
    // takes both families, or RFC 5952 IPv6 such as "::1") and RemotePort, sets Protocol from
    // the handle and
    // State to StateConnected; raises no event. A handle this object still holds is destroyed
    // first. A negative requestID raises WsaENotSock; errors carry the source "CSocket.Accept".
    void Accept(int32_t requestID);

    // -- Properties ---------------------------------------------------------------------------

    int32_t State() const { return m_.State; }
    // Returns the socket handle.
    int32_t SocketHandle() const { return m_.SocketHandle; }
    // Returns/Sets the port to be connected to on the remote computer.
    int32_t RemotePort() const { return m_.RemotePort; }
    void RemotePort(int32_t NewValue) { m_.RemotePort = NewValue; }
    // Returns the remote host IP address: dotted IPv4 or RFC 5952 IPv6 ("::1", "2001:db8::5").
    // After Connect, the address connected to, for a literal as for a name. On a datagram
    // socket every arriving datagram sets it, with RemotePort, to that datagram's sender, of
    // either family, so that the next SendData answers the sender.
    const std::string& RemoteHostIP() const { return m_.RemoteHostIP; }
    // Returns/Sets the name used to identify the remote computer. Writing a dotted address also
    // sets RemoteHostIP and, for UDP, creates the handle and switches broadcast on for
    // addresses ending in ".255" (off for others); a refusal raises the platform's error with
    // source "CSocket.RemoteHost". Writing an IPv6 literal, with or without brackets, sets
    // RemoteHostIP to its RFC 5952 form and, for UDP, makes the handle IPv6; broadcast is for
    // IPv4 alone. A datagram socket given a name resolves it at its first SendData and sends to
    // its IPv4 address, or, for a name with IPv6 addresses only, to its first IPv6 address (the
    // handle becomes IPv6); RemoteHostIP then holds that address.
    const std::string& RemoteHost() const { return m_.RemoteHost; }
    void RemoteHost(const std::string& NewValue);
    // Returns/Sets the socket protocol (ignored while a handle exists).
    int32_t Protocol() const { return m_.Protocol; }
    void Protocol(int32_t NewValue);
    // Returns/Sets the port used on the local computer.
    int32_t LocalPort() const { return m_.LocalPort; }
    void LocalPort(int32_t NewValue) { m_.LocalPort = NewValue; }
    // Returns the local machine IP address.
    const std::string& LocalIP() const { return m_.LocalIP; }
    // Returns the local machine name.
    const std::string& LocalHostName() const { return m_.LocalHostName; }
    // Returns the number of bytes received on this connection.
    int32_t BytesReceived() const { return m_.BytesReceived; }
    // Returns/Sets the most bytes the receive buffer holds before the object stops reading
    // (4 MiB by default; values below 1 count as 1). A datagram socket always has room for
    // one datagram, however large. Raising it, like GetData, lets reading go on.
    int32_t ReceiveBufferLimit() const { return receiveLimit_; }
    void ReceiveBufferLimit(int32_t NewValue);
    // Returns/Sets the longest a Connect may take, in milliseconds, counted from the call (the
    // lookup of a name included); 0, the default, leaves it to the system's own time-out.
    // Past it, every attempt is closed and the owner gets OnError 10060 (WsaETimedOut, empty
    // Source), State 9, the handle gone. A value set while connecting applies to the next
    // Connect. A negative value raises 380 "Invalid property value" (source
    // "CSocket.ConnectTimeout") and leaves the property as it was.
    int32_t ConnectTimeout() const { return connectTimeout_; }
    void ConnectTimeout(int32_t NewValue);
    // Returns/Sets whether stream connections are encrypted with TLS (false by default; set
    // before Connect or Listen; ignored while a handle exists, like Protocol). Everything the
    // owner sees stays plaintext: SendData, GetData and PeekData carry it, and OnDataArrival,
    // OnSendProgress, OnSendComplete, BytesReceived, flow control and ReceiveBufferLimit count
    // it. Datagram sockets ignore it.
    // A secure client, once connected, runs the handshake with the host given to Connect (a
    // name, sent to the server to pick its certificate, or an address literal) and verifies
    // the server's certificate chain against the system's trust store (on Linux the default
    // paths, which SSL_CERT_FILE and SSL_CERT_DIR override) and its names or addresses against
    // that host. Only then does OnConnect come, and only then does any byte given to SendData
    // go out (bytes given earlier wait). A failure raises one OnError, State 9, the handle gone,
    // no OnConnect, nothing of the owner's sent, with one of these numbers and a description
    // that says which, with the detail the system gave:
    //   31001 TlsUntrusted        the chain does not lead to a trusted authority
    //   31002 TlsNameMismatch     the certificate is for another name or address
    //   31003 TlsExpired          the certificate has expired or is not valid yet
    //   31004 TlsHandshakeFailed  the handshake failed (the peer refused it, or went away)
    //   31005 TlsProtocolError    the peer sent something that is not TLS
    // The handshake is bounded by ConnectTimeout, when set (the time left of it, counted from
    // Connect), else by 30 s; past that: OnError 10060, State 9, as for a connect.
    // Closing: CloseSocket sends the close notice behind every byte still waiting, and the
    // close hand-over finishes it like any other. A peer's close notice, or a peer that closes
    // the connection without one (as servers that end a reply by closing do), gives OnClose.
    bool Secure() const;
    void Secure(bool NewValue);
    // The certificate chain (the server's own first) and its private key, PEM files, that a
    // secure listener presents. Every connection it then hands to Accept runs the server side
    // of the handshake: the accepting object is secure, State 7 at once; bytes given to
    // SendData wait for the handshake. A client that fails it costs only that object its
    // connection (OnError there, as above, or 10060 after 30 s without a handshake); the
    // listener goes on. A file that cannot be loaded raises 31006 TlsCredentials (source
    // "CSocket.SetCertificate") with a description that says which and why; Listen on a
    // secure object without a certificate raises 31006 too (source "CSocket.Listen").
    void SetCertificate(const std::string& certificateChainFile, const std::string& privateKeyFile);

    // Read-only views for diagnostics and tests.
    bool IsBound() const { return m_.IsBound; }
    bool SendPending() const { return m_.SendPending; }
    bool BroadcastEnabled() const { return m_.BroadcastEnabled; }
    int32_t LookupHandle() const { return m_.LookupHandle; }
    int32_t ReceiveChunkSize() const { return m_.ReceiveChunkSize; }
    std::size_t SendBufferSize() const { return m_.SendBuffer.size(); }
    std::size_t ReceiveBufferSize() const { return m_.ReceiveBuffer.size(); }

  private:
    // Friend operations: only the socket service calls these.
    void PostSocketEvent(int32_t eventCode, int32_t errorCode) override;
    void PostHandleEvent(int32_t handle, int32_t eventCode, int32_t errorCode) override;
    void PostGetHostEvent(int32_t lookupHandle, const MSocketSupport::NetAddress* addresses,
                          std::size_t count, std::string& hostName, int32_t& errorCode) override;
    void DeadlineReached() override;

    // The steps of the operations and events above; each is described where it is defined.
    using SelfHold = detail::SelfHold;
    int32_t vbSocket(bool v6);
    bool EnsureSocket(bool v6 = false);
    bool EnsureFamily(bool v6);
    bool EnsureBothFamilies();
    MSocketSupport::NetAddress ForSocket(const MSocketSupport::NetAddress& a) const;
    void ReadBufferSizes();
    int32_t RecvToBuffer();
    void ReceiveData(Variant& varData, bool peek, const Variant& varType, const Variant& maxLen);
    bool HandOverFits(const Variant& varData, std::size_t length) const;
    void HandOverReceived(Variant& varData, int32_t type);
    void SendBufferedData(std::string_view fresh = {});
    void DestroySocket(bool abortive = false);
    void PostWriteCheck();
    std::size_t FirstDatagramLength() const;
    void DropFirstDatagram();
    void DropWaitingDatagrams();
    bool ClosesGracefully() const;
    void ShutDownSending();
    bool ReceiveRoom() const;
    void ResumeReading();
    void PeerClose(int32_t handle);
    void ForgetUnsentStream();
    std::weak_ptr<MSocketSupport::SocketEventSink> SinkReference();
    bool StartLookup(MSocketSupport::ErrorRecord& failure);
    int32_t StartConnect(const MSocketSupport::NetAddress& address);
    void ConnectToResolved(const MSocketSupport::NetAddress* addresses, std::size_t count);
    void StartRace(std::vector<MSocketSupport::NetAddress> order);
    void StartNextAttempt();
    void AttemptFailed(int32_t handle, int32_t error);
    void AttemptWon(int32_t handle);
    void CloseAttempt(int32_t handle);
    void EndRace();
    void ArmDeadline();
    void ReadLocalEnd();
    void RaiseError(int32_t number, const std::string& source, std::string description = {});
    // Secure connections (Securing.cpp): hooks where ciphertext enters and leaves.
    bool SecureOn() const;
    tls::TlsSession* Session() const;
    void StartSecureClient();
    void OfferAccepted(int32_t handle);
    void AcceptSecure(int32_t handle);
    void SecureRead(int32_t handle);
    int32_t SecureRecvToBuffer();
    void SecureSend(std::string_view fresh);
    bool FlushCiphertext();
    bool SecureWaiting() const;
    void SecureUp(int32_t handle);
    void FailSecure();
    void RaiseHandshakeFailed(const std::string& detail);
    bool SecureDeadline();
    bool SecureCloseSent();
    std::string SecureRemainder();
    void RaiseDataArrival();
    void RaiseSendProgress(std::size_t sent, std::size_t remaining);
    // A load, where weak_from_this() in a const member would lock and count: once only the
    // object's own frames hold it, the owner has let go inside a handler.
    bool Abandoned() const { return self_.use_count() <= selfHolds_; }
    // The owner to raise events to: null when there is none or nobody holds the object.
    CSocketEvents* Listener() const { return Abandoned() ? nullptr : owner_; }

    // Layout: the fields every notification touches come first, together (see
    // detail::CSocketMembers), ahead of the texts only connecting and accepting use: at a
    // thousand connections each event then touches a few cache lines of the object rather
    // than all of them. Everything is held by value: no allocation, no pointer to follow.
    CSocketEvents* owner_ = nullptr;
    // Set by Create(): Abandoned() reads its count.
    std::weak_ptr<CSocket> self_;
    int32_t selfHolds_ = 0;
    int32_t receiveLimit_ = 0;       // set from DefaultReceiveBufferLimit by the constructor
    bool socketV6_ = false;          // the handle's family: IPv6 (or dual-stack), else IPv4
    bool dualStack_ = false;         // an IPv6 handle that takes IPv4 peers too
    detail::ConnectionFlags flags_;  // per connection, cleared when the handle goes
    detail::CSocketMembers m_;
    detail::DatagramQueue datagrams_;  // datagram sockets only
    // Connecting: the end ConnectTimeout sets (max for none), and, for a name with more than
    // one address, the race between them (null otherwise).
    int32_t connectTimeout_ = 0;
    std::chrono::steady_clock::time_point giveUp_ = std::chrono::steady_clock::time_point::max();
    std::unique_ptr<detail::ConnectRace> race_;
    // Secure connections: null until Secure or SetCertificate (see detail::SecureLink).
    std::unique_ptr<detail::SecureLink> secure_;
};

}  // namespace packwarden
