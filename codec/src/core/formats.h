// The raw layouts the library reads and writes and the compressed formats it produces.
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

const RawLayout* rawLayoutByCode(uint32_t code);
const Variant* variantById(uint32_t id);
// The variant that codes `raw` into `id`, or null when the pair is not offered.
const Variant* variantFor(uint32_t raw, uint32_t id);
const char* formatName(uint32_t code);

} // namespace kvcodec
