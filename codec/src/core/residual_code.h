// How the current bitstream codes a residual: its zigzag value as a token and raw bits, and a
// sample's context, which comes from the tokens of the samples above it only. Since no context
// looks left, a decoder knows the contexts of a whole row before it reads any of it, and can
// read many samples of a row at once.
#pragma once

#include <algorithm>
#include <cstdint>

namespace kvcodec::code {

// Median prediction: the median of left, top and left + top - top-left, modulo 2^depth. The row
// above a slice's first row is mid-grey; in the first column left and top-left are top.
inline int32_t median(int32_t left, int32_t top, int32_t topLeft) {
    // Written as selections, which compile to conditional moves: the outcome depends on noise.
    const int32_t lo = left < top ? left : top;
    const int32_t hi = left < top ? top : left;
    const int32_t g = left + top - topLeft;
    const int32_t above = g > hi ? hi : g;
    return above < lo ? lo : above;
}

// A coded plane's predictor, as its record names it. From version 5 a plane may take the mean of
// left and top instead of the median: where every sample carries noise of its own (film grain),
// the mean halves the noise its two neighbours bring, where the median follows one of them or
// adds both and takes off a third. Either predicts a slice's first row from the left and the
// first column from the top.
enum class Predictor : uint8_t { Median = 1, Average = 2 };

template <Predictor P>
inline int32_t predict(int32_t left, int32_t top, int32_t topLeft) {
    if constexpr (P == Predictor::Median) {
        return median(left, top, topLeft);
    } else {
        return (left + top + 1) >> 1;
    }
}

// From version 5 a residual is coded negated (mirrored) where the row above falls from top-left
// to top: the residuals there lean the other way from where it rises, and mirroring
// turns both leanings into one, which the zigzag's order of signs and the tables then code in
// fewer bits. Both samples are known before the one predicted, so the choice stays out of the
// chain from sample to sample.
inline bool mirrors(int32_t top, int32_t topLeft) {
    return top < topLeft;
}

inline uint32_t zigzag(uint32_t residual, unsigned depth) {
    const uint32_t mask = (1u << depth) - 1;
    const uint32_t sign = (residual >> (depth - 1)) & 1;
    return ((residual << 1) ^ (0u - sign)) & mask;
}

inline uint32_t unzigzag(uint32_t z) {
    return (z >> 1) ^ (0u - (z & 1));
}

// Residuals below kLiteralTokens (all of them at 8 bits) are tokens of their own; a larger one
// of n bits is token kLiteralTokens + 2 (n - 8) + the bit below its top bit, followed by its
// n - 2 low bits as they are.
constexpr uint32_t kLiteralTokens = 128;

constexpr unsigned alphabetSize(unsigned depth) {
    return depth <= 8 ? 256 : kLiteralTokens + 2 * (depth - 7);
}

inline unsigned tokenOf(uint32_t z, unsigned depth, unsigned* rawBits) {
    if (depth <= 8 || z < kLiteralTokens) {
        *rawBits = 0;
        return z;
    }
    const unsigned n = 32 - static_cast<unsigned>(__builtin_clz(z));
    *rawBits = n - 2;
    return kLiteralTokens + 2 * (n - 8) + ((z >> (n - 2)) & 1);
}

inline bool isLiteral(unsigned token, unsigned depth) {
    return depth <= 8 || token < kLiteralTokens;
}

// For a token that is not a literal: its smallest value and how many raw bits follow it.
inline unsigned rawBitsOf(unsigned token) {
    return 8 + (token - kLiteralTokens) / 2 - 2;
}

inline uint32_t escapeBase(unsigned token) {
    const unsigned k = token - kLiteralTokens;
    return (2u | (k & 1)) << rawBitsOf(token);
}

constexpr unsigned kContexts = 16;

// A token's weight in the contexts below it: its value, capped. A sum of the neighbours' sizes
// tells a busy neighbourhood from one busy neighbour better than a sum of their logarithms (about
// 2% smaller photographs than version 2's classes); the cap keeps one hard edge above from
// swamping the rest, which screen content needs.
constexpr unsigned kActivityCap = 32;

constexpr unsigned activity(unsigned token) {
    return std::min(token, kActivityCap);
}

constexpr unsigned averageUp(unsigned a, unsigned b) {
    return (a + b + 1) >> 1;
}

// The context is the number of these a neighbourhood's weighted sum reaches: roughly even steps of
// its logarithm, every step from 16 on a multiple of 16.
constexpr uint8_t kContextSteps[kContexts - 1] = {1,  2,  3,  5,  7,   10,  14, 16,
                                                  32, 48, 64, 96, 128, 160, 192};

constexpr unsigned contextOfSum(unsigned sum) {
    unsigned c = 0;
    for (const uint8_t step : kContextSteps) {
        c += sum >= step;
    }
    return c;
}

// The context of a sum by its two nibbles, as vector loops look it up: below 16 the low nibble
// decides, from 16 on the high nibble alone, whose contexts are all above the low nibble's.
constexpr auto kContextsByNibble = [] {
    struct {
        uint8_t low[16];
        uint8_t high[16];
    } t{};
    for (unsigned i = 0; i < 16; ++i) {
        t.low[i] = static_cast<uint8_t>(contextOfSum(i));
        t.high[i] = static_cast<uint8_t>(i == 0 ? 0 : contextOfSum(16 * i));
    }
    return t;
}();

// The context of the sample below a[0]: `a` and `aa` point into the activities of the rows one
// and two above it, whose edges repeat their end samples (and which are zero above a slice).
// Eight neighbours: above twice, above-left, above-right and two above once, and the mean of the
// two a further column out above and the two beside two above twice; the sum is at most 224.
inline unsigned wideContext(const uint8_t* a, const uint8_t* aa) {
    const unsigned further = averageUp(averageUp(a[-2], a[2]), averageUp(aa[-1], aa[1]));
    return contextOfSum(2 * a[0] + a[-1] + a[1] + aa[0] + 2 * further);
}

// Version 2 contexts, which its frames are still read with.
// Activity classes 0 to 5 by the residual's size relative to 8 bits: above 0, 1, 3, 7 and 15.
// Each bound is a power of two times 2^(depth - 8), which no token straddles, so the class is a
// function of the token.
inline unsigned activityClass(uint32_t z, unsigned depth) {
    const uint32_t v = z >> (depth - 8);
    return (v > 0) + (v > 1) + (v > 3) + (v > 7) + (v > 15);
}

inline unsigned tokenClass(unsigned token, unsigned depth) {
    return activityClass(isLiteral(token, depth) ? token : escapeBase(token), depth);
}

// The context from the classes above-left, above, above-right and two above.
inline unsigned contextOf(unsigned topLeft, unsigned top, unsigned topRight, unsigned topTop) {
    return std::min(2 * top + topLeft + topRight + topTop, kContexts - 1);
}

} // namespace kvcodec::code
