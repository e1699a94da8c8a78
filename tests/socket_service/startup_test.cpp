// SPDX-License-Identifier: MIT
// Start-up and shut-down of the service, through the seam where start-up must fail.
#include "TestSupport.h"

namespace test {

namespace {

struct FailedStartup {
    int32_t returned;
    int32_t lastError;
    const char* description;
};

}  // namespace

TEST_F(ServiceTest, StartupFailuresCarryTheirNumberAndOneSentence) {
    const std::vector<FailedStartup> cases = {
        {10022, 10022,
         "The Windows Sockets version specified by the application is not supported by this "
         "DLL."},
        {10091, 10091, "The underlying network subsystem is not ready for network communication."},
        {10092, 10092,
         "The version of Windows Sockets API support requested is not provided by this "
         "particular Windows Sockets implementation."},
        // Any other code: empty description; the number is the platform's last error.
        {10107, 10093, ""},
        // The returned code selects the text; the number is still the last error.
        {10092, 10050,
         "The version of Windows Sockets API support requested is not provided by this "
         "particular Windows Sockets implementation."},
    };
    // The platform's figure: 65507 on Linux, Winsock's iMaxUdpDg on Windows.
    const int32_t platformSize = ms::MaxDatagramSize();
    EXPECT_GT(platformSize, 0);
    ms::CleanupWinsockService();
    ASSERT_FALSE(ms::WinsockStarted());
    for (const auto& c : cases) {
        pf::TestHooks().startup = [&c] {
            pf::SetLastPlatformError(c.lastError);
            return c.returned;
        };
        try {
            ms::InitWinsockService();
            ADD_FAILURE() << "start-up " << c.returned << " did not fail";
        } catch (const ms::SocketError& e) {
            EXPECT_EQ(e.Number, c.lastError);
            EXPECT_EQ(e.Source, "MSocketSupport.InitWinsockService");
            EXPECT_EQ(e.Description, c.description);
        }
        EXPECT_FALSE(ms::WinsockStarted());
    }
    pf::ResetHooks();
    EXPECT_EQ(ms::InitWinsockService(), platformSize);
    EXPECT_TRUE(ms::WinsockStarted());
}

TEST_F(ServiceTest, StartsOnceAndKeepsItsRecordKinds) {
    ms::CleanupWinsockService();
    int calls = 0;
    pf::TestHooks().startup = [&calls] {
        ++calls;
        return 0;
    };
    EXPECT_EQ(ms::InitWinsockService(), ms::DefaultMaxDatagramSize);
    EXPECT_EQ(ms::InitWinsockService(), ms::DefaultMaxDatagramSize);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(ms::MaxDatagramSize(), ms::DefaultMaxDatagramSize);

    const uint32_t winsock = ms::WinsockMessage();
    const uint32_t resolve = ms::ResolveMessage();
    EXPECT_NE(winsock, 0u);
    EXPECT_NE(resolve, 0u);
    EXPECT_NE(winsock, resolve);
    // Started again: the same names give the same numbers.
    ms::CleanupWinsockService();
    ms::InitWinsockService();
    EXPECT_EQ(ms::WinsockMessage(), winsock);
    EXPECT_EQ(ms::ResolveMessage(), resolve);
    EXPECT_EQ(calls, 2);
}

TEST_F(ServiceTest, ShutDownWaitsForTheLastSocket) {
    const int32_t size = ms::MaxDatagramSize();
    auto sink = std::make_shared<RecordingSink>();
    const int fd = RegisteredSocket(sink);
    ms::CleanupWinsockService();
    EXPECT_TRUE(ms::WinsockStarted());
    Close(fd);
    ms::CleanupWinsockService();
    EXPECT_FALSE(ms::WinsockStarted());
    ms::CleanupWinsockService();
    EXPECT_FALSE(ms::WinsockStarted());
    // Kept across shut-down.
    EXPECT_EQ(ms::MaxDatagramSize(), size);
}

}  // namespace test
