// Moving samples between a raw frame and the coded planes of one slice.
#pragma once

#include "core/geometry.h"

namespace kvcodec {

struct Kernels;

struct RawView {
    uint8_t* data[3] = {};
    uint64_t pitch[3] = {};
};

// Restores a 16-bit sample from its top `depth` bits by repeating them below.
inline uint16_t replicateBits(uint32_t v, unsigned depth) {
    return static_cast<uint16_t>((v << (16 - depth)) | (v >> (2 * depth - 16)));
}

// Which steps of the colour lifting (loops::liftRgb) the planes of an RGB layout take.
struct ColourLift {
    bool green = false;
    bool blue = false;
};

// Coded samples of slice s into planes[p] (rows of plane width, one after another): bytes for
// the layouts of 8-bit samples, 16-bit words for the others. RGB layouts take the lifting's
// green step when asked; blue's is the caller's, as it is decided from the gathered planes.
template <typename T>
void gatherSlice(const Kernels& k, const Geometry& g, const RawView& in, uint32_t s,
                 T* const* planes, bool liftGreen);
// The inverse: a decoded slice back into the raw frame, taking the low `depth` bits of each
// plane sample; the decoder too keeps 8-bit samples as bytes. The planes of an RGB layout are
// undone from `lift` first, in place.
template <typename T>
void scatterSlice(const Kernels& k, const Geometry& g, T* const* planes, uint32_t s,
                  const RawView& out, ColourLift lift);

} // namespace kvcodec
