#include "core/bit_io.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace kvcodec {
namespace {

TEST(BitIo, WrittenFieldsReadBackInOrder) {
    std::mt19937 random(5);
    std::vector<std::pair<uint32_t, unsigned>> fields;
    for (int i = 0; i < 2000; ++i) {
        const unsigned n = 1 + random() % 32;
        fields.emplace_back(static_cast<uint32_t>(random()) >> (32 - n), n);
    }
    std::vector<uint8_t> bytes(fields.size() * 4 + 8);
    BitWriter out(bytes.data());
    for (const auto& [v, n] : fields) {
        out.put(v, n);
    }
    const size_t size = out.finish();
    BitReader in(bytes.data(), size);
    for (const auto& [v, n] : fields) {
        in.refill();
        ASSERT_EQ(in.read(n), v);
    }
    EXPECT_FALSE(in.overrun());
    EXPECT_LT(size * 8 - in.consumed(), 8u) << "only the last byte's padding is left";
}

// A reader may load bytes beyond its stream (up to `readable`) but must count every bit taken
// past the stream's own end as an overrun, whichever refill loaded it.
TEST(BitIo, OverrunCountsBitsPastTheStreamNotPastTheBuffer) {
    const std::vector<uint8_t> bytes(64, 0xFF);
    for (const size_t readable : {size_t{3}, size_t{64}}) {
        SCOPED_TRACE(readable);
        BitReader in(bytes.data(), 3, readable);
        in.refill();
        in.skip(23);
        EXPECT_FALSE(in.overrun());
        EXPECT_EQ(in.read(1), 1u);
        EXPECT_FALSE(in.overrun()) << "the stream's last bit";
        EXPECT_EQ(in.consumed(), 24u);
        in.refill();
        // Past the end the slow refill reads zeros; the fast one would see the buffer's bytes.
        EXPECT_EQ(in.read(1), readable == 3 ? 0u : 1u);
        EXPECT_TRUE(in.overrun());
        EXPECT_EQ(in.consumed(), 25u);
    }
}

TEST(BitIo, SlowRefillPastTheEndKeepsCountingConsumedBits) {
    const uint8_t one = 0xA5;
    BitReader in(&one, 1);
    uint64_t taken = 0;
    for (int i = 0; i < 20; ++i) {
        in.refill();
        in.skip(7);
        taken += 7;
        EXPECT_EQ(in.consumed(), taken);
        EXPECT_EQ(in.overrun(), taken > 8);
    }
}

} // namespace
} // namespace kvcodec
