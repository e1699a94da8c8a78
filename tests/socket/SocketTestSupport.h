// SPDX-License-Identifier: MIT
// Shared pieces of the CSocket scenario tests, beside the common ones in tests/support: bytes
// that tell their position and a reader that checks them, and a socket connected to a raw
// peer. Every wait is bounded; every socket is on 127.0.0.1.
#pragma once

#include "RawPeer.h"
#include "RecordingOwner.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace packwarden::testing {

using namespace packwarden::testsupport;

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

// A Variant's text, for comparing what GetData gave.
inline std::string Text(const Variant& v) {
    return v.AsString();
}

// A CSocket connected to a raw peer, its owner's record cleared.
struct Connected {
    RawPeer server;
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

enum class Path { Listening, Refusing, BlackHoled };

// One family's end on loopback (::1 alone, or 127.0.0.1): a listener, a bound socket that
// refuses, or a listener whose accept queue is full. The system then ignores further connection
// requests, as a black-holed route drops them.
class End {
  public:
    // `v4` names another IPv4 loopback address (127.0.0.2...) for an IPv4 end.
    End(bool v6, uint16_t port, Path path, const char* v4 = "127.0.0.1")
        : fd_(v6 ? raw::Socket6() : raw::Socket()) {
        if (v6) {
            const sockaddr_in6 a = raw::Loopback6(port);
            std::memcpy(&address_, &a, sizeof a);
            length_ = sizeof a;
        } else {
            sockaddr_in a = raw::Loopback(port);
            a.sin_addr.s_addr = ::inet_addr(v4);
            std::memcpy(&address_, &a, sizeof a);
            length_ = sizeof a;
        }
        ok_ = ::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&address_), length_) == 0;
        port_ = LocalPortOf(fd_.get());
        // Both families keep the port at the same place.
        reinterpret_cast<sockaddr_in&>(address_).sin_port = htons(port_);
        if (!ok_ || path == Path::Refusing) {
            return;
        }
        if (path == Path::Listening) {
            ok_ = raw::Listen(fd_.get(), 16) == 0;
            return;
        }
        ok_ = raw::Listen(fd_.get(), 0) == 0 && Fill(v6);
    }
    bool ok() const { return ok_; }
    uint16_t port() const { return port_; }
    int fd() const { return fd_.get(); }

  private:
    // Connects until a request goes unanswered: the queue is full from then on.
    bool Fill(bool v6) {
        for (int i = 0; i < 8; ++i) {
            Fd c(v6 ? raw::Socket6() : raw::Socket());
            raw::SetNonBlocking(c.get());
            ::connect(c.get(), reinterpret_cast<const sockaddr*>(&address_), length_);
            const bool answered = raw::Wait(c.get(), POLLOUT, 300);
            fillers_.push_back(std::move(c));
            if (!answered) {
                return true;
            }
        }
        return false;  // this system answers whatever the queue holds
    }

    Fd fd_;
    std::vector<Fd> fillers_;
    sockaddr_storage address_{};
    raw::SocketLength length_ = 0;
    uint16_t port_ = 0;
    bool ok_ = false;
};

}  // namespace packwarden::testing
