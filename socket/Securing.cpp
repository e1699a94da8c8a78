// SPDX-License-Identifier: MIT
// CSocket: secure connections. The receive and send sides keep their buffers, events and flow
// control, all in plaintext; the hooks here sit where bytes meet the network: ciphertext read
// is fed to the session and its plaintext goes to the receive buffer, and the send buffer's
// plaintext goes into the session and its ciphertext to the network.
#include <chrono>
#include <limits>
#include <memory>
#include <unordered_map>

#include "CSocketInternal.h"
#include "Securing.h"
#include "packwarden/CSocket.h"

namespace packwarden {

namespace Platform = MSocketSupport::Platform;
using namespace detail;

namespace {

// Without ConnectTimeout, the longest a handshake may take.
constexpr auto kHandshakeBound = std::chrono::seconds(30);

using Clock = std::chrono::steady_clock;

// The handles a secure listener has offered (OnConnectionRequest) and not yet seen accepted,
// with its credentials: Accept only has the handle. Every object lives on the service's thread.
std::unordered_map<int32_t, std::shared_ptr<const tls::ServerCredentials>>& Offers() {
    static std::unordered_map<int32_t, std::shared_ptr<const tls::ServerCredentials>> offers;
    return offers;
}

// The ciphertext read area, shared like the plain receive's (one per thread).
struct CipherReceive;

Clock::time_point HandshakeEnd(int32_t timeoutMs) {
    return Clock::now() + (timeoutMs > 0 ? std::chrono::milliseconds(timeoutMs)
                                         : std::chrono::milliseconds(kHandshakeBound));
}

}  // namespace

bool CSocket::Secure() const {
    return SecureOn();
}

void CSocket::Secure(bool NewValue) {
    if (m_.SocketHandle != -1) {
        return;
    }
    if (NewValue && !secure_) {
        secure_ = std::make_unique<SecureLink>();
    }
    if (secure_) {
        secure_->on = NewValue;
    }
}

void CSocket::SetCertificate(const std::string& certificateChainFile,
                             const std::string& privateKeyFile) {
    tls::TlsError error;
    auto loaded = tls::LoadServerCredentials(certificateChainFile, privateKeyFile, error);
    if (!loaded) {
        throw MSocketSupport::SocketError(error.number, "CSocket.SetCertificate",
                                          error.description);
    }
    if (!secure_) {
        secure_ = std::make_unique<SecureLink>();
    }
    secure_->credentials = std::move(loaded);
}

// FD_CONNECT of a secure client: the connection stands, the handshake starts; the object stays
// StateConnecting until the server is verified.
void CSocket::StartSecureClient() {
    ReadLocalEnd();
    secure_->session =
        tls::TlsSession::Client(secure_->name.empty() ? m_.RemoteHostIP : secure_->name);
    secure_->up = false;
    if (giveUp_ == Clock::time_point::max()) {
        giveUp_ = HandshakeEnd(0);  // no ConnectTimeout: the handshake's own bound
    }
    ArmDeadline();
    try {
        FlushCiphertext();
    } catch (const MSocketSupport::SocketError& e) {
        // The server hung up before the first flight went: the handshake failed, and the
        // network's reason is the detail.
        m_.State = StateError;
        giveUp_ = Clock::time_point::max();
        DestroySocket(/*abortive=*/true);
        RaiseHandshakeFailed(e.Description);
    }
}

// The connection failed under a handshake: the owner learns it as the handshake's failure, with
// the network's reason as the detail.
void CSocket::RaiseHandshakeFailed(const std::string& detail) {
    RaiseError(MSocketSupport::TlsHandshakeFailed, "",
               MSocketSupport::SocketErrorText(MSocketSupport::TlsHandshakeFailed) + " " + detail);
}

// A listener's FD_ACCEPT: whether the handle it offers is to be secure.
void CSocket::OfferAccepted(int32_t handle) {
    if (SecureOn() && secure_->credentials) {
        Offers()[handle] = secure_->credentials;
    } else {
        Offers().erase(handle);  // a number reused from an offer never accepted
    }
}

void CSocket::AcceptSecure(int32_t handle) {
    const auto offer = Offers().find(handle);
    const bool offered = offer != Offers().end() && m_.Protocol == ProtocolTcp;
    if (!offered) {
        if (secure_) {
            secure_->on = false;  // the listener's choice, not this object's
        }
        return;
    }
    const auto credentials = std::move(offer->second);
    Offers().erase(offer);
    if (!secure_) {
        secure_ = std::make_unique<SecureLink>();
    }
    secure_->on = true;
    secure_->session = tls::TlsSession::Server(credentials);
    secure_->up = false;
    // A client that never finishes its handshake must not hold the connection for ever.
    giveUp_ = HandshakeEnd(connectTimeout_);
    ArmDeadline();
}

// Reads ciphertext until plaintext comes, the network has nothing more, or the stream ends;
// moves plaintext into the receive buffer, never past its bound (the rest waits in the session
// until the owner makes room). The plaintext count moved; 0 also for handshake records.
int32_t CSocket::SecureRecvToBuffer() {
    const auto limit = static_cast<std::size_t>(receiveLimit_);
    const std::size_t chunk = static_cast<std::size_t>(
        m_.ReceiveChunkSize > 0 ? m_.ReceiveChunkSize : FallbackStreamChunk);
    std::size_t moved = 0;
    bool received = false;
    for (;;) {
        while (secure_->session->PlaintextAvailable() > 0 && m_.ReceiveBuffer.size() < limit) {
            const std::size_t n =
                std::min(secure_->session->PlaintextAvailable(), limit - m_.ReceiveBuffer.size());
            uint8_t* to = m_.ReceiveBuffer.prepare(n);
            const std::size_t got = secure_->session->ReadPlaintext(to, n);
            m_.ReceiveBuffer.commit(got);
            moved += got;
        }
        // One receive at least unless the buffer is full: the receive is what re-arms the read
        // notification, and plaintext the session held back says nothing of the network.
        if ((moved > 0 && received) || m_.ReceiveBuffer.size() >= limit || flags_.peerClosed ||
            secure_->session->Failed() || secure_->session->PeerClosed()) {
            break;
        }
        received = true;
        // A busy stream gets room for two chunks, as a plain one does (RecvToBuffer): a chunk
        // of plaintext comes as a little more ciphertext, so with one a fast sender would run
        // ever further ahead, and the bytes would leave the cache before they are read.
        const std::size_t room = m_.ReceivesLarge ? chunk * ChunksPerLargeReceive : chunk;
        uint8_t* area = ThreadArea<CipherReceive>(room);
        const int32_t n = Platform::recv(m_.SocketHandle, area, room);
        if (n == -1) {
            const int32_t error = Platform::LastPlatformError();
            if (error == WsaEWouldBlock) {
                break;  // a record's rest is still on its way
            }
            throw SocketFailure(error, "CSocket.RecvToBuffer");
        }
        m_.ReceivesLarge = static_cast<std::size_t>(n) >= chunk / 2;
        if (n == 0) {
            flags_.peerClosed = true;
            secure_->session->FeedEnd();
        } else {
            secure_->session->Feed(area, static_cast<std::size_t>(n));
        }
        // Handshake replies and alerts go at once. A failure to send them shows as the
        // session's own failure or as the network's next notification.
        try {
            FlushCiphertext();
        } catch (const MSocketSupport::SocketError&) {
        }
    }
    return Clamp32(moved);
}

// FD_READ of a secure stream.
void CSocket::SecureRead(int32_t handle) {
    const int32_t count = RecvToBuffer();
    if (secure_->session->Failed()) {
        FailSecure();
        return;
    }
    if (!ReceiveRoom()) {
        // Full, perhaps without the receive that re-arms the notification, perhaps with
        // plaintext held in the session: GetData's room brings the rest (ResumeReading).
        flags_.readSuspended = true;
    }
    if (!secure_->up && secure_->session->HandshakeDone()) {
        SecureUp(handle);
        if (m_.SocketHandle != handle || Session() == nullptr || Abandoned()) {
            return;
        }
    }
    const int64_t total = int64_t{m_.BytesReceived} + count;
    if (total > std::numeric_limits<int32_t>::max()) {
        throw Overflow("CSocket.PostSocketEvent");
    }
    m_.BytesReceived = static_cast<int32_t>(total);
    if (count > 0) {
        RaiseDataArrival();
    }
    if (m_.SocketHandle == handle && Session() != nullptr && secure_->session->PeerClosed() &&
        !flags_.closePending && !flags_.closeAfterSend && !Abandoned()) {
        // The peer's close notice: nothing more comes, whether or not its stream ends yet.
        PeerClose(handle);
    }
}

// The handshake has verified the peer: a client reports its connection; bytes given to
// SendData meanwhile go now, and a CloseSocket that came meanwhile follows them.
void CSocket::SecureUp(int32_t handle) {
    secure_->up = true;
    giveUp_ = Clock::time_point::max();
    MSocketSupport::ClearDeadline(this);
    if (m_.State == StateConnecting) {
        m_.State = StateConnected;
        if (CSocketEvents* owner = Listener()) {
            owner->OnConnect();
        }
        if (m_.SocketHandle != handle || Session() == nullptr) {
            return;
        }
    }
    if (!m_.SendBuffer.empty() || flags_.shutdownWhenSent) {
        SendBufferedData();
    }
}

// Sends the session's ciphertext from the session's own buffer; what the network leaves stays
// there. True when all of it has gone; false when the network takes no more for now (a write
// notification follows).
bool CSocket::FlushCiphertext() {
    for (;;) {
        const std::string_view pending = secure_->session->PeekCiphertext();
        if (pending.empty()) {
            return true;
        }
        const int32_t sent = Platform::send(m_.SocketHandle, pending.data(), pending.size());
        if (sent == -1) {
            const int32_t error = Platform::LastPlatformError();
            if (error == WsaEWouldBlock) {
                return false;
            }
            throw SocketFailure(error, "CSocket.SendData");
        }
        secure_->session->DropCiphertext(static_cast<std::size_t>(sent));
    }
}

bool CSocket::SecureWaiting() const {
    return secure_->session->CiphertextPending() > 0;
}

// SendBufferedData of a secure stream: the caller's plaintext joins the buffer; the session
// takes what it can once the peer is verified, and its ciphertext goes out. Progress counts
// the plaintext the session took; OnSendComplete waits for its ciphertext to be sent.
void CSocket::SecureSend(std::string_view fresh) {
    const int32_t handle = m_.SocketHandle;
    m_.SendBuffer.append(fresh);
    if (Session() == nullptr) {
        return;  // still connecting: nothing goes out before the handshake has verified the peer
    }
    try {
        for (;;) {
            bool flushed = FlushCiphertext();
            std::size_t took = 0;
            if (flushed && secure_->up && !m_.SendBuffer.empty()) {
                took = secure_->session->WritePlaintext(m_.SendBuffer.data(), m_.SendBuffer.size());
                m_.SendBuffer.consume(took);
                flushed = FlushCiphertext();
            }
            if (flushed && m_.SendBuffer.empty()) {
                if (flags_.shutdownWhenSent) {
                    ShutDownSending();  // CloseSocket came while these bytes waited
                }
                if (m_.SendPending) {
                    // OnSendComplete comes from the loop, after the caller has returned.
                    MSocketSupport::PostSocketRecord(handle, MSocketSupport::FD_WRITE);
                }
            }
            if (took == 0) {
                return;  // the network or the handshake holds the rest back
            }
            RaiseSendProgress(took, m_.SendBuffer.size());
            if (!flushed || m_.SendBuffer.empty() || m_.SocketHandle != handle ||
                Session() == nullptr) {
                return;
            }
        }
    } catch (const MSocketSupport::SocketError&) {
        if (flags_.closeAfterSend) {
            PostWriteCheck();  // the teardown waiting for this send must not wait on
        }
        throw;
    }
}

// The session has failed: one OnError with its number and description, State 9, the handle
// gone, and nothing of the owner's sent (the session takes none before verification).
void CSocket::FailSecure() {
    const tls::TlsError error = secure_->session->Error();
    try {
        FlushCiphertext();  // the alert that tells the peer why, if the network takes it
    } catch (const MSocketSupport::SocketError&) {
    }
    giveUp_ = Clock::time_point::max();
    m_.State = StateError;
    m_.SendBuffer.reset();
    m_.SendPending = false;
    DestroySocket(/*abortive=*/true);
    RaiseError(error.number, "", error.description);
}

// DeadlineReached for an accepted connection whose handshake has not finished, closed by its
// owner meanwhile or not: true when it was that (a client's handshake counts as connecting,
// handled with the connect).
bool CSocket::SecureDeadline() {
    if (Session() == nullptr || secure_->up ||
        (m_.State != StateConnected && m_.State != StateClosing)) {
        return false;
    }
    if (Clock::now() < giveUp_) {
        ArmDeadline();
        return true;
    }
    giveUp_ = Clock::time_point::max();
    m_.State = StateError;
    m_.SendBuffer.reset();
    m_.SendPending = false;
    DestroySocket(/*abortive=*/true);
    RaiseError(MSocketSupport::WsaETimedOut, "");
    return true;
}

// ShutDownSending of a secure stream: the close notice goes behind everything written; true
// once it has all gone, so the sending direction may be shut down.
bool CSocket::SecureCloseSent() {
    if (!secure_->up) {
        return false;  // the handshake first (SecureUp comes back here)
    }
    secure_->session->Shutdown();
    return FlushCiphertext();
}

// What the close hand-over sends for a secure stream: the ciphertext still waiting, the rest
// of the owner's bytes encrypted, and the close notice. Bytes given before the peer was
// verified are never sent.
std::string CSocket::SecureRemainder() {
    if (flags_.sendShutDown) {
        return {};  // the close notice has gone, and everything before it
    }
    tls::TlsSession& session = *secure_->session;
    std::string out;
    const auto take = [&] {
        const std::string_view cipher = session.PeekCiphertext();
        out.append(cipher);
        session.DropCiphertext(cipher.size());
    };
    take();
    if (!secure_->up || session.Failed()) {
        return out;
    }
    std::string_view rest = m_.SendBuffer.view();
    while (!rest.empty()) {
        const std::size_t took = session.WritePlaintext(rest.data(), rest.size());
        if (took == 0 && session.CiphertextPending() == 0) {
            break;  // the session takes no more
        }
        rest.remove_prefix(took);
        take();
    }
    session.Shutdown();
    take();
    return out;
}

}  // namespace packwarden
