// SPDX-License-Identifier: MIT
#include "SyncFlow.h"

#include <algorithm>

#include "Module1.h"
#include "packwarden/MSocketSupport.h"

namespace packwarden {

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
    winsock1->RemoteHost(server_.host);
    winsock1->RemotePort(server_.port);
    client_version = 2;
    generator_.emplace();
    window_.SetHeaderTemplate(HeaderTemplate(server_.HostAndPort()));
    window_.ShowFolder(Module1::InstallBaseFolder());
    window_.StartTimer(SyncWindow::Timer::Timer1);
}

void SyncFlow::doit_Click() {
    // A connection still open after a failed scan or send carries the next request; connecting
    // it again would start a lookup that leaves it unusable.
    if (winsock1->State() != StateConnected) {
        try {
            winsock1->Connect();
        } catch (const std::exception&) {
            // A refused attempt shows as the time-out below, as every connect failure does.
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
    }
}

void SyncFlow::Timer2_Timer() {
    window_.StopTimer(SyncWindow::Timer::Timer2);
    Message("Couldn't connect");
}

void SyncFlow::send_inventory() {
    session_number = generator_->NextSessionNumber();

    std::vector<PackageEntry> entries;
    window_.ShowFolder(WithTrailingSeparator(window_.FolderBytes()));
    if (!ListPackages(window_.FolderBytes(), entries)) {
        Message("Couldn't open base folder");
        return;
    }

    try {
        const std::string body = InventoryBody(client_version, session_number, entries);
        winsock1->SendData(Variant(ComposeRequest(window_.HeaderTemplate(), body)));
    } catch (const std::exception&) {
        Message("Couldn't send data");
        return;
    }
    launch_browser();
}

void SyncFlow::launch_browser() {
    // Closing shuts the sending direction down; whatever is still buffered must go out first.
    if (!FlushSendBuffer()) {
        Message("Couldn't send data");
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

void SyncFlow::winsock1_Error(int16_t /*Number*/, std::string& /*Description*/, int32_t /*Scode*/,
                              const std::string& /*Source*/, const std::string& /*HelpFile*/,
                              int32_t /*HelpContext*/, bool& /*CancelDisplay*/) {
    window_.ShowMessage("Winsock error", SyncWindow::Icon::None);
}

bool SyncFlow::FlushSendBuffer() {
    using Clock = std::chrono::steady_clock;
    const auto done = [this] {
        return winsock1->SendBufferSize() == 0 || winsock1->State() != StateConnected;
    };
    // What the server acknowledged: progress as it sees it. The system's buffer of megabytes
    // drains to a slow reader with long gaps before the socket takes more, and the count of
    // bytes waiting here stands still meanwhile.
    const auto acknowledged = [this] {
        uint64_t count = 0;
        MSocketSupport::Platform::BytesAcknowledged(winsock1->SocketHandle(), &count);
        return count;
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
    if (winsock1->SendBufferSize() == 0 && winsock1->State() == StateConnected) {
        return true;
    }
    // Given up: what is left of the request must not reach the server later.
    winsock1->Abort();
    return false;
}

void SyncFlow::Message(const char* text, const std::string& detail) {
    window_.ShowMessage(text, SyncWindow::Icon::Critical, detail);
}

}  // namespace packwarden
