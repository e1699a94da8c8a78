// SPDX-License-Identifier: MIT
// Pieces every benchmark program shares: options, the figure lines, clocks, loopback helpers
// and the loop runner for the socket layer. All traffic stays on loopback (127.0.0.1, ::1).
#pragma once

#include "LoopbackSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "packwarden/MSocketSupport.h"

namespace bench {

using Clock = std::chrono::steady_clock;
using packwarden::testsupport::Fd;
using packwarden::testsupport::LocalPortOf;
using packwarden::testsupport::Loopback;

struct Options {
    bool quick = false;
    // Each peer runs this many times, interleaved with the others; the median counts.
    int rounds = 3;
    // Only this peer (for profiling); empty for all.
    std::string only;
    // Set in a child process that makes one measurement for its parent (RunChild).
    std::string child;
    bool Runs(std::string_view peer) const { return only.empty() || only == peer; }
};

inline Options ParseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--quick") {
            o.quick = true;
            o.rounds = 1;
        } else if (a.rfind("--rounds=", 0) == 0) {
            o.rounds = std::max(1, std::atoi(argv[i] + 9));
        } else if (a.rfind("--only=", 0) == 0) {
            o.only = std::string(a.substr(7));
        } else if (a.rfind("--child=", 0) == 0) {
            o.child = std::string(a.substr(8));
        } else {
            std::fprintf(stderr, "usage: %s [--quick] [--rounds=N] [--only=PEER]\n", argv[0]);
            std::exit(2);
        }
    }
    return o;
}

[[noreturn]] inline void Fail(const std::string& what) {
    std::fprintf(stderr, "bench: %s\n", what.c_str());
    std::exit(1);
}

// One figure: "name: value".
inline void Report(const std::string& name, double value) {
    if (value >= 1000) {
        std::printf("%s: %.0f\n", name.c_str(), value);
    } else {
        std::printf("%s: %.4g\n", name.c_str(), value);
    }
    std::fflush(stdout);
}

inline double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Runs each chosen peer `rounds` times, interleaved, and keeps the median of each.
class Peers {
  public:
    explicit Peers(const Options& options) : options_(options) {}
    void Add(std::string name, std::function<double()> run) {
        if (options_.Runs(name)) {
            peers_.push_back({std::move(name), std::move(run), {}});
        }
    }
    void Run() {
        for (int round = 0; round < options_.rounds; ++round) {
            for (auto& p : peers_) {
                p.values.push_back(p.run());
            }
        }
    }
    bool Has(std::string_view name) const { return Find(name) != nullptr; }
    double Value(std::string_view name) const;

  private:
    struct Peer {
        std::string name;
        std::function<double()> run;
        std::vector<double> values;
    };
    const Peer* Find(std::string_view name) const {
        for (const auto& p : peers_) {
            if (p.name == name) {
                return &p;
            }
        }
        return nullptr;
    }
    Options options_;
    std::vector<Peer> peers_;
};

inline double Median(std::vector<double> v) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

inline double Peers::Value(std::string_view name) const {
    const Peer* p = Find(name);
    return p == nullptr ? 0 : Median(p->values);
}

// Reports `name` when both figures were measured.
inline void ReportRatio(const Peers& peers, const std::string& name, std::string_view ours,
                        std::string_view peer) {
    if (peers.Has(ours) && peers.Has(peer)) {
        Report(name, peers.Value(ours) / peers.Value(peer));
    }
}

inline void ReportValue(const Peers& peers, const std::string& name, std::string_view peer) {
    if (peers.Has(peer)) {
        Report(name, peers.Value(peer));
    }
}

// A field of /proc/self/status in KiB (VmRSS, VmHWM).
inline double StatusKib(std::string_view field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0 && line.size() > field.size() && line[field.size()] == ':') {
            return std::atof(line.c_str() + field.size() + 1);
        }
    }
    Fail("no " + std::string(field) + " in /proc/self/status");
}

// Runs this program again as `--child=NAME` (plus --quick) and returns the one number it
// prints: a measurement of memory in a process of its own, so that neither what the parent
// holds nor what another peer left in the allocator counts.
inline double RunChild(const std::string& name, const Options& options,
                       std::chrono::seconds timeout) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        Fail("cannot make a pipe");
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        Fail("cannot fork");
    }
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        std::string arg = "--child=" + name;
        std::vector<char*> argv{const_cast<char*>("bench-child"), arg.data()};
        if (options.quick) {
            argv.push_back(const_cast<char*>("--quick"));
        }
        argv.push_back(nullptr);
        ::execv("/proc/self/exe", argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    Fd pipe(out[0]);
    std::string text;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{pipe.get(), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            Fail("timed out: child " + name);
        }
        char buffer[256];
        const ssize_t n = ::read(pipe.get(), buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || text.empty()) {
        Fail("child " + name + " failed");
    }
    return std::atof(text.c_str());
}

// Many connections need many descriptors: take the hard limit.
inline void RaiseFdLimit(rlim_t wanted) {
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) {
        return;
    }
    const rlim_t target = std::min(wanted, lim.rlim_max);
    if (lim.rlim_cur < target) {
        lim.rlim_cur = target;
        ::setrlimit(RLIMIT_NOFILE, &lim);
    }
    ::getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur < wanted) {
        Fail("descriptor limit " + std::to_string(lim.rlim_cur) + " is below " +
             std::to_string(wanted));
    }
}

// The address family a loopback benchmark runs over.
enum class Family { V4, V6 };

// A raw listening socket on 127.0.0.1 (or ::1), ephemeral port.
inline Fd RawListen(int backlog, Family family = Family::V4) {
    const bool v6 = family == Family::V6;
    Fd s(v6 ? raw::Socket6() : raw::Socket());
    if (s.get() < 0 || (v6 ? raw::Bind6(s.get(), 0) : raw::Bind(s.get(), 0)) != 0 ||
        raw::Listen(s.get(), backlog) != 0) {
        Fail(v6 ? "cannot listen on ::1" : "cannot listen on 127.0.0.1");
    }
    return s;
}

// A connected loopback pair (blocking), for the raw peers.
struct RawPair {
    Fd client;
    Fd server;
};

inline RawPair RawConnectedPair(Family family = Family::V4) {
    const bool v6 = family == Family::V6;
    Fd listener = RawListen(4, family);
    RawPair p;
    p.client = Fd(v6 ? raw::Socket6() : raw::Socket());
    const uint16_t port = LocalPortOf(listener.get());
    if ((v6 ? raw::Connect6(p.client.get(), port) : raw::Connect(p.client.get(), port)) != 0) {
        Fail("raw connect failed");
    }
    p.server = Fd(raw::Accept(listener.get()));
    if (p.server.get() < 0) {
        Fail("raw accept failed");
    }
    return p;
}

// Runs the socket layer's loop until `done` holds; a benchmark that does not finish in time
// is a failure, never a hang.
inline void Pump(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                 const char* what) {
    if (!MSocketSupport::RunUntil(done, timeout)) {
        Fail(std::string("timed out: ") + what);
    }
}

}  // namespace bench
