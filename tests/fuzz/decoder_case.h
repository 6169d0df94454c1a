// The head of a decoder fuzz input, shared by the target and the seed generator so that the
// seeds stay inputs the target understands.
#pragma once

#include "fuzz_input.h"

#include <cstdint>
#include <vector>

namespace korvadin_fuzz {

struct DecoderCase {
    uint8_t variant = 0;       // index into the sixteen variants, modulo their count
    uint32_t width = 1;        // 1 .. 256
    uint32_t height = 1;       // 1 .. 256
    uint32_t threads = 1;      // 1 or 2
    bool portable = false;     // the portable loops instead of the processor's faster ones
    uint8_t oldVersion = 0;    // 1 to 4: a configuration of that bitstream version
    unsigned flippedBytes = 0; // configuration bytes changed, 0 .. 3

    static DecoderCase read(ByteReader& in) {
        DecoderCase c;
        c.variant = in.byte();
        c.width = in.byte() + 1u;
        c.height = in.byte() + 1u;
        const uint8_t flags = in.byte();
        c.threads = (flags & 1) != 0 ? 2 : 1;
        c.portable = (flags & 2) != 0;
        c.oldVersion = static_cast<uint8_t>((flags >> 2) & 7);
        c.flippedBytes = (flags >> 5) & 3;
        return c;
    }

    // The head of an input with no flipped bytes; the frame follows it.
    std::vector<uint8_t> head() const {
        return {
            variant, static_cast<uint8_t>(width - 1), static_cast<uint8_t>(height - 1),
            static_cast<uint8_t>((threads == 2 ? 1 : 0) | (portable ? 2 : 0) | oldVersion << 2)};
    }
};

} // namespace korvadin_fuzz
