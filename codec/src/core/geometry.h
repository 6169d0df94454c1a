// The geometry that ties one picture size to a raw layout and a compressed format: the raw
// planes, the coded planes and the slices they are cut into.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/formats.h"
#include "core/status.h"

namespace kvcodec {

// Largest picture side the library accepts.
constexpr uint32_t kMaxSide = 32768;
constexpr unsigned kMaxPlanes = 4;

struct PlaneShape {
    uint32_t width = 0;
    uint32_t height = 0;
    uint8_t shiftY = 0; // coded rows per slice are the slice's luma rows shifted right by this
};

// Where one raw plane lies in a frame, tightly packed.
struct RawPlaneShape {
    uint64_t rowBytes = 0;
    uint32_t rows = 0;
};

// Everything derived from one (variant, width, height): both the raw planes and the coded planes.
struct Geometry {
    const RawLayout* raw = nullptr;
    const Variant* variant = nullptr;
    uint32_t width = 0;
    uint32_t height = 0;
    unsigned rawPlaneCount = 0;
    RawPlaneShape rawPlane[3];
    unsigned planeCount = 0;
    PlaneShape plane[kMaxPlanes];
    uint32_t sliceRows = 0; // even, in luma rows
    uint32_t sliceCount = 0;

    uint64_t rawFrameSize() const;
    // First coded row of plane p in slice s, and its row count.
    uint32_t sliceFirstRow(unsigned p, uint32_t s) const;
    uint32_t sliceRowCount(unsigned p, uint32_t s) const;
};

// Raw plane shapes alone, for laying out frames; Size for a picture the library does not take.
Status rawShapes(const RawLayout& raw, uint32_t width, uint32_t height, RawPlaneShape* shapes,
                 unsigned* count);

// Fills g for a variant and size; sliceRows 0 picks the library's choice. Size for a picture the
// library does not take or slices it cannot cut.
Status makeGeometry(const Variant& v, uint32_t width, uint32_t height, uint32_t sliceRows,
                    Geometry& g);

} // namespace kvcodec
