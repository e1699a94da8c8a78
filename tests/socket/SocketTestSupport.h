// SPDX-License-Identifier: MIT
// Shared pieces of the CSocket scenario tests: a recording owner, raw loopback peers, and a
// bounded loop runner. Every wait is bounded; every socket is on 127.0.0.1.
#pragma once

#include "LoopbackSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "packwarden/CSocket.h"

namespace packwarden::testing {

using namespace std::chrono_literals;

constexpr auto Deadline = 5s;

// Runs the service's loop until `done` holds; false when the deadline passed first. The loop
// is woken every few milliseconds, so a condition another thread makes true (a raw peer's)
// is seen promptly too.
inline bool RunUntil(const std::function<bool()>& done,
                     std::chrono::milliseconds timeout = Deadline) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return done();
        }
        if (MSocketSupport::RunUntil(done, std::min(left, std::chrono::milliseconds(10)))) {
            return true;
        }
    }
}

// Dispatches whatever is pending now, and what that causes, for a short while.
inline void Settle(std::chrono::milliseconds span = 100ms) {
    MSocketSupport::RunUntil([] { return false; }, span);
}

// Records every event of one socket with the State (and handle) seen inside the handler, then
// runs the test's own reaction, if any. After the reaction the socket is not touched again,
// so a reaction may release the object.
class RecordingOwner : public CSocketEvents {
  public:
    explicit RecordingOwner(const std::shared_ptr<CSocket>& socket) : socket_(socket.get()) {
        socket->SetOwner(this);
    }

    std::vector<std::string> events;
    std::function<void()> onConnect, onClose, onSendComplete;
    std::function<void(int32_t)> onDataArrival, onConnectionRequest;
    std::function<void(int16_t)> onError;
    std::function<void(int32_t, int32_t)> onSendProgress;
    // Filled by OnError.
    std::string lastErrorSource;
    std::string lastErrorDescription;

    void OnConnect() override {
        Record("Connect");
        if (onConnect)
            onConnect();
    }
    void OnClose() override {
        Record("Close");
        if (onClose)
            onClose();
    }
    void OnConnectionRequest(int32_t requestID) override {
        Record("ConnectionRequest");
        if (onConnectionRequest)
            onConnectionRequest(requestID);
    }
    void OnDataArrival(int32_t bytesTotal) override {
        Record("DataArrival(" + std::to_string(bytesTotal) + ")");
        if (onDataArrival)
            onDataArrival(bytesTotal);
    }
    void OnError(int16_t Number, std::string& Description, int32_t Scode, const std::string& Source,
                 const std::string& HelpFile, int32_t HelpContext, bool& CancelDisplay) override {
        EXPECT_EQ(Scode, 0);
        EXPECT_TRUE(HelpFile.empty());
        EXPECT_EQ(HelpContext, 0);
        EXPECT_FALSE(CancelDisplay);
        lastErrorSource = Source;
        lastErrorDescription = Description;
        Record("Error(" + std::to_string(Number) + ")");
        Description = "overwritten by the handler";
        CancelDisplay = true;
        if (onError)
            onError(Number);
    }
    void OnSendComplete() override {
        Record("SendComplete");
        if (onSendComplete)
            onSendComplete();
    }
    void OnSendProgress(int32_t sent, int32_t remaining) override {
        Record("SendProgress(" + std::to_string(sent) + "," + std::to_string(remaining) + ")");
        if (onSendProgress)
            onSendProgress(sent, remaining);
    }

    bool Has(const std::string& prefix) const {
        for (const auto& e : events) {
            if (e.rfind(prefix, 0) == 0)
                return true;
        }
        return false;
    }

  private:
    void Record(const std::string& what) {
        events.push_back(what + "@" + std::to_string(socket_->State()));
    }
    CSocket* socket_;
};

using packwarden::testsupport::Fd;
using packwarden::testsupport::LocalPortOf;
using packwarden::testsupport::Loopback;
using packwarden::testsupport::OpenDescriptorCount;

// A port that was free a moment ago (bound to port 0 and read back).
inline int FreePort(int type = SOCK_STREAM) {
    Fd s(raw::Socket(type));
    raw::Bind(s.get(), 0);
    return LocalPortOf(s.get());
}

// A raw listening socket on 127.0.0.1 and an ephemeral port.
class RawListener {
  public:
    RawListener() : fd_(raw::Socket()) {
        EXPECT_EQ(raw::Bind(fd_.get(), 0), 0);
        EXPECT_EQ(raw::Listen(fd_.get(), 256), 0);
        port_ = LocalPortOf(fd_.get());
    }
    int port() const { return port_; }
    // Waits (bounded) for a connection; an empty Fd when none came.
    Fd Accept(std::chrono::milliseconds timeout = Deadline) {
        if (!raw::Readable(fd_.get(), static_cast<int>(timeout.count())))
            return Fd();
        return Fd(raw::Accept(fd_.get()));
    }
    // Accepts while running the service's loop, for peers that connect asynchronously.
    Fd AcceptPumping() {
        Fd peer;
        RunUntil([&] {
            peer = Accept(0ms);
            return static_cast<bool>(peer);
        });
        return peer;
    }

  private:
    Fd fd_;
    int port_ = 0;
};

// A raw client connected to 127.0.0.1:port (blocking), optionally from a given local port.
inline Fd RawConnect(int port, int fromPort = 0) {
    Fd s(raw::Socket());
    if (fromPort != 0) {
        raw::SetOption(s.get(), SOL_SOCKET, SO_REUSEADDR, 1);
        EXPECT_EQ(raw::Bind(s.get(), static_cast<uint16_t>(fromPort)), 0);
    }
    EXPECT_EQ(raw::Connect(s.get(), static_cast<uint16_t>(port)), 0);
    return s;
}

inline bool SendAll(int fd, const void* data, std::size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        const long w = raw::Send(fd, p, n);
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}
inline bool SendAll(int fd, const std::string& s) {
    return SendAll(fd, s.data(), s.size());
}

// Reads what is there within the timeout, up to `max` bytes; stops early at the peer's close.
inline std::string RecvSome(int fd, std::size_t max, std::chrono::milliseconds timeout = Deadline) {
    std::string out;
    const auto until = std::chrono::steady_clock::now() + timeout;
    char buf[65536];
    while (out.size() < max) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (!raw::Readable(fd, static_cast<int>(std::max<int64_t>(left.count(), 0))))
            break;
        const long r = raw::Recv(fd, buf, std::min(sizeof buf, max - out.size()));
        if (r <= 0)
            break;
        out.append(buf, static_cast<std::size_t>(r));
    }
    return out;
}

// True when the peer has closed (recv reports end of stream) within the timeout.
inline bool PeerClosed(int fd, std::chrono::milliseconds timeout = Deadline) {
    if (!raw::Readable(fd, static_cast<int>(timeout.count())))
        return false;
    char c;
    return raw::Recv(fd, &c, 1, MSG_PEEK) == 0;
}

// Bytes whose value tells their position, so a reader can check order and loss.
inline std::string Pattern(std::size_t n, std::size_t from = 0) {
    std::string out(n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<char>((from + i) % 251);
    }
    return out;
}

// Reads a raw peer on a thread of its own (so the test can run the loop meanwhile) until the
// stream ends, breaks or the timeout passes, checking every byte against Pattern; optionally
// slowly, and closing its end once the stream has ended.
class PatternReader {
  public:
    explicit PatternReader(int fd, std::size_t bytesPerTick = 0,
                           std::chrono::milliseconds timeout = std::chrono::seconds(30))
        : thread_([this, fd, bytesPerTick, timeout] { Run(fd, bytesPerTick, timeout); }) {}
    ~PatternReader() { thread_.join(); }
    PatternReader(const PatternReader&) = delete;
    PatternReader& operator=(const PatternReader&) = delete;

    bool Finished() const { return finished_; }
    // Valid once Finished().
    std::size_t bytes = 0;
    bool inOrder = true;
    bool cleanEnd = false;  // end of stream, not a reset or a time-out
    int error = 0;

  private:
    void Run(int fd, std::size_t bytesPerTick, std::chrono::milliseconds timeout) {
        const auto until = std::chrono::steady_clock::now() + timeout;
        std::vector<char> buf(1 << 16);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !raw::Readable(fd, static_cast<int>(left.count()))) {
                break;
            }
            const std::size_t want = bytesPerTick > 0 ? bytesPerTick : buf.size();
            const long r = raw::Recv(fd, buf.data(), std::min(want, buf.size()));
            if (r < 0) {
                error = raw::LastError();
                break;
            }
            if (r == 0) {
                cleanEnd = true;
                raw::Close(fd);
                fd = -1;
                break;
            }
            for (long i = 0; i < r; ++i) {
                inOrder =
                    inOrder && buf[static_cast<std::size_t>(i)] ==
                                   static_cast<char>((bytes + static_cast<std::size_t>(i)) % 251);
            }
            bytes += static_cast<std::size_t>(r);
            if (bytesPerTick > 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        if (fd >= 0) {
            raw::Close(fd);
        }
        finished_ = true;
    }

    std::atomic<bool> finished_{false};
    std::thread thread_;
};

// The descriptors (on Windows: the handles) the process holds.
inline std::string Text(const Variant& v) {
    return v.AsString();
}

// A CSocket connected to a raw peer, its owner's record cleared.
struct Connected {
    RawListener server;
    std::shared_ptr<CSocket> socket = CSocket::Create();
    RecordingOwner owner{socket};
    Fd peer;

    Connected() {
        socket->Connect("127.0.0.1", server.port());
        EXPECT_TRUE(RunUntil([&] { return socket->State() == StateConnected; }));
        peer = server.Accept();
        owner.events.clear();
    }
    void Receive(const std::string& bytes) {
        const std::size_t before = socket->ReceiveBufferSize();
        SendAll(peer.get(), bytes);
        EXPECT_TRUE(RunUntil([&] { return socket->ReceiveBufferSize() == before + bytes.size(); }));
    }
};

}  // namespace packwarden::testing
