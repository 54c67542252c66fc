// The byte proxy's ring between the transfer and the client: its two runs
// at the array's end, and when a waiting client is worth waking.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "serve/ring.h"

namespace {

using cli::byte_ring;
using namespace std::chrono_literals;

// Writes TEXT through the free runs as the transfer does; returns bytes taken.
size_t put(byte_ring &r, const std::string &text, byte_ring::clock::time_point now) {
    size_t done = 0;
    while (done < text.size()) {
        byte_ring::run to = r.free_run();
        size_t n = std::min(to.size, text.size() - done);
        if (n == 0)
            break;
        std::memcpy(to.at, text.data() + done, n);
        r.filled(n, now);
        done += n;
    }
    return done;
}

std::string take(byte_ring &r, size_t max) {
    std::string out;
    while (out.size() < max && r.held_run().size > 0) {
        byte_ring::run from = r.held_run();
        size_t n = std::min(from.size, max - out.size());
        out.append(from.at, n);
        r.drained(n);
    }
    return out;
}

TEST(Ring, BytesComeOutInOrderAcrossTheEnd) {
    byte_ring r(10);
    auto t = byte_ring::clock::now();
    EXPECT_EQ(put(r, "abcdefgh", t), 8u);
    EXPECT_EQ(take(r, 6), "abcdef");
    // Two runs now: 2 bytes up to the end, then 6 from the start.
    EXPECT_EQ(r.free_run().size, 2u);
    EXPECT_EQ(put(r, "ijklmnopqrs", t), 8u); // one past the room is refused
    EXPECT_EQ(r.room(), 0u);
    EXPECT_EQ(r.free_run().size, 0u);
    EXPECT_EQ(r.held_run().size, 4u); // gh, ij up to the end
    EXPECT_EQ(take(r, 100), "ghijklmnop");
    EXPECT_EQ(r.used(), 0u);
}

TEST(Ring, ClientWokenForAFullSendOrOldBytes) {
    byte_ring r(256 * 1024);
    auto t = byte_ring::clock::now();
    EXPECT_FALSE(r.worth_waking(t + 1h)); // nothing held
    put(r, std::string(16 * 1024, 'x'), t);
    EXPECT_FALSE(r.worth_waking(t));
    EXPECT_FALSE(r.worth_waking(t + byte_ring::kHoldAtMost - 1ms));
    EXPECT_TRUE(r.worth_waking(t + byte_ring::kHoldAtMost));
    // Bytes arriving later do not make the oldest ones younger.
    put(r, std::string(byte_ring::kWakeAt - 16 * 1024 - 1, 'y'), t + 10ms);
    EXPECT_FALSE(r.worth_waking(t + 10ms));
    put(r, "z", t + 10ms);
    EXPECT_TRUE(r.worth_waking(t + 10ms)); // kWakeAt held
    take(r, byte_ring::kWakeAt);
    put(r, "a", t + 30ms); // empty, then one byte: it is the oldest now
    EXPECT_FALSE(r.worth_waking(t + 30ms + byte_ring::kHoldAtMost - 1ms));
    EXPECT_TRUE(r.worth_waking(t + 30ms + byte_ring::kHoldAtMost));
    // A ring smaller than kWakeAt wakes the client once full.
    byte_ring small(100);
    put(small, std::string(99, 'x'), t);
    EXPECT_FALSE(small.worth_waking(t));
    put(small, "x", t);
    EXPECT_TRUE(small.worth_waking(t));
}

} // namespace
