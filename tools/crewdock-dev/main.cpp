// crewdock-dev: stands in for the Torvane server on this machine, on 127.0.0.1 only.
#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <string_view>

#include "CrewdockServer.h"
#include "packwarden/MSocketSupport.h"

namespace {

volatile sig_atomic_t stopRequested = 0;

void RequestStop(int) {
    stopRequested = 1;
}

constexpr std::string_view kUsage =
    "Usage: crewdock-dev [--port N] [--catalog DIR] [--idle-timeout SECONDS]\n"
    "                    [--max-connections N]\n"
    "\n"
    "A local stand-in for the Torvane server, listening on 127.0.0.1 only.\n"
    "\n"
    "  --port N                port to listen on (default 8080; 0 picks a free one)\n"
    "  --catalog DIR           folder of packages offered for download on session pages\n"
    "  --idle-timeout SECONDS  close connections idle this long (default 30)\n"
    "  --max-connections N     connections served at once; more get 503 (default 512)\n"
    "  --help                  show this text\n"
    "\n"
    "Routes: POST /crewdock/sync_session.php, GET /crewdock/sync.php?session=N&version=V,\n"
    "GET /crewdock/files/NAME, GET /, GET /crewdock/.\n"
    "The first line printed is \"crewdock-dev listening on http://127.0.0.1:PORT/\";\n"
    "then one line per request: client, method, address, status, body bytes.\n";

bool ParseNumber(std::string_view text, long min, long max, long& out) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end && !text.empty() && out >= min && out <= max;
}

int UsageError(const std::string& message) {
    std::cerr << "crewdock-dev: " << message << "\n\n" << kUsage;
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    crewdock::ServerOptions options;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::string_view value;
        bool inlineValue = false;
        if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            inlineValue = true;
        }
        const auto takeValue = [&]() -> bool {
            if (inlineValue) {
                return true;
            }
            if (i + 1 >= argc) {
                return false;
            }
            value = argv[++i];
            return true;
        };
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (arg == "--port") {
            long port = 0;
            if (!takeValue() || !ParseNumber(value, 0, 65535, port)) {
                return UsageError("--port needs a number from 0 to 65535");
            }
            options.port = static_cast<uint16_t>(port);
        } else if (arg == "--catalog") {
            if (!takeValue() || value.empty()) {
                return UsageError("--catalog needs a folder");
            }
            std::error_code ec;
            if (!std::filesystem::is_directory(value, ec)) {
                return UsageError("the catalog " + std::string(value) + " is not a folder");
            }
            options.catalog = std::filesystem::path(value);
        } else if (arg == "--max-connections") {
            long count = 0;
            if (!takeValue() || !ParseNumber(value, 1, 100000, count)) {
                return UsageError("--max-connections needs a number from 1 to 100000");
            }
            options.maxConnections = static_cast<std::size_t>(count);
        } else if (arg == "--idle-timeout") {
            long seconds = 0;
            if (!takeValue() || !ParseNumber(value, 1, 86400, seconds)) {
                return UsageError("--idle-timeout needs a number of seconds from 1 to 86400");
            }
            options.idleTimeout = std::chrono::seconds(seconds);
        } else {
            return UsageError("unknown argument " + std::string(argv[i]));
        }
    }

    // A vanished client must not kill the server; sends also ask for no signal.
    ::signal(SIGPIPE, SIG_IGN);
    // SIGINT and SIGTERM are taken only while waiting in ppoll, so a stop is never missed
    // between the flag check and the wait. Blocked before any thread starts, so none takes them.
    sigset_t stopSignals;
    sigset_t waitMask;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    struct sigaction action {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    try {
        crewdock::CrewdockServer server(options, std::cout);
        server.Start();
        std::cout << "crewdock-dev listening on http://127.0.0.1:" << server.Port() << "/"
                  << std::endl;
        const int channel = MSocketSupport::ChannelFd();
        while (!stopRequested) {
            const auto wait = server.NextSweepIn(crewdock::CrewdockServer::Clock::now());
            const auto ms = std::min<long long>(wait.count(), 1000);
            timespec timeout{static_cast<time_t>(ms / 1000),
                             static_cast<long>(ms % 1000) * 1000000};
            pollfd fd{channel, POLLIN, 0};
            if (::ppoll(&fd, 1, &timeout, &waitMask) < 0 && errno != EINTR) {
                std::cerr << "crewdock-dev: waiting for the network failed" << std::endl;
                return 1;
            }
            if (stopRequested) {
                break;
            }
            MSocketSupport::ProcessPending();
            server.Sweep(crewdock::CrewdockServer::Clock::now());
        }
        std::cout << "crewdock-dev stopped" << std::endl;
    } catch (const MSocketSupport::SocketError& e) {
        std::cerr << "crewdock-dev: cannot listen on 127.0.0.1:" << options.port << ": "
                  << e.Description << " (" << e.Number << ")" << std::endl;
        return 1;
    }
    return 0;
}
