// Version 1's canonical prefix codes over the residual tokens, of at most 11 bits, as its
// frames carry them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/bit_io.h"
#include "core/v1/residual_tokens.h"

namespace kvcodec::v1 {

constexpr unsigned kMaxCodeLength = 11;

struct Code {
    uint16_t bits;
    uint8_t length;
};

// Canonical codes from lengths, in token order.
void assignCodes(const uint8_t* lengths, unsigned alphabet, Code* codes);

// A table travels as one bit (0: no token used), then per token in order one bit 0 when its
// length equals the previous token's (0 before the first), else 1 and the length in 4 bits.

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

} // namespace kvcodec::v1
