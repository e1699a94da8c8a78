// SPDX-License-Identifier: MIT
// The channel's logical handle follows the socket registry; registration failures leave nothing.
#include "TestSupport.h"

namespace test {

TEST_F(ServiceTest, WindowComesWithTheFirstSocketAndGoesWithTheLast) {
    auto a = std::make_shared<RecordingSink>();
    auto b = std::make_shared<RecordingSink>();
    EXPECT_EQ(ms::SocketWindow(), 0);
    EXPECT_FALSE(ms::SocketRegistryPresent());

    const int fa = RegisteredSocket(a);
    const int32_t first = ms::SocketWindow();
    EXPECT_NE(first, 0);
    const int fb = RegisteredSocket(b);
    EXPECT_EQ(ms::SocketWindow(), first);
    EXPECT_EQ(ms::SocketRegistryCount(), 2u);

    EXPECT_TRUE(ms::DeregisterSocket(fa));
    EXPECT_EQ(ms::SocketWindow(), first);
    EXPECT_TRUE(ms::DeregisterSocket(fb));
    EXPECT_EQ(ms::SocketWindow(), 0);
    EXPECT_FALSE(ms::SocketRegistryPresent());
    registered_.clear();

    // A new registration makes a new handle and a new registry.
    Register(fa, a);
    EXPECT_NE(ms::SocketWindow(), 0);
    EXPECT_NE(ms::SocketWindow(), first);
    EXPECT_EQ(ms::SocketRegistryCount(), 1u);
}

TEST_F(ServiceTest, DeregisterRefusals) {
    auto sink = std::make_shared<RecordingSink>();
    // No registry at all.
    EXPECT_FALSE(ms::DeregisterSocket(5));
    const int fd = RegisteredSocket(sink);
    ms::CurrentError() = {1, "x", "y"};
    EXPECT_FALSE(ms::DeregisterSocket(-1));
    EXPECT_EQ(ms::CurrentError().Number, 1);
    EXPECT_EQ(ms::SocketRegistryCount(), 1u);
    // A handle that is not registered is the table's failure, raised.
    EXPECT_THROW(ms::DeregisterSocket(fd + 1000), ms::SocketError);
    EXPECT_EQ(ms::SocketRegistryCount(), 1u);
}

TEST_F(ServiceTest, DuplicateRegistrationFailsWithoutAnError) {
    auto sink = std::make_shared<RecordingSink>();
    const int fd = RegisteredSocket(sink);
    ms::CurrentError() = {1, "x", "y"};
    EXPECT_FALSE(ms::RegisterSocket(fd, sink));
    EXPECT_TRUE(ms::CurrentError().Empty());
    EXPECT_EQ(ms::SocketRegistryCount(), 1u);
}

TEST_F(ServiceTest, WindowThatCannotBeCreated) {
    auto sink = std::make_shared<RecordingSink>();
    pf::TestHooks().createChannel = [] { return false; };
    const int fd = Own(pf::socket(AF_INET, SOCK_STREAM, 0));
    EXPECT_FALSE(ms::RegisterSocket(fd, sink));
    EXPECT_EQ(ms::CurrentError().Number, 10004);
    EXPECT_EQ(ms::CurrentError().Description, "The operation was canceled.");
    EXPECT_EQ(ms::CurrentError().Source, "MSocketSupport.RegisterSocket");
    EXPECT_FALSE(ms::SocketRegistryPresent());
    EXPECT_EQ(ms::SocketWindow(), 0);
}

TEST_F(ServiceTest, RefusedNotificationRequestLeavesNoEntry) {
    auto sink = std::make_shared<RecordingSink>();
    pf::TestHooks().selectEvents = [](int32_t) {
        pf::SetLastPlatformError(10055);
        return false;
    };
    const int fd = Own(pf::socket(AF_INET, SOCK_STREAM, 0));
    EXPECT_FALSE(ms::RegisterSocket(fd, sink));
    EXPECT_EQ(ms::CurrentError().Number, 10055);
    EXPECT_EQ(ms::CurrentError().Description, "No buffer space available.");
    EXPECT_EQ(ms::CurrentError().Source, "MSocketSupport.RegisterSocket");
    EXPECT_FALSE(ms::SocketRegistryPresent());
    EXPECT_EQ(ms::SocketWindow(), 0);

    // Something that is no socket is refused for real.
    pf::ResetHooks();
    NotASocket other;
    EXPECT_FALSE(ms::RegisterSocket(other.handle, sink));
    EXPECT_EQ(ms::CurrentError().Number, 10038);
    EXPECT_FALSE(ms::SocketRegistryPresent());
}

TEST_F(ServiceTest, SocketAndCloseFailThroughTheSeam) {
    pf::TestHooks().socket = [](int32_t, int32_t, int32_t) {
        pf::SetLastPlatformError(10024);
        return -1;
    };
    EXPECT_EQ(pf::socket(AF_INET, SOCK_STREAM, 0), -1);
    EXPECT_EQ(pf::LastPlatformError(), 10024);
    int closes = 0;
    pf::TestHooks().closesocket = [&closes](int32_t) {
        ++closes;
        pf::SetLastPlatformError(10038);
        return -1;
    };
    EXPECT_EQ(pf::closesocket(12345), -1);
    EXPECT_EQ(closes, 1);
}

}  // namespace test
