// The frequency tables of the range coder: how a frame's token counts become frequencies that
// sum to kProbScale, how they travel in the frame, and the tables the encoder and the decoder
// build from them.
//
// States stay within [kRansLow, 2^31) and move by 16-bit words. Below 2^31 the encoder's
// division by a frequency is exact as a multiplication by a 32-bit reciprocal, so neither side
// divides.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/bit_io.h"
#include "core/status.h"

namespace kvcodec {

constexpr unsigned kProbBits = 12;
constexpr uint32_t kProbScale = 1u << kProbBits;
constexpr uint32_t kRansLow = 1u << 15;
// Interleaved states of one segment: symbol i of a segment moves state i % kRansLanes. A
// decoder's step of a state waits on a table look-up and a multiplication of the step before;
// 64 states, four vectors of sixteen or eight of eight, keep enough steps in flight to hide
// that, where 32 left the decoder waiting half of its time.
constexpr unsigned kRansLanes = 64;
// Alphabets of at most this many tokens: a token fits the 8 bits a decoding entry gives it.
constexpr unsigned kMaxTokens = 256;

// Frequencies of one context, indexed by token; 0 for tokens the context never codes. `rest` is
// the token whose frequency is what the others leave of the scale.
struct Frequencies {
    uint16_t f[kMaxTokens];
    uint16_t rest;
};

// Frequencies for the counts, summing to kProbScale, each in a form the table coding can
// carry: every used token but one rounded down to a value of three significant bits (at most
// 1/16 below its share), and the first token of the largest rounded value taking the rest. A
// context with a single used token gives a neighbour a frequency of 1, so that no frequency
// reaches kProbScale. Returns false when no token is used.
bool normalizeFrequencies(const uint32_t* counts, unsigned alphabet, Frequencies& out);

// The frequencies of one context in the frame's table block, and back. Reading refuses what
// writeFrequencies never writes.
void writeFrequencies(const Frequencies& f, unsigned alphabet, BitWriter& out);
uint64_t frequencyBits(const Frequencies& f, unsigned alphabet);
Status readFrequencies(BitReader& in, unsigned alphabet, Frequencies& out);

// What the encoder needs of one token to move a state by it, in 8 bytes so that vector loops
// fetch a symbol's all with one load: the reciprocal of its frequency, for the exact quotient,
// and its bias (13 bits), the scale less its frequency (12 bits) and the reciprocal's shift.
struct RansEncSymbol {
    uint32_t rcpFreq;
    uint32_t packed; // bias | complement << 13 | shift << 25

    uint32_t bias() const { return packed & 0x1FFF; }
    uint32_t complement() const { return packed >> 13 & 0xFFF; }
    uint32_t shift() const { return packed >> 25; }
    // A state at or above this gives out a word before it moves.
    uint32_t xMax() const { return (kProbScale - complement()) << 19; }
};

void buildEncSymbols(const Frequencies& f, unsigned alphabet, RansEncSymbol* out);

// Decoding entries, one per slot of kProbScale: the token in bits 0-7, its frequency in bits
// 8-19 and the slot's distance from the token's first slot in bits 20-31.
struct RansDecTable {
    uint32_t entry[kProbScale];
};

void buildDecTable(const Frequencies& f, unsigned alphabet, RansDecTable& out);

inline uint32_t ransEncodeStep(uint32_t x, const RansEncSymbol& s) {
    const uint32_t q = static_cast<uint32_t>((uint64_t{x} * s.rcpFreq) >> 32) >> s.shift();
    return x + s.bias() + q * s.complement();
}

inline uint32_t ransDecodeStep(uint32_t x, uint32_t entry) {
    return (entry >> 8 & 0xFFF) * (x >> kProbBits) + (entry >> 20);
}

} // namespace kvcodec
