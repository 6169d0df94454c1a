// The raw layouts the library reads and writes, the compressed formats it produces, and the
// geometry that ties one picture size to both.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvcodec {

enum class RawKind : uint8_t {
    Packed, // interleaved R, G, B (and A) per pixel
    Uyvy,   // 4:2:2 as U0 Y0 V0 Y1
    Planar, // Y, then U and V, each tightly packed
};

struct RawLayout {
    uint32_t code;
    RawKind kind;
    uint8_t bytesPerSample; // 1, or 2 for 16-bit little-endian samples
    uint8_t components;     // per pixel for Packed, planes for Planar
    uint8_t chromaShiftX;   // Planar only
    uint8_t chromaShiftY;
    const char* name;
};

// What a compressed format does with the samples before prediction.
enum class Transform : uint8_t {
    None,
    GreenDifference, // G, R-G, B-G, then A untouched
};

enum class ChromaKeep : uint8_t {
    All,
    VerticalHalf, // 4:2:2 in, 4:2:0 coded: each coded chroma row is the mean of two input rows
    None,         // luma only
};

struct Variant {
    uint32_t id;
    uint32_t raw;
    uint8_t depth;
    Transform transform;
    ChromaKeep chroma;
    const char* name;
};

const RawLayout* findRawLayout(uint32_t code);
const Variant* findVariant(uint32_t id);
// The variant that codes `raw` into `id`, or null when the pair is not offered.
const Variant* findVariantPair(uint32_t raw, uint32_t id);
const char* formatName(uint32_t code);

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

// Raw plane shapes alone, for laying out frames.
bool rawShapes(const RawLayout& raw, uint32_t width, uint32_t height, RawPlaneShape* shapes,
               unsigned* count);

// Fills g for a valid variant and size; sliceRows 0 picks the library's choice.
bool makeGeometry(const Variant& v, uint32_t width, uint32_t height, uint32_t sliceRows,
                  Geometry& g);

} // namespace kvcodec
