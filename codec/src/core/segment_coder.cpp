#include "core/segment_coder.h"

#include <algorithm>

#include "core/bit_io.h"
#include "core/contexts.h"
#include "dsp/kernels.h"

namespace kvcodec {

namespace {

enum class Predictor : uint8_t { Gradient = 1 };

// A table no token uses decodes as token 0 of class 0 with no bits, which keeps the loops
// simple; a segment whose samples reach one is refused once they are decoded.
constexpr uint16_t kUnusedEntry = 0;

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

// Leaves each sample's class in its top two bits (see kClassShift). The first row predicts
// from a row of mid-grey samples of class 0 above it, which makes the gradient the left
// neighbour and the first prediction mid-grey.
void decodePlane(const Kernels& k, BitReader* streams, const DecodeTable* tables, uint32_t w,
                 uint32_t rows, unsigned depth, uint16_t* samples, PlaneScratch& scratch) {
    BitReader& s0 = streams[0];
    BitReader& s1 = streams[1];
    const bool deep = depth > 8;
    const uint32_t mask = (1u << depth) - 1;
    uint16_t* window = scratch.window.data();
    std::fill(window, window + w, static_cast<uint16_t>(1u << (depth - 1)));
    for (uint32_t y = 0; y < rows; y += 2) {
        uint16_t* a = samples + size_t{y} * w;
        const bool both = y + 1 < rows;
        k.decodeRows[deep](s0, s1, tables, window, w, both);
        k.rebuildRow[deep](window, window + kWindowStride, a, w, mask);
        const uint16_t* last = a;
        if (both) {
            k.rebuildRow[deep](a, window + 2 * kWindowStride, a + w, w, mask);
            last = a + w;
        }
        std::copy(last, last + w, window);
        if (s0.overrun() || s1.overrun()) {
            break;
        }
    }
}

// Whether some sample of a decoded plane has a context whose table no token uses.
bool reachesUnusedTable(const uint16_t* samples, uint32_t w, uint32_t rows, unsigned unused) {
    uint32_t hits = 0;
    // The row above the first has class 0 throughout.
    const uint16_t* top = nullptr;
    for (uint32_t y = 0; y < rows; ++y) {
        const uint16_t* row = samples + size_t{y} * w;
        uint32_t left = top != nullptr ? top[0] >> kClassShift : 0;
        for (uint32_t x = 0; x < w; ++x) {
            const uint32_t t = top != nullptr ? top[x] >> kClassShift : 0;
            hits |= unused >> (left + t);
            left = row[x] >> kClassShift;
        }
        top = row;
    }
    return (hits & 1) != 0;
}

// A valid stream ends within its last byte, padded with zeros.
bool endsCleanly(BitReader& br, uint64_t bytes) {
    const uint64_t bitsLeft = bytes * 8 - br.consumed();
    return bitsLeft < 8 && (bitsLeft == 0 || br.peek(static_cast<unsigned>(bitsLeft)) == 0);
}

} // namespace

PlaneScratch::PlaneScratch(size_t samples, uint32_t width)
    : residual(samples), classes(samples), context(samples), window(2 * kWindowStride + width),
      counts(4 * kContexts * kMaxAlphabet), codes(kContexts * kMaxAlphabet), tables(kContexts) {}

size_t encodeSegment(const Kernels& k, const uint16_t* samples, uint32_t width, uint32_t rows,
                     unsigned depth, uint8_t* out, PlaneScratch& scratch) {
    const size_t n = size_t{width} * rows;
    const unsigned alphabet = alphabetSize(depth);
    const bool deep = depth > 8;
    uint16_t* z = scratch.residual.data();
    uint8_t* ctx = scratch.context.data();
    uint32_t* counts = scratch.counts.data();
    Code* codes = scratch.codes.data();
    k.residuals(samples, width, rows, depth, z);
    k.contexts(z, width, rows, depth, scratch.classes.data(), ctx);
    k.countTokens[deep](z, ctx, width, rows, alphabet, counts);

    // The exact size of both streams is known before writing, so the stored fallback costs
    // nothing and the odd rows' stream can be written in its final place at once.
    uint8_t lengths[kContexts][kMaxAlphabet];
    uint64_t bits[2] = {0, 0};
    const uint32_t* odd = counts + kContexts * kMaxAlphabet;
    for (unsigned c = 0; c < kContexts; ++c) {
        uint32_t total[kMaxAlphabet];
        for (unsigned t = 0; t < alphabet; ++t) {
            total[t] = counts[c * alphabet + t] + odd[c * alphabet + t];
        }
        buildLengths(total, alphabet, lengths[c]);
        assignCodes(lengths[c], alphabet, codes + c * alphabet);
        bits[0] += tableBits(lengths[c], alphabet);
        for (unsigned t = 0; t < alphabet; ++t) {
            const unsigned cost = codes[c * alphabet + t].length + tokenExtraBits(t);
            bits[0] += uint64_t{counts[c * alphabet + t]} * cost;
            bits[1] += uint64_t{odd[c * alphabet + t]} * cost;
        }
    }
    const uint64_t firstBytes = (bits[0] + 7) / 8;
    const uint64_t payload = 4 + firstBytes + (bits[1] + 7) / 8;
    if (payload >= storedBytes(n, depth)) {
        return writeStored(samples, n, depth, out);
    }

    out[0] = static_cast<uint8_t>(SegmentMode::Coded);
    out[1] = static_cast<uint8_t>(Predictor::Gradient);
    out[2] = kContexts;
    out[3] = 0;
    storeLe32(out + 4, static_cast<uint32_t>(payload));
    uint8_t* first = out + kSegmentHeaderBytes + 4;
    storeLe32(first - 4, static_cast<uint32_t>(firstBytes));
    // One stream after the other: the writer's stores past its end land in the second stream's
    // place before that is written.
    for (unsigned parity = 0; parity < 2; ++parity) {
        BitWriter bw(parity == 0 ? first : first + firstBytes);
        if (parity == 0) {
            for (unsigned c = 0; c < kContexts; ++c) {
                writeTable(lengths[c], alphabet, bw);
            }
        }
        k.writeCodes[deep](z, ctx, width, rows, parity, alphabet, codes, bw);
        bw.finish();
    }
    return kSegmentHeaderBytes + payload;
}

Status decodeSegment(const Kernels& k, const uint8_t* in, size_t size, size_t readable,
                     uint32_t width, uint32_t rows, unsigned depth, uint16_t* samples, size_t* used,
                     PlaneScratch& scratch) {
    if (size < kSegmentHeaderBytes) {
        return Status::Truncated;
    }
    const uint64_t payloadSize = loadLe32(in + 4);
    if (payloadSize > size - kSegmentHeaderBytes) {
        return Status::Truncated;
    }
    if (in[3] != 0) {
        return Status::Corrupt;
    }
    *used = kSegmentHeaderBytes + payloadSize;
    const uint8_t* payload = in + kSegmentHeaderBytes;
    const size_t n = size_t{width} * rows;

    if (in[0] == static_cast<uint8_t>(SegmentMode::Stored)) {
        if (in[1] != 0 || in[2] != 0 || payloadSize != storedBytes(n, depth)) {
            return Status::Corrupt;
        }
        BitReader br(payload, payloadSize);
        for (size_t i = 0; i < n; ++i) {
            br.refill();
            samples[i] = static_cast<uint16_t>(br.read(depth));
        }
        return Status::Ok;
    }
    if (in[0] != static_cast<uint8_t>(SegmentMode::Coded) ||
        in[1] != static_cast<uint8_t>(Predictor::Gradient) || in[2] != kContexts) {
        return Status::Corrupt;
    }
    if (payloadSize < 4) {
        return Status::Truncated;
    }
    const uint64_t firstBytes = loadLe32(payload);
    if (firstBytes > payloadSize - 4) {
        return Status::Corrupt;
    }
    const uint64_t secondBytes = payloadSize - 4 - firstBytes;
    // Both streams may load ahead up to the end of what the caller can read, so that the fast
    // loops run to the last row.
    const size_t ahead = readable - kSegmentHeaderBytes - 4;
    BitReader streams[2] = {BitReader(payload + 4, firstBytes, ahead),
                            BitReader(payload + 4 + firstBytes, secondBytes, ahead - firstBytes)};
    const unsigned alphabet = alphabetSize(depth);
    uint16_t entryPayload[kMaxAlphabet];
    for (unsigned t = 0; t < alphabet; ++t) {
        entryPayload[t] = entryFor(t, depth);
    }
    unsigned unused = 0;
    for (unsigned c = 0; c < kContexts; ++c) {
        const TableRead r =
            readTable(streams[0], alphabet, entryPayload, kUnusedEntry, scratch.tables[c]);
        if (r == TableRead::Invalid) {
            return Status::Corrupt;
        }
        if (streams[0].overrun()) {
            return Status::Truncated;
        }
        unused |= r == TableRead::Unused ? 1u << c : 0u;
    }
    decodePlane(k, streams, scratch.tables.data(), width, rows, depth, samples, scratch);
    if (streams[0].overrun() || streams[1].overrun()) {
        return Status::Truncated;
    }
    if (!endsCleanly(streams[0], firstBytes) || !endsCleanly(streams[1], secondBytes) ||
        (unused != 0 && reachesUnusedTable(samples, width, rows, unused))) {
        return Status::Corrupt;
    }
    return Status::Ok;
}

} // namespace kvcodec
