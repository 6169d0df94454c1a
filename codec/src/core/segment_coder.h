// One coded plane of one slice: prediction, residual tokens and their prefix code, or the
// samples stored as they are when coding would not make them smaller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/prefix_code.h"
#include "core/status.h"

namespace kvcodec {

struct Kernels;

constexpr size_t kSegmentHeaderBytes = 8;

enum class SegmentMode : uint8_t { Stored = 0, Coded = 1 };

inline uint64_t storedBytes(uint64_t samples, unsigned depth) {
    return (samples * depth + 7) / 8;
}

// The bit writer stores 8 bytes at a time, up to 7 past the last byte it keeps; each segment's
// room includes them, so they land in the segment's own room.
constexpr size_t kWriterSlack = 8;

inline uint64_t segmentBound(uint64_t samples, unsigned depth) {
    return kSegmentHeaderBytes + storedBytes(samples, depth) + kWriterSlack;
}

// Working memory of one thread, sized once for the largest slice.
struct PlaneScratch {
    std::vector<uint16_t> residual;
    std::vector<uint8_t> classes;
    std::vector<uint8_t> context;
    std::vector<uint16_t> window; // the decoder's rows in flight
    std::vector<uint32_t> counts;
    std::vector<Code> codes;
    std::vector<DecodeTable> tables;
    PlaneScratch(size_t samples, uint32_t width);
};

// Writes the segment of `rows` rows of `width` samples; `out` has segmentBound bytes.
// Returns the bytes written.
size_t encodeSegment(const Kernels& k, const uint16_t* samples, uint32_t width, uint32_t rows,
                     unsigned depth, uint8_t* out, PlaneScratch& scratch);

// Decodes one segment from in[0, size) into samples; sets *used to its byte count. Bytes up to
// in + readable (readable >= size) may be loaded but are never taken as part of the segment.
// Each sample comes back in its low `depth` bits; the bits above are the decoder's own.
Status decodeSegment(const Kernels& k, const uint8_t* in, size_t size, size_t readable,
                     uint32_t width, uint32_t rows, unsigned depth, uint16_t* samples, size_t* used,
                     PlaneScratch& scratch);

} // namespace kvcodec
