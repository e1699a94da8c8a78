#include "CrewdockServer.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "FormCoding.h"
#include "HttpRequest.h"
#include "HttpResponse.h"
#include "packwarden/MSocketSupport.h"

namespace crewdock {

using packwarden::CSocket;
using packwarden::Variant;

namespace {

// Files go out in pieces of this size: one piece in the send buffer at a time.
constexpr std::size_t kFilePiece = 64 * 1024;

}  // namespace

class CrewdockServer::Connection final : public packwarden::CSocketEvents {
  public:
    enum class Phase {
        Reading,  // waiting for the whole request
        Writing,  // the answer is on its way
        Closing,  // answer sent, our side shut down; waiting for the peer to close
        Done,     // nothing more to do: free it
    };

    Connection(CrewdockServer& server, std::shared_ptr<CSocket> socket)
        : server_(server), socket_(std::move(socket)), lastActivity_(Clock::now()) {
        peer_ = socket_->RemoteHostIP() + ":" + std::to_string(socket_->RemotePort());
        socket_->SetOwner(this);
    }

    // The last reference to the socket object goes here, and with it any handle still held.
    ~Connection() override { socket_->SetOwner(nullptr); }

    Phase phase() const { return phase_; }
    Clock::time_point lastActivity() const { return lastActivity_; }

    // The peer stalled: a request still being read gets a 408, anything else is dropped.
    void TimeOut() {
        if (phase_ == Phase::Reading && timeoutsSent_ == 0) {
            ++timeoutsSent_;
            Respond(CrewdockApp::ErrorPage(408, "The request did not arrive in time."),
                    "timed out");
            return;
        }
        if (phase_ != Phase::Closing) {
            Log("-", "-", "dropped: idle", 0);
        }
        phase_ = Phase::Done;
    }

    // Sends a fixed answer without reading anything (too many connections).
    void Refuse(int status, std::string_view detail) {
        Respond(CrewdockApp::ErrorPage(status, detail), "refused");
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
        if (phase_ != Phase::Reading) {
            return;  // bytes after the request (or after an error) are read and dropped
        }
        lastActivity_ = Clock::now();
        const std::string bytes = data.AsString();
        switch (parser_.Feed(bytes)) {
            case HttpRequestParser::Status::NeedMore:
                MaybeContinue();
                break;
            case HttpRequestParser::Status::Complete:
                Respond(server_.app_.Handle(parser_.request()), {});
                break;
            case HttpRequestParser::Status::Error:
                Respond(CrewdockApp::ErrorPage(parser_.errorStatus(), parser_.errorReason()),
                        parser_.errorReason());
                break;
        }
    }

    void OnSendProgress(int32_t /*bytesSent*/, int32_t /*bytesRemaining*/) override {
        lastActivity_ = Clock::now();
    }

    void OnSendComplete() override {
        if (phase_ != Phase::Writing) {
            return;
        }
        lastActivity_ = Clock::now();
        if (response_.file && fileLeft_ > 0) {
            std::string piece =
                ReadPiece(*response_.file,
                          static_cast<std::size_t>(std::min<uint64_t>(fileLeft_, kFilePiece)));
            if (piece.empty()) {
                // The file shrank under us: the promised length cannot be kept, so end the
                // connection without the graceful close that would make it look complete.
                phase_ = Phase::Done;
                return;
            }
            fileLeft_ -= piece.size();
            Send(std::move(piece));
            return;
        }
        response_.file.reset();
        phase_ = Phase::Closing;
        socket_->CloseSocket();
    }

    void OnClose() override {
        LogIfIncomplete("closed by the client");
        phase_ = Phase::Done;
    }

    void OnError(int16_t /*Number*/, std::string& Description, int32_t /*Scode*/,
                 const std::string& /*Source*/, const std::string& /*HelpFile*/,
                 int32_t /*HelpContext*/, bool& /*CancelDisplay*/) override {
        LogIfIncomplete(Description);
        phase_ = Phase::Done;
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
        if (phase_ == Phase::Reading && parser_.bytesSeen() > 0) {
            Log("-", "-",
                why + " before the request was complete (" + std::to_string(parser_.bytesSeen()) +
                    " bytes)",
                0);
        }
    }

    void Respond(HttpResponse response, std::string_view note) {
        response_ = std::move(response);
        const auto& request = parser_.request();
        const uint64_t bodyBytes = response_.headOnly ? 0 : response_.ContentLength();
        std::string what = std::to_string(response_.status);
        if (!note.empty()) {
            what += " (" + std::string(note) + ")";
        }
        Log(request.method.empty() ? "-" : request.method,
            request.target.empty() ? "-" : request.target, what, bodyBytes);

        std::string out = ResponseHead(response_);
        fileLeft_ = 0;
        if (response_.headOnly) {
            response_.file.reset();
        } else if (response_.file) {
            fileLeft_ = response_.file->size;
            std::string piece =
                ReadPiece(*response_.file,
                          static_cast<std::size_t>(std::min<uint64_t>(fileLeft_, kFilePiece)));
            if (piece.empty() && fileLeft_ > 0) {
                phase_ = Phase::Done;
                return;
            }
            fileLeft_ -= piece.size();
            out += piece;
        } else {
            out += response_.body;
        }
        response_.body.clear();
        response_.body.shrink_to_fit();
        phase_ = Phase::Writing;
        lastActivity_ = Clock::now();
        Send(std::move(out));
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
        server_.log_ << peer_ << ' ' << LogSafe(method) << ' ' << LogSafe(target) << ' '
                     << LogSafe(status) << ' ' << bytes << std::endl;
    }

    CrewdockServer& server_;
    std::shared_ptr<CSocket> socket_;
    std::string peer_;
    HttpRequestParser parser_;
    HttpResponse response_;
    uint64_t fileLeft_ = 0;
    Phase phase_ = Phase::Reading;
    int timeoutsSent_ = 0;
    bool continued_ = false;
    Clock::time_point lastActivity_;
};

CrewdockServer::CrewdockServer(ServerOptions options, std::ostream& log)
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
    // Loopback only: this server is for trying things on one machine.
    listener_->Bind(options_.port, "127.0.0.1");
    listener_->Listen();
    port_ = options_.port;
    uint32_t address = 0;
    uint16_t port = 0;
    if (MSocketSupport::Platform::getsockname(listener_->SocketHandle(), &address, &port) == 0) {
        port_ = ntohs(port);
    }
}

void CrewdockServer::OnConnectionRequest(int32_t requestID) {
    auto socket = CSocket::Create();
    try {
        socket->Accept(requestID);
    } catch (const MSocketSupport::SocketError& e) {
        log_ << "- - - accept failed: " << e.Description << std::endl;
        return;  // the socket object closes what it took over
    }
    if (connections_.size() >= 2 * options_.maxConnections) {
        return;  // flooded: not even a refusal; the socket object closes the handle
    }
    // Connections already answered and only waiting for their peer's close do not count.
    const auto busy = std::count_if(connections_.begin(), connections_.end(), [](const auto& c) {
        return c->phase() == Connection::Phase::Reading || c->phase() == Connection::Phase::Writing;
    });
    auto connection = std::make_unique<Connection>(*this, std::move(socket));
    if (static_cast<std::size_t>(busy) >= options_.maxConnections) {
        connection->Refuse(503, "Too many connections; try again shortly.");
    }
    connections_.push_back(std::move(connection));
}

void CrewdockServer::Sweep(Clock::time_point now) {
    for (auto it = connections_.begin(); it != connections_.end();) {
        Connection& c = **it;
        if (c.phase() != Connection::Phase::Done && now - c.lastActivity() > options_.idleTimeout) {
            c.TimeOut();
        }
        if (c.phase() == Connection::Phase::Done) {
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

std::chrono::milliseconds CrewdockServer::NextSweepIn(Clock::time_point now) const {
    auto next = options_.idleTimeout;
    for (const auto& c : connections_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            c->lastActivity() + options_.idleTimeout - now);
        next = std::min(next, left);
    }
    return std::max(next, std::chrono::milliseconds(1));
}

}  // namespace crewdock
