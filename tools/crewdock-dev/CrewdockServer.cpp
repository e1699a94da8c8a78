// SPDX-License-Identifier: MIT
#include "CrewdockServer.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "FormCoding.h"
#include "HttpRequest.h"
#include "HttpResponse.h"
#include "packwarden/MSocketSupport.h"
#include "packwarden/detail/Platform.h"

namespace crewdock {

using packwarden::CSocket;
using packwarden::Variant;

std::size_t WorstCaseResidentBytes(const ServerOptions& options) {
    constexpr std::size_t KiB = 1024;
    constexpr std::size_t MiB = 1024 * KiB;
    // The program, its libraries and stack, and the allocator's own slack.
    const std::size_t program = 12 * MiB;
    // The store may exceed its budget by the one posting it never drops.
    const std::size_t sessions = SessionStore::kDefaultMaxBytes + 3 * kMaxRequestBytes;
    // One posting being handled: its body, the decoded fields, the session built from them and
    // its name index.
    const std::size_t handling = 4 * kMaxRequestBytes;
    // Each connection: the receive room (two chunks of the doubled socket buffer) and the
    // objects themselves, then either the request's head (read, then parsed: the address twice,
    // once whole and once split, and each header field's strings) or a piece of the answer and
    // the part of one the socket kept (which may grow to twice that).
    const std::size_t arriving = 2 * (kMaxHeadBytes + 4) + kMaxHeaderFields * 128;
    const std::size_t answering = 3 * kPieceBytes;
    // An encrypted connection also holds its session: the library's record buffers each way
    // and its handshake state.
    const std::size_t session = options.Tls() ? 96 * KiB : 0;
    const std::size_t connection =
        4 * kReceiveBufferBytes + 8 * KiB + session + std::max(arriving, answering);
    return program + sessions + handling + kBodyBudgetBytes +
           2 * options.maxConnections * connection;
}

std::string UrlHost(const std::string& address) {
    return address.find(':') == std::string::npos ? address : "[" + address + "]";
}

class CrewdockServer::Connection final : public packwarden::CSocketEvents {
  public:
    enum class Phase {
        Arriving,   // the request is still arriving
        Answering,  // the answer is on its way
        Closing,    // answer sent, our side shut down; waiting for the peer to close
        Done,       // nothing more to do: free it
    };

    Connection(CrewdockServer& server, std::shared_ptr<CSocket> socket, Clock::time_point now)
        : server_(server), socket_(std::move(socket)), arrived_(now), lastActivity_(now) {
        peer_ = UrlHost(socket_->RemoteHostIP()) + ":" + std::to_string(socket_->RemotePort());
        socket_->SetOwner(this);
        MSocketSupport::Platform::BytesAcknowledged(socket_->SocketHandle(), &acknowledged_);
    }

    // The last reference to the socket object goes here, and with it any handle still held.
    ~Connection() override {
        EndArriving();
        socket_->SetOwner(nullptr);
    }

    Phase phase() const { return phase_; }
    Clock::time_point arrived() const { return arrived_; }

    // Nothing of an answer is on its way: the socket object holds none of it, and the client
    // has acknowledged every byte the system took (a whole answer handed to the kernel may
    // still be megabytes from the client). Once sending is shut down (Closing with nothing
    // left), the end of the stream counts as one more, which the client may acknowledge late.
    bool Idle() const {
        if (phase_ == Phase::Answering || socket_->SendBufferSize() > 0) {
            return false;
        }
        uint64_t unacknowledged = 0;
        return socket_->SocketHandle() == -1 ||
               !MSocketSupport::Platform::BytesUnacknowledged(socket_->SocketHandle(),
                                                              &unacknowledged) ||
               unacknowledged <= (phase_ == Phase::Closing ? 1u : 0u);
    }

    // When the next time limit falls.
    Clock::time_point DueAt(const ServerOptions& options) const {
        switch (phase_) {
            case Phase::Arriving:
                return std::min(arrived_ + options.requestTimeout,
                                lastActivity_ + options.idleTimeout);
            case Phase::Answering:
            case Phase::Closing:
                return lastActivity_ + options.idleTimeout;
            case Phase::Done:
                break;
        }
        return lastActivity_;  // already past: free it at the next sweep
    }

    // A time limit has passed at `now`. An answer whose client acknowledged bytes meanwhile has
    // not stalled, though the socket stayed unwritable: a kernel buffer of megabytes drains
    // to a slow reader with long gaps between writable moments.
    void Expire(Clock::time_point now) {
        switch (phase_) {
            case Phase::Arriving:
                Respond(CrewdockApp::ErrorPage(408, "The request did not arrive in time."),
                        "timed out");
                break;
            case Phase::Answering:
                if (!ClientAcknowledged(now)) {
                    Abort("dropped: the client took nothing for too long");
                }
                break;
            case Phase::Closing:
                if (Idle() || !ClientAcknowledged(now)) {
                    phase_ = Phase::Done;  // the socket service finishes the close
                }
                break;
            case Phase::Done:
                break;
        }
    }

    // Body bytes this request holds of the shared budget, and when it last received any.
    std::size_t bodyCharged() const { return reservedBody_; }
    Clock::time_point lastActivity() const { return lastActivity_; }

    // Makes room in the body budget for bodies that move.
    void EvictBody() {
        Respond(CrewdockApp::ErrorPage(
                    503, "Too many large requests are arriving at once; try again shortly."),
                "evicted: its body stalled");
    }

    // Makes room for a newcomer while requests are still arriving.
    void Evict() {
        Respond(CrewdockApp::ErrorPage(
                    503, "Too many requests are arriving at once; try again shortly."),
                "evicted: too many requests arriving");
    }

    // Frees the connection at once, without an answer (too many connections even to answer).
    void Drop() {
        if (phase_ == Phase::Arriving) {
            Log("-", "-", "dropped: too many connections", 0);
        }
        socket_->Abort();
        phase_ = Phase::Done;
    }

  private:
    void OnDataArrival(int32_t /*bytesTotal*/) override {
        Variant data;
        try {
            socket_->GetData(data);
        } catch (const MSocketSupport::SocketError&) {
            phase_ = Phase::Done;
            return;
        }
        if (phase_ != Phase::Arriving) {
            return;  // bytes after the request (or after an error) are read and dropped
        }
        lastActivity_ = Clock::now();
        switch (parser_.Feed(data.WireView().value_or(std::string_view()))) {
            case HttpRequestParser::Status::NeedMore:
                if (parser_.InBody() && !ChargeBody()) {
                    Respond(CrewdockApp::ErrorPage(
                                503,
                                "Too many large requests are arriving at once; try again "
                                "shortly."),
                            "no room for the body");
                    return;
                }
                MaybeContinue();
                break;
            case HttpRequestParser::Status::Complete:
                Answer();
                break;
            case HttpRequestParser::Status::Error:
                Respond(CrewdockApp::ErrorPage(parser_.errorStatus(), parser_.errorReason()),
                        parser_.errorReason());
                break;
        }
    }

    void OnSendProgress(int32_t bytesSent, int32_t bytesRemaining) override {
        if (bytesSent > 0) {
            lastActivity_ = Clock::now();
        }
        if (phase_ == Phase::Answering && bytesRemaining == 0) {
            Pump();
        }
    }

    void OnSendComplete() override {
        if (phase_ != Phase::Answering) {
            return;
        }
        if (bodyLeft_ > 0) {
            Pump();
            return;
        }
        body_.reset();
        phase_ = Phase::Closing;
        lastActivity_ = Clock::now();
        socket_->CloseSocket();
    }

    void OnClose() override {
        if (phase_ == Phase::Arriving) {
            LogIfIncomplete("closed by the client");
        } else if (phase_ == Phase::Answering && bodyLeft_ > 0) {
            Log("-", "-",
                "cut short: the client closed with " + std::to_string(bodyLeft_) +
                    " bytes of the answer unsent",
                0);
        }
        phase_ = Phase::Done;
    }

    void OnError(int16_t Number, std::string& Description, int32_t /*Scode*/,
                 const std::string& /*Source*/, const std::string& /*HelpFile*/,
                 int32_t /*HelpContext*/, bool& /*CancelDisplay*/) override {
        if (phase_ == Phase::Answering && bodyLeft_ > 0) {
            Log("-", "-", "cut short: " + Description, 0);
        }
        if (Number >= MSocketSupport::TlsUntrusted && Number <= MSocketSupport::TlsProtocolError &&
            phase_ == Phase::Arriving && parser_.bytesSeen() == 0) {
            // A client that never got through the handshake: nothing of a request to show.
            Log("-", "-", "handshake failed: " + Description, 0);
        }
        LogIfIncomplete(Description);
        phase_ = Phase::Done;
    }

    // Charges the budget with what the body holds now, as its bytes arrive: an announced
    // length costs nothing until it is sent. When the budget is spent, bodies that have
    // stalled make room, the one quiet longest first; false when none has.
    // Counts what the client acknowledged since the last look as activity; true when it moved.
    bool ClientAcknowledged(Clock::time_point now) {
        uint64_t acknowledged = 0;
        if (!MSocketSupport::Platform::BytesAcknowledged(socket_->SocketHandle(), &acknowledged) ||
            acknowledged == acknowledged_) {
            return false;
        }
        acknowledged_ = acknowledged;
        lastActivity_ = now;
        return true;
    }

    bool ChargeBody() {
        const std::size_t held = parser_.bodyBytesHeld();
        while (held > reservedBody_ && !server_.ReserveBody(held - reservedBody_)) {
            if (!server_.EvictStalledBody(this, lastActivity_)) {
                return false;
            }
        }
        reservedBody_ = std::max(held, reservedBody_);
        return true;
    }

    // The request is no longer arriving: its body's share of the budget goes back (the body
    // itself goes with the parser).
    void EndArriving() {
        server_.ReleaseBody(reservedBody_);
        reservedBody_ = 0;
    }

    void Answer() {
        if (server_.CountIn(static_cast<int>(Phase::Answering)) >=
            server_.options_.maxConnections) {
            Respond(CrewdockApp::ErrorPage(
                        503, "Too many requests are being answered at once; try again shortly."),
                    "busy");
            return;
        }
        HttpResponse response;
        try {
            response = server_.app_.Handle(parser_.request());
        } catch (const std::exception&) {
            // Out of memory, say: this request fails, the server stays.
            response = CrewdockApp::ErrorPage(500, "The request could not be handled.");
        }
        Respond(std::move(response), {});
    }

    // An HTTP/1.1 client that asks before sending its body (as curl does for larger posts)
    // would otherwise wait a second for a go-ahead that never comes.
    void MaybeContinue() {
        if (continued_ || !parser_.InBody() || parser_.request().minorVersion < 1) {
            return;
        }
        const std::string* expect = parser_.request().Header("expect");
        if (expect == nullptr || expect->size() != 12 ||
            !std::equal(expect->begin(), expect->end(), "100-continue", [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) == b;
            })) {
            return;
        }
        continued_ = true;
        Send("HTTP/1.1 100 Continue\r\n\r\n");
    }

    // A request that will never be answered still gets its log line.
    void LogIfIncomplete(const std::string& why) {
        if (phase_ == Phase::Arriving && parser_.bytesSeen() > 0) {
            Log("-", "-",
                why + " before the request was complete (" + std::to_string(parser_.bytesSeen()) +
                    " bytes)",
                0);
        }
    }

    void Respond(HttpResponse response, std::string_view note) {
        EndArriving();
        const auto& request = parser_.request();
        std::string what = std::to_string(response.status);
        if (!note.empty()) {
            what += " (" + std::string(note) + ")";
        }
        std::string out = ResponseHead(response);
        body_ = response.headOnly ? nullptr : std::move(response.body);
        bodyLeft_ = body_ ? body_->Length() : 0;
        Log(request.method.empty() ? "-" : request.method,
            request.target.empty() ? "-" : request.target, what, bodyLeft_);
        parser_ = HttpRequestParser();  // the request's head is no longer needed
        phase_ = Phase::Answering;
        lastActivity_ = Clock::now();
        if (bodyLeft_ > 0 && !NextPiece(out)) {
            Abort("cut short: the answer could not be made");
            return;
        }
        Send(std::move(out));
        Pump();
    }

    // Appends the next piece of the body to `out`.
    bool NextPiece(std::string& out) {
        const std::size_t before = out.size();
        if (!body_->Next(out,
                         static_cast<std::size_t>(std::min<uint64_t>(bodyLeft_, kPieceBytes)))) {
            return false;
        }
        const std::size_t made = out.size() - before;
        if (made == 0 || made > bodyLeft_) {
            return false;
        }
        bodyLeft_ -= made;
        return true;
    }

    // Hands the body over a piece at a time, the next one only when the socket has passed the
    // last one to the kernel: at most one piece waits in this process. A client that closed
    // its sending side after its request still reads: its socket object keeps sending until
    // a send completes with nothing more sent, so the answer is finished all the same.
    void Pump() {
        if (pumping_) {
            return;  // called back from inside our own SendData
        }
        pumping_ = true;
        while (phase_ == Phase::Answering && bodyLeft_ > 0 && socket_->SendBufferSize() == 0 &&
               socket_->State() == packwarden::StateConnected) {
            std::string piece;
            if (!NextPiece(piece)) {
                Abort(body_ && body_->Length() > 0 ? "cut short: the file shrank or the session "
                                                     "changed while it was sent"
                                                   : "cut short");
                break;
            }
            Send(std::move(piece));
        }
        pumping_ = false;
    }

    // Ends the connection so that the client can tell the answer is incomplete: a reset, not
    // the orderly close that would make a short body look whole.
    void Abort(std::string_view why) {
        if (phase_ == Phase::Answering) {
            Log("-", "-", why, 0);
        }
        socket_->Abort();
        body_.reset();
        phase_ = Phase::Done;
    }

    void Send(std::string bytes) {
        try {
            socket_->SendData(Variant(std::move(bytes)));
        } catch (const MSocketSupport::SocketError&) {
            phase_ = Phase::Done;  // the peer has gone
        }
    }

    void Log(std::string_view method, std::string_view target, std::string_view status,
             uint64_t bytes) {
        server_.log_.Line(peer_ + ' ' + LogSafe(Excerpt(method, 32)) + ' ' +
                          LogSafe(Excerpt(target, 256)) + ' ' + LogSafe(status) + ' ' +
                          std::to_string(bytes));
    }

    CrewdockServer& server_;
    std::shared_ptr<CSocket> socket_;
    std::string peer_;
    HttpRequestParser parser_;
    std::size_t reservedBody_ = 0;
    std::unique_ptr<BodySource> body_;
    uint64_t bodyLeft_ = 0;  // body bytes not yet handed to the socket
    Phase phase_ = Phase::Arriving;
    bool continued_ = false;
    bool pumping_ = false;
    Clock::time_point arrived_;
    Clock::time_point lastActivity_;
    uint64_t acknowledged_ = 0;  // what the client had acknowledged at the last look
};

CrewdockServer::CrewdockServer(ServerOptions options, RequestLog& log)
    : options_(std::move(options)), log_(log), app_(options_.catalog) {}

CrewdockServer::~CrewdockServer() {
    connections_.clear();
    if (listener_) {
        listener_->SetOwner(nullptr);
        listener_->CloseSocket();
    }
}

void CrewdockServer::Start() {
    listener_ = CSocket::Create();
    listener_->SetOwner(this);
    if (options_.Tls()) {
        // Connections it accepts inherit both and run the handshake themselves.
        listener_->Secure(true);
        listener_->SetCertificate(options_.tlsCertificate, options_.tlsKey);
    }
    // Loopback unless the owner chose otherwise: this server is for trying things on one
    // machine. No address at all is how the socket listens on both families.
    listener_->Bind(options_.port, options_.bind == "::" ? std::string() : options_.bind);
    // Accepted connections inherit the listener's receive buffer, and the component keeps
    // room for what one read of it brings: a small buffer bounds every connection's share.
    const int receiveBuffer = kReceiveBufferBytes;
    ::setsockopt(listener_->SocketHandle(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer,
                 sizeof receiveBuffer);
    listener_->Listen();
    // A connection let go of with bytes unsent, or with its client still sending, is finished
    // by the socket service; it gives up on a client that takes nothing as we do.
    MSocketSupport::SetCloseTimeout(options_.idleTimeout);
    // Those closes hold descriptors of our budget: bounded in time and in number.
    MSocketSupport::SetCloseLifetime(options_.closeLifetime);
    MSocketSupport::SetMaxPendingCloses(DescriptorBudget());
    port_ = options_.port;
    uint16_t port = 0;
    if (MSocketSupport::Platform::getsockname(listener_->SocketHandle(), nullptr, &port) == 0) {
        port_ = ntohs(port);
    }
}

std::size_t CrewdockServer::CountIn(int phase) const {
    return static_cast<std::size_t>(
        std::count_if(connections_.begin(), connections_.end(),
                      [&](const auto& c) { return static_cast<int>(c->phase()) == phase; }));
}

CrewdockServer::Connection* CrewdockServer::OldestIn(int phase) const {
    Connection* oldest = nullptr;
    for (const auto& c : connections_) {
        if (static_cast<int>(c->phase()) == phase &&
            (oldest == nullptr || c->arrived() < oldest->arrived())) {
            oldest = c.get();
        }
    }
    return oldest;
}

void CrewdockServer::OnConnectionRequest(int32_t requestID) {
    auto socket = CSocket::Create();
    try {
        socket->Accept(requestID);
    } catch (const MSocketSupport::SocketError& e) {
        log_.Line("- - - accept failed: " + e.Description);
        return;  // the socket object closes what it took over
    }
    const auto now = Clock::now();
    if (connections_.size() + MSocketSupport::PendingCloseCount() >= DescriptorBudget() &&
        !MakeRoom()) {
        // All of them being answered: not even a refusal. Released as it is, the connection
        // would be handed over for a graceful close, holding a descriptor beyond the limit
        // until the client closes.
        socket->Abort();
        return;
    }
    if (CountIn(static_cast<int>(Connection::Phase::Arriving)) >= options_.maxConnections) {
        OldestIn(static_cast<int>(Connection::Phase::Arriving))->Evict();  // makes room
    }
    connections_.push_back(std::make_unique<Connection>(*this, std::move(socket), now));
}

std::size_t CrewdockServer::DescriptorBudget() const {
    return options_.descriptorBudget > 0 ? options_.descriptorBudget : 2 * options_.maxConnections;
}

bool CrewdockServer::MakeRoom() {
    const auto finished = [](const auto& c) { return c->phase() == Connection::Phase::Done; };
    if (std::erase_if(connections_, finished) > 0) {
        return true;
    }
    // Room is made from what is idle, never from an answer still on its way to its client,
    // however much of it the kernel already holds. A close finished on our behalf whose
    // client has the whole answer goes first: it only waits for the client's close. Then one
    // answered, delivered and waiting for its client's close; then the one that has been
    // arriving longest, without an answer.
    if (MSocketSupport::AbortOldestPendingClose(/*onlyIdle=*/true)) {
        return true;
    }
    Connection* victim = nullptr;
    for (const auto& c : connections_) {
        if (c->phase() == Connection::Phase::Closing && c->Idle() &&
            (victim == nullptr || c->arrived() < victim->arrived())) {
            victim = c.get();
        }
    }
    if (victim == nullptr) {
        victim = OldestIn(static_cast<int>(Connection::Phase::Arriving));
    }
    if (victim == nullptr) {
        return false;
    }
    victim->Drop();
    std::erase_if(connections_, finished);
    return true;
}

bool CrewdockServer::ReserveBody(std::size_t bytes) {
    if (bytes > kBodyBudgetBytes - bodyBytes_) {
        return false;
    }
    bodyBytes_ += bytes;
    return true;
}

bool CrewdockServer::EvictStalledBody(const Connection* mover, Clock::time_point now) {
    Connection* victim = nullptr;
    for (const auto& c : connections_) {
        if (c.get() != mover && c->phase() == Connection::Phase::Arriving && c->bodyCharged() > 0 &&
            c->lastActivity() + kBodyStall <= now &&
            (victim == nullptr || c->lastActivity() < victim->lastActivity())) {
            victim = c.get();
        }
    }
    if (victim == nullptr) {
        return false;
    }
    victim->EvictBody();
    return true;
}

void CrewdockServer::ReleaseBody(std::size_t bytes) {
    bodyBytes_ -= std::min(bytes, bodyBytes_);
}

void CrewdockServer::Sweep(Clock::time_point now) {
    for (auto it = connections_.begin(); it != connections_.end();) {
        Connection& c = **it;
        if (c.phase() != Connection::Phase::Done && now >= c.DueAt(options_)) {
            c.Expire(now);
        }
        if (c.phase() == Connection::Phase::Done) {
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

std::chrono::milliseconds CrewdockServer::NextSweepIn(Clock::time_point now) const {
    auto next = now + options_.idleTimeout;
    for (const auto& c : connections_) {
        next = std::min(next, c->DueAt(options_));
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now);
    return std::max(wait, std::chrono::milliseconds(1));
}

}  // namespace crewdock
