// SPDX-License-Identifier: MIT
// Host lookups: one completion per started lookup, delivered on the channel's thread.
#include <algorithm>
#include <cstdlib>
#include <thread>

#include "TestSupport.h"

namespace test {

namespace {

// What the system itself calls the host, asked another way.
std::string SystemsOfficialName(const char* host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &found) != 0) {
        return "(not resolvable)";
    }
    std::string name = found->ai_canonname != nullptr ? found->ai_canonname : "";
    ::freeaddrinfo(found);
    return name;
}

}  // namespace

class ResolverTest : public ServiceTest {
  protected:
    void SetUp() override {
        ServiceTest::SetUp();
        keeper = std::make_shared<RecordingSink>();
        RegisteredSocket(keeper);  // lookups are made by registered sockets
    }
    std::shared_ptr<RecordingSink> keeper;
};

TEST_F(ResolverTest, LocalhostCompletesWithItsAddressAndOfficialName) {
    auto sink = std::make_shared<RecordingSink>();
    std::string name = "localhost";
    const auto caller = std::this_thread::get_id();
    std::thread::id deliveredOn;
    sink->onLookup = [&](const Lookup&) { deliveredOn = std::this_thread::get_id(); };
    const int32_t task = ms::ResolveHost(name, sink);
    ASSERT_NE(task, 0);
    EXPECT_TRUE(ms::LookupRegistryPresent());
    EXPECT_EQ(ms::LookupOwner(task), sink);
    EXPECT_EQ(name, "localhost");

    ASSERT_TRUE(RunUntil([&] { return !sink->lookups.empty(); }));
    const Lookup& got = sink->lookups.front();
    EXPECT_EQ(got.handle, task);
    EXPECT_EQ(got.error, 0);
    EXPECT_EQ(got.address, Loopback().V4NetworkOrder());
    EXPECT_EQ(got.name, SystemsOfficialName("localhost"));
    EXPECT_EQ(deliveredOn, caller);
    EXPECT_FALSE(ms::LookupRegistryPresent());
    Settle();
    EXPECT_EQ(sink->lookups.size(), 1u);
}

TEST_F(ResolverTest, NamesThatDoNotExistCompleteWithHostNotFound) {
    SKIP_UNLESS_LOOKUPS_FAIL();
    auto sink = std::make_shared<RecordingSink>();
    // An empty name is the local host's on Windows, as Winsock documents; not a failure there.
    const std::vector<std::string> names =
        raw::OnWindows ? std::vector<std::string>{"no-such-host.invalid", "x.INVALID."}
                       : std::vector<std::string>{"no-such-host.invalid", "", "x.INVALID."};
    for (std::string name : names) {
        const int32_t task = ms::ResolveHost(name, sink);
        ASSERT_NE(task, 0);
    }
    // No name server is reachable here, yet under Wine these failures take seconds (about 3 on a
    // quiet machine, more than the usual 5 s bound on a loaded one).
    ASSERT_TRUE(
        RunUntil([&] { return sink->lookups.size() == names.size(); }, std::chrono::seconds(30)));
    for (const Lookup& got : sink->lookups) {
        // A failure carries no handle, no address and no name.
        EXPECT_EQ(got.handle, 0);
        EXPECT_EQ(got.address, 0u);
        EXPECT_EQ(got.name, "");
        EXPECT_EQ(got.error, raw::HostNotFound);
    }
    EXPECT_FALSE(ms::LookupRegistryPresent());
}

TEST_F(ResolverTest, TwoObjectsLookupsCompleteInEitherOrder) {
    SKIP_UNLESS_LOOKUPS_FAIL();
    auto a = std::make_shared<RecordingSink>();
    auto b = std::make_shared<RecordingSink>();
    std::string bad = "nowhere.invalid";
    std::string good = "127.0.0.1";
    const int32_t ta = ms::ResolveHost(good, a);
    const int32_t tb = ms::ResolveHost(bad, b);
    ASSERT_NE(ta, 0);
    ASSERT_NE(tb, 0);
    EXPECT_NE(ta, tb);
    EXPECT_EQ(ms::LookupRegistryCount(), 2u);
    bool tablesWhileFirst = false;
    auto note = [&](const Lookup&) {
        if (a->lookups.size() + b->lookups.size() == 1) {
            tablesWhileFirst = ms::LookupRegistryPresent();
        }
    };
    a->onLookup = note;
    b->onLookup = note;
    ASSERT_TRUE(RunUntil([&] { return !a->lookups.empty() && !b->lookups.empty(); }));
    EXPECT_TRUE(tablesWhileFirst);
    EXPECT_EQ(a->lookups.front().handle, ta);
    EXPECT_EQ(a->lookups.front().address, Loopback().V4NetworkOrder());
    EXPECT_EQ(b->lookups.front().error, raw::HostNotFound);
    EXPECT_FALSE(ms::LookupRegistryPresent());
}

TEST_F(ResolverTest, SecondLookupBySameObjectKeepsTheFirstOnesResult) {
    SKIP_UNLESS_LOOKUPS_FAIL();
    auto sink = std::make_shared<RecordingSink>();
    std::string first = "localhost";
    std::string second = "second.invalid";
    const int32_t t1 = ms::ResolveHost(first, sink);
    const int32_t t2 = ms::ResolveHost(second, sink);
    ASSERT_NE(t1, 0);
    ASSERT_NE(t2, 0);
    ASSERT_TRUE(RunUntil([&] { return sink->lookups.size() == 2; }));
    // Each completion read its own result.
    int found = 0;
    for (const Lookup& got : sink->lookups) {
        if (got.handle == t1) {
            EXPECT_EQ(got.address, Loopback().V4NetworkOrder());
            EXPECT_EQ(got.name, SystemsOfficialName("localhost"));
            ++found;
        } else {
            EXPECT_EQ(got.error, raw::HostNotFound);
        }
    }
    EXPECT_EQ(found, 1);
    EXPECT_FALSE(ms::LookupRegistryPresent());
}

TEST_F(ResolverTest, CompletionForAReleasedObjectIsConsumedSilently) {
    auto sink = std::make_shared<RecordingSink>();
    std::weak_ptr<RecordingSink> watch = sink;
    std::string name = "localhost";
    ASSERT_NE(ms::ResolveHost(name, sink), 0);
    sink.reset();
    EXPECT_TRUE(watch.expired());
    ASSERT_TRUE(RunUntil([] { return !ms::LookupRegistryPresent(); }));
}

TEST_F(ResolverTest, LookupOutlivesTheLastSocket) {
    auto sink = std::make_shared<RecordingSink>();
    std::string name = "localhost";
    ASSERT_NE(ms::ResolveHost(name, sink), 0);
    // The last socket leaves while the lookup is under way: the channel stays for it.
    for (int fd : std::vector<int>(registered_)) {
        Deregister(fd);
    }
    EXPECT_FALSE(ms::SocketRegistryPresent());
    EXPECT_NE(ms::SocketWindow(), 0);
    ASSERT_TRUE(RunUntil([&] { return !sink->lookups.empty(); }));
    EXPECT_EQ(sink->lookups.front().error, 0);
    EXPECT_EQ(ms::SocketWindow(), 0);
}

TEST_F(ResolverTest, RefusedLookupLeavesNoEntry) {
    auto sink = std::make_shared<RecordingSink>();
    pf::TestHooks().startLookup = [](const std::string&) {
        pf::SetLastPlatformError(10055);
        return false;
    };
    std::string name = "localhost";
    EXPECT_EQ(ms::ResolveHost(name, sink), 0);
    EXPECT_EQ(ms::CurrentError().Number, 10055);
    EXPECT_EQ(ms::CurrentError().Description, "No buffer space available.");
    EXPECT_EQ(ms::CurrentError().Source, "MSocketSupport.ResolveHost");
    EXPECT_FALSE(ms::LookupRegistryPresent());
    Settle();
    EXPECT_TRUE(sink->lookups.empty());
}

// A lookup that never answers does not hold the process's exit: the worker is abandoned, and
// what it finishes later reaches nothing that has gone. (A death test re-runs this test in a
// fresh process, so the worker is this lookup's own.)
TEST(ResolverExit, AStuckLookupDoesNotHoldTheExit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EXIT(
        {
            ms::InitWinsockService();
            pf::TestHooks().lookup = [](const std::string&) {
                std::this_thread::sleep_for(std::chrono::seconds(20));
                return int32_t{11002};
            };
            auto sink = std::make_shared<RecordingSink>();
            std::string name = "stuck.example";
            const bool started = ms::ResolveHost(name, sink) != 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the worker has it
            std::exit(started ? 0 : 3);  // static destructors run, as at a program's end
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST_F(ResolverTest, TaskHandlesAreNeverZeroNorSharedWhileOutstanding) {
    auto sink = std::make_shared<RecordingSink>();
    std::vector<int32_t> tasks;
    for (int i = 0; i < 20; ++i) {
        std::string name = "127.0.0." + std::to_string(i + 1);
        tasks.push_back(ms::ResolveHost(name, sink));
    }
    std::sort(tasks.begin(), tasks.end());
    EXPECT_EQ(std::adjacent_find(tasks.begin(), tasks.end()), tasks.end());
    EXPECT_GT(tasks.front(), 0);
    ASSERT_TRUE(RunUntil([&] { return sink->lookups.size() == 20; }));
}

// Both families come back from a lookup, in their own forms.
TEST_F(ResolverTest, LookupsGiveAddressesOfBothFamilies) {
    auto sink = std::make_shared<RecordingSink>();
    for (const char* name : {"::1", "127.0.0.1"}) {
        std::string host = name;
        ASSERT_NE(ms::ResolveHost(host, sink), 0);
    }
    ASSERT_TRUE(RunUntil([&] { return sink->lookups.size() == 2; }));
    for (const auto& got : sink->lookups) {
        EXPECT_EQ(got.error, 0);
        ASSERT_EQ(got.addresses.size(), 1u);
        EXPECT_EQ(pf::AddressText(got.addresses.front()),
                  got.addresses.front().IsV6() ? "::1" : "127.0.0.1");
    }
    EXPECT_NE(sink->lookups[0].addresses.front().IsV6(), sink->lookups[1].addresses.front().IsV6());
}

}  // namespace test
