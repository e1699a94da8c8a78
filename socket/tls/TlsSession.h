// SPDX-License-Identifier: MIT
// Internal, never installed: one TLS session with no socket of its own. The owner moves bytes
// between it and the network; the session turns ciphertext into plaintext and back. So the
// object that drives it keeps its event model, its close hand-over and its flow control, and
// counts plaintext only. Exactly one backend is compiled per platform (OpenSslSession.cpp on
// Linux, SchannelSession.cpp on Windows); nothing of either library shows here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "packwarden/ByteBuffer.h"

namespace packwarden::tls {

// A failure: a number of the socket layer's table (the Tls* rows of SocketErrors.h) and a
// description that says which failure it was, with the library's detail where it has one.
struct TlsError {
    int32_t number = 0;
    std::string description;
};

// A server's certificate chain and private key, loaded once (by a listener) and shared by every
// session it accepts.
class ServerCredentials {
  public:
    virtual ~ServerCredentials() = default;

  protected:
    ServerCredentials() = default;
};

// Loads a PEM certificate chain (the server's certificate first) and its PEM private key.
// On failure: nullptr, and `error` says which file and why (TlsCredentials).
std::shared_ptr<const ServerCredentials> LoadServerCredentials(const std::string& chainFile,
                                                               const std::string& keyFile,
                                                               TlsError& error);

class TlsSession {
  public:
    // Ciphertext the session queues for the network before WritePlaintext takes no more: the
    // owner's own send buffer, not this one, holds what the network is slow to take.
    static constexpr std::size_t kCiphertextBound = 64 * 1024;

    // A client of `serverName`: a host name (sent for SNI) or an IPv4/IPv6 literal (brackets
    // allowed, never sent for SNI). The server's chain is verified against the system's trust
    // store, and its name or address against the certificate's identifiers (DNS names and IP
    // addresses; a wildcard only as a whole left-most label). The first handshake flight is
    // pending at once (CiphertextPending).
    static std::unique_ptr<TlsSession> Client(const std::string& serverName);
    // A server with the given credentials; it waits for the client's first flight.
    static std::unique_ptr<TlsSession> Server(std::shared_ptr<const ServerCredentials> credentials);

    virtual ~TlsSession() = default;
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // Bytes received from the network, all taken, in any cuts. They drive the handshake and are
    // decrypted into plaintext at once (PlaintextAvailable). False once the session has failed.
    virtual bool Feed(const void* data, std::size_t n) = 0;
    // The network's end of stream. After close_notify it is the expected end; after the
    // handshake without it the peer is gone (PeerGone, not a failure: servers that mark the end
    // of a reply by closing do this); during the handshake it is a handshake failure.
    void FeedEnd();

    // Decrypted bytes waiting for the owner, and taking them (at most `cap`; the count taken).
    std::size_t PlaintextAvailable() const { return plain_.size(); }
    std::size_t ReadPlaintext(void* out, std::size_t cap);

    // Plaintext from the owner: the count taken (0 before the handshake has verified the peer,
    // after Shutdown or a failure, and while kCiphertextBound is reached). Whatever is taken is
    // encrypted at once, so nothing of it can be lost or reordered by a later Shutdown.
    virtual std::size_t WritePlaintext(const void* data, std::size_t n) = 0;

    // Ciphertext to send, and taking it (at most `cap`; the count taken).
    std::size_t CiphertextPending() const { return out_.size(); }
    std::size_t TakeCiphertext(void* out, std::size_t cap);
    // The same ciphertext read in place (valid until the session is next used), and dropping
    // what of it the network took: no copy between the session and the network.
    std::string_view PeekCiphertext() const { return out_.view(); }
    void DropCiphertext(std::size_t n) { out_.consume(n); }

    // Queues close_notify behind everything written. During the handshake it goes out as soon as
    // the handshake completes. Idempotent.
    void Shutdown();

    bool HandshakeDone() const { return handshakeDone_; }
    bool ShutdownQueued() const { return shutdown_; }
    // The peer's close_notify arrived: no more plaintext will come.
    bool PeerClosed() const { return peerClosed_; }
    // The network ended after the handshake without close_notify.
    bool PeerGone() const { return peerGone_; }
    bool Failed() const { return error_.number != 0; }
    const TlsError& Error() const { return error_; }

  protected:
    // The backend's close_notify, behind what it has written (nothing once it has failed).
    virtual void SendCloseNotify() = 0;
    TlsSession() = default;

    // Backends append what they produce, and record the outcome.
    void AppendPlaintext(const char* data, std::size_t n) { plain_.append(data, n); }
    void AppendCiphertext(const char* data, std::size_t n) { out_.append(data, n); }
    // Or decrypt in place: room for `n` bytes of plaintext at the end, then the count written.
    uint8_t* PlaintextRoom(std::size_t n) { return plain_.prepare(n); }
    void CommitPlaintext(std::size_t n) { plain_.commit(n); }
    // Records the first failure only (the one that explains the rest).
    void Fail(int32_t number, const std::string& detail);

    bool handshakeDone_ = false;
    bool shutdown_ = false;
    bool peerClosed_ = false;
    bool peerGone_ = false;

  private:
    ByteBuffer plain_;
    ByteBuffer out_;
    TlsError error_;
};

}  // namespace packwarden::tls
