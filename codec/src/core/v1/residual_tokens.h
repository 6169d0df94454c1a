// The alphabet residuals are coded in: small values are tokens of their own, larger ones a
// token for their size followed by raw bits.
#pragma once

#include <cstdint>

namespace kvcodec::v1 {

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

} // namespace kvcodec::v1
