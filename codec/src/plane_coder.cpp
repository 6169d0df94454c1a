#include "plane_coder.h"

#include <algorithm>
#include <array>

#include "bitio.h"
#include "korvadin_codec.h"

namespace kvcodec {

namespace {

enum class Predictor : uint8_t { Median = 1 };

inline int median3(int a, int b, int c) {
    return std::max(std::min(a, b), std::min(std::max(a, b), c));
}

inline uint32_t zigzag(uint32_t r, unsigned depth) {
    // r is the residual modulo 2^depth; the sign is its top bit.
    const uint32_t sign = (r >> (depth - 1)) & 1;
    const uint32_t mask = (1u << depth) - 1;
    return ((r << 1) ^ (0u - sign)) & mask;
}

inline uint32_t unzigzag(uint32_t z) {
    return (z >> 1) ^ (0u - (z & 1));
}

// Residuals in scan order, with the median of left, top and their gradient as prediction;
// the first row predicts from the left, the first column from above.
void medianResiduals(const uint16_t* s, uint32_t w, uint32_t rows, unsigned depth, uint16_t* z,
                     uint32_t* counts) {
    const uint32_t mask = (1u << depth) - 1;
    uint32_t prev = 1u << (depth - 1);
    for (uint32_t x = 0; x < w; ++x) {
        const uint32_t v = zigzag((s[x] - prev) & mask, depth);
        z[x] = static_cast<uint16_t>(v);
        prev = s[x];
    }
    for (uint32_t y = 1; y < rows; ++y) {
        const uint16_t* cur = s + size_t{y} * w;
        const uint16_t* top = cur - w;
        uint16_t* out = z + size_t{y} * w;
        out[0] = static_cast<uint16_t>(zigzag((cur[0] - top[0]) & mask, depth));
        for (uint32_t x = 1; x < w; ++x) {
            const int l = cur[x - 1];
            const int t = top[x];
            const int pred = median3(l, t, l + t - top[x - 1]);
            out[x] = static_cast<uint16_t>(zigzag((cur[x] - pred) & mask, depth));
        }
    }
    const size_t n = size_t{w} * rows;
    for (size_t i = 0; i < n; ++i) {
        uint32_t extra;
        unsigned extraBits;
        ++counts[tokenOf(z[i], &extra, &extraBits)];
    }
}

size_t writeStored(const uint16_t* s, size_t n, unsigned depth, uint8_t* out) {
    out[0] = static_cast<uint8_t>(SegmentMode::Stored);
    out[1] = out[2] = out[3] = 0;
    BitWriter bw(out + kSegmentHeaderBytes);
    for (size_t i = 0; i < n; ++i) {
        bw.put(s[i], depth);
    }
    const size_t payload = bw.finish();
    storeLe32(out + 4, static_cast<uint32_t>(payload));
    return kSegmentHeaderBytes + payload;
}

} // namespace

size_t encodeSegment(const uint16_t* samples, uint32_t width, uint32_t rows, unsigned depth,
                     uint8_t* out, PlaneScratch& scratch) {
    const size_t n = size_t{width} * rows;
    const unsigned alphabet = alphabetSize(depth);
    std::array<uint32_t, kMaxAlphabet> counts{};
    uint16_t* z = scratch.residual.data();
    medianResiduals(samples, width, rows, depth, z, counts.data());

    std::array<uint8_t, kMaxAlphabet> lengths;
    buildLengths(counts.data(), alphabet, lengths.data());
    std::array<Code, kMaxAlphabet> codes;
    assignCodes(lengths.data(), alphabet, codes.data());

    // The exact coded size is known before writing, so the choice costs nothing.
    uint64_t bits = 0;
    for (unsigned t = 0; t < alphabet; ++t) {
        bits += uint64_t{counts[t]} * (codes[t].length + tokenExtraBits(t));
    }
    const uint64_t codedPayload = tableBytes(alphabet) + (bits + 7) / 8;
    if (codedPayload >= storedBytes(n, depth)) {
        return writeStored(samples, n, depth, out);
    }

    out[0] = static_cast<uint8_t>(SegmentMode::Coded);
    out[1] = static_cast<uint8_t>(Predictor::Median);
    out[2] = out[3] = 0;
    uint8_t* payload = out + kSegmentHeaderBytes;
    writeLengths(lengths.data(), alphabet, payload);
    BitWriter bw(payload + tableBytes(alphabet));
    for (size_t i = 0; i < n; ++i) {
        uint32_t extra;
        unsigned extraBits;
        const unsigned t = tokenOf(z[i], &extra, &extraBits);
        bw.put((uint32_t{codes[t].bits} << extraBits) | extra, codes[t].length + extraBits);
    }
    const size_t written = tableBytes(alphabet) + bw.finish();
    storeLe32(out + 4, static_cast<uint32_t>(written));
    return kSegmentHeaderBytes + written;
}

int32_t decodeSegment(const uint8_t* in, size_t size, uint32_t width, uint32_t rows, unsigned depth,
                      uint16_t* samples, size_t* used, PlaneScratch& scratch) {
    if (size < kSegmentHeaderBytes) {
        return KORVADIN_E_TRUNCATED;
    }
    const uint64_t payloadSize = loadLe32(in + 4);
    if (payloadSize > size - kSegmentHeaderBytes) {
        return KORVADIN_E_TRUNCATED;
    }
    if (in[2] != 0 || in[3] != 0) {
        return KORVADIN_E_CORRUPT;
    }
    *used = kSegmentHeaderBytes + payloadSize;
    const uint8_t* payload = in + kSegmentHeaderBytes;
    const size_t n = size_t{width} * rows;
    const uint32_t mask = (1u << depth) - 1;

    if (in[0] == static_cast<uint8_t>(SegmentMode::Stored)) {
        if (in[1] != 0 || payloadSize != storedBytes(n, depth)) {
            return KORVADIN_E_CORRUPT;
        }
        BitReader br(payload, payloadSize);
        for (size_t i = 0; i < n; ++i) {
            br.refill();
            samples[i] = static_cast<uint16_t>(br.read(depth));
        }
        return KORVADIN_OK;
    }
    if (in[0] != static_cast<uint8_t>(SegmentMode::Coded) ||
        in[1] != static_cast<uint8_t>(Predictor::Median)) {
        return KORVADIN_E_CORRUPT;
    }
    const unsigned alphabet = alphabetSize(depth);
    if (payloadSize < tableBytes(alphabet)) {
        return KORVADIN_E_TRUNCATED;
    }
    DecodeTable& table = scratch.table;
    if (!readTable(payload, alphabet, table)) {
        return KORVADIN_E_CORRUPT;
    }
    BitReader br(payload + tableBytes(alphabet), payloadSize - tableBytes(alphabet));
    auto next = [&]() -> uint32_t {
        br.refill();
        const uint32_t e = table.entry[br.peek(kMaxCodeLength)];
        br.skip(e & 15);
        const unsigned t = e >> 4;
        if (t < kLiteralTokens) {
            return t;
        }
        return tokenBase(t) | br.read(tokenExtraBits(t));
    };
    // Tokens beyond the depth's range cannot occur in a valid stream; masking keeps a damaged
    // one harmless.
    uint32_t prev = 1u << (depth - 1);
    for (uint32_t x = 0; x < width; ++x) {
        prev = (prev + unzigzag(next() & mask)) & mask;
        samples[x] = static_cast<uint16_t>(prev);
    }
    for (uint32_t y = 1; y < rows; ++y) {
        if (br.overrun()) {
            return KORVADIN_E_TRUNCATED;
        }
        uint16_t* cur = samples + size_t{y} * width;
        const uint16_t* top = cur - width;
        cur[0] = static_cast<uint16_t>((top[0] + unzigzag(next() & mask)) & mask);
        for (uint32_t x = 1; x < width; ++x) {
            const int l = cur[x - 1];
            const int t = top[x];
            const int pred = median3(l, t, l + t - top[x - 1]);
            cur[x] = static_cast<uint16_t>((pred + unzigzag(next() & mask)) & mask);
        }
    }
    // A valid stream ends within its last byte, padded with zeros.
    const uint64_t bitsLeft = (payloadSize - tableBytes(alphabet)) * 8 - br.consumed();
    if (br.overrun() || bitsLeft >= 8) {
        return br.overrun() ? KORVADIN_E_TRUNCATED : KORVADIN_E_CORRUPT;
    }
    if (bitsLeft > 0 && br.peek(static_cast<unsigned>(bitsLeft)) != 0) {
        return KORVADIN_E_CORRUPT;
    }
    return KORVADIN_OK;
}

} // namespace kvcodec
