// SPDX-License-Identifier: MIT
// Error texts and the conversions at the platform boundary.
#include "LoopbackSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <utility>
#include <vector>

#include "packwarden/MSocketSupport.h"
#include "packwarden/detail/Platform.h"

namespace ms = MSocketSupport;

TEST(SocketErrorText, EveryRowOfTheTable) {
    const std::vector<std::pair<int32_t, const char*>> rows = {
        {10004, "Interrupted function call."},
        {10013, "Permission denied."},
        {10014, "Bad address."},
        {10022, "Invalid argument."},
        {10024, "Too many open files."},
        {10035, "Resource temporarily unavailable."},
        {10036, "Operation now in progress."},
        {10037, "Operation already in progress."},
        {10038, "Socket operation on nonsocket."},
        {10039, "Destination address required."},
        {10040, "Message too long."},
        {10041, "Protocol wrong type for socket."},
        {10042, "Bad protocol option."},
        {10043, "Protocol not supported."},
        {10044, "Socket type not supported."},
        {10045, "Operation not supported."},
        {10046, "Protocol family not supported."},
        {10047, "Address family not supported by protocol family."},
        {10048, "Address already in use."},
        {10049, "Cannot assign requested address."},
        {10050, "Network is down."},
        {10051, "Network is unreachable."},
        {10052, "Network dropped connection on reset."},
        {10053, "Software caused connection abort."},
        {10054, "Connection reset by peer."},
        {10055, "No buffer space available."},
        {10056, "Socket is already connected."},
        {10057, "Socket is not connected."},
        {10058, "Cannot send after socket shutdown."},
        {10060, "Connection timed out."},
        {10061, "Connection refused."},
        {10064, "Host is down."},
        {10065, "No route to host."},
        {10067, "Too many processes."},
        {10091, "Network subsystem is unavailable."},
        {10092, "Winsock.dll version out of range."},
        {10093, "Successful WSAStartup not yet performed."},
        {10101, "Graceful shutdown in progress."},
        {10107, "System call failure."},
        {10109, "Class type not found."},
        {11001, "Host not found."},
        {11002, "Nonauthoritative host not found."},
        {11003, "This is a nonrecoverable error."},
        {11004, "Valid name, no data record of requested type."},
    };
    for (const auto& [number, text] : rows) {
        EXPECT_EQ(ms::SocketErrorText(number), text) << number;
    }
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
    ASSERT_EQ(pf::bind(tcp, htonl(INADDR_LOOPBACK), 0), 0);
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
