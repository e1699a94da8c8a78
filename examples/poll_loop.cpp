// SPDX-License-Identifier: MIT
// The socket component inside an event loop of your own, here a poll() loop that also keeps a
// timer: the loop watches MSocketSupport::ChannelFd() and calls ProcessPending() when it is
// readable. Every event is raised from inside ProcessPending, on the loop's thread.
//
//   poll_loop [PORT]   a listener on 127.0.0.1:PORT (7009 unless given) and a client that sends
//                      it a line and reads the answer, both served by the one loop; exit
//                      status 0 when the answer came within 10 s
//
// A GLib or Qt loop does the same with its own watch (g_unix_fd_add, QSocketNotifier); see
// qt_loop.cpp and docs/socket-guide.md.
#include <poll.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "packwarden/CSocket.h"

using packwarden::CSocket;
using Clock = std::chrono::steady_clock;

// Answers one line with the same line in capitals, then closes.
struct Shouter : packwarden::CSocketEvents {
    std::shared_ptr<CSocket> listener = CSocket::Create();
    std::shared_ptr<CSocket> connection = CSocket::Create();
    std::string line;
    explicit Shouter(int32_t port) {
        listener->SetOwner(this);
        listener->Bind(port, "127.0.0.1");
        listener->Listen();
    }
    void OnConnectionRequest(int32_t requestID) override {
        connection->SetOwner(this);
        connection->Accept(requestID);
    }
    void OnDataArrival(int32_t) override {
        packwarden::Variant data;
        connection->GetData(data);
        line += data.AsString();
        if (line.ends_with('\n')) {
            for (char& c : line) {
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            }
            connection->SendData(line);
            connection->CloseSocket();  // the answer still goes out first
        }
    }
};

struct Asker : packwarden::CSocketEvents {
    std::shared_ptr<CSocket> sock = CSocket::Create();
    std::string answer;
    bool done = false;
    explicit Asker(int32_t port) {
        sock->SetOwner(this);
        sock->Connect("127.0.0.1", port);
    }
    void OnConnect() override { sock->SendData("hello from the poll loop\n"); }
    void OnDataArrival(int32_t) override {
        packwarden::Variant data;
        sock->GetData(data);
        answer += data.AsString();
    }
    void OnClose() override { done = true; }
    void OnError(int16_t, std::string& text, int32_t, const std::string&, const std::string&,
                 int32_t, bool&) override {
        std::fprintf(stderr, "poll_loop: %s\n", text.c_str());
        done = true;
    }
};

int main(int argc, char** argv) {
    const int32_t port = argc > 1 ? std::atoi(argv[1]) : 7009;
    try {
        Shouter server(port);
        Asker client(port);

        const auto deadline = Clock::now() + std::chrono::seconds(10);
        auto tick = Clock::now();
        int ticks = 0;
        pollfd watched{MSocketSupport::ChannelFd(), POLLIN, 0};
        while (!client.done && Clock::now() < deadline) {
            // Records queued by a handler that ran a loop of its own would not wake the
            // descriptor; announcing them before blocking costs nothing when there are none.
            MSocketSupport::AnnouncePending();
            const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
                tick + std::chrono::milliseconds(100) - Clock::now());
            if (poll(&watched, 1, static_cast<int>(std::max<int64_t>(wait.count(), 0))) > 0) {
                MSocketSupport::ProcessPending();  // never blocks
            }
            if (Clock::now() >= tick + std::chrono::milliseconds(100)) {  // the loop's own work
                tick = Clock::now();
                ++ticks;
            }
        }
        std::printf("answer after %d ticks of the loop's timer: %s", ticks, client.answer.c_str());
        MSocketSupport::FinishPendingCloses(std::chrono::seconds(5));
        return client.answer == "HELLO FROM THE POLL LOOP\n" ? 0 : 1;
    } catch (const MSocketSupport::SocketError& error) {
        std::fprintf(stderr, "poll_loop: %s (%d)\n", error.what(), error.Number);
        return 1;
    }
}
