// SPDX-License-Identifier: MIT
// The built crewdock-dev program, run as a child process on a free loopback port and spoken to
// over real sockets: what a player's synchroniser, a browser and misbehaving clients do.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "CentralServer.h"
#include "Inventory.h"
#include "TempDir.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

using packwarden::testsupport::TempDir;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Waits for `done`, checking every few milliseconds, until the deadline.
template <typename F>
bool WaitFor(F done, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kMemoryIsMeasurable = false;  // the sanitizers' own memory lives in the server
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kMemoryIsMeasurable = false;
#else
constexpr bool kMemoryIsMeasurable = true;
#endif
#else
constexpr bool kMemoryIsMeasurable = true;
#endif

// The program as a child process; killed and reaped on every path out of the test. Its output
// goes to a file, or to a pipe that the test reads only when it chooses to.
class ServerProcess {
  public:
    enum class Output { File, Pipe };

    explicit ServerProcess(std::vector<std::string> args, Output output = Output::File) {
        log_ = dir_.path() / "crewdock.log";
        args.insert(args.begin(), CREWDOCK_DEV_BIN);
        int pipeFds[2] = {-1, -1};
        if (output == Output::Pipe && ::pipe2(pipeFds, O_CLOEXEC) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            const int fd = output == Output::Pipe
                               ? pipeFds[1]
                               : ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            std::vector<char*> argv;
            for (auto& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        if (output == Output::Pipe) {
            ::close(pipeFds[1]);
            pipe_ = pipeFds[0];
            ::fcntl(pipe_, F_SETFL, O_NONBLOCK);
        }
    }
    ~ServerProcess() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (pipe_ >= 0) {
            ::close(pipe_);
        }
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // The port from the first line, which must name `scheme` and `host` (as an address writes
    // it), or 0
    // when the program did not come up so within 10 s.
    uint16_t WaitForPort(const std::string& host = "127.0.0.1",
                         const std::string& scheme = "http") {
        const std::string prefix = "crewdock-dev listening on " + scheme + "://" + host + ":";
        uint16_t port = 0;
        WaitFor(
            [&] {
                if (pipe_ >= 0) {
                    ReadPipe();
                }
                const std::string log = Log();
                if (log.rfind(prefix, 0) == 0 && log.find('\n') != std::string::npos) {
                    port = static_cast<uint16_t>(std::stoi(log.substr(prefix.size())));
                    return true;
                }
                return HasExited();
            },
            10s);
        return port;
    }

    // Everything written so far (through a pipe: everything the test has read of it).
    std::string Log() const { return pipe_ >= 0 ? piped_ : ReadFile(log_); }
    // Reads what the pipe holds now; the new text.
    std::string ReadPipe() {
        std::string fresh;
        char buffer[65536];
        ssize_t n = 0;
        while ((n = ::read(pipe_, buffer, sizeof buffer)) > 0) {
            fresh.append(buffer, static_cast<std::size_t>(n));
        }
        piped_ += fresh;
        return fresh;
    }

    bool HasExited() {
        if (!exited_ && ::waitpid(pid_, &status_, WNOHANG) == pid_) {
            exited_ = true;
        }
        return exited_;
    }
    // The exit code once the program has ended (within `limit`), or nothing.
    std::optional<int> WaitForExit(std::chrono::milliseconds limit) {
        if (!WaitFor([&] { return HasExited(); }, limit)) {
            return std::nullopt;
        }
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
    }
    void Signal(int sig) { ::kill(pid_, sig); }

    // The most memory the program has held resident so far, in MiB.
    long PeakResidentMiB() const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("VmHWM:", 0) == 0) {
                return std::stol(line.substr(6)) / 1024;
            }
        }
        return -1;
    }

  private:
    TempDir dir_;
    fs::path log_;
    pid_t pid_ = -1;
    int pipe_ = -1;
    std::string piped_;
    bool exited_ = false;
    int status_ = 0;
};

enum class Family { V4, V6 };  // the client reaches 127.0.0.1, or ::1

// One client socket, blocking calls bounded by poll or by a send time-out. A small receive
// buffer makes a client that does not read hold up the server's sending soon.
class Client {
  public:
    explicit Client(uint16_t port, int receiveBuffer = 0, Family family = Family::V4) {
        fd_ = ::socket(family == Family::V6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBuffer > 0) {
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        }
        const timeval sendLimit{10, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
        if (family == Family::V6) {
            sockaddr_in6 addr{};
            addr.sin6_family = AF_INET6;
            addr.sin6_port = htons(port);
            addr.sin6_addr = in6addr_loopback;
            connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            return;
        }
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~Client() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return connected_; }
    int fd() const { return fd_; }

    bool Send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }
    void ShutdownSend() { ::shutdown(fd_, SHUT_WR); }

    // Bytes up to and including `end`; nothing when the deadline passes or the server closes.
    std::optional<std::string> ReadUntil(std::string_view end, std::chrono::milliseconds limit) {
        std::string out;
        const auto deadline = Clock::now() + limit;
        while (out.find(end) == std::string::npos) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) < 0) {
                return std::nullopt;
            }
            char c;
            if ((p.revents & POLLIN) != 0 && ::recv(fd_, &c, 1, 0) != 1) {
                return std::nullopt;
            }
            if ((p.revents & POLLIN) != 0) {
                out += c;
            }
        }
        return out;
    }

    // Everything until the server closes; nothing when the deadline passes first.
    std::optional<std::string> ReadToEnd(std::chrono::milliseconds limit = 10s) {
        std::string out;
        const auto deadline = Clock::now() + limit;
        char buffer[65536];
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                return std::nullopt;
            }
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                continue;
            }
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n == 0) {
                return out;
            }
            if (n < 0) {
                return out.empty() ? std::nullopt : std::optional<std::string>(out);
            }
            out.append(buffer, static_cast<std::size_t>(n));
        }
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
};

struct Response {
    int status = 0;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
};

std::optional<Response> ParseResponse(const std::string& raw) {
    const auto end = raw.find("\r\n\r\n");
    if (raw.rfind("HTTP/1.0 ", 0) != 0 || end == std::string::npos) {
        return std::nullopt;
    }
    Response r;
    r.status = std::stoi(raw.substr(9, 3));
    std::istringstream head(raw.substr(0, end));
    std::string line;
    std::getline(head, line);
    while (std::getline(head, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const auto colon = line.find(':');
        std::string name = line.substr(0, colon);
        for (char& c : name) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        r.headers[name] = line.substr(colon + 2);
    }
    r.body = raw.substr(end + 4);
    return r;
}

std::optional<Response> Exchange(uint16_t port, const std::string& request,
                                 std::chrono::milliseconds limit = 10s,
                                 Family family = Family::V4) {
    Client c(port, 0, family);
    if (!c.connected() || !c.Send(request)) {
        return std::nullopt;
    }
    const auto raw = c.ReadToEnd(limit);
    return raw ? ParseResponse(*raw) : std::nullopt;
}

std::optional<Response> Get(uint16_t port, const std::string& target,
                            std::chrono::milliseconds limit = 10s) {
    return Exchange(port, "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n", limit);
}

std::optional<Response> GetOverIpv6(uint16_t port, const std::string& target) {
    return Exchange(port, "GET " + target + " HTTP/1.0\r\nHost: [::1]\r\n\r\n", 10s, Family::V6);
}

// The inventory request as the synchroniser writes it, made by the synchroniser's own code:
// the contract between client and server is tested against the real client.
std::string InventoryRequest(uint16_t port, int session,
                             const std::vector<packwarden::PackageEntry>& files,
                             const std::string& host = "127.0.0.1") {
    const packwarden::CentralServer server{host, port};
    return packwarden::ComposeRequest(packwarden::HeaderTemplate(server.HostAndPort()),
                                      packwarden::InventoryBody(2, session, files));
}

std::string HeaderOf(const Response& r, const std::string& lowerName) {
    const auto it = r.headers.find(lowerName);
    return it == r.headers.end() ? std::string() : it->second;
}

bool Contains(const std::string& haystack, std::string_view needle) {
    return haystack.find(needle) != std::string::npos;
}

class CrewdockServerTest : public ::testing::Test {
  protected:
    void Start(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--port", "0", "--catalog", catalog_.path().string()};
        args.insert(args.end(), extra.begin(), extra.end());
        server_.emplace(args);
        port_ = server_->WaitForPort();
        ASSERT_NE(port_, 0) << server_->Log();
    }
    void WriteCatalogFile(const std::string& name, const std::string& contents) {
        std::ofstream(catalog_.path() / name, std::ios::binary) << contents;
    }
    // The program is still up and answering.
    void ExpectAlive() {
        const auto home = Get(port_, "/");
        ASSERT_TRUE(home) << server_->Log();
        EXPECT_EQ(home->status, 200);
    }

    TempDir catalog_;
    std::optional<ServerProcess> server_;
    uint16_t port_ = 0;
};

}  // namespace

TEST_F(CrewdockServerTest, PostedListAppearsOnTheSessionPage) {
    WriteCatalogFile("pak0.pk3", std::string(4096, 'a'));
    WriteCatalogFile("pak1.pk3", std::string(2048, 'b'));
    WriteCatalogFile("torvane assault.pk3", std::string(900, 'c'));
    Start();

    // As the synchroniser does it: send the request, shut down our side, read nothing back.
    {
        Client player(port_);
        ASSERT_TRUE(player.connected());
        ASSERT_TRUE(player.Send(InventoryRequest(port_, 4711,
                                                 {{"pak0.pk3", 4096},
                                                  {"pak1.pk3", 1500},
                                                  {"my mod & more=1+2%.pk3", 321},
                                                  {"<script>x</script>.pk3", 4294967296LL}})));
        player.ShutdownSend();
        const auto answer = player.ReadToEnd();
        ASSERT_TRUE(answer);
        const auto r = ParseResponse(*answer);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 200);
    }

    const auto page = Get(port_, "/crewdock/sync.php?session=4711&version=2");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(HeaderOf(*page, "content-type"), "text/html; charset=utf-8");
    EXPECT_EQ(HeaderOf(*page, "connection"), "close");
    EXPECT_EQ(HeaderOf(*page, "content-length"), std::to_string(page->body.size()));
    const std::string& html = page->body;
    EXPECT_TRUE(Contains(html, "<td>pak0.pk3</td><td class=\"n\">4096</td>")) << html;
    EXPECT_TRUE(Contains(html, "<td>my mod &amp; more=1+2%.pk3</td><td class=\"n\">321</td>"));
    EXPECT_TRUE(Contains(html, "&lt;script&gt;x&lt;/script&gt;.pk3"));
    EXPECT_TRUE(Contains(html, "4294967296"));
    EXPECT_FALSE(Contains(html, "<script>"));
    // pak1 has another size, "torvane assault" is missing, pak0 is up to date.
    EXPECT_TRUE(Contains(html, "<a href=\"/crewdock/files/pak1.pk3\">pak1.pk3</a>"));
    EXPECT_TRUE(Contains(html, "you have 1500 bytes"));
    EXPECT_TRUE(Contains(html, "<a href=\"/crewdock/files/torvane%20assault.pk3\">"));
    EXPECT_FALSE(Contains(html, "files/pak0.pk3"));

    // One line per request.
    const std::string log = server_->Log();
    EXPECT_TRUE(Contains(log, " POST /crewdock/sync_session.php 200 ")) << log;
    EXPECT_TRUE(Contains(log, " GET /crewdock/sync.php?session=4711&version=2 200 ")) << log;
}

TEST_F(CrewdockServerTest, UnknownSessionAndOtherPages) {
    Start();
    const auto unknown = Get(port_, "/crewdock/sync.php?session=123&version=2");
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->status, 404);
    EXPECT_TRUE(Contains(unknown->body, "No package list has been received for session 123"));

    const auto developer = Get(port_, "/crewdock/");
    ASSERT_TRUE(developer);
    EXPECT_EQ(developer->status, 200);
    const auto head = Exchange(port_, "HEAD /crewdock/ HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200);
    EXPECT_TRUE(head->body.empty());
    EXPECT_EQ(HeaderOf(*head, "content-length"), std::to_string(developer->body.size()));

    const auto wrong = Get(port_, "/crewdock/sync_session.php");
    ASSERT_TRUE(wrong);
    EXPECT_EQ(wrong->status, 405);
    EXPECT_EQ(HeaderOf(*wrong, "allow"), "POST");
}

TEST_F(CrewdockServerTest, BrokenFramingGets4xxAndCostsNothingElse) {
    Start();
    struct Case {
        std::string request;
        int status;
    };
    const std::vector<Case> cases = {
        {"HELLO\r\n\r\n", 400},
        {"GET /\r\n\r\n", 400},
        {"GET / HTTP/1.0 trailing\r\n\r\n", 400},
        {std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n", 16), 400},
        {"GET /crewdock/sync.php?session=%G1 HTTP/1.0\r\n\r\n", 400},
        {"GET /crewdock/files/%2 HTTP/1.0\r\n\r\n", 400},
        {"POST /crewdock/sync_session.php HTTP/1.0\r\nContent-length: 20\r\n\r\n"
         "session=1&filename0=%zz",
         400},
        {"POST /crewdock/sync_session.php HTTP/1.0\r\nContent-length: 9437184\r\n\r\n", 413},
        {"GET / HTTP/1.0\r\nX-Big: " + std::string(70 * 1024, 'x') + "\r\n\r\n", 431},
        {"PUT / HTTP/1.0\r\n\r\n", 501},
        {"GET /no/such/page HTTP/1.0\r\n\r\n", 404},
        {"GET / HTTP/3.0\r\n\r\n", 505},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request.substr(0, 60));
        const auto r = Exchange(port_, c.request);
        ASSERT_TRUE(r) << server_->Log();
        EXPECT_EQ(r->status, c.status);
    }

    // A body shorter than its Content-length, then the client goes: no answer is owed, and
    // nothing is kept.
    {
        Client c(port_);
        ASSERT_TRUE(
            c.Send("POST /crewdock/sync_session.php HTTP/1.0\r\nContent-length: 100\r\n"
                   "\r\ngame=ef2&version=2&session=77"));
        c.ShutdownSend();
        const auto answer = c.ReadToEnd();
        ASSERT_TRUE(answer);
        EXPECT_TRUE(answer->empty());
    }
    EXPECT_TRUE(
        WaitFor([&] { return Contains(server_->Log(), "before the request was complete"); }, 5s))
        << server_->Log();
    const auto page = Get(port_, "/crewdock/sync.php?session=77");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 404);

    // An oversized body actually sent still gets its 413 and a clean end.
    {
        Client c(port_);
        ASSERT_TRUE(
            c.Send("POST /crewdock/sync_session.php HTTP/1.0\r\nContent-length: 9437184"
                   "\r\n\r\n"));
        c.Send(std::string(1024 * 1024, 'x'));  // may fail once the server has shut down
        const auto answer = c.ReadToEnd();
        ASSERT_TRUE(answer);
        const auto r = ParseResponse(*answer);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 413);
    }
    ExpectAlive();
}

TEST_F(CrewdockServerTest, HundredConcurrentClients) {
    Start();
    constexpr int kClients = 100;
    struct Peer {
        std::unique_ptr<Client> client;
        std::string request;
        std::size_t sent = 0;
        std::string received;
        bool done = false;
    };
    std::vector<Peer> peers(kClients);
    // All connect first, then all requests go out interleaved, a piece at a time. The listen
    // backlog is 5, so connects are paced a little: a burst would only cost SYN retransmissions
    // (a second each), not correctness.
    for (int i = 0; i < kClients; ++i) {
        std::this_thread::sleep_for(1ms);
        peers[i].client = std::make_unique<Client>(port_);
        ASSERT_TRUE(peers[i].client->connected());
        ::fcntl(peers[i].client->fd(), F_SETFL, O_NONBLOCK);
        peers[i].request =
            InventoryRequest(port_, 1000 + i, {{"p" + std::to_string(i) + ".pk3", i}});
    }
    const auto deadline = Clock::now() + 30s;
    int remaining = kClients;
    while (remaining > 0 && Clock::now() < deadline) {
        std::vector<pollfd> fds;
        for (auto& p : peers) {
            const short events = p.done ? 0 : (p.sent < p.request.size() ? POLLOUT : POLLIN);
            fds.push_back({p.client->fd(), events, 0});
        }
        ASSERT_GE(::poll(fds.data(), fds.size(), 1000), 0);
        for (int i = 0; i < kClients; ++i) {
            Peer& p = peers[i];
            if (p.done || fds[i].revents == 0) {
                continue;
            }
            if (p.sent < p.request.size()) {
                const std::size_t piece = std::min<std::size_t>(17, p.request.size() - p.sent);
                const ssize_t n =
                    ::send(p.client->fd(), p.request.data() + p.sent, piece, MSG_NOSIGNAL);
                ASSERT_GT(n, 0);
                p.sent += static_cast<std::size_t>(n);
                continue;
            }
            char buffer[4096];
            const ssize_t n = ::recv(p.client->fd(), buffer, sizeof buffer, 0);
            if (n > 0) {
                p.received.append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EAGAIN) {
                p.done = true;
                --remaining;
            }
        }
    }
    ASSERT_EQ(remaining, 0) << server_->Log();
    for (int i = 0; i < kClients; ++i) {
        const auto r = ParseResponse(peers[i].received);
        ASSERT_TRUE(r) << i;
        EXPECT_EQ(r->status, 200) << i;
        EXPECT_TRUE(Contains(r->body, "Session " + std::to_string(1000 + i) + ": 1 package"));
    }
    // Each list sits under its own session.
    for (const int i : {0, 37, 99}) {
        const auto page = Get(port_, "/crewdock/sync.php?session=" + std::to_string(1000 + i));
        ASSERT_TRUE(page);
        EXPECT_TRUE(Contains(page->body, "<td>p" + std::to_string(i) + ".pk3</td>"));
    }
    const auto developer = Get(port_, "/crewdock/");
    ASSERT_TRUE(developer);
    EXPECT_TRUE(Contains(developer->body, "Sessions held: 100."));
}

TEST_F(CrewdockServerTest, CatalogDownloadsWholeAndNothingOutside) {
    std::string big(3 * 1024 * 1024 + 123, '\0');
    std::mt19937 random(7);
    for (char& c : big) {
        c = static_cast<char>(random());
    }
    WriteCatalogFile("big & bold.pk3", big);
    WriteCatalogFile("small.pk3", "tiny");
    std::ofstream(catalog_.path().parent_path() / (catalog_.path().filename().string() + "-secret"))
        << "secret";
    Start();

    const auto file = Get(port_, "/crewdock/files/big%20%26%20bold.pk3");
    ASSERT_TRUE(file);
    EXPECT_EQ(file->status, 200);
    EXPECT_EQ(HeaderOf(*file, "content-type"), "application/octet-stream");
    EXPECT_EQ(HeaderOf(*file, "content-length"), std::to_string(big.size()));
    EXPECT_TRUE(file->body == big);

    const std::string sibling = "..%2F" + catalog_.path().filename().string() + "-secret";
    for (const std::string& target :
         {std::string("/crewdock/files/") + sibling,
          std::string("/crewdock/files/../") + catalog_.path().filename().string() + "-secret",
          std::string("/crewdock/files/%2E%2E"), std::string("/crewdock/files/small.pk3%00.x"),
          std::string("/crewdock/files/%2Fetc%2Fpasswd"), std::string("/crewdock/files/none")}) {
        SCOPED_TRACE(target);
        const auto r = Get(port_, target);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 404);
        EXPECT_FALSE(Contains(r->body, "secret"));
    }

    // A client that asks for the big file and vanishes without reading costs nothing more.
    {
        Client c(port_);
        ASSERT_TRUE(c.Send("GET /crewdock/files/big%20%26%20bold.pk3 HTTP/1.0\r\n\r\n"));
        linger hard{1, 0};  // close with a reset
        ::setsockopt(c.fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    ExpectAlive();
    const auto small = Get(port_, "/crewdock/files/small.pk3");
    ASSERT_TRUE(small);
    EXPECT_EQ(small->body, "tiny");
}

TEST_F(CrewdockServerTest, StalledClientsDoNotBlockOthersAndAreTimedOut) {
    Start({"--idle-timeout", "1"});
    Client silent(port_);
    Client halfway(port_);
    ASSERT_TRUE(silent.connected());
    ASSERT_TRUE(halfway.connected());
    ASSERT_TRUE(halfway.Send("POST /crewdock/sync_session.php HTTP/1.0\r\nContent-len"));

    // Others are served meanwhile.
    for (int i = 0; i < 3; ++i) {
        const auto r = Get(port_, "/crewdock/sync.php?session=5");
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 404);
    }
    // The stalled ones get a 408 and are closed.
    for (Client* c : {&silent, &halfway}) {
        const auto answer = c->ReadToEnd(10s);
        ASSERT_TRUE(answer) << server_->Log();
        const auto r = ParseResponse(*answer);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 408);
    }
    EXPECT_TRUE(Contains(server_->Log(), " 408 (timed out) "));
    ExpectAlive();
}

TEST(CrewdockDevProgram, CommandLine) {
    {
        ServerProcess help({"--help"});
        EXPECT_EQ(help.WaitForExit(10s), 0);
        const std::string text = help.Log();
        EXPECT_TRUE(Contains(text, "Usage: crewdock-dev"));
        // The limits and the memory they add up to are published.
        for (const char* limit :
             {"--bind ADDRESS", "--request-timeout SECONDS", "head and body 8 MiB",
              "65537 form fields", "Worst-case resident memory"}) {
            EXPECT_TRUE(Contains(text, limit)) << limit;
        }
    }
    {
        ServerProcess version({"--version"});
        EXPECT_EQ(version.WaitForExit(10s), 0);
        EXPECT_TRUE(
            std::regex_match(version.Log(), std::regex("crewdock-dev [0-9]+(\\.[0-9]+)+\n")))
            << version.Log();
    }
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--port", "65536"},
                                                {"--port", "x"},
                                                {"--port"},
                                                {"--catalog", "/nonexistent/crewdock"},
                                                {"--idle-timeout", "0"},
                                                {"--request-timeout", "0"},
                                                {"--request-timeout=3601"},
                                                {"--bogus"},
                                                {"--bind"},
                                                {"--bind", "localhost"},
                                                {"--bind", "127.1"},
                                                {"--bind", "127.0.0.256"},
                                                {"--bind", "[127.0.0.1]"},
                                                {"--bind", "fe80::1%lo"},
                                                {"--bind=::1:"},
                                                {"--bind="}}) {
        ServerProcess p(bad);
        EXPECT_EQ(p.WaitForExit(10s), 2) << bad[0];
        EXPECT_TRUE(Contains(p.Log(), "crewdock-dev: ")) << p.Log();
        if (bad[0].rfind("--bind", 0) == 0 && bad != std::vector<std::string>{"--bind"}) {
            EXPECT_TRUE(Contains(p.Log(), "--bind needs an IPv4 or IPv6 address")) << p.Log();
        }
    }
    // A port already taken: a clear message and a failure status.
    ServerProcess first({"--port=0"});
    const uint16_t port = first.WaitForPort();
    ASSERT_NE(port, 0);
    ServerProcess second({"--port", std::to_string(port)});
    EXPECT_EQ(second.WaitForExit(10s), 1);
    EXPECT_TRUE(Contains(second.Log(), "cannot listen on 127.0.0.1:" + std::to_string(port)))
        << second.Log();
}

// Bound to ::1 alone: the synchroniser's request comes over IPv6 with its Host in brackets, the
// session page's links are relative (so they lead back to whatever address the browser used),
// and nothing answers on 127.0.0.1.
TEST_F(CrewdockServerTest, BoundToIpv6LoopbackItAnswersThereAndNotOverIpv4) {
    WriteCatalogFile("pak1.pk3", std::string(2048, 'b'));
    server_.emplace(std::vector<std::string>{"--bind", "0:0::1", "--port", "0", "--catalog",
                                             catalog_.path().string()});
    port_ = server_->WaitForPort("[::1]");
    ASSERT_NE(port_, 0) << server_->Log();
    {
        Client player(port_, 0, Family::V6);
        ASSERT_TRUE(player.connected());
        const std::string request = InventoryRequest(port_, 4711, {{"pak1.pk3", 1500}}, "::1");
        ASSERT_TRUE(Contains(request, "\r\nHost: [::1]:" + std::to_string(port_) + "\r\n"));
        ASSERT_TRUE(player.Send(request));
        player.ShutdownSend();
        const auto answer = player.ReadToEnd();
        ASSERT_TRUE(answer);
        const auto r = ParseResponse(*answer);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 200);
    }
    const auto page = GetOverIpv6(port_, "/crewdock/sync.php?session=4711&version=2");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_TRUE(Contains(page->body, "<a href=\"/crewdock/files/pak1.pk3\">")) << page->body;
    EXPECT_FALSE(Contains(page->body, "http://")) << page->body;
    const auto file = GetOverIpv6(port_, "/crewdock/files/pak1.pk3");
    ASSERT_TRUE(file);
    EXPECT_EQ(file->body, std::string(2048, 'b'));

    EXPECT_FALSE(Client(port_).connected());
    ServerProcess second({"--bind", "::1", "--port", std::to_string(port_)});
    EXPECT_EQ(second.WaitForExit(10s), 1);
    EXPECT_TRUE(Contains(second.Log(), "cannot listen on [::1]:" + std::to_string(port_)))
        << second.Log();
    // The log names the client as an address writes it.
    EXPECT_TRUE(std::regex_search(
        server_->Log(), std::regex("\\[::1\\]:[0-9]+ GET /crewdock/files/pak1.pk3 200 2048")))
        << server_->Log();
}

// This program's own path, for running a test of it again elsewhere.
fs::path ThisProgram() {
    std::error_code ec;
    return fs::read_symlink("/proc/self/exe", ec);
}

constexpr const char* kPrivateNetworkVariable = "CREWDOCK_TEST_PRIVATE_NETWORK";

// Runs the current test again, in a network namespace of its own whose only interface is
// loopback: there, listening on every address reaches no other machine. Its exit status and
// output; nothing when no such namespace can be made here.
std::optional<std::pair<int, std::string>> RunInPrivateNetwork() {
    if (std::system("unshare -rn true > /dev/null 2>&1") != 0) {
        return std::nullopt;
    }
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter =
        std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    const std::string program = ThisProgram().string();
    TempDir dir;
    const fs::path output = dir.path() / "output";
    const pid_t child = ::fork();
    if (child == 0) {
        const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        ::setenv(kPrivateNetworkVariable, "1", 1);
        ::execlp("unshare", "unshare", "-rn", "sh", "-c", "ip link set lo up && exec \"$0\" \"$1\"",
                 program.c_str(), filter.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    const bool ended = WaitFor([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 60s);
    if (!ended) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        return std::make_pair(-1, "did not end within 60 s:\n" + ReadFile(output));
    }
    return std::make_pair(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
                          ReadFile(output));
}

// Bound to "::", one listener takes both families; bound to 0.0.0.0, IPv4 alone.
TEST(CrewdockDevProgram, BoundToEveryAddressItAnswersAsTheFamilyAsks) {
    if (std::getenv(kPrivateNetworkVariable) == nullptr) {
        const auto run = RunInPrivateNetwork();
        if (!run) {
            GTEST_SKIP() << "no private network namespace here (unshare -rn), and listening on "
                            "every address would reach other machines";
        }
        EXPECT_EQ(run->first, 0) << run->second;
        EXPECT_TRUE(Contains(run->second, "[  PASSED  ] 1 test")) << run->second;
        return;
    }
    {
        ServerProcess both({"--bind", "::", "--port", "0"});
        const uint16_t port = both.WaitForPort("[::]");
        ASSERT_NE(port, 0) << both.Log();
        const auto overIpv4 = Get(port, "/");
        ASSERT_TRUE(overIpv4) << both.Log();
        EXPECT_EQ(overIpv4->status, 200);
        const auto overIpv6 = GetOverIpv6(port, "/");
        ASSERT_TRUE(overIpv6) << both.Log();
        EXPECT_EQ(overIpv6->status, 200);
        // An IPv4 client shows as itself, never as an IPv4-mapped IPv6 address.
        EXPECT_TRUE(WaitFor([&] { return Contains(both.Log(), " 127.0.0.1:"); }, 5s)) << both.Log();
        EXPECT_FALSE(Contains(both.Log(), "ffff")) << both.Log();
    }
    ServerProcess ipv4({"--bind", "0.0.0.0", "--port", "0"});
    const uint16_t port = ipv4.WaitForPort("0.0.0.0");
    ASSERT_NE(port, 0) << ipv4.Log();
    EXPECT_TRUE(Client(port).connected());
    EXPECT_FALSE(Client(port, 0, Family::V6).connected());
}

TEST_F(CrewdockServerTest, SurvivesGarbageAndAbruptEnds) {
    Start();
    std::mt19937 random(99);
    const std::vector<std::string> starts = {
        "", "GET ", "POST /crewdock/sync_session.php HTTP/1.0\r\nContent-length: 50\r\n\r\n",
        "GET /crewdock/files/", "GET /crewdock/sync.php?session="};
    for (int i = 0; i < 40; ++i) {
        std::string bytes = starts[i % starts.size()];
        const std::size_t n = random() % 3000;
        for (std::size_t k = 0; k < n; ++k) {
            bytes += static_cast<char>(random());
        }
        std::this_thread::sleep_for(2ms);  // within the listen backlog, as above
        Client c(port_);
        ASSERT_TRUE(c.connected());
        c.Send(bytes);
        if (i % 2 == 0) {
            linger hard{1, 0};  // every other one ends with a reset instead of a close
            ::setsockopt(c.fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        }
    }
    ExpectAlive();
    EXPECT_EQ(Get(port_, "/crewdock/sync.php?session=1")->status, 404);
}

TEST_F(CrewdockServerTest, AnHttp11ClientThatExpectsContinueGetsIt) {
    Start();
    const std::string body = "game=ef2&version=2&session=31&filename0=a.pk3&filesize0=1";
    Client c(port_);
    ASSERT_TRUE(
        c.Send("POST /crewdock/sync_session.php HTTP/1.1\r\nHost: 127.0.0.1\r\n"
               "Content-Type: application/x-www-form-urlencoded\r\n"
               "Expect: 100-Continue\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\n\r\n"));
    EXPECT_EQ(c.ReadUntil("\r\n\r\n", 5s), "HTTP/1.1 100 Continue\r\n\r\n");
    ASSERT_TRUE(c.Send(body));
    const auto answer = c.ReadToEnd();
    ASSERT_TRUE(answer);
    const auto r = ParseResponse(*answer);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
}

// A FIFO or a device in the catalog, or a link to one, is no package: 404 at once, and nobody
// waits (opening a FIFO waits for a writer, and the server has one thread).
TEST_F(CrewdockServerTest, SpecialFilesInTheCatalogAre404AndHoldNobodyUp) {
    WriteCatalogFile("real.pk3", "real");
    ASSERT_EQ(::mkfifo((catalog_.path() / "pipe.pk3").c_str(), 0644), 0);
    fs::create_symlink(catalog_.path() / "pipe.pk3", catalog_.path() / "link.pk3");
    fs::create_symlink("/dev/zero", catalog_.path() / "zero.pk3");
    fs::create_directory(catalog_.path() / "folder.pk3");
    Start();
    for (const char* name : {"pipe.pk3", "link.pk3", "zero.pk3", "folder.pk3"}) {
        SCOPED_TRACE(name);
        Client c(port_);
        ASSERT_TRUE(c.Send("GET /crewdock/files/" + std::string(name) + " HTTP/1.0\r\n\r\n"));
        const auto answer = c.ReadToEnd(5s);
        ASSERT_TRUE(answer) << server_->Log();
        const auto r = ParseResponse(*answer);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 404);
    }
    ExpectAlive();
    // The session page offers the regular file only.
    ASSERT_EQ(Exchange(port_, InventoryRequest(port_, 9, {}))->status, 200);
    const auto page = Get(port_, "/crewdock/sync.php?session=9");
    ASSERT_TRUE(page);
    EXPECT_TRUE(Contains(page->body, "files/real.pk3"));
    for (const char* name : {"pipe.pk3", "link.pk3", "zero.pk3", "folder.pk3"}) {
        EXPECT_FALSE(Contains(page->body, name)) << name;
    }
}

namespace {

// Requests whose log lines are long, so that a few hundred fill a pipe.
std::string PaddedTarget(int i) {
    return "/crewdock/sync.php?session=1&n=" + std::to_string(i) + "&pad=" + std::string(200, 'p');
}

const std::regex kStampedLine(
    "^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z .*");

}  // namespace

// Standard output a pipe that nobody reads: the server goes on serving, drops whole lines
// beyond its bounded queue, and says how many once the output is read again.
TEST(CrewdockDevProgram, ALogNobodyReadsNeverHoldsUpServing) {
    ServerProcess server({"--port", "0"}, ServerProcess::Output::Pipe);
    const uint16_t port = server.WaitForPort();
    ASSERT_NE(port, 0) << server.Log();
    constexpr int kRequests = 3000;
    for (int i = 0; i < kRequests; ++i) {
        const auto r = Get(port, PaddedTarget(i));
        ASSERT_TRUE(r) << "request " << i << " got no answer";
        ASSERT_EQ(r->status, 404);
    }
    // Read the output again: what waited comes, then the count of what did not fit.
    const std::regex notice(".* crewdock-dev: ([0-9]+) log lines dropped: .*");
    std::smatch dropped;
    std::string lastLine;
    ASSERT_TRUE(WaitFor(
        [&] {
            server.ReadPipe();
            std::istringstream lines(server.Log());
            std::string line;
            while (std::getline(lines, line)) {
                if (std::regex_match(line, notice)) {
                    lastLine = line;
                    return true;
                }
            }
            return false;
        },
        10s))
        << server.Log().substr(0, 500);
    ASSERT_TRUE(std::regex_match(lastLine, dropped, notice));
    const long droppedCount = std::stol(dropped[1]);
    EXPECT_GT(droppedCount, 0);
    // Every request either has its line, whole, or is counted as dropped.
    std::istringstream lines(server.Log());
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line.rfind("crewdock-dev listening on http://127.0.0.1:", 0), 0u);
    long requestLines = 0;
    while (std::getline(lines, line)) {
        EXPECT_TRUE(std::regex_match(line, kStampedLine)) << line;
        if (Contains(line, " GET /crewdock/sync.php?session=1&n=")) {
            EXPECT_TRUE(Contains(line, std::string(200, 'p') + " 404 ")) << line;
            ++requestLines;
        }
    }
    EXPECT_EQ(requestLines + droppedCount, kRequests);
    // And the log goes on.
    ASSERT_TRUE(Get(port, "/after"));
    EXPECT_TRUE(WaitFor(
        [&] {
            server.ReadPipe();
            return Contains(server.Log(), " GET /after 404 ");
        },
        5s));
}

// SIGTERM and SIGINT stop the server within a bound whatever it is doing: its log output full,
// a FIFO asked for, a download nobody reads, a request half sent, connections idle.
TEST(CrewdockDevProgram, StopsPromptlyOnSigtermAndSigintWhateverItIsDoing) {
    TempDir catalog;
    ASSERT_EQ(::mkfifo((catalog.path() / "pipe.pk3").c_str(), 0644), 0);
    std::ofstream(catalog.path() / "big.pk3", std::ios::binary) << std::string(8 << 20, 'b');
    for (const int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        ServerProcess server({"--port", "0", "--catalog", catalog.path().string()},
                             ServerProcess::Output::Pipe);
        const uint16_t port = server.WaitForPort();
        ASSERT_NE(port, 0) << server.Log();
        for (int i = 0; i < 1500; ++i) {
            ASSERT_TRUE(Get(port, PaddedTarget(i))) << "request " << i << " got no answer";
        }
        Client fifo(port);
        ASSERT_TRUE(fifo.Send("GET /crewdock/files/pipe.pk3 HTTP/1.0\r\n\r\n"));
        Client download(port, 4096);
        ASSERT_TRUE(download.Send("GET /crewdock/files/big.pk3 HTTP/1.0\r\n\r\n"));
        Client halfway(port);
        ASSERT_TRUE(halfway.Send("POST /crewdock/sync_session.php HTTP/1.0\r\nContent-Le"));
        Client idle(port);
        ASSERT_TRUE(fifo.ReadUntil("\r\n", 5s));  // the FIFO request was taken and answered
        server.Signal(sig);
        EXPECT_EQ(server.WaitForExit(5s), 0);
    }
}

// Clients that send a request a byte at a time take no slot from complete requests: an
// ordinary request is answered all through the trickle, and each trickler is answered too,
// within the whole-request deadline however steadily it sends.
TEST_F(CrewdockServerTest, SlowClientsNeverStarveCompleteRequests) {
    Start({"--max-connections", "8", "--request-timeout", "2"});
    constexpr int kSlow = 12;  // more than the slots for arriving requests
    const std::string trickle = "GET / HTTP/1.0\r\nX-Slow: " + std::string(100, 's');
    std::vector<std::unique_ptr<Client>> slow;
    for (int i = 0; i < kSlow; ++i) {
        std::this_thread::sleep_for(2ms);  // within the listen backlog
        slow.push_back(std::make_unique<Client>(port_));
        ASSERT_TRUE(slow.back()->connected());
        slow.back()->Send(trickle.substr(0, 1));
    }
    std::vector<std::string> answers(kSlow);
    const auto started = Clock::now();
    for (std::size_t round = 1; round <= 12; ++round) {  // about 3.6 s: past the deadline
        for (int i = 0; i < kSlow; ++i) {
            if (answers[i].empty()) {
                slow[i]->Send(trickle.substr(round, 1));  // may fail once answered and closed
                pollfd p{slow[i]->fd(), POLLIN, 0};
                if (::poll(&p, 1, 0) > 0) {
                    answers[i] = slow[i]->ReadUntil("\r\n", 1s).value_or("closed");
                }
            }
        }
        const auto home = Get(port_, "/");
        ASSERT_TRUE(home) << "round " << round;
        EXPECT_EQ(home->status, 200) << "round " << round;
        std::this_thread::sleep_for(300ms);
    }
    for (int i = 0; i < kSlow; ++i) {
        if (answers[i].empty()) {
            answers[i] = slow[i]->ReadUntil("\r\n", 5s).value_or("nothing");
        }
        EXPECT_TRUE(answers[i] == "HTTP/1.0 408 Request Timeout\r\n" ||
                    answers[i] == "HTTP/1.0 503 Service Unavailable\r\n")
            << i << ": " << answers[i];
    }
    EXPECT_LT(Clock::now() - started, 15s);
    const std::string log = server_->Log();
    EXPECT_TRUE(Contains(log, " 408 (timed out) ")) << log;
    EXPECT_TRUE(Contains(log, " 503 (evicted: too many requests arriving) ")) << log;
}

// The slots limit requests being answered: requests still arriving hold none (when those are
// too many, the one arriving longest makes room), clients that take nothing of a large answer
// hold theirs until the idle time-out, and meanwhile others get 503 at once, not a queue.
TEST_F(CrewdockServerTest, RequestsBeyondTheLimitAreRefusedNotQueued) {
    WriteCatalogFile("big.pk3", std::string(16 << 20, 'b'));
    Start({"--max-connections", "2", "--idle-timeout", "2"});
    {
        Client first(port_);
        Client second(port_);
        ASSERT_TRUE(first.Send("GET / HTTP/1.0\r\n"));  // both held open, mid-request
        ASSERT_TRUE(second.Send("GET / HTTP/1.0\r\n"));
        ExpectAlive();
        const auto evicted = first.ReadToEnd();
        ASSERT_TRUE(evicted);
        EXPECT_EQ(ParseResponse(*evicted)->status, 503);
        ASSERT_TRUE(second.Send("\r\n"));
        const auto answer = second.ReadToEnd();
        ASSERT_TRUE(answer);
        EXPECT_EQ(ParseResponse(*answer)->status, 200);
    }
    Client first(port_, 4096);
    Client second(port_, 4096);
    ASSERT_TRUE(first.Send("GET /crewdock/files/big.pk3 HTTP/1.0\r\n\r\n"));
    ASSERT_TRUE(second.Send("GET /crewdock/files/big.pk3 HTTP/1.0\r\n\r\n"));
    ASSERT_TRUE(first.ReadUntil("\r\n", 5s));
    ASSERT_TRUE(second.ReadUntil("\r\n", 5s));
    const auto refused = Get(port_, "/");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 503);
    EXPECT_TRUE(Contains(refused->body, "Too many requests are being answered"));
    // The two that take nothing are dropped after the idle time-out; then all is served.
    EXPECT_TRUE(WaitFor([&] { return Get(port_, "/")->status == 200; }, 10s)) << server_->Log();
    EXPECT_TRUE(Contains(server_->Log(), "dropped: the client took nothing for too long"));
}

namespace {

// A posting of `bytes` (at most) whose names are nothing but apostrophes: every one becomes
// "&#39;" on the session page, five bytes for one.
std::string ApostropheBody(int session, std::size_t bytes, std::size_t* apostrophes) {
    const std::string name(3000, '\'');
    std::string body = "game=ef2&version=2&session=" + std::to_string(session);
    *apostrophes = 0;
    for (int i = 0;; ++i) {
        const std::string entry =
            "&filename" + std::to_string(i) + "=" + name + "&filesize" + std::to_string(i) + "=1";
        if (body.size() + entry.size() > bytes) {
            return body;
        }
        body += entry;
        *apostrophes += name.size();
    }
}

std::string PostRequest(const std::string& body) {
    return "POST /crewdock/sync_session.php HTTP/1.0\r\n"
           "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The worst-case resident memory --help publishes for these options, in MiB.
long PublishedBoundMiB(std::vector<std::string> options) {
    options.push_back("--help");
    ServerProcess help(options);
    if (help.WaitForExit(10s) != 0) {
        return -1;
    }
    std::smatch m;
    const std::string text = help.Log();
    if (!std::regex_search(text, m,
                           std::regex("Worst-case resident memory with these settings: "
                                      "([0-9]+) MiB"))) {
        return -1;
    }
    return std::stol(m[1]);
}

}  // namespace

// An 8 MiB posting whose page is five times larger, asked for by clients that read nothing, and
// 8 MiB bodies left unfinished: the server's memory stays within what it publishes, every
// reader gets the whole page, and clients that read nothing are dropped.
TEST_F(CrewdockServerTest, MemoryStaysBoundedUnderAmplificationAndUnfinishedBodies) {
    const std::vector<std::string> options = {"--max-connections", "32", "--idle-timeout", "2"};
    Start(options);
    std::size_t apostrophes = 0;
    const std::string body = ApostropheBody(77, (8 << 20) - 256, &apostrophes);
    const auto posted = Exchange(port_, PostRequest(body));
    ASSERT_TRUE(posted);
    ASSERT_EQ(posted->status, 200);

    constexpr int kSilent = 20;
    std::vector<std::unique_ptr<Client>> silent;
    for (int i = 0; i < kSilent; ++i) {
        std::this_thread::sleep_for(2ms);
        silent.push_back(std::make_unique<Client>(port_, 4096));
        ASSERT_TRUE(silent.back()->Send("GET /crewdock/sync.php?session=77 HTTP/1.0\r\n\r\n"));
    }
    // One reader meanwhile gets the page whole, of the length announced (42 MB, rendered in
    // pieces: a loaded machine under the sanitizers needs more than the usual 10 s).
    const auto page = Get(port_, "/crewdock/sync.php?session=77", 60s);
    ASSERT_TRUE(page);
    ASSERT_EQ(page->status, 200);
    EXPECT_EQ(HeaderOf(*page, "content-length"), std::to_string(page->body.size()));
    EXPECT_GT(page->body.size(), 5 * apostrophes);
    std::size_t escaped = 0;
    for (std::size_t at = page->body.find("&#39;"); at != std::string::npos;
         at = page->body.find("&#39;", at + 5)) {
        ++escaped;
    }
    EXPECT_EQ(escaped, apostrophes);
    EXPECT_TRUE(
        page->body.ends_with("</table>\n<h2>Packages to download</h2>\n"
                             "<p>You have every package of the catalog: nothing to "
                             "download.</p>\n</body></html>\n"));

    // Bodies announced at 8 MB and left unfinished: eight fit the shared budget, the rest get
    // 503 at once.
    constexpr int kUnfinished = 12;
    std::vector<std::unique_ptr<Client>> unfinished;
    for (int i = 0; i < kUnfinished; ++i) {
        unfinished.push_back(std::make_unique<Client>(port_));
        auto& c = *unfinished.back();
        ASSERT_TRUE(
            c.Send("POST /crewdock/sync_session.php HTTP/1.0\r\nContent-Length: 8000000"
                   "\r\n\r\n"));
        c.Send(std::string(7000000, 'x'));
    }
    std::vector<bool> answered(kUnfinished, false);
    int refused = 0;
    const auto deadline = Clock::now() + 10s;
    while (refused < kUnfinished - 8 && Clock::now() < deadline) {
        for (int i = 0; i < kUnfinished; ++i) {
            pollfd p{unfinished[i]->fd(), POLLIN, 0};
            if (!answered[i] && ::poll(&p, 1, 10) > 0) {
                answered[i] = true;
                refused +=
                    unfinished[i]->ReadUntil("\r\n", 1s) == "HTTP/1.0 503 Service Unavailable\r\n";
            }
        }
    }
    EXPECT_EQ(refused, kUnfinished - 8) << server_->Log();
    ExpectAlive();

    // Those that took nothing are dropped: each sees its answer end short of its length.
    const auto drops = [&] {
        const std::string log = server_->Log();
        int n = 0;
        for (auto at = log.find("dropped: the client took nothing"); at != std::string::npos;
             at = log.find("dropped: the client took nothing", at + 1)) {
            ++n;
        }
        return n;
    };
    EXPECT_TRUE(WaitFor([&] { return drops() == kSilent; }, 10s)) << drops();
    for (auto& c : silent) {
        const auto got = c->ReadToEnd(15s);
        ASSERT_TRUE(got);
        const auto r = ParseResponse(*got);
        ASSERT_TRUE(r);
        EXPECT_LT(r->body.size(), page->body.size());
    }

    if (kMemoryIsMeasurable) {
        const long peak = server_->PeakResidentMiB();
        // Built whole, each silent client held its own 40 MB page.
        EXPECT_LT(peak, 160) << "peak " << peak << " MiB";
        EXPECT_LE(peak, PublishedBoundMiB(options));
    }
}

// Four million empty fields are refused after the first 65 537, in linear time and memory; the
// largest list the synchroniser sends still fits.
TEST_F(CrewdockServerTest, AFormOfCountlessFieldsIsRefusedCheaply) {
    Start();
    const long before = server_->PeakResidentMiB();
    std::string body = "session=5&";
    while (body.size() + 2 <= (8 << 20) - 256) {
        body += "a&";
    }
    const auto many = Exchange(port_, PostRequest(body));
    ASSERT_TRUE(many);
    EXPECT_EQ(many->status, 400);
    EXPECT_TRUE(Contains(many->body, "more than 65537 fields")) << many->body;
    if (kMemoryIsMeasurable) {
        EXPECT_LT(server_->PeakResidentMiB() - before, 48);  // 273 MiB when every field was kept
    }

    std::string largest = "game=ef2&version=2&session=6";
    for (int i = 0; i < 32767; ++i) {
        largest += "&filename" + std::to_string(i) + "=p" + std::to_string(i) + "&filesize" +
                   std::to_string(i) + "=1";
    }
    const auto taken = Exchange(port_, PostRequest(largest));
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->status, 200);
    EXPECT_TRUE(Contains(taken->body, "32767 packages received"));
}

// A client that closes its sending side after the request (HTTP/1.0 allows it) still gets the
// whole download.
TEST_F(CrewdockServerTest, AHalfClosedClientGetsTheWholeDownload) {
    std::string big(20 * 1000 * 1000, '\0');
    std::mt19937 random(11);
    for (char& c : big) {
        c = static_cast<char>(random());
    }
    WriteCatalogFile("big.pk3", big);
    Start();
    Client c(port_);
    ASSERT_TRUE(c.Send("GET /crewdock/files/big.pk3 HTTP/1.0\r\n\r\n"));
    c.ShutdownSend();
    const auto answer = c.ReadToEnd(30s);
    ASSERT_TRUE(answer);
    const auto r = ParseResponse(*answer);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(HeaderOf(*r, "content-length"), std::to_string(big.size()));
    EXPECT_EQ(r->body.size(), big.size()) << server_->Log();
    EXPECT_TRUE(r->body == big);
}

namespace {

// The connection has ended with a reset (or both ways): more than the end of the answer.
bool EndedHard(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR)) != 0;
}

}  // namespace

// Clients that take their answer, never close and send a byte now and then: once answered
// they wait for their close, then the socket service finishes it for the server. None of them
// crowds out a newcomer (the oldest finishing close goes first), and none outlives its life.
TEST_F(CrewdockServerTest, DripClientsNeverCrowdOutNewcomersAndTheirClosesEnd) {
    Start({"--max-connections", "3", "--idle-timeout", "1", "--close-lifetime", "2"});
    std::vector<std::unique_ptr<Client>> drips;
    for (int i = 0; i < 12; ++i) {
        drips.push_back(std::make_unique<Client>(port_));
        ASSERT_TRUE(drips.back()->Send("GET / HTTP/1.0\r\n\r\n"));
        ASSERT_TRUE(drips.back()->ReadUntil("</html>", 5s)) << i;
    }
    const auto start = Clock::now();
    std::vector<std::optional<Clock::time_point>> ended(drips.size());
    while (Clock::now() - start < 6s) {
        for (std::size_t i = 0; i < drips.size(); ++i) {
            if (!ended[i] && EndedHard(drips[i]->fd())) {
                ended[i] = Clock::now();
            }
            if (!ended[i]) {
                ::send(drips[i]->fd(), "x", 1, MSG_NOSIGNAL);
            }
        }
        const auto asked = Clock::now();
        const auto home = Get(port_, "/", 5s);
        ASSERT_TRUE(home) << server_->Log();
        EXPECT_EQ(home->status, 200);
        EXPECT_LT(Clock::now() - asked, 1s);
        std::this_thread::sleep_for(200ms);
    }
    // Answered, waited 1 s for the client, then at most 2 s in the service's hands.
    for (std::size_t i = 0; i < drips.size(); ++i) {
        EXPECT_TRUE(ended[i]) << "drip client " << i << " is still connected";
    }
}

namespace {

// Reads at about `bytesPerSecond` until the server ends the connection; true for an orderly
// end, false for a reset or the deadline.
bool ReadSlowly(int fd, std::size_t bytesPerSecond, std::string& out,
                std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    std::vector<char> buffer(std::max<std::size_t>(bytesPerSecond / 10, 1));
    while (Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) {
            continue;
        }
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) {
            return n == 0;
        }
        out.append(buffer.data(), static_cast<std::size_t>(n));
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

}  // namespace

// A download the kernel has taken whole is still on its way while its client reads: idle
// newcomers far beyond the descriptor budget make room elsewhere, and a newcomer is answered.
TEST_F(CrewdockServerTest, ASlowDownloadIsNeverCutToMakeRoom) {
    std::string file(2 << 20, '\0');
    std::mt19937 random(5);
    for (char& c : file) {
        c = static_cast<char>(random());
    }
    WriteCatalogFile("slow.pk3", file);
    Start({"--max-connections", "3"});
    Client reader(port_);
    ASSERT_TRUE(reader.Send("GET /crewdock/files/slow.pk3 HTTP/1.0\r\n\r\n"));
    std::string got;
    bool orderly = false;
    std::thread reading([&] { orderly = ReadSlowly(reader.fd(), 512 << 10, got, 30s); });
    std::this_thread::sleep_for(500ms);  // the server has handed the file to the kernel
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < 20; ++i) {
        idle.push_back(std::make_unique<Client>(port_));
        std::this_thread::sleep_for(20ms);
    }
    const auto asked = Clock::now();
    const auto home = Get(port_, "/", 5s);
    EXPECT_LT(Clock::now() - asked, 1s);
    reading.join();
    ASSERT_TRUE(home) << server_->Log();
    EXPECT_EQ(home->status, 200);
    EXPECT_TRUE(orderly) << got.size() << " bytes, then a reset\n" << server_->Log();
    const auto r = ParseResponse(got);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body.size(), file.size());
    EXPECT_TRUE(r->body == file);
}

// The body budget is charged as body bytes arrive. Heads announcing 8 MB that send nothing
// more hold none of it, so real postings go through beside them; bodies that stall make room
// for one that moves, the one quiet longest first.
TEST_F(CrewdockServerTest, AnnouncedBodiesHoldNothingAndStalledBodiesMakeRoom) {
    Start();
    const std::string squat =
        "POST /crewdock/sync_session.php HTTP/1.0\r\nContent-Length: 8388608\r\n\r\n";
    std::vector<std::unique_ptr<Client>> squatters;
    for (int i = 0; i < 8; ++i) {
        squatters.push_back(std::make_unique<Client>(port_));
        ASSERT_TRUE(squatters.back()->Send(squat));
    }
    for (const int packages : {400, 3000}) {
        std::vector<packwarden::PackageEntry> files;
        for (int i = 0; i < packages; ++i) {
            files.push_back({"pak" + std::to_string(i) + ".pk3", 1000 + i});
        }
        const auto posted = Exchange(port_, InventoryRequest(port_, 100 + packages, files));
        ASSERT_TRUE(posted) << server_->Log();
        EXPECT_EQ(posted->status, 200) << packages << " packages\n" << server_->Log();
    }
    squatters.clear();

    // Eight bodies of 7 MB out of 8 take the whole budget (each holds the 8 MB it announced
    // once past half of it), then stall.
    std::vector<std::unique_ptr<Client>> stalled;
    for (int i = 0; i < 8; ++i) {
        stalled.push_back(std::make_unique<Client>(port_));
        ASSERT_TRUE(stalled.back()->Send(
            "POST /crewdock/sync_session.php HTTP/1.0\r\nContent-Length: 8000000\r\n\r\n" +
            std::string(7000000, 'x')));
    }
    std::this_thread::sleep_for(1500ms);
    const auto moving = Exchange(port_, PostRequest(std::string(8000000 - 256, 'y')), 20s);
    ASSERT_TRUE(moving) << server_->Log();
    EXPECT_NE(moving->status, 503) << server_->Log();
    pollfd p{stalled[0]->fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 2000), 1);
    EXPECT_EQ(stalled[0]->ReadUntil("\r\n", 1s), "HTTP/1.0 503 Service Unavailable\r\n");
    EXPECT_TRUE(Contains(server_->Log(), "evicted: its body stalled"));
    ExpectAlive();
}

// A client reading steadily but slowly behind a kernel buffer of megabytes: the socket becomes
// writable seldom (tens of seconds apart at 10 to 40 KiB/s), but what the client acknowledges is
// progress, so it is served to the end, however short the idle time-out.
TEST_F(CrewdockServerTest, ASlowSteadyReaderIsServedToTheEnd) {
    std::string file(8 << 20, '\0');  // more than the kernel's buffer takes
    std::mt19937 random(9);
    for (char& c : file) {
        c = static_cast<char>(random());
    }
    WriteCatalogFile("steady.pk3", file);
    // The client's window opens in steps of two segments (128 KiB on loopback), so at 40 KiB/s
    // it acknowledges about every 3.2 s: the time-out is set above that, not below.
    Start({"--idle-timeout", "5"});
    Client reader(port_);
    ASSERT_TRUE(reader.Send("GET /crewdock/files/steady.pk3 HTTP/1.0\r\n\r\n"));
    std::string got;
    // 40 KiB/s for 12 s: two idle time-outs, and more between writable moments.
    ReadSlowly(reader.fd(), 40 << 10, got, 12s);
    EXPECT_FALSE(EndedHard(reader.fd())) << got.size() << " bytes\n" << server_->Log();
    const auto rest = reader.ReadToEnd(20s);
    ASSERT_TRUE(rest) << server_->Log();
    got += *rest;
    const auto r = ParseResponse(got);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body.size(), file.size()) << server_->Log();
    EXPECT_TRUE(r->body == file);
}

// Certificates made for the HTTPS tests, once: an authority, a chain for localhost and
// 127.0.0.1 signed by it, and a key that is not the chain's.
struct Pki {
    TempDir dir;
    bool made = std::system(("sh '" PACKWARDEN_TLS_PKI_SCRIPT "' '" + dir.path().string() + "' >'" +
                             dir.path().string() + "/make.log' 2>&1")
                                .c_str()) == 0;
    std::string File(const char* name) const { return (dir.path() / name).string(); }
};

const Pki& Certificates() {
    static const Pki pki;
    return pki;
}

// curl, bounded, trusting only the test authority; its output (status line and body) and
// exit code.
struct CurlResult {
    int code = -1;
    std::string out;
};

CurlResult Curl(const std::vector<std::string>& args) {
    std::string command = "curl -sS --max-time 10 --cacert '" + Certificates().File("ca.pem") + "'";
    for (const auto& a : args) {
        command += " '" + a + "'";
    }
    command += " 2>&1";
    CurlResult result;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        result.out.append(buffer, n);
    }
    const int status = ::pclose(pipe);
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

class CrewdockHttpsTest : public CrewdockServerTest {
  protected:
    void SetUp() override {
        ASSERT_TRUE(Certificates().made) << "no certificates: see make.log";
        if (std::system("command -v curl >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "no curl here";
        }
    }
    void StartTls() {
        server_.emplace(std::vector<std::string>{
            "--port", "0", "--catalog", catalog_.path().string(), "--tls-cert",
            Certificates().File("chain.pem"), "--tls-key", Certificates().File("server.key")});
        port_ = server_->WaitForPort("127.0.0.1", "https");
        ASSERT_NE(port_, 0) << server_->Log();
    }
    std::string Url(const std::string& path) const {
        return "https://localhost:" + std::to_string(port_) + path;
    }
};

// Served over HTTPS: a posted list appears on its session page, whose links stay relative; a
// plaintext client, one that says nothing and one that sends garbage cost only themselves and
// are logged; the listener answers the next client as before.
TEST_F(CrewdockHttpsTest, AnswersOverHttpsAndRefusesPlaintextCostingOnlyThatClient) {
    WriteCatalogFile("pak1.pk3", std::string(2048, 'b'));
    StartTls();

    const CurlResult posted =
        Curl({"-o", "/dev/null", "-w", "%{http_code}", "-H",
              "Content-type: application/x-www-form-urlencoded", "--data-binary",
              "game=ef2&version=2&session=77&filename0=pak1.pk3&filesize0=10",
              Url("/crewdock/sync_session.php")});
    EXPECT_EQ(posted.code, 0) << posted.out;
    EXPECT_EQ(posted.out, "200");
    const CurlResult page = Curl({Url("/crewdock/sync.php?session=77&version=2")});
    EXPECT_EQ(page.code, 0) << page.out;
    EXPECT_TRUE(Contains(page.out, "<a href=\"/crewdock/files/pak1.pk3\">")) << page.out;
    EXPECT_TRUE(Contains(page.out, "you have 10 bytes")) << page.out;
    const CurlResult file = Curl({Url("/crewdock/files/pak1.pk3")});
    EXPECT_EQ(file.out, std::string(2048, 'b'));

    // A plaintext request gets no plaintext answer: the connection ends, and it is logged.
    {
        Client plain(port_);
        ASSERT_TRUE(plain.connected());
        ASSERT_TRUE(plain.Send("GET / HTTP/1.0\r\nHost: localhost\r\n\r\n"));
        const auto answer = plain.ReadToEnd();
        ASSERT_TRUE(answer);
        EXPECT_FALSE(Contains(*answer, "HTTP/1.")) << *answer;
    }
    // One that connects and hangs up, and one that sends garbage after a record header.
    { Client silent(port_); }
    {
        Client garbage(port_);
        ASSERT_TRUE(garbage.Send(std::string("\x16\x03\x01\x00\x05", 5) + "xxxxx"));
        EXPECT_TRUE(garbage.ReadToEnd());
    }
    EXPECT_TRUE(WaitFor([&] { return Contains(server_->Log(), " handshake failed: TLS"); }, 5s))
        << server_->Log();

    // The listener goes on: a client that trusts the certificate is answered.
    const CurlResult home = Curl({"-o", "/dev/null", "-w", "%{http_code}", Url("/")});
    EXPECT_EQ(home.out, "200") << server_->Log();
    // A client that does not trust it is refused by its own side, the server unharmed.
    const CurlResult distrust = Curl({"--cacert", Certificates().File("rogue.pem"), Url("/")});
    EXPECT_NE(distrust.code, 0);
    EXPECT_EQ(Curl({"-o", "/dev/null", "-w", "%{http_code}", Url("/")}).out, "200");
    EXPECT_EQ(server_->HasExited(), false);
}

// Both files or neither; a file that cannot be used is named, and the program ends with 2
// before listening.
TEST(CrewdockDevProgram, TlsOptionsAreCheckedBeforeListening) {
    ASSERT_TRUE(Certificates().made);
    const std::string chain = Certificates().File("chain.pem");
    const std::string key = Certificates().File("server.key");
    const std::string missing = Certificates().File("missing.pem");
    const std::string otherKey = Certificates().File("other.key");
    const struct {
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {{"--tls-cert", chain}, "--tls-cert needs --tls-key"},
        {{"--tls-key", key}, "--tls-key needs --tls-cert"},
        {{"--tls-cert"}, "--tls-cert needs a file"},
        {{"--tls-key="}, "--tls-key needs a file"},
        {{"--tls-cert", missing, "--tls-key", key}, "missing.pem"},
        {{"--tls-cert", chain, "--tls-key", missing}, "missing.pem"},
        {{"--tls-cert", key, "--tls-key", key}, "server.key"},
        {{"--tls-cert", chain, "--tls-key", otherKey}, "other.key"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"--port", "0"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ServerProcess p(args);
        EXPECT_EQ(p.WaitForExit(10s), 2) << c.says << "\n" << p.Log();
        EXPECT_TRUE(Contains(p.Log(), "crewdock-dev: ")) << p.Log();
        EXPECT_TRUE(Contains(p.Log(), c.says)) << p.Log();
        EXPECT_NE(p.Log().rfind("crewdock-dev listening on", 0), 0u) << p.Log();
    }
    ServerProcess help({"--help"});
    EXPECT_EQ(help.WaitForExit(10s), 0);
    EXPECT_TRUE(Contains(help.Log(), "--tls-cert FILE")) << help.Log();
}
