#include "core/prefix_code.h"

#include <gtest/gtest.h>

#include <vector>

namespace kvcodec {
namespace {

uint32_t kraft(const std::vector<uint8_t>& lengths) {
    uint32_t sum = 0;
    for (const uint8_t l : lengths) {
        sum += l == 0 ? 0 : (1u << kMaxCodeLength) >> l;
    }
    return sum;
}

std::vector<uint8_t> lengthsFor(const std::vector<uint32_t>& counts) {
    std::vector<uint8_t> lengths(counts.size());
    buildLengths(counts.data(), static_cast<unsigned>(counts.size()), lengths.data());
    return lengths;
}

// Counts that make an unlimited code as deep as the alphabet allows: the Fibonacci numbers give
// the deepest tree for their total.
std::vector<uint32_t> fibonacci(unsigned n) {
    std::vector<uint32_t> counts = {1, 1};
    while (counts.size() < n) {
        counts.push_back(counts[counts.size() - 1] + counts[counts.size() - 2]);
    }
    return counts;
}

TEST(PrefixCode, LengthsAreLimitedCompleteAndOrderedByCount) {
    struct Case {
        const char* name;
        std::vector<uint32_t> counts;
    };
    std::vector<uint32_t> skewed(256, 1);
    skewed[0] = 1u << 30;
    std::vector<uint32_t> sparse(272, 0);
    sparse[3] = 5;
    sparse[270] = 9;
    for (const Case& c : {Case{"fibonacci 14", fibonacci(14)}, Case{"fibonacci 30", fibonacci(30)},
                          Case{"one dominant", skewed}, Case{"two used", sparse},
                          Case{"uniform", std::vector<uint32_t>(256, 7)}}) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> lengths = lengthsFor(c.counts);
        EXPECT_EQ(kraft(lengths), 1u << kMaxCodeLength) << "complete";
        for (size_t a = 0; a < c.counts.size(); ++a) {
            EXPECT_EQ(lengths[a] == 0, c.counts[a] == 0) << a;
            EXPECT_LE(lengths[a], kMaxCodeLength);
            for (size_t b = 0; b < c.counts.size(); ++b) {
                if (c.counts[a] > c.counts[b] && c.counts[b] != 0) {
                    EXPECT_LE(lengths[a], lengths[b]) << a << " is more frequent than " << b;
                }
            }
        }
    }
}

TEST(PrefixCode, LimitingKeepsShallowCodesOptimal) {
    // Without limiting, Fibonacci counts 1, 1, 2, ..., 89 give the lengths 10, 10, 9, ..., 1.
    const std::vector<uint8_t> deep = lengthsFor(fibonacci(11));
    EXPECT_EQ(deep, (std::vector<uint8_t>{10, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1}));
    // A 13-deep tree squeezed into 11 bits puts the rarest at the limit.
    const std::vector<uint8_t> limited = lengthsFor(fibonacci(14));
    EXPECT_EQ(limited[0], kMaxCodeLength);
    EXPECT_EQ(lengthsFor({5}), std::vector<uint8_t>{1}) << "a single token";
    EXPECT_EQ(lengthsFor({0, 0}), (std::vector<uint8_t>{0, 0})) << "nothing used";
}

// Every code a table is written with decodes through the table read back from its bytes.
TEST(PrefixCode, TablesReadBackAsTheCodesTheyWereWrittenWith) {
    for (const auto& counts : {fibonacci(14), std::vector<uint32_t>(272, 3), fibonacci(2)}) {
        const unsigned alphabet = static_cast<unsigned>(counts.size());
        std::vector<uint8_t> lengths = lengthsFor(counts);
        std::vector<Code> codes(alphabet);
        assignCodes(lengths.data(), alphabet, codes.data());
        std::vector<uint8_t> bytes(2048);
        BitWriter out(bytes.data());
        writeTable(lengths.data(), alphabet, out);
        EXPECT_EQ(out.bytesWritten(), tableBits(lengths.data(), alphabet) / 8)
            << "the encoder's size estimate counts what the table takes";
        for (unsigned t = 0; t < alphabet; ++t) {
            out.put(codes[t].bits, codes[t].length);
        }
        const size_t size = out.finish();
        std::vector<uint16_t> payload(alphabet);
        for (unsigned t = 0; t < alphabet; ++t) {
            payload[t] = static_cast<uint16_t>(t << 4);
        }
        BitReader in(bytes.data(), size);
        DecodeTable table;
        ASSERT_EQ(readTable(in, alphabet, payload.data(), 0, table), TableRead::Used);
        for (unsigned t = 0; t < alphabet; ++t) {
            in.refill();
            const uint16_t e = table.entry[in.peek(kMaxCodeLength)];
            EXPECT_EQ(e >> 4, t);
            EXPECT_EQ(e & 15u, codes[t].length);
            in.skip(e & 15u);
        }
        EXPECT_FALSE(in.overrun());
    }
}

TEST(PrefixCode, TablesThatAreNoCodeAreRefused) {
    struct Case {
        const char* name;
        std::vector<uint8_t> lengths;
        TableRead expected;
    };
    for (const Case& c : {Case{"incomplete", {1, 2, 0}, TableRead::Invalid},
                          Case{"oversubscribed", {1, 1, 1}, TableRead::Invalid},
                          Case{"none used", {0, 0, 0}, TableRead::Unused},
                          Case{"one used", {0, 3, 0}, TableRead::Used}}) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> bytes(64);
        BitWriter out(bytes.data());
        writeTable(c.lengths.data(), 3, out);
        const size_t size = out.finish();
        const uint16_t payload[3] = {0x10, 0x20, 0x30};
        BitReader in(bytes.data(), size);
        DecodeTable table;
        EXPECT_EQ(readTable(in, 3, payload, 0x7, table), c.expected);
        if (c.expected == TableRead::Used) {
            EXPECT_EQ(table.entry[0], 0x20) << "a lone token takes no bits";
        }
    }
    // A length above the limit.
    std::vector<uint8_t> bytes(8);
    BitWriter out(bytes.data());
    out.put(1, 1);
    out.put(16 | 12, 5);
    out.finish();
    BitReader in(bytes.data(), 8);
    const uint16_t payload[1] = {0};
    DecodeTable table;
    EXPECT_EQ(readTable(in, 1, payload, 0, table), TableRead::Invalid);
}

} // namespace
} // namespace kvcodec
