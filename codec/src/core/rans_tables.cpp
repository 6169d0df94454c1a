#include "core/rans_tables.h"

#include <algorithm>
#include <iterator>

namespace kvcodec {

namespace {

// Frequencies travel as indexes into the values of at most three significant bits: 1 to 15 as
// they are, then (8 + m) << e for e from 1 to 8. Rounding a share down to one of them loses at
// most 1/16 of it, which costs well under a thousandth of a bit per sample, and the indexes of
// neighbouring tokens differ little, which makes the tables small.
constexpr unsigned kMaxIndex = 79;

uint32_t indexValue(unsigned q) {
    if (q < 16) {
        return q;
    }
    const unsigned e = (q - 16) / 8 + 1;
    return (8 + (q - 16) % 8) << e;
}

// The largest index whose value is at most v (v >= 1).
unsigned indexBelow(uint32_t v) {
    if (v < 16) {
        return v;
    }
    const unsigned e = 31 - static_cast<unsigned>(__builtin_clz(v)) - 3;
    const unsigned q = 16 + 8 * (e - 1) + ((v >> e) - 8);
    return std::min(q, kMaxIndex);
}

void putExpGolomb(BitWriter& out, uint32_t v) {
    const unsigned n = 32 - static_cast<unsigned>(__builtin_clz(v + 1));
    out.put(0, n - 1);
    out.put(v + 1, n);
}

uint32_t expGolombBits(uint32_t v) {
    return 2 * (32 - static_cast<unsigned>(__builtin_clz(v + 1))) - 1;
}

// At most 31 bits; a longer prefix is refused by the caller through `ok`.
uint32_t getExpGolomb(BitReader& in, bool& ok) {
    unsigned zeros = 0;
    in.refill();
    while (in.peek(1) == 0) {
        in.skip(1);
        if (++zeros > 16) {
            ok = false;
            return 0;
        }
        in.refill();
    }
    return in.read(zeros + 1) - 1;
}

uint32_t zigzag(int32_t v) {
    return v >= 0 ? 2u * static_cast<uint32_t>(v) : 2u * static_cast<uint32_t>(-v) - 1;
}

int32_t unzigzagInt(uint32_t z) {
    return (z & 1) != 0 ? -static_cast<int32_t>((z + 1) / 2) : static_cast<int32_t>(z / 2);
}

// The first token of the largest index other than `skip` (n if there is none): the largest value
// first, in a loop the compiler vectorises, then where it is; one pass keeping the best token so
// far waited on each compare.
unsigned firstOfLargest(const uint8_t* q, unsigned n, unsigned skip) {
    uint8_t top = 0;
    for (unsigned t = 0; t < n; ++t) {
        top = std::max(top, t != skip ? q[t] : uint8_t{0});
    }
    unsigned t = 0;
    while (t < n && (t == skip || q[t] != top)) {
        ++t;
    }
    return t;
}

// The token that takes the rest of the scale: the first of the largest index.
unsigned remainderToken(const uint8_t* q, unsigned n) {
    return firstOfLargest(q, n, n);
}

// The frequencies the indexes give, the remainder token's being what the others leave; 0 when
// that is not a frequency the coder can use.
bool frequenciesOf(const uint8_t* q, unsigned n, unsigned alphabet, Frequencies& out) {
    std::fill(std::begin(out.f), std::end(out.f), uint16_t{0});
    const unsigned r = remainderToken(q, n);
    uint32_t others = 0;
    unsigned used = 0;
    for (unsigned t = 0; t < n; ++t) {
        if (t != r) {
            out.f[t] = static_cast<uint16_t>(indexValue(q[t]));
            others += out.f[t];
        }
        used += q[t] != 0;
    }
    if (used < 2 || n > alphabet || others >= kProbScale || kProbScale - others >= kProbScale) {
        return false;
    }
    out.f[r] = static_cast<uint16_t>(kProbScale - others);
    out.rest = static_cast<uint16_t>(r);
    return true;
}

// count * kProbScale / total rounded down, from a multiplication: the product is within one of
// the quotient (both operands are exact doubles and the quotient at most kProbScale), and one
// step either way makes it exact.
uint64_t shareOf(uint32_t count, uint64_t total, double inverse) {
    const uint64_t scaled = uint64_t{count} * kProbScale;
    uint64_t share = static_cast<uint64_t>(static_cast<double>(scaled) * inverse);
    if (share * total > scaled) {
        --share;
    } else if ((share + 1) * total <= scaled) {
        ++share;
    }
    return share;
}

} // namespace

bool normalizeFrequencies(const uint32_t* counts, unsigned alphabet, Frequencies& out) {
    uint64_t total = 0;
    unsigned used = 0;
    unsigned last = 0;
    for (unsigned t = 0; t < alphabet; ++t) {
        total += counts[t];
        if (counts[t] != 0) {
            ++used;
            last = t;
        }
    }
    if (used == 0) {
        return false;
    }
    const double inverse = 1.0 / static_cast<double>(total);
    uint8_t q[kMaxTokens] = {};
    for (unsigned t = 0; t < alphabet; ++t) {
        if (counts[t] != 0) {
            const uint64_t share = shareOf(counts[t], total, inverse);
            q[t] = static_cast<uint8_t>(
                indexBelow(static_cast<uint32_t>(std::max<uint64_t>(share, 1))));
        }
    }
    if (used == 1) {
        q[(last + 1) % alphabet] = 1;
    }
    // Rounding small shares up to 1 may leave the remainder token nothing: take from the
    // largest of the others until it has something. Only others lose, so the remainder token
    // stays the first of the largest.
    const unsigned r = remainderToken(q, alphabet);
    uint32_t others = 0;
    for (unsigned t = 0; t < alphabet; ++t) {
        others += t != r ? indexValue(q[t]) : 0;
    }
    while (others >= kProbScale) {
        const unsigned largest = firstOfLargest(q, alphabet, r);
        others -= indexValue(q[largest]) - indexValue(q[largest] - 1u);
        --q[largest];
    }
    return frequenciesOf(q, alphabet, alphabet, out);
}

namespace {

// The indexes back from frequencies that normalizeFrequencies made.
unsigned indexesOf(const Frequencies& f, unsigned alphabet, uint8_t* q) {
    unsigned n = 0;
    for (unsigned t = 0; t < alphabet; ++t) {
        q[t] = f.f[t] == 0 ? 0 : static_cast<uint8_t>(indexBelow(f.f[t]));
        n = f.f[t] != 0 ? t + 1 : n;
    }
    // The remainder token's own value is never read: the largest index keeps it the first of
    // the largest, since every token before it has a smaller one.
    q[f.rest] = kMaxIndex;
    return n;
}

} // namespace

uint64_t frequencyBits(const Frequencies& f, unsigned alphabet) {
    uint8_t q[kMaxTokens];
    const unsigned n = indexesOf(f, alphabet, q);
    uint64_t bits = expGolombBits(n - 1);
    int32_t prev = 0;
    for (unsigned t = 0; t < n; ++t) {
        bits += expGolombBits(zigzag(q[t] - prev));
        prev = q[t];
    }
    return bits;
}

void writeFrequencies(const Frequencies& f, unsigned alphabet, BitWriter& out) {
    uint8_t q[kMaxTokens];
    const unsigned n = indexesOf(f, alphabet, q);
    putExpGolomb(out, n - 1);
    int32_t prev = 0;
    for (unsigned t = 0; t < n; ++t) {
        putExpGolomb(out, zigzag(q[t] - prev));
        prev = q[t];
    }
}

Status readFrequencies(BitReader& in, unsigned alphabet, Frequencies& out) {
    bool ok = true;
    const uint32_t n = getExpGolomb(in, ok) + 1;
    if (!ok || n > alphabet) {
        return Status::Corrupt;
    }
    uint8_t q[kMaxTokens] = {};
    int32_t prev = 0;
    for (unsigned t = 0; t < n; ++t) {
        const int32_t v = prev + unzigzagInt(getExpGolomb(in, ok));
        if (!ok || v < 0 || v > static_cast<int32_t>(kMaxIndex)) {
            return Status::Corrupt;
        }
        q[t] = static_cast<uint8_t>(v);
        prev = v;
    }
    if (in.overrun()) {
        return Status::Truncated;
    }
    return frequenciesOf(q, n, alphabet, out) ? Status::Ok : Status::Corrupt;
}

void buildEncSymbols(const Frequencies& f, unsigned alphabet, RansEncSymbol* out) {
    static_assert(kRansLow >> kProbBits << 16 == 1u << 19, "xMax is the frequency << 19");
    uint32_t start = 0;
    for (unsigned t = 0; t < alphabet; ++t) {
        const uint32_t freq = f.f[t];
        RansEncSymbol& s = out[t];
        s = RansEncSymbol{};
        if (freq == 0) {
            continue;
        }
        uint32_t bias = start;
        uint32_t shift = 0;
        if (freq == 1) {
            // x * (2^32 - 1) >> 32 is x - 1: with the bias this gives x * kProbScale + start.
            s.rcpFreq = ~0u;
            bias = start + kProbScale - 1;
        } else {
            while (freq > (1u << shift)) {
                ++shift;
            }
            s.rcpFreq = static_cast<uint32_t>(((uint64_t{1} << (shift + 31)) + freq - 1) / freq);
            --shift;
        }
        s.packed = bias | (kProbScale - freq) << 13 | shift << 25;
        start += freq;
    }
}

void buildDecTable(const Frequencies& f, unsigned alphabet, RansDecTable& out) {
    // A token's slots are written sixteen at a time, which the compiler makes vector stores of:
    // the last sixteen of a run overlap the ones before and end exactly where the run does.
    constexpr uint32_t kBlock = 16;
    uint32_t* slot = out.entry;
    for (unsigned t = 0; t < alphabet; ++t) {
        const uint32_t freq = f.f[t];
        const uint32_t first = t | freq << 8;
        const auto fill = [&](uint32_t k) {
            for (uint32_t j = 0; j < kBlock; ++j) {
                slot[k + j] = first + ((k + j) << 20);
            }
        };
        if (freq >= kBlock) {
            for (uint32_t k = 0; k + kBlock <= freq; k += kBlock) {
                fill(k);
            }
            fill(freq - kBlock);
        } else {
            for (uint32_t k = 0; k < freq; ++k) {
                slot[k] = first + (k << 20);
            }
        }
        slot += freq;
    }
}

} // namespace kvcodec
