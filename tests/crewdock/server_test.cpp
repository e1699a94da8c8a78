// The built crewdock-dev program, run as a child process on a free loopback port and spoken to
// over real sockets: what a player's synchroniser, a browser and misbehaving clients do.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "crewdock-server-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

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

// The program as a child process; killed and reaped on every path out of the test.
class ServerProcess {
  public:
    explicit ServerProcess(std::vector<std::string> args) {
        log_ = dir_.path() / "crewdock.log";
        args.insert(args.begin(), CREWDOCK_DEV_BIN);
        pid_ = ::fork();
        if (pid_ == 0) {
            const int fd = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
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
    }
    ~ServerProcess() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // The port from the first line, or 0 when the program did not come up within 10 s.
    uint16_t WaitForPort() {
        const std::string prefix = "crewdock-dev listening on http://127.0.0.1:";
        uint16_t port = 0;
        WaitFor(
            [&] {
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

    std::string Log() const { return ReadFile(log_); }

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

  private:
    TempDir dir_;
    fs::path log_;
    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = 0;
};

// One client socket, blocking calls bounded by poll.
class Client {
  public:
    explicit Client(uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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

std::optional<Response> Exchange(uint16_t port, const std::string& request) {
    Client c(port);
    if (!c.connected() || !c.Send(request)) {
        return std::nullopt;
    }
    const auto raw = c.ReadToEnd();
    return raw ? ParseResponse(*raw) : std::nullopt;
}

std::optional<Response> Get(uint16_t port, const std::string& target) {
    return Exchange(port, "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
}

// The form coding the synchroniser applies to names: space as '+', "-._*" and alphanumerics
// as they are, every other byte as %XX.
std::string FormEncode(std::string_view s) {
    std::string out;
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == ' ') {
            out += '+';
        } else if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '*') {
            out += ch;
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

// The inventory request byte for byte as the synchroniser writes it: the four header lines,
// the length line, a blank line, the body and a CR LF that the length does not count.
std::string InventoryRequest(uint16_t port, int session,
                             const std::vector<std::pair<std::string, long long>>& files) {
    std::string body = "game=ef2&version=2&session=" + std::to_string(session);
    for (std::size_t i = 0; i < files.size(); ++i) {
        body += "&filename" + std::to_string(i) + "=" + FormEncode(files[i].first) + "&filesize" +
                std::to_string(i) + "=" + std::to_string(files[i].second);
    }
    return "POST /crewdock/sync_session.php HTTP/1.0\r\n"
           "Host: 127.0.0.1:" +
           std::to_string(port) +
           "\r\n"
           "User-Agent: Packwarden\r\n"
           "Content-type: application/x-www-form-urlencoded\r\n"
           "Content-length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body + "\r\n";
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

TEST(CrewdockDevProgram, StopsCleanlyOnSigtermAndSigint) {
    for (const int sig : {SIGTERM, SIGINT}) {
        ServerProcess server({"--port", "0"});
        const uint16_t port = server.WaitForPort();
        ASSERT_NE(port, 0) << server.Log();
        Client idle(port);  // an open connection does not hold the stop up
        ASSERT_TRUE(idle.connected());
        server.Signal(sig);
        EXPECT_EQ(server.WaitForExit(10s), 0) << server.Log();
        EXPECT_TRUE(Contains(server.Log(), "crewdock-dev stopped"));
    }
}

TEST(CrewdockDevProgram, CommandLine) {
    {
        ServerProcess help({"--help"});
        EXPECT_EQ(help.WaitForExit(10s), 0);
        EXPECT_TRUE(Contains(help.Log(), "Usage: crewdock-dev"));
    }
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--port", "65536"},
                                                {"--port", "x"},
                                                {"--port"},
                                                {"--catalog", "/nonexistent/crewdock"},
                                                {"--idle-timeout", "0"},
                                                {"--bogus"}}) {
        ServerProcess p(bad);
        EXPECT_EQ(p.WaitForExit(10s), 2) << bad[0];
        EXPECT_TRUE(Contains(p.Log(), "crewdock-dev: ")) << p.Log();
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

TEST_F(CrewdockServerTest, ConnectionsBeyondTheLimitAreRefusedNotQueued) {
    Start({"--max-connections", "2"});
    Client first(port_);
    Client second(port_);
    ASSERT_TRUE(first.Send("GET / HTTP/1.0\r\n"));  // both held open, mid-request
    ASSERT_TRUE(second.Send("GET / HTTP/1.0\r\n"));
    const auto refused = Get(port_, "/");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 503);
    // The two held connections are still served once they finish their requests (and,
    // answered, no longer count against the limit).
    for (Client* c : {&first, &second}) {
        ASSERT_TRUE(c->Send("\r\n"));
        const auto answer = c->ReadToEnd();
        ASSERT_TRUE(answer);
        EXPECT_EQ(ParseResponse(*answer)->status, 200);
    }
    ExpectAlive();
}
