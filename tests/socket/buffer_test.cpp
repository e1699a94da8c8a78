// SPDX-License-Identifier: MIT
// ByteBuffer's receive path: room prepared at the tail, partly committed, interleaved with
// consumption from the head, against a plain string as the model.
#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <string>

#include "packwarden/ByteBuffer.h"
#include "packwarden/detail/CSocketState.h"

namespace packwarden {
namespace {

TEST(ByteBufferTest, PreparedRoomKeepsWhatIsWaitingAndOnlyCommittedBytesCount) {
    ByteBuffer b;
    std::string model;
    std::mt19937 rng(11);
    for (int i = 0; i < 3000; ++i) {
        // A receive asks for more room than it fills, as recv does.
        const std::size_t room = 1 + rng() % 4096;
        const std::size_t filled = rng() % (room + 1);
        uint8_t* tail = b.prepare(room);
        for (std::size_t k = 0; k < filled; ++k) {
            tail[k] = static_cast<uint8_t>('a' + (i + k) % 26);
            model += static_cast<char>('a' + (i + k) % 26);
        }
        b.commit(filled);
        const std::size_t n = rng() % 5000;
        b.consume(n);
        model.erase(0, std::min(n, model.size()));
        ASSERT_EQ(b.view(), model) << "step " << i;
    }
    // Everything taken, the same block serves the next receive from its start.
    b.consume(b.size());
    const uint8_t* first = b.prepare(64);
    b.commit(0);
    EXPECT_EQ(b.prepare(64), first);
    EXPECT_TRUE(b.empty());
    // A commit never counts more than was prepared.
    b.reset();
    b.prepare(8);
    b.commit(1000);
    EXPECT_LE(b.size(), 256u);
}

// The hand-over: the readable bytes leave as a string of their own, also after a partial
// consumption, and a string given back serves as the next block.
TEST(ByteBufferTest, ReleasedBytesAreExactlyTheReadableOnesAndAnAdoptedStringIsRoom) {
    ByteBuffer b;
    b.append("headpayload");
    b.consume(4);
    const uint8_t* block = b.data() - 4;
    std::string out = b.release();
    EXPECT_EQ(out, "payload");
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(out.data()), block);  // no copy
    EXPECT_TRUE(b.empty());
    EXPECT_EQ(b.capacity(), 0u);

    std::string back;
    back.reserve(4096);
    back = "old bytes";
    const char* backData = back.data();
    b.adopt(back);
    EXPECT_TRUE(b.empty());
    EXPECT_GE(b.capacity(), 4096u);
    EXPECT_EQ(reinterpret_cast<const char*>(b.prepare(4096)), backData);
    b.commit(3);
    EXPECT_EQ(b.size(), 3u);
    b.clear();

    // Used as before, against a model.
    std::string model;
    std::mt19937 rng(5);
    for (int i = 0; i < 500; ++i) {
        const std::string chunk(rng() % 3000, static_cast<char>('a' + i % 26));
        b.append(chunk);
        model += chunk;
        if (i % 7 == 0) {
            ASSERT_EQ(b.release(), model);
            model.clear();
            std::string empty;
            b.adopt(empty);
        } else {
            const std::size_t n = rng() % 2500;
            b.consume(n);
            model.erase(0, std::min(n, model.size()));
        }
        ASSERT_EQ(b.view(), model) << "step " << i;
    }
}

// The lengths of waiting datagrams, against a deque as the model: order kept while the queue
// compacts itself (it never empties), and nothing kept once it has emptied.
TEST(DatagramQueueTest, KeepsTheOrderThroughCompactionAndEmptiesCompletely) {
    detail::DatagramQueue q;
    std::deque<std::size_t> model;
    EXPECT_TRUE(q.empty());
    q.clear();  // clearing what was never made
    EXPECT_TRUE(q.empty());
    std::mt19937 rng(5);
    std::size_t next = 1;
    for (int i = 0; i < 20000; ++i) {
        // More pushes than pops: the head runs far past the compaction point.
        if (model.empty() || rng() % 5 < 3) {
            q.push_back(next);
            model.push_back(next++);
        } else {
            ASSERT_FALSE(q.empty());
            ASSERT_EQ(q.front(), model.front()) << i;
            q.pop_front();
            model.pop_front();
        }
        ASSERT_EQ(q.empty(), model.empty()) << i;
    }
    while (!model.empty()) {
        ASSERT_EQ(q.front(), model.front());
        q.pop_front();
        model.pop_front();
    }
    EXPECT_TRUE(q.empty());
    q.push_back(7);  // usable again after emptying
    EXPECT_EQ(q.front(), 7u);
    q.clear();
    EXPECT_TRUE(q.empty());
}

}  // namespace
}  // namespace packwarden
