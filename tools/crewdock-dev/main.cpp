// SPDX-License-Identifier: MIT
// crewdock-dev: stands in for the Torvane server on this machine, on 127.0.0.1 unless told
// otherwise.
#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "CrewdockServer.h"
#include "FormCoding.h"
#include "HttpRequest.h"
#include "Log.h"
#include "SessionStore.h"
#include "packwarden/MSocketSupport.h"
#include "packwarden/detail/Platform.h"

namespace {

// A stop that the loop has not carried out within this time is carried out by the signal
// handler itself.
constexpr unsigned kStopGraceSeconds = 3;

volatile sig_atomic_t stopSignal = 0;
int wakeWriteFd = -1;  // the write end of the loop's wake-up pipe, non-blocking

// Wakes the loop wherever it waits. A second stop signal, or a loop that does not come round
// within the grace time, ends the process at once: nothing may keep it from stopping.
void RequestStop(int sig) {
    if (stopSignal != 0) {
        ::_exit(128 + sig);
    }
    stopSignal = sig;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(wakeWriteFd, &byte, 1);
    ::alarm(kStopGraceSeconds);
}

void StopNow(int) {
    ::_exit(128 + stopSignal);
}

// "64 KiB", "8 MiB": a limit as --help states it.
std::string Size(std::size_t bytes) {
    constexpr std::size_t KiB = 1024;
    constexpr std::size_t MiB = 1024 * KiB;
    return bytes % MiB == 0 ? std::to_string(bytes / MiB) + " MiB"
                            : std::to_string(bytes / KiB) + " KiB";
}

std::string Usage(const crewdock::ServerOptions& options) {
    constexpr std::size_t MiB = 1024 * 1024;
    const std::size_t bound = (crewdock::WorstCaseResidentBytes(options) + MiB - 1) / MiB;
    return "Usage: crewdock-dev [--bind ADDRESS] [--port N] [--catalog DIR]\n"
           "                    [--request-timeout SECONDS] [--idle-timeout SECONDS]\n"
           "                    [--max-connections N] [--close-lifetime SECONDS]\n"
           "                    [--tls-cert FILE --tls-key FILE]\n"
           "\n"
           "A local stand-in for the Torvane server, listening on 127.0.0.1 unless told "
           "otherwise.\n"
           "\n"
           "  --bind ADDRESS             IPv4 or IPv6 address to listen on (default 127.0.0.1;\n"
           "                             ::1 for IPv6 loopback, :: for every address of both\n"
           "                             families, which other machines can reach)\n"
           "  --port N                   port to listen on (default 8080; 0 picks a free one)\n"
           "  --catalog DIR              folder of packages offered for download on session "
           "pages\n"
           "  --request-timeout SECONDS  a request must arrive whole, head and body, within "
           "this\n"
           "                             time of its connection (default 5)\n"
           "  --idle-timeout SECONDS     drop an answer the client takes nothing of for this "
           "long\n"
           "                             (default 30)\n"
           "  --max-connections N        requests answered at once, and as many arriving; "
           "more\n"
           "                             get 503 (default 512)\n"
           "  --close-lifetime SECONDS   the longest a connection's close may take once the\n"
           "                             answer has gone out, whatever the client does; then it\n"
           "                             is reset (default 120)\n"
           "  --tls-cert FILE            serve HTTPS with this PEM certificate chain (the\n"
           "                             server's own certificate first); needs --tls-key\n"
           "  --tls-key FILE             the PEM private key of that certificate; needs\n"
           "                             --tls-cert\n"
           "  --help                     show this text\n"
           "  --version                  show the version\n"
           "\n"
           "Limits: a request head " +
           Size(crewdock::kMaxHeadBytes) + " and " + std::to_string(crewdock::kMaxHeaderFields) +
           " header fields, head and body " + Size(crewdock::kMaxRequestBytes) + ",\n" +
           std::to_string(crewdock::kMaxFormFields) +
           " form fields; request bodies being received " + Size(crewdock::kBodyBudgetBytes) +
           " together, counted as\ntheir bytes arrive (one quiet for " +
           std::to_string(crewdock::kBodyStall.count() / 1000) +
           " s gives way to one that moves, else 503);\n" + Size(crewdock::kPieceBytes) +
           " of an answer waits in memory per connection, the kernel's buffer holds\nthe rest "
           "back; sessions " +
           Size(crewdock::SessionStore::kDefaultMaxBytes) +
           ".\n"
           "Worst-case resident memory with these settings: " +
           std::to_string(bound) +
           " MiB.\n"
           "Descriptors: connections and the closes still finishing share twice\n"
           "--max-connections (less where ulimit -n allows fewer); when they are spent the\n"
           "oldest finishing close whose client has the whole answer is reset first, then\n"
           "another idle connection; an answer still on its way is never cut for room.\n"
           "\n"
           "Routes: POST /crewdock/sync_session.php, GET /crewdock/sync.php?session=N&version=V,\n"
           "GET /crewdock/files/NAME, GET /, GET /crewdock/.\n"
           "The first line printed is \"crewdock-dev listening on http://127.0.0.1:PORT/\"\n"
           "(https:// with --tls-cert; an IPv6 address in brackets: http://[::1]:PORT/);\n"
           "then one line per request: time, client, method, address, status, body bytes.\n";
}

bool ParseNumber(std::string_view text, long min, long max, long& out) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end && !text.empty() && out >= min && out <= max;
}

// A numeric address of either family, IPv6 perhaps in brackets, as the socket writes it; empty
// for anything else. Names are refused: one may stand for several addresses, or none.
std::string ListenAddress(std::string_view text) {
    std::string body(text);
    if (body.size() >= 2 && body.front() == '[' && body.back() == ']') {
        body = body.substr(1, body.size() - 2);
    }
    in_addr v4{};
    in6_addr v6{};
    namespace Platform = MSocketSupport::Platform;
    Platform::Address address;
    if ((body != text && ::inet_pton(AF_INET6, body.c_str(), &v6) != 1) ||
        (::inet_pton(AF_INET, body.c_str(), &v4) != 1 &&
         ::inet_pton(AF_INET6, body.c_str(), &v6) != 1) ||
        !Platform::ParseAddress(body, address)) {
        return {};
    }
    return Platform::AddressText(address);
}

int UsageError(const std::string& message, const crewdock::ServerOptions& options) {
    std::cerr << "crewdock-dev: " << message << "\n\n" << Usage(options);
    return 2;
}

// Descriptors kept for the program itself (standard ones, the channel, the log, the catalog).
constexpr rlim_t kReservedDescriptors = 64;

// Each connection holds a descriptor, up to twice the limit of them at once (closes the socket
// service finishes for us included). Where fewer are allowed, the budget shrinks to fit, so a
// new client never meets a process out of descriptors.
std::string RaiseDescriptorLimit(crewdock::ServerOptions& options) {
    const std::size_t maxConnections = options.maxConnections;
    const rlim_t needed = static_cast<rlim_t>(2 * maxConnections) + kReservedDescriptors;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= needed) {
        return {};
    }
    limit.rlim_cur = std::min(needed, limit.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur >= needed) {
        return {};
    }
    options.descriptorBudget = static_cast<std::size_t>(
        std::max<rlim_t>(limit.rlim_cur, kReservedDescriptors + 2) - kReservedDescriptors);
    return "crewdock-dev: only " + std::to_string(limit.rlim_cur) +
           " open files are allowed (ulimit -n); " + std::to_string(maxConnections) +
           " connections may need " + std::to_string(needed);
}

// A program started with 0, 1 or 2 closed would hand that number to its wake-up pipe, and the
// log would then write into the pipe (and wake the loop) forever: /dev/null takes it first.
void GuardStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1) {
            const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
            if (opened != fd && opened != -1) {
                ::close(opened);
            }
        }
    }
}

// What the command line asks for: serve with `options`, or end at once with `exitCode`
// (after --help, --version or a usage error).
struct Command {
    crewdock::ServerOptions options;
    std::optional<int> exitCode;
};

Command ParseOptions(int argc, char** argv) {
    Command command;
    crewdock::ServerOptions& options = command.options;
    const auto fail = [&](const std::string& message) {
        command.exitCode = UsageError(message, options);
        return command;
    };
    bool help = false;
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
            help = true;
        } else if (arg == "--version") {
            std::cout << "crewdock-dev " << PACKWARDEN_VERSION << "\n";
            command.exitCode = 0;
            return command;
        } else if (arg == "--bind") {
            if (!takeValue()) {
                return fail("--bind needs an address");
            }
            std::string address = ListenAddress(value);
            if (address.empty()) {
                return fail(
                    "--bind needs an IPv4 or IPv6 address, such as 127.0.0.1, ::1 or ::, "
                    "not \"" +
                    std::string(value) + "\"");
            }
            options.bind = std::move(address);
        } else if (arg == "--port") {
            long port = 0;
            if (!takeValue() || !ParseNumber(value, 0, 65535, port)) {
                return fail("--port needs a number from 0 to 65535");
            }
            options.port = static_cast<uint16_t>(port);
        } else if (arg == "--catalog") {
            if (!takeValue() || value.empty()) {
                return fail("--catalog needs a folder");
            }
            std::error_code ec;
            if (!std::filesystem::is_directory(value, ec)) {
                return fail("the catalog " + std::string(value) + " is not a folder");
            }
            options.catalog = std::filesystem::path(value);
        } else if (arg == "--max-connections") {
            long count = 0;
            if (!takeValue() || !ParseNumber(value, 1, 100000, count)) {
                return fail("--max-connections needs a number from 1 to 100000");
            }
            options.maxConnections = static_cast<std::size_t>(count);
        } else if (arg == "--close-lifetime") {
            long seconds = 0;
            if (!takeValue() || !ParseNumber(value, 1, 3600, seconds)) {
                return fail("--close-lifetime needs a number of seconds from 1 to 3600");
            }
            options.closeLifetime = std::chrono::seconds(seconds);
        } else if (arg == "--idle-timeout" || arg == "--request-timeout") {
            const bool idle = arg == "--idle-timeout";
            const long most = idle ? 86400 : 3600;
            long seconds = 0;
            if (!takeValue() || !ParseNumber(value, 1, most, seconds)) {
                return fail(std::string(arg) + " needs a number of seconds from 1 to " +
                            std::to_string(most));
            }
            (idle ? options.idleTimeout : options.requestTimeout) = std::chrono::seconds(seconds);
        } else if (arg == "--tls-cert" || arg == "--tls-key") {
            if (!takeValue() || value.empty()) {
                return fail(std::string(arg) + " needs a file");
            }
            (arg == "--tls-cert" ? options.tlsCertificate : options.tlsKey) = value;
        } else {
            return fail("unknown argument " + std::string(argv[i]));
        }
    }
    if (options.tlsCertificate.empty() != options.tlsKey.empty()) {
        return fail(options.tlsKey.empty() ? "--tls-cert needs --tls-key too (its private key)"
                                           : "--tls-key needs --tls-cert too (its certificate)");
    }
    if (help) {
        std::cout << Usage(options);
        command.exitCode = 0;
    }
    return command;
}

// SIGINT and SIGTERM stop the loop through the pipe whose read end it returns (-1 when no
// pipe can be made); SIGPIPE is ignored.
int InstallSignals() {
    // A vanished client must not kill the server; sends also ask for no signal.
    ::signal(SIGPIPE, SIG_IGN);
    int wake[2];
    if (::pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        std::cerr << "crewdock-dev: cannot make a pipe: " << std::strerror(errno) << std::endl;
        return -1;
    }
    wakeWriteFd = wake[1];
    // Taken wherever the thread is, not only while it waits: nothing it does may delay a stop.
    // Without SA_RESTART a call under way returns at once with EINTR.
    struct sigaction action {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    action.sa_handler = StopNow;
    sigaction(SIGALRM, &action, nullptr);
    return wake[0];
}

// Listens and answers until a stop signal; the exit status.
int Serve(const crewdock::ServerOptions& options, int wakeReadFd,
          const std::string& descriptorWarning) {
    crewdock::RequestLog log(STDOUT_FILENO);
    try {
        crewdock::CrewdockServer server(options, log);
        server.Start();
        log.Plain(std::string("crewdock-dev listening on ") +
                  (options.Tls() ? "https://" : "http://") + crewdock::UrlHost(options.bind) + ":" +
                  std::to_string(server.Port()) + "/");
        if (!descriptorWarning.empty()) {
            log.Line(descriptorWarning);
        }
        const int channel = MSocketSupport::ChannelFd();
        while (stopSignal == 0) {
            const auto wait = server.NextSweepIn(crewdock::CrewdockServer::Clock::now());
            const auto ms = std::min<long long>(wait.count(), 1000);
            pollfd fds[3] = {
                {channel, POLLIN, 0}, {wakeReadFd, POLLIN, 0}, {log.WaitFd(), POLLOUT, 0}};
            const nfds_t count = log.Pending() ? 3 : 2;
            if (::poll(fds, count, static_cast<int>(ms)) < 0 && errno != EINTR) {
                std::cerr << "crewdock-dev: waiting for the network failed" << std::endl;
                return 1;
            }
            if (stopSignal != 0) {
                break;
            }
            MSocketSupport::ProcessPending();
            server.Sweep(crewdock::CrewdockServer::Clock::now());
            log.Flush();
        }
    } catch (const MSocketSupport::SocketError& e) {
        if (e.Source == "CSocket.SetCertificate") {
            // The description names the file and what is wrong with it.
            std::cerr << "crewdock-dev: cannot serve HTTPS: " << e.Description << std::endl;
            return 2;
        }
        std::cerr << "crewdock-dev: cannot listen on " << crewdock::UrlHost(options.bind) << ":"
                  << options.port << ": " << e.Description << " (" << e.Number << ")" << std::endl;
        return 1;
    }
    // Answers already complete in the socket service's hands get a moment to go out; a stop
    // does not wait for slow clients.
    MSocketSupport::FinishPendingCloses(std::chrono::milliseconds(500));
    log.Line("crewdock-dev stopped");
    log.Flush();
    ::alarm(0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    GuardStandardDescriptors();
    Command command = ParseOptions(argc, argv);
    if (command.exitCode) {
        return *command.exitCode;
    }
    // Large blocks go back to the system when freed, whatever sizes came before: without this
    // the allocator raises its threshold after the first big free and keeps later big blocks
    // in a heap that only grows.
    ::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    const std::string descriptorWarning = RaiseDescriptorLimit(command.options);
    const int wakeReadFd = InstallSignals();
    if (wakeReadFd < 0) {
        return 1;
    }
    return Serve(command.options, wakeReadFd, descriptorWarning);
}
