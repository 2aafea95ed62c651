// The leaky buffer against hand-computed fills: bytes leave at the rate
// while the buffer holds any, a byte partly gone still counts, and each
// stretch above the size is one overflow event.
#include <gtest/gtest.h>

#include <vector>

#include "buffer/leaky_buffer.h"

namespace {

struct LeakyBufferTest : ::testing::Test {
    LeakyBufferTest() {
        b.stream_id = 0xE0;
        b.size = 100;
        b.event_hook = [](const buffer_event_struct& e, void* ctx) {
            static_cast<std::vector<buffer_event_struct>*>(ctx)->push_back(e);
        };
        b.event_ctx = &events;
    }
    leaky_buffer_struct b;
    std::vector<buffer_event_struct> events;
};

// 2,700,000 bytes/s: one byte leaves every 10 ticks.
TEST_F(LeakyBufferTest, DrainsAtItsRateAndReportsEachOverflowOnce) {
    b.rate = 2700000;
    leaky_enter(b, 0, 150, 0x10);
    leaky_enter(b, 100, 20, 0x20);  // 140 left, 160 now: the same episode
    EXPECT_EQ(leaky_occupancy(b), 160);
    leaky_drain(b, 1000);  // back at 100 bytes at 100 + 60 * 10 ticks
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, buffer_event_struct::overflow);
    EXPECT_EQ(events[0].stage, stage_tb);
    EXPECT_EQ(events[0].time, 0);
    EXPECT_EQ(events[0].end_time, 700);
    EXPECT_EQ(events[0].excess, 60);
    EXPECT_EQ(events[0].packet_offset, 0x10);
    EXPECT_EQ(events[0].buffer_size, 100);
    EXPECT_EQ(leaky_occupancy(b), 70);

    leaky_enter(b, 1000, 30, 0x30);  // exactly its size: no overflow
    leaky_enter(b, 3000, 1, 0x40);   // empty since 2000: nothing left while empty
    leaky_drain(b, 3005);
    EXPECT_EQ(leaky_occupancy(b), 1);  // half of it gone
    leaky_drain(b, 3010);
    EXPECT_EQ(leaky_occupancy(b), 0);

    leaky_enter(b, 4000, 250, 0x50);
    leaky_drain(b, 3000);  // earlier than its time: nothing changes
    EXPECT_EQ(leaky_occupancy(b), 250);
    finish_leaky_buffer(b);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].time, 4000);
    EXPECT_EQ(events[1].end_time, 5500);
    EXPECT_EQ(events[1].excess, 150);
    EXPECT_EQ(b.overflow_episodes, 2);
    EXPECT_EQ(b.largest_occupancy, 250);
}

// 1,000,000 bytes/s: 27 ticks a byte, so fills between whole bytes.
TEST_F(LeakyBufferTest, EpisodeEndsWhenTheLastPartOfTheExcessHasLeft) {
    b.rate = 1000000;
    leaky_enter(b, 0, 101, 0);
    leaky_drain(b, 26);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(leaky_occupancy(b), 101);
    leaky_drain(b, 27);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].end_time, 27);
    EXPECT_EQ(leaky_occupancy(b), 100);
}

}  // namespace
