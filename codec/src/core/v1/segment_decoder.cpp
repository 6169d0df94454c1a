#include "core/v1/segment_decoder.h"

#include <algorithm>

#include "core/bit_io.h"
#include "core/v1/contexts.h"
#include "dsp/kernels.h"

namespace kvcodec::v1 {

namespace {

enum class SegmentMode : uint8_t { Stored = 0, Coded = 1 };
enum class Predictor : uint8_t { Gradient = 1 };

constexpr size_t kSegmentHeaderBytes = 8;

// A table no token uses decodes as token 0 of class 0 with no bits, which keeps the loops
// simple; a segment whose samples reach one is refused once they are decoded.
constexpr uint16_t kUnusedEntry = 0;

// Leaves each sample's class in its top two bits (see kClassShift). The first row predicts
// from a row of mid-grey samples of class 0 above it, which makes the gradient the left
// neighbour and the first prediction mid-grey.
void decodePlane(const Kernels& k, BitReader* streams, const DecodeTable* tables, uint32_t w,
                 uint32_t rows, unsigned depth, uint16_t* samples, SegmentScratch& scratch) {
    BitReader& s0 = streams[0];
    BitReader& s1 = streams[1];
    const bool deep = depth > 8;
    const uint32_t mask = (1u << depth) - 1;
    uint16_t* window = scratch.window.data();
    std::fill(window, window + w, static_cast<uint16_t>(1u << (depth - 1)));
    for (uint32_t y = 0; y < rows; y += 2) {
        uint16_t* a = samples + size_t{y} * w;
        const bool both = y + 1 < rows;
        k.v1DecodeRows[deep](s0, s1, tables, window, w, both);
        k.v1RebuildRow[deep](window, window + kWindowStride, a, w, mask);
        const uint16_t* last = a;
        if (both) {
            k.v1RebuildRow[deep](a, window + 2 * kWindowStride, a + w, w, mask);
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

} // namespace

SegmentScratch::SegmentScratch(uint32_t width)
    : window(2 * kWindowStride + width), tables(kContexts) {}

Status decodeSegment(const Kernels& k, const uint8_t* in, size_t size, size_t readable,
                     uint32_t width, uint32_t rows, unsigned depth, uint16_t* samples, size_t* used,
                     SegmentScratch& scratch) {
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
        return in[1] == 0 && in[2] == 0 && readStored(payload, payloadSize, n, depth, samples)
                   ? Status::Ok
                   : Status::Corrupt;
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

} // namespace kvcodec::v1
