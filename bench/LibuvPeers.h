// SPDX-License-Identifier: MIT
// The libuv side of the benchmarks (Debian's libuv1-dev): one loop, written the way its users
// write a fast server. Reads land in a buffer the application lends in its alloc callback;
// small replies go out with uv_try_write (synchronous, no request, no callback) and only what
// the kernel leaves waits in a uv_write request.
#pragma once

#include <uv.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"

namespace bench {

inline void UvCheck(int rc, const char* what) {
    if (rc < 0) {
        Fail(std::string("libuv: ") + what + ": " + uv_strerror(rc));
    }
}

// A loop that owns the memory of its handles (Make), so none is freed before libuv has
// closed it: whatever is still open is closed when the loop goes, then the memory.
class UvLoop {
  public:
    UvLoop() { UvCheck(uv_loop_init(&loop_), "loop"); }
    ~UvLoop() {
        uv_walk(
            &loop_,
            [](uv_handle_t* h, void*) {
                if (uv_is_closing(h) == 0) {
                    uv_close(h, nullptr);
                }
            },
            nullptr);
        uv_run(&loop_, UV_RUN_DEFAULT);  // runs the close callbacks, then has nothing left
        uv_loop_close(&loop_);
    }
    UvLoop(const UvLoop&) = delete;
    UvLoop& operator=(const UvLoop&) = delete;
    uv_loop_t* get() { return &loop_; }

    template <typename T>
    T* Make() {
        auto p = std::make_shared<T>();
        owned_.push_back(p);
        return p.get();
    }

    // Runs the loop until `done` holds; a wait that does not end in time is a failure.
    void RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                  const char* what) {
        struct Watchdog {
            uv_timer_t timer{};
            const char* what = nullptr;
            bool closed = false;
        } watchdog;
        watchdog.what = what;
        uv_timer_init(&loop_, &watchdog.timer);
        watchdog.timer.data = &watchdog;
        uv_timer_start(
            &watchdog.timer,
            [](uv_timer_t* t) {
                Fail(std::string("timed out: ") + static_cast<Watchdog*>(t->data)->what);
            },
            static_cast<uint64_t>(timeout.count()), 0);
        while (!done()) {
            uv_run(&loop_, UV_RUN_ONCE);
        }
        uv_close(reinterpret_cast<uv_handle_t*>(&watchdog.timer),
                 [](uv_handle_t* h) { static_cast<Watchdog*>(h->data)->closed = true; });
        while (!watchdog.closed) {
            uv_run(&loop_, UV_RUN_NOWAIT);
        }
    }

  private:
    uv_loop_t loop_{};
    std::vector<std::shared_ptr<void>> owned_;
};

inline sockaddr_in UvLoopback(uint16_t port) {
    sockaddr_in a{};
    UvCheck(uv_ip4_addr("127.0.0.1", port, &a), "address");
    return a;
}

inline uint16_t UvPort(const uv_tcp_t* tcp) {
    sockaddr_storage a{};
    int len = sizeof a;
    UvCheck(uv_tcp_getsockname(tcp, reinterpret_cast<sockaddr*>(&a), &len), "getsockname");
    return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
}

inline uv_stream_t* Stream(uv_tcp_t* tcp) {
    return reinterpret_cast<uv_stream_t*>(tcp);
}

// A listener on 127.0.0.1, an ephemeral port; every accepted connection goes to `onAccept`,
// which must call uv_accept.
class UvListener {
  public:
    UvListener(UvLoop& loop, int backlog, std::function<void(uv_stream_t*)> onAccept)
        : tcp_(loop.Make<uv_tcp_t>()), onAccept_(std::move(onAccept)) {
        uv_tcp_init(loop.get(), tcp_);
        tcp_->data = this;
        const sockaddr_in a = UvLoopback(0);
        UvCheck(uv_tcp_bind(tcp_, reinterpret_cast<const sockaddr*>(&a), 0), "bind");
        UvCheck(uv_listen(Stream(tcp_), backlog,
                          [](uv_stream_t* server, int status) {
                              UvCheck(status, "listen");
                              if (auto* self = static_cast<UvListener*>(server->data)) {
                                  self->onAccept_(server);
                              }
                          }),
                "listen");
    }
    UvListener(const UvListener&) = delete;
    UvListener& operator=(const UvListener&) = delete;
    ~UvListener() { tcp_->data = nullptr; }
    uint16_t Port() const { return UvPort(tcp_); }

  private:
    uv_tcp_t* tcp_;
    std::function<void(uv_stream_t*)> onAccept_;
};

// Starts a connect to 127.0.0.1:port; `connected` is set when it is up.
struct UvConnect {
    uv_connect_t request{};
    bool connected = false;
    void Start(uv_tcp_t* tcp, uint16_t port) {
        request.data = this;
        const sockaddr_in a = UvLoopback(port);
        UvCheck(uv_tcp_connect(&request, tcp, reinterpret_cast<const sockaddr*>(&a),
                               [](uv_connect_t* r, int status) {
                                   UvCheck(status, "connect");
                                   static_cast<UvConnect*>(r->data)->connected = true;
                               }),
                "connect");
    }
};

// A connected pair on 127.0.0.1, both ends handles of `loop`.
struct UvPair {
    uv_tcp_t* client;
    uv_tcp_t* server;
};

inline UvPair UvConnectedPair(UvLoop& loop) {
    UvPair pair{loop.Make<uv_tcp_t>(), loop.Make<uv_tcp_t>()};
    uv_tcp_init(loop.get(), pair.client);
    uv_tcp_init(loop.get(), pair.server);
    bool accepted = false;
    UvListener listener(loop, 4, [&](uv_stream_t* s) {
        UvCheck(uv_accept(s, Stream(pair.server)), "accept");
        accepted = true;
    });
    UvConnect connect;
    connect.Start(pair.client, listener.Port());
    loop.RunUntil([&] { return accepted && connect.connected; }, std::chrono::milliseconds(5000),
                  "libuv connect");
    return pair;
}

// Sends at once what the kernel takes; the rest, if any, is copied into a write request.
inline void UvSend(uv_stream_t* stream, const char* data, std::size_t length) {
    uv_buf_t buf = uv_buf_init(const_cast<char*>(data), static_cast<unsigned>(length));
    const int n = uv_try_write(stream, &buf, 1);
    if (n == static_cast<int>(length)) {
        return;
    }
    if (n < 0 && n != UV_EAGAIN) {
        UvCheck(n, "try_write");
    }
    const std::size_t done = n > 0 ? static_cast<std::size_t>(n) : 0;
    struct Pending {
        uv_write_t request{};
        std::vector<char> bytes;
    };
    auto pending = std::make_unique<Pending>();
    pending->bytes.assign(data + done, data + length);
    pending->request.data = pending.get();
    buf = uv_buf_init(pending->bytes.data(), static_cast<unsigned>(pending->bytes.size()));
    UvCheck(uv_write(&pending->request, stream, &buf, 1,
                     [](uv_write_t* r, int status) {
                         std::unique_ptr<Pending> owned(static_cast<Pending*>(r->data));
                         if (status != UV_ECANCELED) {  // the loop is closing
                             UvCheck(status, "write");
                         }
                     }),
            "write");
    (void)pending.release();  // the callback owns it now
}

}  // namespace bench
