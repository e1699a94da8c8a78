// SPDX-License-Identifier: MIT
#include "SyncFlow.h"

#include <algorithm>

#include "Module1.h"
#include "packwarden/MSocketSupport.h"
#include "packwarden/detail/Platform.h"

namespace packwarden {

std::string ConnectFailureReason(int32_t error, const std::string& host) {
    switch (error) {
        case MSocketSupport::WsaEConnRefused:
            return "the server refused the connection";
        case MSocketSupport::WsaHostNotFound:
        case MSocketSupport::WsaNoData:  // the name has no address
            return "the name " + host + " was not found";
        case MSocketSupport::WsaTryAgain:  // no answer from any name server: offline, as a rule
            return "no network: the name " + host + " could not be looked up";
        case MSocketSupport::WsaNoRecovery:
            return "the name " + host + " could not be looked up";
        case MSocketSupport::WsaENetDown:
        case MSocketSupport::WsaENetUnreach:
            return "no network";
        case MSocketSupport::WsaEHostUnreach:
            return "the server cannot be reached from this network";
        case MSocketSupport::WsaETimedOut:
            return "the server did not answer";
        case MSocketSupport::WsaEConnAborted:
        case MSocketSupport::WsaEConnReset:
            return "the connection was reset";
        case MSocketSupport::TlsUntrusted:
            return "the server's certificate is not trusted";
        case MSocketSupport::TlsNameMismatch:
            return "the server's certificate is for another name";
        case MSocketSupport::TlsExpired:
            return "the server's certificate has expired or is not valid yet";
        case MSocketSupport::TlsHandshakeFailed:
            return "the secure connection could not be set up";
        case MSocketSupport::TlsProtocolError:
            return "the server does not speak https";
        default:
            return "the connection failed (error " + std::to_string(error) + ")";
    }
}

SyncFlow::SyncFlow(SyncWindow& window, CentralServer server)
    : window_(window), server_(std::move(server)) {}

SyncFlow::~SyncFlow() {
    if (winsock1) {
        winsock1->SetOwner(nullptr);
    }
}

void SyncFlow::Form_Load() {
    winsock1 = CSocket::Create();
    winsock1->SetOwner(this);  // declared to receive its events; none is handled
    // Before any Connect: an https:// server gets nothing until its certificate is verified.
    winsock1->Secure(server_.secure);
    winsock1->RemoteHost(server_.host);
    winsock1->RemotePort(server_.port);
    client_version = 2;
    generator_.emplace();
    window_.SetHeaderTemplate(HeaderTemplate(server_.HostAndPort()));
    window_.ShowFolder(Module1::InstallBaseFolder());
    window_.StartTimer(SyncWindow::Timer::Timer1);
}

void SyncFlow::doit_Click() {
    // Nothing to list: no place named the game and the player chose no folder. No server is
    // contacted for a list that cannot be made.
    if (window_.FolderBytes().empty()) {
        Message("Couldn't open base folder", Module1::NoGameFound());
        return;
    }
    socketError_.reset();
    connectTimedOut_ = false;
    // A connection still open after a failed scan or send carries the next request; connecting
    // it again would start a lookup that leaves it unusable.
    if (winsock1->State() != StateConnected) {
        try {
            winsock1->Connect();
        } catch (const SocketError& error) {
            socketError_ = error.Number;  // the poll reports it, as it does a later failure
        } catch (const std::exception&) {
            socketError_ = 0;
        }
    }
    // A failure in send_inventory stopped the poll; the press resumes it.
    window_.StartTimer(SyncWindow::Timer::Timer1);
    window_.StartTimer(SyncWindow::Timer::Timer2);
}

void SyncFlow::Timer1_Timer() {
    if (winsock1->State() == StateConnected) {
        window_.StopTimer(SyncWindow::Timer::Timer1);
        window_.StopTimer(SyncWindow::Timer::Timer2);
        send_inventory();
    } else if (socketError_) {
        // The attempt is over: say so now rather than when Timer2 would.
        window_.StopTimer(SyncWindow::Timer::Timer1);
        window_.StopTimer(SyncWindow::Timer::Timer2);
        if (!connectTimedOut_) {
            Message("Couldn't connect",
                    AtServer(ConnectFailureReason(*socketError_, server_.host)));
        }
    }
}

void SyncFlow::Timer2_Timer() {
    window_.StopTimer(SyncWindow::Timer::Timer2);
    connectTimedOut_ = true;
    Message("Couldn't connect",
            AtServer("no connection within " + std::to_string(Timer2Interval.count() / 1000) +
                     " seconds; still trying"));
}

void SyncFlow::send_inventory() {
    session_number = generator_->NextSessionNumber();

    std::vector<PackageEntry> entries;
    window_.ShowFolder(WithTrailingSeparator(window_.FolderBytes()));
    const std::string folder = window_.FolderBytes();
    switch (ListPackages(folder, entries)) {
        case Listing::Listed:
            break;
        case Listing::Unreadable:
            Message("Couldn't open base folder", folder + ": no such folder, or it cannot be read");
            return;
        case Listing::TooMany:
            Message("Couldn't open base folder", folder + ": more than " +
                                                     std::to_string(MaxInventoryEntries) +
                                                     " packages, too many to send in one list");
            return;
    }
    // An empty list would tell the server the player has nothing: more likely the wrong folder.
    if (entries.empty()) {
        Message("Couldn't open base folder", "No .pk3 files in " + folder);
        return;
    }

    try {
        const std::string body = InventoryBody(client_version, session_number, entries);
        std::string request = ComposeRequest(window_.HeaderTemplate(), body);
        requestBytes_ = request.size();
        acknowledgedBefore_ = 0;
        MSocketSupport::Platform::BytesAcknowledged(winsock1->SocketHandle(), &acknowledgedBefore_);
        serverStatus_.reset();
        winsock1->SendData(Variant(std::move(request)));
    } catch (const SocketError& error) {
        Message("Couldn't send data", AtServer(ConnectFailureReason(error.Number, server_.host)));
        return;
    } catch (const std::exception& error) {
        Message("Couldn't send data", AtServer(error.what()));
        return;
    }
    launch_browser();
}

void SyncFlow::launch_browser() {
    // Closing shuts the sending direction down; whatever is still buffered must go out first.
    if (!FlushSendBuffer()) {
        Message("Couldn't send data",
                AtServer(socketError_ ? ConnectFailureReason(*socketError_, server_.host)
                                      : "the server did not take the whole request"));
        return;
    }
    serverStatus_ = AnswerStatus();
    if (serverStatus_ && *serverStatus_ >= 400) {
        // The server refused the list: its page would not know the session. The answer has
        // been looked at; nothing more is owed either way.
        winsock1->Abort();
        Message("Couldn't send data",
                AtServer("the server answered with status " + std::to_string(*serverStatus_)));
        return;
    }
    winsock1->CloseSocket();

    std::string address;
    bool opened = false;
    try {
        address = server_.SessionPage(session_number, client_version);
        opened = window_.OpenAddress(address);
    } catch (const std::exception&) {
        opened = false;
    }
    if (!opened) {
        // The player can still open the page by hand.
        Message("Couldn't launch browser", address);
        return;
    }
    window_.HideAndEndProgram();
}

void SyncFlow::Browse_Click() {
    if (std::optional<std::string> folder = window_.PickFolder(PickFolderTitle)) {
        window_.ShowFolder(std::move(*folder));
    }
}

void SyncFlow::Label3_Click() {
    window_.OpenAddress(server_.Address("/crewdock/"));
}

void SyncFlow::Picture1_Click() {
    window_.OpenAddress(server_.Address("/"));
}

bool SyncFlow::ServerHasRequest() const {
    if (winsock1->SendBufferSize() > 0 || winsock1->SocketHandle() == -1) {
        return false;
    }
    uint64_t acknowledged = 0;
    if (!MSocketSupport::Platform::BytesAcknowledged(winsock1->SocketHandle(), &acknowledged)) {
        return true;  // the system cannot tell: handed over is all that is known
    }
    if (acknowledged - acknowledgedBefore_ < WireBytes(requestBytes_)) {
        return false;
    }
    // Encrypted, the count may include the end of the handshake, acknowledged after it was
    // taken: where the system tells, nothing may be left unacknowledged either.
    uint64_t unacknowledged = 0;
    return !server_.secure ||
           !MSocketSupport::Platform::BytesUnacknowledged(winsock1->SocketHandle(),
                                                          &unacknowledged) ||
           unacknowledged == 0;
}

std::size_t SyncFlow::WireBytes(std::size_t requestBytes) const {
    if (!server_.secure) {
        return requestBytes;
    }
    // Encrypted, each record of up to 16 KiB carries at least 21 bytes more (header and
    // authentication tag), whatever was agreed: the request is not the server's before those.
    constexpr std::size_t recordBytes = 16 * 1024;
    constexpr std::size_t leastOverhead = 21;
    return requestBytes + (requestBytes + recordBytes - 1) / recordBytes * leastOverhead;
}

std::optional<int> SyncFlow::AnswerStatus() const {
    if (winsock1->BytesReceived() <= 0) {
        return std::nullopt;
    }
    Variant data;
    try {
        winsock1->PeekData(data);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    // "HTTP/1.x NNN"
    const std::string_view line = data.WireView().value_or(std::string_view());
    if (line.size() < 12 || !line.starts_with("HTTP/1.") || line[8] != ' ') {
        return std::nullopt;
    }
    int status = 0;
    for (std::size_t i = 9; i < 12; ++i) {
        if (line[i] < '0' || line[i] > '9') {
            return std::nullopt;
        }
        status = status * 10 + (line[i] - '0');
    }
    return status;
}

bool SyncFlow::FlushSendBuffer() {
    using Clock = std::chrono::steady_clock;
    // What the server acknowledged: progress as it sees it. The system's buffer of megabytes
    // drains to a slow reader with long gaps before the socket takes more, and the count of
    // bytes waiting here stands still meanwhile.
    const auto acknowledged = [this] {
        uint64_t count = 0;
        MSocketSupport::Platform::BytesAcknowledged(winsock1->SocketHandle(), &count);
        return count;
    };
    const auto answered = [this] { return winsock1->BytesReceived() > 0; };
    // Done once the server has the whole request (and has had a moment to answer, so that a
    // refusal is seen), has answered already, or the connection has failed.
    std::optional<Clock::time_point> hadItAt;
    const auto done = [&] {
        if (answered() || winsock1->State() != StateConnected) {
            return true;
        }
        if (!ServerHasRequest()) {
            return false;
        }
        hadItAt = hadItAt.value_or(Clock::now());
        return Clock::now() - *hadItAt >= AnswerWait;
    };
    if (!done()) {
        std::size_t waiting = winsock1->SendBufferSize();
        uint64_t acked = acknowledged();
        auto lastMoved = Clock::now();
        // No second press or edit while the request drains.
        window_.SetInputEnabled(false);
        window_.RunLoopWhile(
            [&] {
                if (done()) {
                    return false;
                }
                const std::size_t now = winsock1->SendBufferSize();
                const uint64_t ackedNow = acknowledged();
                if (now != waiting || ackedNow != acked) {
                    waiting = now;
                    acked = ackedNow;
                    lastMoved = Clock::now();  // bytes moved: the limit counts from here
                }
                return Clock::now() - lastMoved < flushLimit_;
            },
            std::min(flushLimit_, std::chrono::milliseconds(100)));
        window_.SetInputEnabled(true);
    }
    if (answered() || (winsock1->State() == StateConnected && ServerHasRequest())) {
        return true;
    }
    // Given up: what is left of the request must not reach the server later.
    winsock1->Abort();
    return false;
}

void SyncFlow::Message(const char* text, const std::string& detail) {
    window_.PrintDiagnostic(std::string("packwarden: ") + text +
                            (detail.empty() ? std::string() : ": " + detail));
    window_.ShowMessage(text, SyncWindow::Icon::Critical, detail);
}

std::string SyncFlow::AtServer(const std::string& reason) const {
    return server_.Shown() + ": " + reason;
}

void SyncFlow::OnError(int16_t Number, std::string&, int32_t, const std::string&,
                       const std::string&, int32_t, bool&) {
    socketError_ = Number;
}

}  // namespace packwarden
