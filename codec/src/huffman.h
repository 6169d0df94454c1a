// Length-limited canonical prefix codes over the residual tokens.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvcodec {

constexpr unsigned kMaxCodeLength = 12;
constexpr unsigned kLiteralTokens = 256;
constexpr unsigned kMaxAlphabet = kLiteralTokens + 2 * 8; // up to 16-bit residuals

// Tokens of a residual alphabet of `depth` bits: every value below 256 has its own token; a
// larger value is coded as its bit length and the bit below the top one, followed by the
// remaining bits raw.
constexpr unsigned alphabetSize(unsigned depth) {
    return depth <= 8 ? kLiteralTokens : kLiteralTokens + 2 * (depth - 8);
}

inline unsigned tokenOf(uint32_t z, uint32_t* extra, unsigned* extraBits) {
    if (z < kLiteralTokens) {
        *extraBits = 0;
        *extra = 0;
        return z;
    }
    const unsigned n = 32u - static_cast<unsigned>(__builtin_clz(z));
    *extraBits = n - 2;
    *extra = z & ((1u << (n - 2)) - 1);
    return kLiteralTokens + (n - 9) * 2 + ((z >> (n - 2)) & 1);
}

inline unsigned tokenExtraBits(unsigned token) {
    return token < kLiteralTokens ? 0 : 9 + (token - kLiteralTokens) / 2 - 2;
}

inline uint32_t tokenBase(unsigned token) {
    if (token < kLiteralTokens) {
        return token;
    }
    const unsigned k = token - kLiteralTokens;
    const unsigned n = 9 + k / 2;
    return (2u | (k & 1)) << (n - 2);
}

struct Code {
    uint16_t bits;
    uint8_t length;
};

// Code lengths for the given counts: a complete prefix code of at most kMaxCodeLength bits, or
// a single used token with length 1, which assignCodes then codes with no bits at all.
void buildLengths(const uint32_t* counts, unsigned alphabet, uint8_t* lengths);

// Canonical codes from lengths, in token order.
void assignCodes(const uint8_t* lengths, unsigned alphabet, Code* codes);

// Lengths travel as four bits each, two per byte, in token order.
size_t tableBytes(unsigned alphabet);
void writeLengths(const uint8_t* lengths, unsigned alphabet, uint8_t* out);

// Decoding table indexed by the next kMaxCodeLength bits: token << 4 | length.
struct DecodeTable {
    uint16_t entry[1u << kMaxCodeLength];
};

// Reads lengths and builds the table; false when they do not form a valid code.
bool readTable(const uint8_t* in, unsigned alphabet, DecodeTable& table);

} // namespace kvcodec
