#include "core/v1/prefix_code.h"

#include <algorithm>
#include <array>

namespace kvcodec::v1 {

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

} // namespace kvcodec::v1
