// Version 1's coded planes of a slice ("segments"), which later versions still decode: gradient
// prediction, residual tokens under seven prefix-code tables in two interleaved streams, or the
// samples stored as they are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/status.h"
#include "core/v1/prefix_code.h"

namespace kvcodec {

struct Kernels;

namespace v1 {

// Working memory of one thread, sized once for the widest plane.
struct SegmentScratch {
    std::vector<uint16_t> window; // the decoder's rows in flight
    std::vector<DecodeTable> tables;
    explicit SegmentScratch(uint32_t width);
};

// Decodes one segment from in[0, size) into samples; sets *used to its byte count. Bytes up to
// in + readable (readable >= size) may be loaded but are never taken as part of the segment.
// Each sample comes back in its low `depth` bits; the bits above are the decoder's own.
Status decodeSegment(const Kernels& k, const uint8_t* in, size_t size, size_t readable,
                     uint32_t width, uint32_t rows, unsigned depth, uint16_t* samples, size_t* used,
                     SegmentScratch& scratch);

} // namespace v1
} // namespace kvcodec
