// SPDX-License-Identifier: MIT
// Random notifications (event code, error code) fed through the service's real dispatch
// (SocketWindowProc with the winsock message and the object's handle) to a connected, a
// connecting and a listening CSocket, mixed with the real traffic of their loopback peers and
// with owners that close, send, read or release their object inside any event. After every step
// the objects must hold their invariants: a handle of -1 means no registration, IsBound is
// false without a handle, State stays in the allowed set, and no event reaches an owner whose
// object was released.
#include <dirent.h>
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "packwarden/CSocket.h"
#include "packwarden/detail/Registries.h"

namespace {

using namespace packwarden;
using fuzz::Check;

constexpr std::size_t MaxSubjects = 8;

bool AllowedState(int32_t s) {
    return s == StateClosed || s == StateListening || s == StateResolvingHost ||
           s == StateHostResolved || s == StateConnecting || s == StateConnected ||
           s == StateClosing || s == StateError;
}

enum class Reaction {
    None,
    Close,
    Release,
    Read,
    Send,
    Connect,
    ConnectByName,
    BadName,
    Abort,
    Throttle
};

struct Subject;
struct Session;

class Owner : public CSocketEvents {
  public:
    Owner(Session& session, std::size_t index) : session_(session), index_(index) {}

    void OnClose() override { Event(Gone::Always); }
    void OnConnect() override { Event(Gone::No); }
    void OnConnectionRequest(int32_t requestID) override;
    void OnDataArrival(int32_t bytesTotal) override {
        Check(bytesTotal > 0, "bytesTotal");
        Event(Gone::No);
    }
    void OnError(int16_t, std::string&, int32_t, const std::string&, const std::string&, int32_t,
                 bool&) override {
        Event(Gone::UnlessLookup);
    }
    void OnSendComplete() override { Event(Gone::No); }
    void OnSendProgress(int32_t sent, int32_t remaining) override {
        Check(sent >= 0 && remaining >= 0, "progress");
        Event(Gone::No);
    }

    Reaction reaction = Reaction::None;
    bool released = false;

    // Whether the handle must be gone when the event is raised: after a close always; after an
    // error too, except one that ends a lookup (the handle stays for CloseSocket).
    enum class Gone { No, Always, UnlessLookup };

  private:
    void Event(Gone gone);
    Session& session_;
    std::size_t index_;
};

struct Subject {
    std::shared_ptr<CSocket> socket;
    std::unique_ptr<Owner> owner;
    int32_t lastHandle = -1;
};

struct Session {
    std::vector<Subject> subjects;
    std::vector<fuzz::Fd> peers;  // raw ends: the connected subject's peer, clients of the listener
    uint16_t listenPort = 0;
    uint16_t stuckPort = 0;

    void Add(std::shared_ptr<CSocket> socket) {
        subjects.push_back({std::move(socket), nullptr, -1});
        Subject& s = subjects.back();
        s.owner = std::make_unique<Owner>(*this, subjects.size() - 1);
        s.socket->SetOwner(s.owner.get());
        s.lastHandle = s.socket->SocketHandle();
    }

    void Release(std::size_t i) {
        subjects[i].owner->released = true;
        subjects[i].socket.reset();
    }

    void React(std::size_t i) {
        Subject& s = subjects[i];
        CSocket& socket = *s.socket;
        // Each reaction happens once: an owner that sends again on every progress event
        // would recurse without end by its own doing.
        const Reaction reaction = s.owner->reaction;
        s.owner->reaction = Reaction::None;
        try {
            switch (reaction) {
                case Reaction::None:
                    break;
                case Reaction::Close:
                    socket.CloseSocket();
                    break;
                case Reaction::Release:
                    Release(i);  // the dispatch still holds the object until it returns
                    break;
                case Reaction::Read: {
                    Variant v;
                    socket.GetData(v, Variant(int32_t{vbByteArray}), Variant(int32_t{7}));
                    break;
                }
                case Reaction::Send:
                    socket.SendData(Variant(std::string(100, 's')));
                    break;
                case Reaction::Connect:
                    socket.Connect(Variant("127.0.0.1"), Variant(int32_t{stuckPort}));
                    break;
                case Reaction::ConnectByName:  // resolved by the resolver thread
                    socket.Connect(Variant("localhost"), Variant(int32_t{stuckPort}));
                    break;
                case Reaction::BadName:  // a lookup that fails
                    socket.Connect(Variant("nowhere.invalid"), Variant(int32_t{stuckPort}));
                    break;
                case Reaction::Abort:
                    socket.Abort();
                    break;
                case Reaction::Throttle:  // reading stops at a few bytes, or goes on again
                    socket.ReceiveBufferLimit(socket.ReceiveBufferLimit() > 8 ? 8 : 1 << 22);
                    break;
            }
        } catch (const MSocketSupport::SocketError&) {
            // Operations may refuse in the state the event left; refusing is not a fault.
        }
    }

    void CheckInvariants() {
        std::size_t withHandle = 0;
        for (Subject& s : subjects) {
            if (!s.socket) {
                continue;
            }
            const CSocket& socket = *s.socket;
            Check(AllowedState(socket.State()), "State outside the allowed set");
            if (socket.SocketHandle() == -1) {
                Check(!socket.IsBound(), "IsBound without a handle");
            } else {
                ++withHandle;
                s.lastHandle = socket.SocketHandle();
                Check(::fcntl(socket.SocketHandle(), F_GETFD) != -1, "handle is no descriptor");
            }
        }
        Check(MSocketSupport::SocketRegistryCount() == withHandle,
              "registrations differ from the handles held");
    }
};

void Owner::Event(Gone gone) {
    Check(!released, "event after the object was released");
    Subject& s = session_.subjects[index_];
    Check(s.socket != nullptr, "event for a released object");
    Check(AllowedState(s.socket->State()), "State inside an event");
    if (gone == Gone::Always || (gone == Gone::UnlessLookup && s.socket->LookupHandle() == 0)) {
        Check(s.socket->SocketHandle() == -1, "OnClose/OnError with a handle");
    }
    session_.React(index_);
}

void Owner::OnConnectionRequest(int32_t requestID) {
    Check(requestID >= 0, "requestID");
    if (session_.subjects.size() < MaxSubjects) {
        auto accepted = CSocket::Create();
        try {
            accepted->Accept(requestID);
        } catch (const MSocketSupport::SocketError&) {
            Check(false, "Accept of a fresh request failed");
        }
        session_.Add(std::move(accepted));
    } else {
        ::close(requestID);
    }
    Event(Gone::No);
}

std::size_t OpenSockets() {
    std::size_t count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    Check(dir != nullptr, "/proc/self/fd");
    while (const dirent* entry = ::readdir(dir)) {
        char target[64] = {};
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        if (::readlink(link.c_str(), target, sizeof target - 1) > 0 &&
            std::string_view(target).starts_with("socket:")) {
            ++count;
        }
    }
    ::closedir(dir);
    return count;
}

struct Fixed {
    fuzz::Fd listener;  // accepts the connected subject
    fuzz::Fd stuck;     // a full backlog: connects to it stay under way
    fuzz::Fd stuckBlocker;
    uint16_t port = 0;
    uint16_t stuckPort = 0;
    std::size_t sockets = 0;
};

Fixed& TheFixed() {
    static Fixed* f = [] {
        auto* x = new Fixed;  // lives for the process, as the fuzzer's loop does
        x->listener = fuzz::RawListener(x->port);
        x->stuck = fuzz::RawListener(x->stuckPort, 0);
        x->stuckBlocker = fuzz::RawClient(x->stuckPort);
        {
            // The service's channel descriptors live for the process once made.
            auto warm = CSocket::Create();
            warm->Bind(0, "127.0.0.1");
        }
        MSocketSupport::ProcessPending();
        // Connections left in the raw listeners' queues never close: their closes give up soon.
        MSocketSupport::SetCloseTimeout(std::chrono::milliseconds(200));
        x->sockets = OpenSockets();
        return x;
    }();
    return *f;
}

void Notify(Session& session, FuzzedDataProvider& in) {
    if (session.subjects.empty()) {
        return;
    }
    Subject& s =
        session.subjects[in.ConsumeIntegralInRange<std::size_t>(0, session.subjects.size() - 1)];
    static const int32_t events[] = {MSocketSupport::FD_READ,   MSocketSupport::FD_WRITE,
                                     MSocketSupport::FD_ACCEPT, MSocketSupport::FD_CONNECT,
                                     MSocketSupport::FD_CLOSE,  MSocketSupport::FD_OOB};
    static const int32_t errors[] = {0, 0, 0, 10053, 10054, 10061, 10060, 10035, 32767};
    int32_t event = events[in.ConsumeIntegralInRange<std::size_t>(0, 5)];
    int32_t error = errors[in.ConsumeIntegralInRange<std::size_t>(0, 8)];
    if (in.ConsumeBool() && in.ConsumeBool()) {
        event = in.ConsumeIntegral<uint16_t>();
        error = in.ConsumeIntegral<uint16_t>();
    }
    // A released object or one without a handle gets its last handle: a late notification.
    const int32_t handle =
        s.socket && s.socket->SocketHandle() != -1 ? s.socket->SocketHandle() : s.lastHandle;
    if (handle == -1) {
        return;
    }
    MSocketSupport::SocketWindowProc(
        MSocketSupport::SocketWindow(), MSocketSupport::WinsockMessage(), handle,
        static_cast<int32_t>((uint32_t(error) << 16) | uint16_t(event)));
}

void PeerAction(Session& session, FuzzedDataProvider& in) {
    if (session.peers.empty()) {
        return;
    }
    fuzz::Fd& peer =
        session.peers[in.ConsumeIntegralInRange<std::size_t>(0, session.peers.size() - 1)];
    if (peer.get() < 0) {
        return;
    }
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: {
            const std::string bytes = in.ConsumeRandomLengthString(256);
            (void)::send(peer.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            break;
        }
        case 1:
            ::shutdown(peer.get(), SHUT_WR);
            break;
        case 2: {
            const linger abort{1, 0};  // close with a reset
            ::setsockopt(peer.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            peer.reset();
            break;
        }
        default:
            peer.reset();
            break;
    }
}

void Operate(Session& session, FuzzedDataProvider& in) {
    if (session.subjects.empty()) {
        return;
    }
    const std::size_t i = in.ConsumeIntegralInRange<std::size_t>(0, session.subjects.size() - 1);
    if (!session.subjects[i].socket) {
        return;
    }
    const auto reaction = static_cast<Reaction>(
        in.ConsumeIntegralInRange<int>(0, static_cast<int>(Reaction::Throttle)));
    if (in.ConsumeBool()) {
        session.subjects[i].owner->reaction = reaction;  // for its next event
        return;
    }
    const Reaction saved = session.subjects[i].owner->reaction;
    session.subjects[i].owner->reaction = reaction;
    session.React(i);
    session.subjects[i].owner->reaction = saved;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fixed& fixed = TheFixed();
    FuzzedDataProvider in(data, size);
    {
        Session session;
        session.subjects.reserve(MaxSubjects);
        session.stuckPort = fixed.stuckPort;

        // Connected.
        auto connected = CSocket::Create();
        connected->Connect(Variant("127.0.0.1"), Variant(int32_t{fixed.port}));
        fuzz::MustReach([&] { return connected->State() == StateConnected; }, "connect");
        session.peers.emplace_back(::accept4(fixed.listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        session.Add(std::move(connected));
        // Connecting.
        auto connecting = CSocket::Create();
        connecting->Connect(Variant("127.0.0.1"), Variant(int32_t{fixed.stuckPort}));
        session.Add(std::move(connecting));
        // Listening.
        auto listening = CSocket::Create();
        listening->Bind(0, "127.0.0.1");
        listening->Listen();
        session.listenPort = static_cast<uint16_t>(listening->LocalPort());
        session.Add(std::move(listening));
        session.CheckInvariants();

        for (int step = 0; step < 48 && in.remaining_bytes() > 0; ++step) {
            switch (in.ConsumeIntegralInRange<int>(0, 4)) {
                case 0:
                    Notify(session, in);
                    break;
                case 1:
                    MSocketSupport::ProcessPending();
                    break;
                case 2:
                    PeerAction(session, in);
                    break;
                case 3:
                    if (session.peers.size() < 6) {
                        fuzz::Fd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
                        sockaddr_in a = fuzz::Loopback(session.listenPort);
                        (void)::connect(client.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
                        session.peers.push_back(std::move(client));
                    }
                    break;
                default:
                    Operate(session, in);
                    break;
            }
            session.CheckInvariants();
        }
        // Release everything; then nothing may stay registered, open or queued for delivery.
        for (std::size_t i = 0; i < session.subjects.size(); ++i) {
            if (session.subjects[i].socket) {
                session.Release(i);
            }
        }
        Check(MSocketSupport::SocketRegistryCount() == 0, "registrations after release");
        session.peers.clear();
        // Connections let go of finish their close once the peers have gone (or give up).
        fuzz::MustReach([] { return MSocketSupport::PendingCloseCount() == 0; },
                        "closes did not finish");
        // Lookups still under way end first: the system's resolver may hold a descriptor of
        // its own while it works.
        fuzz::MustReach([] { return MSocketSupport::LookupRegistryCount() == 0; },
                        "lookups did not end");
    }
    // Sockets are what the objects own; the fuzzer's own pipes and files come and go.
    Check(OpenSockets() == fixed.sockets, "socket descriptor leaked");
    return 0;
}
