// SPDX-License-Identifier: MIT
// Objects' deadlines: called once, from the loop, at their time; replaced, cleared, or dropped
// with an object that has gone.
#include "TestSupport.h"

namespace test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class DeadlineTest : public ServiceTest {
  protected:
    void SetUp() override {
        ServiceTest::SetUp();
        keeper = std::make_shared<RecordingSink>();
        RegisteredSocket(keeper);  // the channel lives while sockets are registered
    }
    void TearDown() override {
        EXPECT_EQ(ms::DeadlineCount(), 0u);
        ServiceTest::TearDown();
    }
    std::shared_ptr<RecordingSink> keeper;
};

TEST_F(DeadlineTest, ComesOnceAtItsTimeOnTheLoopsThread) {
    auto sink = std::make_shared<RecordingSink>();
    const auto caller = std::this_thread::get_id();
    std::thread::id calledOn;
    sink->onDeadline = [&] { calledOn = std::this_thread::get_id(); };
    const auto start = Clock::now();
    ms::SetDeadline(sink, start + 150ms);
    EXPECT_EQ(ms::DeadlineCount(), 1u);
    ASSERT_TRUE(RunUntil([&] { return !sink->deadlines.empty(); }));
    EXPECT_GE(sink->deadlines.front() - start, 150ms);
    EXPECT_LT(sink->deadlines.front() - start, 1000ms);
    EXPECT_EQ(calledOn, caller);
    Settle(200ms);
    EXPECT_EQ(sink->deadlines.size(), 1u);
}

// One per object: a later time replaces an earlier one, and each object keeps its own; a cleared
// deadline never comes, nor one whose object has gone.
TEST_F(DeadlineTest, IsReplacedClearedOrDroppedWithItsObject) {
    auto moved = std::make_shared<RecordingSink>();
    auto cleared = std::make_shared<RecordingSink>();
    auto gone = std::make_shared<RecordingSink>();
    auto other = std::make_shared<RecordingSink>();
    const auto start = Clock::now();
    ms::SetDeadline(moved, start + 50ms);
    ms::SetDeadline(moved, start + 300ms);
    ms::SetDeadline(cleared, start + 50ms);
    ms::ClearDeadline(cleared.get());
    ms::SetDeadline(gone, start + 50ms);
    ms::SetDeadline(other, start + 100ms);
    std::weak_ptr<RecordingSink> watch = gone;
    gone.reset();
    ASSERT_TRUE(RunUntil([&] { return !moved->deadlines.empty(); }));
    EXPECT_GE(moved->deadlines.front() - start, 300ms);
    ASSERT_EQ(other->deadlines.size(), 1u);
    EXPECT_LT(other->deadlines.front(), moved->deadlines.front());
    EXPECT_TRUE(cleared->deadlines.empty());
    EXPECT_TRUE(watch.expired());
    Settle(100ms);
    EXPECT_EQ(moved->deadlines.size(), 1u);
}

// An object may set its next deadline from inside the call, and an earlier close's wake-up does
// not hide it.
TEST_F(DeadlineTest, ASetFromInsideTheCallComesAgain) {
    auto sink = std::make_shared<RecordingSink>();
    sink->onDeadline = [&] {
        if (sink->deadlines.size() < 3) {
            ms::SetDeadline(sink, Clock::now() + 50ms);
        }
    };
    const auto start = Clock::now();
    ms::SetDeadline(sink, start + 50ms);
    ASSERT_TRUE(RunUntil([&] { return sink->deadlines.size() == 3; }));
    EXPECT_GE(sink->deadlines.back() - start, 150ms);
    Settle(150ms);
    EXPECT_EQ(sink->deadlines.size(), 3u);
}

}  // namespace test
