#include "packet_queue.h"

#include <gtest/gtest.h>

namespace {

std::vector<uint8_t> packet_of(uint32_t n) {
    return {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n >> 16)};
}

uint32_t number_of(const std::vector<uint8_t>& p) {
    return p[0] | (p[1] << 8) | (p[2] << 16);
}

TEST(PacketQueue, KeepsOrderAcrossWrapAround) {
    packet_queue q(4);
    uint32_t next_in = 0;
    uint32_t next_out = 0;
    // Interleave pushes and pops so first and last pass the end of storage several times.
    for (int round = 0; round < 10; ++round) {
        q.push(packet_of(next_in++));
        q.push(packet_of(next_in++));
        q.push(packet_of(next_in++));
        ASSERT_EQ(q.size(), 3u);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(number_of(q.front()), next_out++);
            q.pop();
        }
        EXPECT_TRUE(q.empty());
    }
}

TEST(PacketQueue, FullQueueDropsTheOldest) {
    packet_queue q;
    ASSERT_EQ(q.capacity(), 32768u);
    for (uint32_t i = 0; i < 32768 + 5; ++i) {
        q.push(packet_of(i));
    }
    EXPECT_EQ(q.size(), 32768u);
    // The five oldest are gone; the rest come out in order.
    for (uint32_t i = 5; i < 32768 + 5; ++i) {
        ASSERT_EQ(number_of(q.front()), i);
        q.pop();
    }
    EXPECT_TRUE(q.empty());
}

TEST(PacketQueue, PopOnEmptyIsHarmlessAndPopReleasesStorage) {
    packet_queue q(2);
    q.pop();
    EXPECT_EQ(q.size(), 0u);
    q.push(std::vector<uint8_t>(1500, 0xAB));
    std::vector<uint8_t>& slot = q.front();
    q.pop();
    EXPECT_EQ(slot.capacity(), 0u);
    q.push(packet_of(7));
    EXPECT_EQ(number_of(q.front()), 7u);
}

}  // namespace
