#include "core/prefix_code.h"

#include <algorithm>
#include <array>

namespace kvcodec {

namespace {

struct Leaf {
    uint32_t count;
    uint16_t token;
};

} // namespace

void buildLengths(const uint32_t* counts, unsigned alphabet, uint8_t* lengths) {
    std::array<Leaf, kMaxAlphabet> leaves;
    unsigned n = 0;
    for (unsigned t = 0; t < alphabet; ++t) {
        lengths[t] = 0;
        if (counts[t] != 0) {
            leaves[n++] = {counts[t], static_cast<uint16_t>(t)};
        }
    }
    if (n == 0) {
        return;
    }
    if (n == 1) {
        lengths[leaves[0].token] = 1;
        return;
    }
    std::sort(leaves.begin(), leaves.begin() + n, [](const Leaf& a, const Leaf& b) {
        return a.count != b.count ? a.count < b.count : a.token < b.token;
    });

    // Two queues: the sorted leaves and the internal nodes, which are made in order of weight.
    std::array<uint64_t, kMaxAlphabet> weight;
    std::array<uint16_t, 2 * kMaxAlphabet> parent;
    unsigned leafNext = 0;
    unsigned nodeNext = 0;
    unsigned nodeCount = 0;
    auto takeSmallest = [&]() -> unsigned {
        // Leaves are numbered 0..n-1, internal nodes n.. ; ties go to the leaf.
        if (leafNext < n && (nodeNext >= nodeCount || leaves[leafNext].count <= weight[nodeNext])) {
            return leafNext++;
        }
        return n + nodeNext++;
    };
    auto weightOf = [&](unsigned id) -> uint64_t {
        return id < n ? leaves[id].count : weight[id - n];
    };
    for (unsigned k = 0; k + 1 < n; ++k) {
        const unsigned a = takeSmallest();
        const unsigned b = takeSmallest();
        weight[nodeCount] = weightOf(a) + weightOf(b);
        parent[a] = static_cast<uint16_t>(n + nodeCount);
        parent[b] = static_cast<uint16_t>(n + nodeCount);
        ++nodeCount;
    }
    // Depths: the root is the last node; parents come after their children.
    std::array<uint8_t, 2 * kMaxAlphabet> depth;
    const unsigned root = n + nodeCount - 1;
    depth[root] = 0;
    for (unsigned id = root; id-- > 0;) {
        depth[id] = static_cast<uint8_t>(depth[parent[id]] + 1);
    }

    std::array<uint8_t, kMaxAlphabet> len;
    bool tooLong = false;
    for (unsigned i = 0; i < n; ++i) {
        len[i] = depth[i];
        tooLong |= len[i] > kMaxCodeLength;
    }
    if (tooLong) {
        // Clamp, then lengthen the longest codes that are still short enough until the code
        // fits (Kraft sum at most one), then shorten where room is left so it is complete.
        // Leaves are in increasing count order, so ties favour the rarer token.
        constexpr uint32_t full = 1u << kMaxCodeLength;
        uint32_t kraft = 0;
        for (unsigned i = 0; i < n; ++i) {
            len[i] = std::min<uint8_t>(len[i], kMaxCodeLength);
            kraft += full >> len[i];
        }
        while (kraft > full) {
            unsigned best = n;
            for (unsigned i = 0; i < n; ++i) {
                if (len[i] < kMaxCodeLength && (best == n || len[i] > len[best])) {
                    best = i;
                }
            }
            kraft -= full >> (len[best] + 1);
            ++len[best];
        }
        while (kraft < full) {
            unsigned best = n;
            for (unsigned i = n; i-- > 0;) {
                if (len[i] > 1 && kraft + (full >> len[i]) <= full &&
                    (best == n || len[i] > len[best])) {
                    best = i;
                }
            }
            kraft += full >> len[best];
            --len[best];
        }
    }
    for (unsigned i = 0; i < n; ++i) {
        lengths[leaves[i].token] = len[i];
    }
}

void assignCodes(const uint8_t* lengths, unsigned alphabet, Code* codes) {
    std::array<uint32_t, kMaxCodeLength + 2> perLength{};
    for (unsigned t = 0; t < alphabet; ++t) {
        ++perLength[lengths[t]];
    }
    if (perLength[0] + 1 == alphabet) {
        for (unsigned t = 0; t < alphabet; ++t) {
            codes[t] = {0, 0};
        }
        return;
    }
    perLength[0] = 0;
    std::array<uint32_t, kMaxCodeLength + 2> next{};
    uint32_t code = 0;
    for (unsigned l = 1; l <= kMaxCodeLength; ++l) {
        code = (code + perLength[l - 1]) << 1;
        next[l] = code;
    }
    for (unsigned t = 0; t < alphabet; ++t) {
        const unsigned l = lengths[t];
        codes[t] = {static_cast<uint16_t>(l == 0 ? 0 : next[l]++), static_cast<uint8_t>(l)};
    }
}

uint64_t tableBits(const uint8_t* lengths, unsigned alphabet) {
    uint64_t bits = 1;
    unsigned prev = 0;
    bool any = false;
    for (unsigned t = 0; t < alphabet; ++t) {
        bits += lengths[t] == prev ? 1 : 5;
        prev = lengths[t];
        any |= prev != 0;
    }
    return any ? bits : 1;
}

void writeTable(const uint8_t* lengths, unsigned alphabet, BitWriter& out) {
    bool any = false;
    for (unsigned t = 0; t < alphabet; ++t) {
        any |= lengths[t] != 0;
    }
    out.put(any ? 1 : 0, 1);
    if (!any) {
        return;
    }
    unsigned prev = 0;
    for (unsigned t = 0; t < alphabet; ++t) {
        if (lengths[t] == prev) {
            out.put(0, 1);
        } else {
            out.put(16u | lengths[t], 5);
            prev = lengths[t];
        }
    }
}

TableRead readTable(BitReader& in, unsigned alphabet, const uint16_t* payload, uint16_t unused,
                    DecodeTable& table) {
    in.refill();
    if (in.read(1) == 0) {
        std::fill(std::begin(table.entry), std::end(table.entry), unused);
        return TableRead::Unused;
    }
    std::array<uint8_t, kMaxAlphabet> lengths;
    unsigned used = 0;
    unsigned last = 0;
    uint32_t kraft = 0;
    constexpr uint32_t full = 1u << kMaxCodeLength;
    unsigned l = 0;
    for (unsigned t = 0; t < alphabet; ++t) {
        in.refill();
        if (in.read(1) != 0) {
            l = in.read(4);
        }
        if (l > kMaxCodeLength) {
            return TableRead::Invalid;
        }
        lengths[t] = static_cast<uint8_t>(l);
        if (l != 0) {
            ++used;
            last = t;
            kraft += full >> l;
        }
    }
    if (used == 1) {
        std::fill(std::begin(table.entry), std::end(table.entry), payload[last]);
        return TableRead::Used;
    }
    if (kraft != full) {
        return TableRead::Invalid;
    }
    std::array<Code, kMaxAlphabet> codes;
    assignCodes(lengths.data(), alphabet, codes.data());
    for (unsigned t = 0; t < alphabet; ++t) {
        const unsigned l = codes[t].length;
        if (l == 0) {
            continue;
        }
        const uint32_t first = uint32_t{codes[t].bits} << (kMaxCodeLength - l);
        const uint32_t count = 1u << (kMaxCodeLength - l);
        const uint16_t e = static_cast<uint16_t>(payload[t] | l);
        std::fill(table.entry + first, table.entry + first + count, e);
    }
    return TableRead::Used;
}

} // namespace kvcodec
