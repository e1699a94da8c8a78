// SPDX-License-Identifier: MIT
// The central server and its override: the forms PACKWARDEN_SERVER takes and refuses, and how
// the host is written in the Host header, the addresses opened and the messages. Shared code,
// so these run in both trees (under Wine for Windows).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "CentralServer.h"
#include "Inventory.h"
#include "TempDir.h"

namespace packwarden {
namespace {

using testsupport::ScopedEnv;

#ifdef _WIN32
constexpr bool OnWindows = true;
void Unset(const char* name) {
    ::_putenv_s(name, "");
}
#else
constexpr bool OnWindows = false;
void Unset(const char* name) {
    ::unsetenv(name);
}
#endif

TEST(Request, HostHeaderCarriesAPortOtherThan80) {
    CentralServer local{"127.0.0.1", 8080};
    EXPECT_EQ(HeaderTemplate(local.HostAndPort()),
              "POST /crewdock/sync_session.php HTTP/1.0\r\nHost: 127.0.0.1:8080\r\n"
              "User-Agent: Packwarden\r\nContent-type: application/x-www-form-urlencoded\r\n");
    EXPECT_EQ(CentralServer{}.HostAndPort(), "www.torvane.net");
    // An IPv6 host in brackets, or its colons would run into the port's.
    EXPECT_EQ(HeaderTemplate(CentralServer{"::1", 8080}.HostAndPort()),
              "POST /crewdock/sync_session.php HTTP/1.0\r\nHost: [::1]:8080\r\n"
              "User-Agent: Packwarden\r\nContent-type: application/x-www-form-urlencoded\r\n");
    EXPECT_EQ((CentralServer{"2001:db8::5", 80}.HostAndPort()), "[2001:db8::5]");
}

TEST(Addresses, SessionPageAndSiteLinks) {
    const CentralServer central;
    EXPECT_EQ(central.SessionPage(0, 2),
              "http://www.torvane.net/crewdock/sync.php?session=0&version=2");
    EXPECT_EQ(central.SessionPage(4711, 2),
              "http://www.torvane.net/crewdock/sync.php?session=4711&version=2");
    EXPECT_EQ(central.Address("/crewdock/"), "http://www.torvane.net/crewdock/");
    EXPECT_EQ(central.Address("/"), "http://www.torvane.net/");
    EXPECT_EQ((CentralServer{"localhost", 8123}.SessionPage(10000, 2)),
              "http://localhost:8123/crewdock/sync.php?session=10000&version=2");
    EXPECT_EQ((CentralServer{"::1", 8123}.SessionPage(10000, 2)),
              "http://[::1]:8123/crewdock/sync.php?session=10000&version=2");
    EXPECT_EQ((CentralServer{"2001:db8::5", 80}.Address("/crewdock/")),
              "http://[2001:db8::5]/crewdock/");
    // Messages name the server with its port, whatever it is.
    EXPECT_EQ(central.Shown(), "www.torvane.net:80");
    EXPECT_EQ((CentralServer{"127.0.0.1", 8080}.Shown()), "127.0.0.1:8080");
    EXPECT_EQ((CentralServer{"::1", 80}.Shown()), "[::1]:80");
    // Over https the scheme follows, and the port left out is 443, not 80.
    const CentralServer secure{"mirror.example.org", 443, true};
    EXPECT_EQ(secure.SessionPage(7, 2),
              "https://mirror.example.org/crewdock/sync.php?session=7&version=2");
    EXPECT_EQ(secure.HostAndPort(), "mirror.example.org");
    EXPECT_EQ(secure.Shown(), "mirror.example.org:443");
    EXPECT_EQ((CentralServer{"::1", 80, true}.Address("/")), "https://[::1]:80/");
    EXPECT_EQ((CentralServer{"::1", 443, false}.HostAndPort()), "[::1]:443");
}

TEST(ServerOverride, AcceptsHostHostPortAndHttpAddresses) {
    const struct {
        const char* text;
        const char* host;
        int32_t port;
        bool secure = false;
    } accepted[] = {
        {"localhost:8123", "localhost", 8123},
        {"mirror.example-1.org", "mirror.example-1.org", 80},
        {"127.0.0.1:65535", "127.0.0.1", 65535},
        {"0.0.0.0:1", "0.0.0.0", 1},
        // A trailing dot names the same host; it is dropped so the hosts file knows it.
        {"localhost.", "localhost", 80},
        {"mirror.example.org.:8080", "mirror.example.org", 8080},
        {"http://127.0.0.1:8080", "127.0.0.1", 8080},
        {"http://127.0.0.1:8080/", "127.0.0.1", 8080},
        {"HTTP://Mirror.Example.org/", "Mirror.Example.org", 80},
        {"http://localhost./", "localhost", 80},
        {"ef2.example", "ef2.example", 80},
        // https:// is spoken to over TLS, on 443 unless a port is given.
        {"https://mirror.example.org", "mirror.example.org", 443, true},
        {"HTTPS://localhost:8443/", "localhost", 8443, true},
        {"https://127.0.0.1:80", "127.0.0.1", 80, true},
        {"https://[::1]/", "::1", 443, true},
        {"http://mirror.example.org:443", "mirror.example.org", 443},
    };
    for (const auto& form : accepted) {
        std::string why;
        const auto server = ParseServerOverride(form.text, why);
        ASSERT_TRUE(server) << form.text << ": " << why;
        EXPECT_EQ(server->host, form.host) << form.text;
        EXPECT_EQ(server->port, form.port) << form.text;
        EXPECT_EQ(server->secure, form.secure) << form.text;
    }
    std::string why;
    const std::string label63(63, 'a');
    const std::string longest =
        label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');
    ASSERT_EQ(longest.size(), 253u);
    EXPECT_TRUE(ParseServerOverride(longest, why));
    EXPECT_TRUE(ParseServerOverride(longest + ".", why));
}

TEST(ServerOverride, RefusesWhatCannotBeUsedSayingWhy) {
    const std::string label64(64, 'a');
    const struct {
        std::string text;
        const char* reason;
    } refused[] = {
        {"127.0.0.1:0", "from 1 to 65535"},
        {"host:65536", "from 1 to 65535"},
        {"host:-1", "from 1 to 65535"},
        {"host:8x", "from 1 to 65535"},
        {"host:080000", "from 1 to 65535"},
        {"host:80:80", "from 1 to 65535"},
        {"localhost:", "port after ':' is missing"},
        {"127.0.0.1:8080\r\n", "line break"},
        {"local host", "blank"},
        {"", "empty"},
        {"caf\xC3\xA9.example", "not ASCII"},
        {"ftp://mirror.example.org", "only http:// and https://"},
        {"https:/mirror.example.org", "single '/'"},
        {"https://", "host is missing"},
        {"https://host/crewdock/", "single '/'"},
        {"https://::1", "written in brackets"},
        {"http://host/crewdock/", "single '/'"},
        {"host/", "single '/'"},
        {"host:80/path", "single '/'"},
        {"http://host?x", "single '/'"},
        {"a..b", "empty label"},
        {".host", "empty label"},
        {"host..", "empty label"},
        {":80", "host is missing"},
        {"http://", "host is missing"},
        {"h_x", "letters, digits"},
        {"user@host", "letters, digits"},
        {label64 + ".example", "63"},
        {std::string(254, 'a'), "253"},
        {"127.0.0.256", "IPv4 address"},
        {"127.1", "IPv4 address"},
        {"010.0.0.1", "IPv4 address"},
        {"127.0.0.1.8080", "IPv4 address"},
        {"8080", "IPv4 address"},
        // Hex and octal spellings a URL parser reads as 127.0.0.1 and 8.0.0.1.
        {"0x7f000001", "IPv4 address"},
        {"0X7F000001", "IPv4 address"},
        {"0177.0.0.0x1", "IPv4 address"},
        {"010.0.0.0x1", "IPv4 address"},
        {"host.0x", "IPv4 address"},
    };
    for (const auto& value : refused) {
        std::string why;
        EXPECT_FALSE(ParseServerOverride(value.text, why)) << value.text;
        EXPECT_NE(why.find(value.reason), std::string::npos) << value.text << ": " << why;
    }
}

TEST(ServerOverride, TakesIpv6InBracketsAndAloneWhenNothingElseCanBeMeant) {
    const struct {
        const char* text;
        const char* host;  // as RFC 5952 writes it
        int32_t port;
    } accepted[] = {
        {"[::1]", "::1", 80},
        {"[::1]:8080", "::1", 8080},
        {"http://[::1]:8080/", "::1", 8080},
        {"http://[::1]/", "::1", 80},
        {"HTTP://[2001:DB8:0:0:0:0:0:5]:65535", "2001:db8::5", 65535},
        {"[0:0:0:0:0:0:0:1]", "::1", 80},
        {"[::]:1", "::", 1},
        // The longest run of zeros is shortened, the first of equal ones; one zero stays.
        {"[fe80:0:0:1:0:0:0:1]", "fe80:0:0:1::1", 80},
        {"[1:0:0:2:0:0:3:4]", "1::2:0:0:3:4", 80},
        {"[1:2:3:4:5:6:0:8]", "1:2:3:4:5:6:0:8", 80},
        // A dotted tail stands for the last two groups; a mapped address is the IPv4 one.
        {"[64:ff9b::192.0.2.1]:8080", "64:ff9b::c000:201", 8080},
        {"[::ffff:127.0.0.1]:8080", "127.0.0.1", 8080},
        // Without brackets: the whole text is the address, as no prefix of it is one.
        {"::1", "::1", 80},
        {"2001:db8::5", "2001:db8::5", 80},
        {"1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8", 80},
        {"fe80::1:abcd", "fe80::1:abcd", 80},
    };
    for (const auto& form : accepted) {
        std::string why;
        const auto server = ParseServerOverride(form.text, why);
        ASSERT_TRUE(server) << form.text << ": " << why;
        EXPECT_EQ(server->host, form.host) << form.text;
        EXPECT_EQ(server->port, form.port) << form.text;
    }

    const struct {
        const char* text;
        const char* reason;
    } refused[] = {
        {"[::1", "no closing ']'"},
        {"[::1]x", "only ':' and a port"},
        {"[::1]8080", "only ':' and a port"},
        {"[::1]:", "port after ':' is missing"},
        {"[::1]:0", "from 1 to 65535"},
        {"[::1]:65536", "from 1 to 65535"},
        {"[::1]:80:80", "from 1 to 65535"},
        {"[::1]/", "single '/'"},
        {"http://[::1]/crewdock/", "single '/'"},
        {"[]", "not an IPv6 address"},
        {"[localhost]", "not an IPv6 address"},
        {"[127.0.0.1]", "not an IPv6 address"},
        {"[1:2:3:4:5:6:7:8:9]", "not an IPv6 address"},
        {"[1:2:3:4:5:6:7::8]", "not an IPv6 address"},  // "::" stands for one group at least
        {"[1::2::3]", "not an IPv6 address"},
        {"[:::1]", "not an IPv6 address"},
        {"[:1::2]", "not an IPv6 address"},
        {"[1:]", "not an IPv6 address"},
        {"[12345::1]", "not an IPv6 address"},
        {"[::g]", "not an IPv6 address"},
        {"[::1.2.3]", "not an IPv6 address"},
        {"[::1.2.3.256]", "not an IPv6 address"},
        {"[::01.2.3.4]", "not an IPv6 address"},
        {"[1.2.3.4::]", "not an IPv6 address"},
        {"[1:2:3:4:5:6:7:1.2.3.4]", "not an IPv6 address"},
        {"1:2:3", "not an IPv6 address"},
        {"[fe80::1%eth0]", "zone"},
        {"[fe80::1%25eth0]:8080", "zone"},
        {"fe80::1%eth0", "zone"},
        // Could be address and port: never guessed.
        {"fe80::1:8080", "[fe80::1]:8080 for port 8080, or [fe80::1:8080] for the address"},
        {"::1:80", "[::1]:80 for port 80"},
        {"http://::1/", "written in brackets"},
        {"http://2001:db8::5", "written in brackets"},
    };
    for (const auto& value : refused) {
        std::string why;
        EXPECT_FALSE(ParseServerOverride(value.text, why)) << value.text;
        EXPECT_NE(why.find(value.reason), std::string::npos) << value.text << ": " << why;
    }
}

TEST(ServerOverride, EchoedValuesAreEscaped) {
    EXPECT_EQ(EscapedForDisplay("host:80"), "host:80");
    EXPECT_EQ(EscapedForDisplay("a\r\nb\t\x1B[31m\\\"\x7F\xC3\xA9"),
              "a\\r\\nb\\t\\x1B[31m\\\\\\\"\\x7F\\xC3\\xA9");
    EXPECT_EQ(EscapedForDisplay(std::string("\0x", 2)), "\\x00x");
    EXPECT_EQ(EscapedForDisplay(std::string(250, 'a')), std::string(200, 'a') + "...");
}

TEST(ServerOverride, EnvironmentFailsClosed) {
    std::string problem;
    {
        Unset("PACKWARDEN_SERVER");
        const auto server = CentralServerFromEnvironment(problem);
        ASSERT_TRUE(server);
        EXPECT_EQ(server->HostAndPort(), "www.torvane.net");
    }
    {
        ScopedEnv env("PACKWARDEN_SERVER", "127.0.0.1:9000");
        const auto server = CentralServerFromEnvironment(problem);
        ASSERT_TRUE(server);
        EXPECT_EQ(server->HostAndPort(), "127.0.0.1:9000");
        EXPECT_TRUE(problem.empty());
    }
    {
        ScopedEnv env("PACKWARDEN_SERVER", "http://[0::1]:9000/");
        const auto server = CentralServerFromEnvironment(problem);
        ASSERT_TRUE(server);
        EXPECT_EQ(server->SessionPage(7, 2),
                  "http://[::1]:9000/crewdock/sync.php?session=7&version=2");
        EXPECT_TRUE(problem.empty());
    }
    // Never the central server in place of one the player named.
    for (const char* bad : {"127.0.0.1:0", "localhost:", "[::1]:0", "fe80::1:8080", ""}) {
        if (OnWindows && *bad == '\0') {
            continue;  // Windows keeps no empty variable: setting one to "" removes it
        }
        ScopedEnv env("PACKWARDEN_SERVER", bad);
        problem.clear();
        EXPECT_FALSE(CentralServerFromEnvironment(problem)) << bad;
        EXPECT_NE(problem.find("PACKWARDEN_SERVER=\"" + std::string(bad) + "\" cannot be used: "),
                  std::string::npos)
            << problem;
        EXPECT_NE(problem.find(ServerOverrideForms), std::string::npos) << problem;
    }
    // A pasted value with CR LF and an escape sequence is shown, not acted out.
    ScopedEnv env("PACKWARDEN_SERVER", "mirror.example.org\r\n\x1B]0;owned\x07");
    problem.clear();
    EXPECT_FALSE(CentralServerFromEnvironment(problem));
    EXPECT_NE(problem.find("\"mirror.example.org\\r\\n\\x1B]0;owned\\x07\" cannot be used: it "
                           "holds a blank, a line break or another control character."),
              std::string::npos)
        << problem;
    for (char c : problem) {
        EXPECT_TRUE(c >= 0x20 && c < 0x7F) << "raw byte " << int(c) << " in the message";
    }
}

}  // namespace
}  // namespace packwarden
