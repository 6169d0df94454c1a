// Length-limited canonical prefix codes over the residual tokens, and the tables that carry
// them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/bit_io.h"
#include "core/residual_tokens.h"

namespace kvcodec {

constexpr unsigned kMaxCodeLength = 11;

struct Code {
    uint16_t bits;
    uint8_t length;
};

// Code lengths for the given counts: a complete prefix code of at most kMaxCodeLength bits, or
// a single used token with length 1, which assignCodes then codes with no bits at all.
void buildLengths(const uint32_t* counts, unsigned alphabet, uint8_t* lengths);

// Canonical codes from lengths, in token order.
void assignCodes(const uint8_t* lengths, unsigned alphabet, Code* codes);

// A table travels as one bit (0: no token used), then per token in order one bit 0 when its
// length equals the previous token's (0 before the first), else 1 and the length in 4 bits.
uint64_t tableBits(const uint8_t* lengths, unsigned alphabet);
void writeTable(const uint8_t* lengths, unsigned alphabet, BitWriter& out);

// Decoding table indexed by the next kMaxCodeLength bits: the code length in the low four bits
// and above it what the caller chose to store for the token.
struct DecodeTable {
    uint16_t entry[1u << kMaxCodeLength];
};

enum class TableRead { Invalid, Unused, Used };

// Reads a table: Invalid when its lengths do not form a valid code. Each entry of token t is
// payload[t] with the code length in its low four bits, which payload leaves clear; a table
// that no token uses is filled with `unused`.
TableRead readTable(BitReader& in, unsigned alphabet, const uint16_t* payload, uint16_t unused,
                    DecodeTable& table);

} // namespace kvcodec
