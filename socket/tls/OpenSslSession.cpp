// SPDX-License-Identifier: MIT
// The session on OpenSSL 3, driven through a BIO of its own: the library reads what the network
// delivered (in place while Feed runs; a record's unread rest is kept), and what it writes lands
// straight in the ciphertext buffer the owner sends from. The library never touches a socket,
// so the owner's event model decides when bytes move. (Memory BIOs would cost a copy and a
// zero-fill of every byte each way.)
#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "packwarden/MSocketSupport.h"
#include "tls/TlsSession.h"

namespace packwarden::tls {

namespace ms = MSocketSupport;

namespace {

// The most plaintext one record carries.
constexpr std::size_t kRecordPlaintext = 16 * 1024;

struct CtxFree {
    void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
using CtxPtr = std::unique_ptr<SSL_CTX, CtxFree>;
using SharedCtx = std::shared_ptr<SSL_CTX>;

SharedCtx Share(CtxPtr ctx) {
    return SharedCtx(ctx.release(), CtxFree{});
}

// The library's oldest error on this thread, as text; the queue is then emptied so that it
// never explains another session's failure.
std::string TakeLibraryError() {
    const unsigned long err = ERR_peek_error();
    std::string text;
    if (err != 0) {
        const char* reason = ERR_reason_error_string(err);
        if (reason != nullptr) {
            text = reason;
        } else {
            char buffer[256];
            ERR_error_string_n(err, buffer, sizeof buffer);
            text = buffer;
        }
    }
    ERR_clear_error();
    return text;
}

CtxPtr NewContext(const SSL_METHOD* method) {
    CtxPtr ctx(SSL_CTX_new(method));
    if (!ctx) {
        return ctx;
    }
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    // Memory BIOs never refuse a write; the partial-write mode lets WritePlaintext report what it
    // took record by record.
    SSL_CTX_set_mode(ctx.get(),
                     SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return ctx;
}

// Clients share one context while the trust settings stay the same: loading the trust store is
// by far the dearest part of a session. The default paths honour SSL_CERT_FILE and SSL_CERT_DIR,
// so a change of either makes a new context.
SharedCtx ClientContext() {
    static std::mutex mutex;
    static SharedCtx cached;
    static std::string cachedKey;
    const char* file = std::getenv("SSL_CERT_FILE");
    const char* dir = std::getenv("SSL_CERT_DIR");
    std::string key = std::string(file ? file : "\x01") + '\0' + (dir ? dir : "\x01");
    const std::lock_guard<std::mutex> lock(mutex);
    if (cached && key == cachedKey) {
        return cached;
    }
    CtxPtr ctx = NewContext(TLS_client_method());
    if (!ctx) {
        return nullptr;
    }
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_default_verify_paths(ctx.get());
    ERR_clear_error();  // a missing default file or directory is not an error of any session
    cached = Share(std::move(ctx));
    cachedKey = std::move(key);
    return cached;
}

// Which number a verification result is.
int32_t VerifyResultNumber(long result) {
    switch (result) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return ms::TlsExpired;
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            return ms::TlsNameMismatch;
        default:
            return ms::TlsUntrusted;
    }
}

// Failures that mean the bytes were not TLS records, or not the messages they had to be, as
// opposed to a peer that speaks TLS but does not agree with us.
bool IsProtocolViolation(unsigned long err) {
    if (ERR_GET_LIB(err) != ERR_LIB_SSL) {
        return false;
    }
    switch (ERR_GET_REASON(err)) {
        case SSL_R_WRONG_VERSION_NUMBER:
        case SSL_R_PACKET_LENGTH_TOO_LONG:
        case SSL_R_RECORD_LENGTH_MISMATCH:
        case SSL_R_HTTP_REQUEST:
        case SSL_R_HTTPS_PROXY_REQUEST:
        case SSL_R_UNEXPECTED_RECORD:
        case SSL_R_UNEXPECTED_MESSAGE:
        case SSL_R_DECRYPTION_FAILED_OR_BAD_RECORD_MAC:
        case SSL_R_BAD_RECORD_TYPE:
        case SSL_R_LENGTH_MISMATCH:
        case SSL_R_LENGTH_TOO_SHORT:
        case SSL_R_BAD_PACKET_LENGTH:
        case SSL_R_ENCRYPTED_LENGTH_TOO_LONG:
        case SSL_R_DATA_LENGTH_TOO_LONG:
        case SSL_R_BAD_LENGTH:
        case SSL_R_BAD_PACKET:
        case SSL_R_UNKNOWN_PROTOCOL:
        case SSL_R_UNSUPPORTED_PROTOCOL:
            return true;
        default:
            return false;
    }
}

class OpenSslCredentials final : public ServerCredentials {
  public:
    explicit OpenSslCredentials(SharedCtx ctx) : ctx_(std::move(ctx)) {}
    const SharedCtx& Context() const { return ctx_; }

  private:
    SharedCtx ctx_;
};

// An unreadable file is named with the system's reason; the library would only say "system
// library".
bool Readable(const std::string& path, const char* what, TlsError& error) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        error.number = ms::TlsCredentials;
        error.description = ms::SocketErrorText(ms::TlsCredentials) + " (" + what + " '" + path +
                            "': " + std::strerror(errno) + ")";
        return false;
    }
    std::fclose(f);
    return true;
}

// The BIO the sessions read from and write to; the session is its data.
int BioWrite(BIO* bio, const char* data, int n);
int BioRead(BIO* bio, char* out, int cap);
long BioCtrl(BIO* bio, int cmd, long, void*);

const BIO_METHOD* SessionBioMethod() {
    static const std::unique_ptr<BIO_METHOD, void (*)(BIO_METHOD*)> method = [] {
        std::unique_ptr<BIO_METHOD, void (*)(BIO_METHOD*)> m(
            BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "packwarden session"),
            BIO_meth_free);
        if (m && (BIO_meth_set_write(m.get(), BioWrite) != 1 ||
                  BIO_meth_set_read(m.get(), BioRead) != 1 ||
                  BIO_meth_set_ctrl(m.get(), BioCtrl) != 1)) {
            m.reset();
        }
        return m;
    }();
    return method.get();
}

class OpenSslSession final : public TlsSession {
  public:
    OpenSslSession(SharedCtx ctx, bool client) : ctx_(std::move(ctx)), client_(client) {
        ssl_ = ctx_ ? SSL_new(ctx_.get()) : nullptr;
        const BIO_METHOD* method = SessionBioMethod();
        BIO* bio = method != nullptr ? BIO_new(method) : nullptr;
        if (ssl_ == nullptr || bio == nullptr) {
            BIO_free(bio);
            Fail(ms::TlsHandshakeFailed, "cannot create a session: " + TakeLibraryError());
            return;
        }
        BIO_set_data(bio, this);
        BIO_set_init(bio, 1);
        SSL_set_bio(ssl_, bio, bio);  // one reference, for both directions
        if (client) {
            SSL_set_connect_state(ssl_);
        } else {
            SSL_set_accept_state(ssl_);
        }
    }
    ~OpenSslSession() override { SSL_free(ssl_); }

    // Names the peer for SNI and verification, and sends the first flight.
    void Start(const std::string& serverName) {
        if (Failed()) {
            return;
        }
        std::string name = serverName;
        if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
            name = name.substr(1, name.size() - 2);
        }
        unsigned char address[16];
        const bool literal = inet_pton(AF_INET, name.c_str(), address) == 1 ||
                             inet_pton(AF_INET6, name.c_str(), address) == 1;
        X509_VERIFY_PARAM* param = SSL_get0_param(ssl_);
        // A wildcard counts only as a whole left-most label ("*.example.org", not
        // "w*.example.org").
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        bool named = false;
        if (literal) {
            // Addresses are checked against the certificate's IP identifiers; SNI carries names
            // only.
            named = X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str()) == 1;
        } else if (!name.empty()) {
            named = SSL_set_tlsext_host_name(ssl_, name.c_str()) == 1 &&
                    X509_VERIFY_PARAM_set1_host(param, name.c_str(), name.size()) == 1;
        }
        if (!named) {
            Fail(ms::TlsNameMismatch, "'" + serverName + "' cannot name a server");
            ERR_clear_error();
            return;
        }
        Pump();
    }

    bool Feed(const void* data, std::size_t n) override {
        if (Failed()) {
            return false;
        }
        // Read in place; what the library leaves (a record's first part) is kept for the next.
        fresh_ = static_cast<const char*>(data);
        freshLeft_ = n;
        Pump();
        pending_.append(fresh_, freshLeft_);
        fresh_ = nullptr;
        freshLeft_ = 0;
        return !Failed();
    }

    // The BIO's side. Writes always succeed: the owner's flow control bounds what is written
    // (kCiphertextBound). An empty input is "try again later", not the end of the stream:
    // FeedEnd says that.
    void Write(const char* data, std::size_t n) { AppendCiphertext(data, n); }
    std::size_t Read(char* out, std::size_t cap) {
        std::size_t n = std::min(cap, pending_.size());
        if (n > 0) {
            std::memcpy(out, pending_.data(), n);
            pending_.consume(n);
        }
        const std::size_t more = std::min(cap - n, freshLeft_);
        if (more > 0) {
            std::memcpy(out + n, fresh_, more);
            fresh_ += more;
            freshLeft_ -= more;
            n += more;
        }
        return n;
    }
    std::size_t InputWaiting() const { return pending_.size() + freshLeft_; }

    std::size_t WritePlaintext(const void* data, std::size_t n) override {
        if (!handshakeDone_ || shutdown_ || Failed()) {
            return 0;
        }
        const std::size_t pending = CiphertextPending();
        std::size_t room =
            pending < kCiphertextBound ? std::min(n, kCiphertextBound - pending) : std::size_t{0};
        std::size_t taken = 0;
        const char* bytes = static_cast<const char*>(data);
        while (taken < room) {
            ERR_clear_error();
            std::size_t written = 0;
            const int r = SSL_write_ex(ssl_, bytes + taken, room - taken, &written);
            if (r != 1) {
                FailFrom(r);
                break;
            }
            taken += written;
        }
        return taken;
    }

  private:
    // Runs the handshake as far as the input allows, then decrypts everything that arrived.
    void Pump() {
        if (Failed()) {
            return;
        }
        if (!handshakeDone_) {
            ERR_clear_error();
            const int r = SSL_do_handshake(ssl_);
            if (r == 1) {
                handshakeDone_ = true;
                if (shutdown_) {
                    SendCloseNotify();
                }
            } else if (!Retry(r)) {
                FailFrom(r);
            }
        }
        if (handshakeDone_ && !peerClosed_) {
            while (!Failed()) {
                ERR_clear_error();
                // Decrypted straight into the plaintext buffer: at most one record a call.
                std::size_t n = 0;
                const int r =
                    SSL_read_ex(ssl_, PlaintextRoom(kRecordPlaintext), kRecordPlaintext, &n);
                CommitPlaintext(r == 1 ? n : 0);
                if (r == 1) {
                    continue;
                }
                if (SSL_get_error(ssl_, r) == SSL_ERROR_ZERO_RETURN) {
                    peerClosed_ = true;
                } else if (!Retry(r)) {
                    FailFrom(r);
                }
                break;
            }
        }
    }

    bool Retry(int r) const {
        const int e = SSL_get_error(ssl_, r);
        return e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE;
    }

    void SendCloseNotify() override {
        if (!Failed()) {
            ERR_clear_error();
            SSL_shutdown(ssl_);  // 0: sent, the peer's not yet seen; that is all we wait for
            ERR_clear_error();
        }
    }

    // Records the failure of the call that returned `r`, under the number that says which.
    void FailFrom(int r) {
        const int e = SSL_get_error(ssl_, r);
        const unsigned long err = ERR_peek_error();
        if (client_ && !handshakeDone_) {
            const long verify = SSL_get_verify_result(ssl_);
            if (verify != X509_V_OK) {
                ERR_clear_error();
                Fail(VerifyResultNumber(verify), X509_verify_cert_error_string(verify));
                return;
            }
        }
        const int32_t number = handshakeDone_ || IsProtocolViolation(err) ? ms::TlsProtocolError
                                                                          : ms::TlsHandshakeFailed;
        std::string detail = TakeLibraryError();
        if (detail.empty()) {
            detail =
                e == SSL_ERROR_SYSCALL ? "the stream ended" : "library error " + std::to_string(e);
        }
        Fail(number, detail);
    }

    SharedCtx ctx_;
    bool client_;
    SSL* ssl_ = nullptr;  // owns the BIO
    // Input: what Feed is given, read in place while it runs, and what the library left of it.
    const char* fresh_ = nullptr;
    std::size_t freshLeft_ = 0;
    ByteBuffer pending_;
};

int BioWrite(BIO* bio, const char* data, int n) {
    BIO_clear_retry_flags(bio);
    if (n <= 0) {
        return 0;
    }
    static_cast<OpenSslSession*>(BIO_get_data(bio))->Write(data, static_cast<std::size_t>(n));
    return n;
}

int BioRead(BIO* bio, char* out, int cap) {
    BIO_clear_retry_flags(bio);
    if (cap <= 0) {
        return 0;
    }
    const std::size_t n =
        static_cast<OpenSslSession*>(BIO_get_data(bio))->Read(out, static_cast<std::size_t>(cap));
    if (n == 0) {
        BIO_set_retry_read(bio);
        return -1;
    }
    return static_cast<int>(n);
}

long BioCtrl(BIO* bio, int cmd, long, void*) {
    switch (cmd) {
        case BIO_CTRL_FLUSH:
            return 1;
        case BIO_CTRL_PENDING:
            return static_cast<long>(
                static_cast<OpenSslSession*>(BIO_get_data(bio))->InputWaiting());
        default:
            return 0;  // BIO_CTRL_WPENDING too: everything written is already the owner's
    }
}

}  // namespace

std::shared_ptr<const ServerCredentials> LoadServerCredentials(const std::string& chainFile,
                                                               const std::string& keyFile,
                                                               TlsError& error) {
    error = TlsError{};
    if (!Readable(chainFile, "certificate chain", error) ||
        !Readable(keyFile, "private key", error)) {
        return nullptr;
    }
    auto fail = [&](const std::string& what) -> std::shared_ptr<const ServerCredentials> {
        error.number = ms::TlsCredentials;
        error.description =
            ms::SocketErrorText(ms::TlsCredentials) + " (" + what + ": " + TakeLibraryError() + ")";
        return nullptr;
    };
    ERR_clear_error();
    CtxPtr ctx = NewContext(TLS_server_method());
    if (!ctx) {
        return fail("cannot create a context");
    }
    if (SSL_CTX_use_certificate_chain_file(ctx.get(), chainFile.c_str()) != 1) {
        return fail("no PEM certificate chain in '" + chainFile + "'");
    }
    if (SSL_CTX_use_PrivateKey_file(ctx.get(), keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        return fail("no PEM private key in '" + keyFile + "'");
    }
    if (SSL_CTX_check_private_key(ctx.get()) != 1) {
        return fail("the key in '" + keyFile + "' is not the certificate's");
    }
    return std::make_shared<OpenSslCredentials>(Share(std::move(ctx)));
}

std::unique_ptr<TlsSession> TlsSession::Client(const std::string& serverName) {
    auto session = std::make_unique<OpenSslSession>(ClientContext(), true);
    session->Start(serverName);
    return session;
}

std::unique_ptr<TlsSession> TlsSession::Server(
    std::shared_ptr<const ServerCredentials> credentials) {
    const auto* own = dynamic_cast<const OpenSslCredentials*>(credentials.get());
    return std::make_unique<OpenSslSession>(own ? own->Context() : nullptr, false);
}

}  // namespace packwarden::tls
