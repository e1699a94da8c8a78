// SPDX-License-Identifier: MIT
// Error texts and the conversions at the platform boundary.
#include "LoopbackSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "packwarden/MSocketSupport.h"
#include "packwarden/detail/Platform.h"

namespace ms = MSocketSupport;

TEST(SocketErrorText, EveryNamedCodeHasATextOfItsOwn) {
    struct Row {
        int32_t number;
        const char* name;
        const char* text;
    };
    const std::vector<Row> rows = {
#define ROW(name, number, text) {ms::name, #name, text},
        PACKWARDEN_SOCKET_ERRORS(ROW)
#undef ROW
    };
    EXPECT_EQ(rows.size(), 50u);
    std::set<int32_t> numbers;
    std::set<std::string> texts;
    for (const auto& row : rows) {
        const std::string text = ms::SocketErrorText(row.number);
        EXPECT_EQ(text, row.text) << row.name;
        EXPECT_NE(text, "Unknown error.") << row.name;
        EXPECT_TRUE(numbers.insert(row.number).second) << row.name << ": number used twice";
        EXPECT_TRUE(texts.insert(text).second) << row.name << ": text used twice";
    }
    // Spot checks: the numbers and texts owners and players see do not move.
    EXPECT_EQ(ms::WsaEIntr, 10004);
    EXPECT_EQ(ms::WsaEWouldBlock, 10035);
    EXPECT_EQ(ms::WsaEConnRefused, 10061);
    EXPECT_EQ(ms::WsaHostNotFound, 11001);
    EXPECT_EQ(ms::WsaNoData, 11004);
    EXPECT_EQ(ms::SocketErrorText(10061), "Connection refused.");
    EXPECT_EQ(ms::SocketErrorText(10054), "Connection reset by peer.");
    EXPECT_EQ(ms::SocketErrorText(10055), "No buffer space available.");
    EXPECT_EQ(ms::SocketErrorText(10058), "Cannot send after socket shutdown.");
    EXPECT_EQ(ms::SocketErrorText(10092), "Winsock.dll version out of range.");
    EXPECT_EQ(ms::SocketErrorText(10109), "Class type not found.");
    EXPECT_EQ(ms::SocketErrorText(11001), "Host not found.");
    EXPECT_EQ(ms::SocketErrorText(11004), "Valid name, no data record of requested type.");
    // The secure sockets' own block: numbers owners may test for, and one text per failure.
    EXPECT_EQ(ms::TlsUntrusted, 31001);
    EXPECT_EQ(ms::TlsCredentials, 31006);
    EXPECT_EQ(ms::SocketErrorText(31002), "TLS: certificate is for another name or address.");
    EXPECT_EQ(ms::SocketErrorText(31000), "Unknown error.");
    EXPECT_EQ(ms::SocketErrorText(31007), "Unknown error.");
    // Between rows, outside the range, zero and negative numbers.
    for (int32_t number : {0, -1, -10061, 1, 6, 10003, 10005, 10059, 10062, 10066, 10068, 10090,
                           10100, 10108, 10110, 11000, 11005, 65535, 2147483647}) {
        EXPECT_EQ(ms::SocketErrorText(number), "Unknown error.") << number;
    }
}

TEST(Errno, MapsOntoTheWinsockNumbering) {
    const std::vector<std::pair<int, int32_t>> rows = {
        {0, 0},
        {EAGAIN, 10035},
        {EWOULDBLOCK, 10035},
        {EINPROGRESS, 10035},
        {EALREADY, 10037},
        {ENOTSOCK, 10038},
        {EBADF, 10038},
        {EADDRINUSE, 10048},
        {EADDRNOTAVAIL, 10049},
        {ENETUNREACH, 10051},
        {ECONNABORTED, 10053},
        {ECONNRESET, 10054},
        {ENOBUFS, 10055},
        {ENOMEM, 10055},
        {EISCONN, 10056},
        {ENOTCONN, 10057},
        {EPIPE, 10058},
        {ETIMEDOUT, 10060},
        {ECONNREFUSED, 10061},
        {EHOSTUNREACH, 10065},
        {EMFILE, 10024},
        {EINVAL, 10022},
        {EACCES, 10013},
        {EOPNOTSUPP, 10045},
        {EMSGSIZE, 10040},
        {EINTR, 10004},
    };
    for (const auto& [err, number] : rows) {
        EXPECT_EQ(ms::Platform::WinsockErrorFromErrno(err), number) << err;
    }
    // Whatever has no counterpart still reads as a failure, never as success.
    EXPECT_EQ(ms::Platform::WinsockErrorFromErrno(ENOENT), 10107);
}

TEST(Conversions, UnsignedToShortKeepsTheBitsAndRejectsOutOfRange) {
    EXPECT_EQ(ms::UnsignedToShort(0), 0);
    EXPECT_EQ(ms::UnsignedToShort(80), 80);
    EXPECT_EQ(ms::UnsignedToShort(32767), 32767);
    EXPECT_EQ(ms::UnsignedToShort(32768), -32768);
    EXPECT_EQ(ms::UnsignedToShort(65535), -1);
    for (int32_t bad : {-1, 65536, -2147483647 - 1, 2147483647}) {
        try {
            ms::UnsignedToShort(bad);
            ADD_FAILURE() << bad << " was accepted";
        } catch (const ms::SocketError& e) {
            EXPECT_EQ(e.Number, 6);
            EXPECT_EQ(e.Description, "Overflow");
        }
    }
}

TEST(Conversions, ShortToUnsignedAndWords) {
    EXPECT_EQ(ms::ShortToUnsigned(-1), 65535);
    EXPECT_EQ(ms::ShortToUnsigned(-32768), 32768);
    EXPECT_EQ(ms::ShortToUnsigned(80), 80);
    EXPECT_EQ(ms::ShortToUnsigned(0), 0);
    for (int32_t v = 0; v <= 65535; v += 4097) {
        EXPECT_EQ(ms::ShortToUnsigned(ms::UnsignedToShort(v)), v);
    }

    EXPECT_EQ(ms::LowWord(0x00200010), 0x10);
    EXPECT_EQ(ms::HighWord(0x00200010), 0x20);
    // Never negative, whatever the sign of the input.
    EXPECT_EQ(ms::LowWord(-1), 0xFFFF);
    EXPECT_EQ(ms::HighWord(-1), 0xFFFF);
    EXPECT_EQ(ms::HighWord(static_cast<int32_t>(0x80000000u)), 0x8000);
    EXPECT_EQ(ms::HighWord(10061 << 16 | 16), 10061);
}

TEST(Conversions, AnsiStringAt) {
    EXPECT_EQ(ms::AnsiStringAt(nullptr), "");
    const char zero[] = {0};
    EXPECT_EQ(ms::AnsiStringAt(zero), "");
    const char bytes[] = {'h', 'o', '\xE9', 0, 'x', 0};
    EXPECT_EQ(ms::AnsiStringAt(bytes), std::string("ho\xE9"));
}

// Text forms both ways: RFC 5952 for IPv6 (lower case, the longest zero run shortened, the
// first of equal runs, a lone zero field kept), dotted IPv4 also where IPv6 maps it.
TEST(Platform, AddressesOfBothFamiliesReadAndWriteTheirCanonicalText) {
    namespace pf = ms::Platform;
    const std::pair<const char*, const char*> table[] = {
        {"::1", "::1"},
        {"[::1]", "::1"},
        {"::", "::"},
        {"2001:DB8:0:0:0:0:0:5", "2001:db8::5"},
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},  // one zero field stays
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},     // the first of equal runs
        {"2001:0:0:1:0:0:0:1", "2001:0:0:1::1"},           // the longest run
        {"2001:db8::0001:00ff", "2001:db8::1:ff"},         // no leading zeros
        {"fe80::1%3", "fe80::1%3"},                        // the zone kept
        {"::ffff:127.0.0.1", "127.0.0.1"},                 // mapped IPv4 is IPv4
        {"::ffff:7f00:2", "127.0.0.2"},
        {"127.0.0.1", "127.0.0.1"},
        {"10.1.2.3", "10.1.2.3"},
    };
    for (const auto& [text, canonical] : table) {
        pf::Address a;
        ASSERT_TRUE(pf::ParseAddress(text, a)) << text;
        EXPECT_EQ(pf::AddressText(a), canonical) << text;
        pf::Address again;
        ASSERT_TRUE(pf::ParseAddress(pf::AddressText(a), again)) << text;
        EXPECT_EQ(again, a) << text;
    }
    pf::Address a;
    EXPECT_TRUE(pf::ParseAddress("::ffff:127.0.0.1", a));
    EXPECT_FALSE(a.IsV6());
    EXPECT_EQ(a.V4NetworkOrder(), htonl(0x7F000001));
    for (const char* notAnAddress : {"", "localhost", "255.255.255.255", "[::1", "::1]", "1::2::3",
                                     "::1%", "::1%eth0", "[127.0.0.1]", "12345::"}) {
        EXPECT_FALSE(pf::ParseAddress(notAnAddress, a)) << notAnAddress;
    }
}

TEST(Platform, AddressTextAndOptions) {
    namespace pf = ms::Platform;
    EXPECT_EQ(pf::inet_addr("127.0.0.1"), htonl(0x7F000001));
    EXPECT_EQ(pf::inet_addr("not an address"), 0xFFFFFFFFu);
    EXPECT_EQ(pf::inet_ntoa(htonl(0x7F000001)), "127.0.0.1");

    const int tcp = pf::socket(AF_INET, SOCK_STREAM, 0);
    const int udp = pf::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(tcp, 0);
    ASSERT_GE(udp, 0);
    int32_t value = 0;
    ASSERT_EQ(pf::getsockopt(tcp, 0xFFFF, 0x1008, &value), 0);
    EXPECT_EQ(value, 1);
    ASSERT_EQ(pf::getsockopt(udp, 0xFFFF, 0x1008, &value), 0);
    EXPECT_EQ(value, 2);
    ASSERT_EQ(pf::setsockopt(udp, 0xFFFF, 0x20, 1), 0);
    ASSERT_EQ(pf::getsockopt(udp, 0xFFFF, 0x20, &value), 0);
    EXPECT_NE(value, 0);
    ASSERT_EQ(pf::getsockopt(tcp, 0xFFFF, 0x1002, &value), 0);
    EXPECT_GT(value, 0);
    // An option with no Linux counterpart.
    EXPECT_EQ(pf::getsockopt(tcp, 0xFFFF, 0x7777, &value), -1);
    EXPECT_EQ(pf::LastPlatformError(), 10042);
#ifdef _WIN32
    // Created non-blocking (an accept with nobody waiting would block) and not inherited by
    // child processes.
    ASSERT_EQ(pf::bind(tcp, pf::Address::V4(htonl(INADDR_LOOPBACK)), 0), 0);
    ASSERT_EQ(pf::listen(tcp, 1), 0);
    EXPECT_EQ(pf::accept(tcp, nullptr, nullptr), -1);
    EXPECT_EQ(pf::LastPlatformError(), 10035);
    DWORD flags = 0;
    ASSERT_TRUE(
        ::GetHandleInformation(reinterpret_cast<HANDLE>(static_cast<intptr_t>(tcp)), &flags));
    EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
#else
    // Created non-blocking and close-on-exec.
    EXPECT_NE(::fcntl(tcp, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(::fcntl(tcp, F_GETFD) & FD_CLOEXEC, 0);
#endif
    pf::closesocket(tcp);
    pf::closesocket(udp);
    // A closed handle.
    EXPECT_EQ(pf::send(tcp, "x", 1), -1);
    EXPECT_EQ(pf::LastPlatformError(), 10038);
}
