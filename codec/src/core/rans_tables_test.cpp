#include "core/rans_tables.h"

#include <algorithm>
#include <bit>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kvcodec {
namespace {

// The largest frequency the tables can carry that is not above v: any below 16, else three
// significant bits, at most 15 << 8.
uint32_t valueBelow(uint32_t v) {
    if (v < 16) {
        return v;
    }
    const unsigned e = static_cast<unsigned>(std::bit_width(v)) - 4;
    return std::min(v >> e << e, 15u << 8);
}

// The frame's rounding rule done the slow way: exact quotients, and every step of taking back
// from the largest other token searched afresh.
Frequencies slowNormalize(const std::vector<uint32_t>& counts) {
    const auto n = static_cast<unsigned>(counts.size());
    uint64_t total = 0;
    std::vector<uint32_t> v(n);
    for (const uint32_t c : counts) {
        total += c;
    }
    for (unsigned t = 0; t < n; ++t) {
        if (counts[t] != 0) {
            v[t] = valueBelow(static_cast<uint32_t>(
                std::max<uint64_t>(uint64_t{counts[t]} * kProbScale / total, 1)));
        }
    }
    if (std::count(counts.begin(), counts.end(), 0u) == n - 1) {
        const auto last = static_cast<unsigned>(
            std::find_if(counts.begin(), counts.end(), [](uint32_t c) { return c != 0; }) -
            counts.begin());
        v[(last + 1) % n] = 1;
    }
    const auto r = static_cast<unsigned>(std::max_element(v.begin(), v.end()) - v.begin());
    for (;;) {
        uint32_t others = 0;
        unsigned largest = n;
        for (unsigned t = 0; t < n; ++t) {
            if (t != r) {
                others += v[t];
                largest = largest == n || v[t] > v[largest] ? t : largest;
            }
        }
        if (others < kProbScale) {
            Frequencies f{};
            std::copy(v.begin(), v.end(), f.f);
            f.f[r] = static_cast<uint16_t>(kProbScale - others);
            f.rest = static_cast<uint16_t>(r);
            return f;
        }
        v[largest] = valueBelow(v[largest] - 1);
    }
}

// Counts of every kind a frame gives a context: a handful of tokens, long tails of ones that
// round up and must be taken back from the others, totals far beyond 2^32, shares that are
// whole numbers, a single token.
TEST(RansTables, FrequenciesFollowTheRoundingRuleAndDecodingTablesListEverySlot) {
    std::mt19937 random(20261206);
    for (int round = 0; round < 3000; ++round) {
        const unsigned alphabet = round % 3 == 0 ? 144 : 256;
        std::vector<uint32_t> counts(alphabet);
        const unsigned used = round % 50 == 0 ? 1 : 2 + random() % (alphabet - 1);
        const uint32_t scale = round % 4 == 0 ? 0xFFFFFFFFu : 1u << (random() % 20);
        for (unsigned i = 0; i < used; ++i) {
            const unsigned t = random() % alphabet;
            counts[t] = i < 3 || round % 5 != 0 ? 1 + random() % scale : 1;
        }
        if (round % 7 == 1) {
            // Shares that are whole numbers, from a total with an odd factor: a product with
            // the total's inverse can land just below them.
            const uint32_t odd = (random() | 1) % (1u << 20);
            std::fill(counts.begin(), counts.end(), 0u);
            uint32_t left = kProbScale;
            for (unsigned t = 0; t < alphabet && left > 0; t += 1 + random() % 8) {
                const uint32_t part = t + 8 >= alphabet ? left : 1 + random() % left;
                counts[t] = part * odd;
                left -= part;
            }
        }
        SCOPED_TRACE("round " + std::to_string(round));
        Frequencies f{};
        ASSERT_TRUE(normalizeFrequencies(counts.data(), alphabet, f));
        const Frequencies want = slowNormalize(counts);
        ASSERT_EQ(f.rest, want.rest);
        ASSERT_TRUE(std::equal(f.f, f.f + alphabet, want.f));

        RansDecTable table{};
        buildDecTable(f, alphabet, table);
        uint32_t slot = 0;
        for (unsigned t = 0; t < alphabet; ++t) {
            for (uint32_t k = 0; k < f.f[t]; ++k, ++slot) {
                ASSERT_EQ(table.entry[slot], t | uint32_t{f.f[t]} << 8 | k << 20) << slot;
            }
        }
        ASSERT_EQ(slot, kProbScale);
    }
}

} // namespace
} // namespace kvcodec
