// SPDX-License-Identifier: MIT
// The inventory: folder listing, form encoding, the request byte for byte, the session number
// and the server's addresses.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <set>

#include "CentralServer.h"
#include "Inventory.h"
#include "TempDir.h"

namespace packwarden {
namespace {

using testsupport::ScopedEnv;
using testsupport::TempDir;

const std::string CentralHeader =
    "POST /crewdock/sync_session.php HTTP/1.0\r\n"
    "Host: www.torvane.net\r\n"
    "User-Agent: Packwarden\r\n"
    "Content-type: application/x-www-form-urlencoded\r\n";

// The names of `folder` in the order the file system yields them.
std::vector<std::string> ReaddirOrder(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    while (const dirent* entry = ::readdir(dir)) {
        names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    return names;
}

void CreateEmptyFiles(const TempDir& dir, int count) {
    for (int i = 0; i < count; ++i) {
        const std::string name = dir.str() + "/p" + std::to_string(i) + ".pk3";
        const int fd = ::open(name.c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
}

TEST(ListPackages, MatchesPk3InAnyCaseSkipsHiddenKeepsListingOrder) {
    TempDir dir;
    dir.Write("a.pk3", "12345");
    dir.Write("B.PK3", "");
    dir.Write("c.Pk3", "1");
    dir.Write(".hidden.pk3", "1");
    dir.Write("x.pk3.txt", "1");
    dir.Write("pk3", "1");
    dir.Write("notes.txt", "1");
    std::filesystem::create_directory(dir.path() / "folder.pk3");
    std::filesystem::create_symlink("a.pk3", dir.path() / "link.pk3");
    // Entries that cannot be examined are passed over, the rest of the folder is listed.
    std::filesystem::create_symlink("nowhere", dir.path() / "dangling.pk3");
    std::filesystem::create_symlink("loop.pk3", dir.path() / "loop.pk3");
    std::filesystem::create_symlink("ping.pk3", dir.path() / "pong.pk3");
    std::filesystem::create_symlink("pong.pk3", dir.path() / "ping.pk3");
    std::filesystem::create_symlink("a.pk3/inside", dir.path() / "through-a-file.pk3");
    std::filesystem::create_symlink(std::string(300, 'x'), dir.path() / "too-long.pk3");

    std::vector<PackageEntry> entries;
    ASSERT_TRUE(ListPackages(dir.str(), entries));
    std::vector<std::string> expected;
    for (const std::string& name : ReaddirOrder(dir.str())) {
        if (name == "a.pk3" || name == "B.PK3" || name == "c.Pk3" || name == "folder.pk3" ||
            name == "link.pk3") {
            expected.push_back(name);
        }
    }
    std::vector<std::string> names;
    for (const PackageEntry& entry : entries) {
        names.push_back(entry.name);
        const int64_t size = entry.name == "a.pk3" || entry.name == "link.pk3" ? 5
                             : entry.name == "c.Pk3"                           ? 1
                                                                               : 0;
        EXPECT_EQ(entry.size, size) << entry.name;
    }
    EXPECT_EQ(names, expected);
}

TEST(ListPackages, SizesAreSixtyFourBit) {
    TempDir dir;
    const std::string big = dir.str() + "/big.pk3";
    const int fd = ::open(big.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, int64_t{5} << 30), 0);  // sparse: takes no room on disk
    ::close(fd);
    std::vector<PackageEntry> entries;
    ASSERT_TRUE(ListPackages(dir.str() + "/", entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].size, int64_t{5368709120});
    EXPECT_EQ(InventoryBody(2, 1, entries),
              "game=ef2&version=2&session=1&filename0=big.pk3"
              "&filesize0=5368709120");
}

TEST(ListPackages, FolderThatCannotBeListedFails) {
    TempDir dir;
    std::vector<PackageEntry> entries{{"stale.pk3", 1}};
    EXPECT_FALSE(ListPackages(dir.str() + "/missing", entries));
    EXPECT_TRUE(entries.empty());
    const std::string file = dir.Write("file.pk3", "x").string();
    EXPECT_FALSE(ListPackages(file, entries));
    ASSERT_TRUE(ListPackages(dir.str(), entries));
    EXPECT_EQ(entries.size(), 1u);
}

TEST(ListPackages, AtMost32767Entries) {
    TempDir dir;
    CreateEmptyFiles(dir, 32767);
    dir.Write("notes.txt", "");  // not counted
    std::vector<PackageEntry> entries;
    ASSERT_TRUE(ListPackages(dir.str(), entries));
    ASSERT_EQ(entries.size(), 32767u);
    const std::string body = InventoryBody(2, 7, entries);
    EXPECT_NE(body.find("&filename32766=" + entries.back().name + "&filesize32766=0"),
              std::string::npos);
    EXPECT_EQ(body.find("filename32767"), std::string::npos);
    std::set<std::string> unique;
    for (const PackageEntry& entry : entries) {
        unique.insert(entry.name);
    }
    EXPECT_EQ(unique.size(), 32767u);

    dir.Write("one-more.pk3", "");
    EXPECT_FALSE(ListPackages(dir.str(), entries));
    EXPECT_TRUE(entries.empty());
}

TEST(FormEncode, EncodesEverythingButUnreservedBytes) {
    EXPECT_EQ(FormEncode("AZaz09-._*"), "AZaz09-._*");
    EXPECT_EQ(FormEncode("a b&c=d+e%f"), "a+b%26c%3Dd%2Be%25f");
    EXPECT_EQ(FormEncode("caf\xC3\xA9/~\x01\xFF"), "caf%C3%A9%2F%7E%01%FF");
    EXPECT_EQ(FormEncode(std::string("\0", 1)), "%00");
    EXPECT_EQ(FormEncode(""), "");
}

TEST(Request, NoFilesEndsAfterTheSession) {
    const std::string body = InventoryBody(2, 4711, {});
    EXPECT_EQ(body, "game=ef2&version=2&session=4711");
    EXPECT_EQ(ComposeRequest(HeaderTemplate("www.torvane.net"), body),
              CentralHeader + "Content-length: 31\r\n\r\ngame=ef2&version=2&session=4711\r\n");
}

TEST(Request, ThreeFilesInListingOrder) {
    const std::vector<PackageEntry> entries{{"zz.pk3", 10}, {"aa.pk3", 0}, {"mm.PK3", 2147483648}};
    const std::string body = InventoryBody(2, 0, entries);
    const std::string expected =
        "game=ef2&version=2&session=0"
        "&filename0=zz.pk3&filesize0=10&filename1=aa.pk3&filesize1=0"
        "&filename2=mm.PK3&filesize2=2147483648";
    EXPECT_EQ(body, expected);
    EXPECT_EQ(ComposeRequest(HeaderTemplate("www.torvane.net"), body),
              CentralHeader + "Content-length: " + std::to_string(expected.size()) + "\r\n\r\n" +
                  expected + "\r\n");
}

TEST(Request, LengthLineCountsTheBodyOnly) {
    const std::string body = InventoryBody(2, 0, {{"x.pk3", 12}});
    ASSERT_EQ(body.size(), 57u);
    const std::string request = ComposeRequest(HeaderTemplate("www.torvane.net"), body);
    const std::size_t blank = request.find("\r\n\r\n");
    ASSERT_NE(blank, std::string::npos);
    EXPECT_EQ(request.substr(0, blank + 2), CentralHeader + "Content-length: 57\r\n");
    EXPECT_EQ(request.size() - (blank + 4), 59u);
    EXPECT_EQ(request.substr(blank + 4), body + "\r\n");
}

TEST(Request, NamesAreFormEncodedAndCountedEncoded) {
    const std::vector<PackageEntry> entries{{"a&b=c+d%e f.pk3", 1}, {"\xC3\xA9t\xE9.pk3", 2}};
    const std::string body = InventoryBody(2, 5, entries);
    const std::string expected =
        "game=ef2&version=2&session=5"
        "&filename0=a%26b%3Dc%2Bd%25e+f.pk3&filesize0=1"
        "&filename1=%C3%A9t%E9.pk3&filesize1=2";
    EXPECT_EQ(body, expected);
    const std::string request = ComposeRequest(HeaderTemplate("x"), body);
    EXPECT_NE(request.find("Content-length: " + std::to_string(expected.size()) + "\r\n\r\n"),
              std::string::npos);
}

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

TEST(Request, TrailingSeparator) {
    EXPECT_EQ(WithTrailingSeparator("/games/ef2/base"), "/games/ef2/base/");
    EXPECT_EQ(WithTrailingSeparator("/games/ef2/base/"), "/games/ef2/base/");
    EXPECT_EQ(WithTrailingSeparator(""), "/");
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
}

TEST(ServerOverride, AcceptsHostHostPortAndHttpAddresses) {
    const struct {
        const char* text;
        const char* host;
        int32_t port;
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
    };
    for (const auto& form : accepted) {
        std::string why;
        const auto server = ParseServerOverride(form.text, why);
        ASSERT_TRUE(server) << form.text << ": " << why;
        EXPECT_EQ(server->host, form.host) << form.text;
        EXPECT_EQ(server->port, form.port) << form.text;
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
        {"https://mirror.example.org/", "only http://"},
        {"ftp://mirror.example.org", "only http://"},
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
        ::unsetenv("PACKWARDEN_SERVER");
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

// The first float r near target/10000 whose product r * 10000 is exactly `target`.
float SingleGiving(float target) {
    float r = target / 10000.0f;
    for (int i = 0; i < 64; ++i) {
        if (r * 10000.0f == target) {
            return r;
        }
        r = std::nextafter(r, r * 10000.0f < target ? 1.0f : 0.0f);
    }
    ADD_FAILURE() << "no single gives " << target;
    return 0;
}

TEST(SessionNumber, RoundsHalvesToEvenWithinRange) {
    EXPECT_EQ(SessionGenerator::SessionFromSingle(0.0f), 0);
    EXPECT_EQ(SessionGenerator::SessionFromSingle(std::nextafter(1.0f, 0.0f)), 10000);
    EXPECT_EQ(SessionGenerator::SessionFromSingle(SingleGiving(2.5f)), 2);
    EXPECT_EQ(SessionGenerator::SessionFromSingle(SingleGiving(5.5f)), 6);
    EXPECT_EQ(SessionGenerator::SessionFromSingle(SingleGiving(4711.5f)), 4712);
    EXPECT_EQ(SessionGenerator::SessionFromSingle(SingleGiving(4712.5f)), 4712);
    EXPECT_EQ(SessionGenerator::SessionFromSingle(SingleGiving(4711.25f)), 4711);
    EXPECT_EQ(SessionGenerator::SessionFromSingle(SingleGiving(4711.75f)), 4712);
}

TEST(SessionNumber, DrawsVaryAndGeneratorsSeedApart) {
    SessionGenerator a;
    SessionGenerator b;
    std::set<int16_t> seen;
    std::vector<int16_t> fromA, fromB;
    for (int i = 0; i < 1000; ++i) {
        const int16_t n = a.NextSessionNumber();
        ASSERT_GE(n, 0);
        ASSERT_LE(n, 10000);
        seen.insert(n);
        if (i < 8) {
            fromA.push_back(n);
            fromB.push_back(b.NextSessionNumber());
        }
    }
    EXPECT_GT(seen.size(), 500u);
    EXPECT_NE(fromA, fromB);
}

}  // namespace
}  // namespace packwarden
