// Version 1's activity classes and contexts: each residual falls in one of four classes by size,
// and a sample is coded with the table of its context, the sum of the classes of the residuals
// to its left and above. Busy and flat areas have very different residuals, and the decoder knows
// both neighbours' classes before it reads the sample.
//
// The decoder keeps each sample's class in the two bits above it (coded samples have at most 14
// bits), so that one load of the row above gives the class a context needs; its table entries
// carry the class in the same place.
#pragma once

#include <algorithm>
#include <cstdint>

#include "core/v1/residual_tokens.h"

namespace kvcodec::v1 {

constexpr unsigned kContexts = 7;
constexpr unsigned kMaxCodedDepth = 14;

inline unsigned activityClass(uint32_t z, unsigned shift) {
    const uint32_t v = std::min<uint32_t>(z, 255) >> shift;
    return (v > 0) + (v > 2) + (v > 6);
}

inline uint32_t unzigzag(uint32_t z) {
    return (z >> 1) ^ (0u - (z & 1));
}

// A decoding table entry: the code length in bits 0-3, the token in bits 4-12 and the token's
// activity class in bits 14-15. Beside a residual the decoder keeps at depth 8 the entry as it
// stands, deeper the residual's zigzag value; beside a rebuilt sample, the sample. An entry's
// class is the next sample's left context as it stands.
constexpr unsigned kTokenShift = 4;
constexpr uint32_t kTokenBits = 511;
constexpr unsigned kClassShift = 14;
constexpr uint32_t kClassBits = 3u << kClassShift;
constexpr uint32_t kValueBits = (1u << kClassShift) - 1;
static_assert(kMaxCodedDepth + 2 <= 16);

inline uint16_t entryFor(unsigned token, unsigned depth) {
    return static_cast<uint16_t>((activityClass(token, depth - 8) << kClassShift) |
                                 (token << kTokenShift));
}

} // namespace kvcodec::v1
