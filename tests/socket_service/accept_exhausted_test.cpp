// SPDX-License-Identifier: MIT
// An accept that fails for lack of descriptors rests the listener instead of spinning, and the
// waiting connection is offered again afterwards.
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "TestSupport.h"

namespace test {

TEST_F(ServiceTest, AcceptOutOfDescriptorsIsOfferedAgainLater) {
#ifdef _WIN32
    GTEST_SKIP() << "Linux only: Windows has no per-process descriptor limit a test can lower";
#else
    auto server = std::make_shared<RecordingSink>();
    const int fd = RegisteredSocket(server);
    ASSERT_EQ(pf::bind(fd, Loopback(), 0), 0);
    ASSERT_EQ(pf::listen(fd, 8), 0);
    uint16_t port = 0;
    ASSERT_EQ(pf::getsockname(fd, nullptr, &port), 0);

    Fd client = RawConnect(ntohs(port));
    ASSERT_TRUE(RunUntil([&] { return server->Count(ms::FD_ACCEPT) == 1; }));

    // No descriptor left for the accepted connection.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int probe = ::dup(0);
    ASSERT_GE(probe, 0);
    ::close(probe);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(probe);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    const int failed = pf::accept(fd, nullptr, nullptr);
    const int32_t error = pf::LastPlatformError();
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    if (failed >= 0) {
        pf::closesocket(failed);
        GTEST_SKIP() << "the descriptor limit is not enforced here";
    }
    EXPECT_EQ(error, 10024);
    EXPECT_EQ(ms::SocketErrorText(error), "Too many open files.");

    // Offered again after the pause, and then accepted.
    ASSERT_TRUE(RunUntil([&] { return server->Count(ms::FD_ACCEPT) == 2; }));
    const int accepted = Own(pf::accept(fd, nullptr, nullptr));
    EXPECT_GE(accepted, 0);
    Settle();
    EXPECT_EQ(server->Count(ms::FD_ACCEPT), 2u);
    client.reset();
#endif
}

}  // namespace test
