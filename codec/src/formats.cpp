#include "formats.h"

#include <algorithm>
#include <array>

namespace kvcodec {

namespace {

constexpr std::array<RawLayout, 9> kRawLayouts = {{
    {22, RawKind::Packed, 1, 3, 0, 0, "raw 8-bit RGB"},
    {20, RawKind::Packed, 1, 4, 0, 0, "raw 8-bit RGBA"},
    {29, RawKind::Planar, 1, 3, 0, 0, "raw 8-bit planar YUV 4:4:4"},
    {5, RawKind::Uyvy, 1, 3, 1, 0, "raw 8-bit packed YUV 4:2:2 (UYVY)"},
    {10, RawKind::Planar, 1, 3, 1, 1, "raw 8-bit planar YUV 4:2:0"},
    {28, RawKind::Packed, 2, 3, 0, 0, "raw 16-bit RGB"},
    {26, RawKind::Packed, 2, 4, 0, 0, "raw 16-bit RGBA"},
    {51, RawKind::Planar, 2, 3, 0, 0, "raw 16-bit planar YUV 4:4:4"},
    {59, RawKind::Planar, 2, 3, 1, 0, "raw 16-bit planar YUV 4:2:2"},
}};

constexpr std::array<Variant, 16> kVariants = {{
    {101, 22, 8, Transform::GreenDifference, ChromaKeep::All, "Korvadin 8-bit RGB"},
    {102, 20, 8, Transform::GreenDifference, ChromaKeep::All, "Korvadin 8-bit RGBA"},
    {103, 29, 8, Transform::None, ChromaKeep::All, "Korvadin 8-bit YUV 4:4:4"},
    {104, 5, 8, Transform::None, ChromaKeep::All, "Korvadin 8-bit YUV 4:2:2"},
    {105, 10, 8, Transform::None, ChromaKeep::All, "Korvadin 8-bit YUV 4:2:0"},
    {107, 10, 8, Transform::None, ChromaKeep::None, "Korvadin 8-bit Y only"},
    {109, 28, 10, Transform::GreenDifference, ChromaKeep::All, "Korvadin 10-bit RGB"},
    {110, 26, 10, Transform::GreenDifference, ChromaKeep::All, "Korvadin 10-bit RGBA"},
    {118, 51, 10, Transform::None, ChromaKeep::All, "Korvadin 10-bit YUV 4:4:4"},
    {108, 59, 10, Transform::None, ChromaKeep::All, "Korvadin 10-bit YUV 4:2:2"},
    {123, 59, 10, Transform::None, ChromaKeep::VerticalHalf, "Korvadin 10-bit YUV 4:2:0"},
    {115, 59, 10, Transform::None, ChromaKeep::None, "Korvadin 10-bit Y only"},
    {111, 28, 12, Transform::GreenDifference, ChromaKeep::All, "Korvadin 12-bit RGB"},
    {112, 26, 12, Transform::GreenDifference, ChromaKeep::All, "Korvadin 12-bit RGBA"},
    {113, 28, 14, Transform::GreenDifference, ChromaKeep::All, "Korvadin 14-bit RGB"},
    {114, 26, 14, Transform::GreenDifference, ChromaKeep::All, "Korvadin 14-bit RGBA"},
}};

uint32_t roundUpShift(uint32_t v, unsigned shift) {
    return static_cast<uint32_t>((uint64_t{v} + (1u << shift) - 1) >> shift);
}

} // namespace

const RawLayout* findRawLayout(uint32_t code) {
    const auto it = std::find_if(kRawLayouts.begin(), kRawLayouts.end(),
                                 [&](const RawLayout& r) { return r.code == code; });
    return it == kRawLayouts.end() ? nullptr : &*it;
}

const Variant* findVariant(uint32_t id) {
    const auto it = std::find_if(kVariants.begin(), kVariants.end(),
                                 [&](const Variant& v) { return v.id == id; });
    return it == kVariants.end() ? nullptr : &*it;
}

const Variant* findVariantPair(uint32_t raw, uint32_t id) {
    const Variant* v = findVariant(id);
    return v != nullptr && v->raw == raw ? v : nullptr;
}

const char* formatName(uint32_t code) {
    if (code == 254) {
        return "extended format description";
    }
    if (const RawLayout* r = findRawLayout(code)) {
        return r->name;
    }
    if (const Variant* v = findVariant(code)) {
        return v->name;
    }
    return "unknown format";
}

uint64_t Geometry::rawFrameSize() const {
    uint64_t total = 0;
    for (unsigned i = 0; i < rawPlaneCount; ++i) {
        total += rawPlane[i].rowBytes * rawPlane[i].rows;
    }
    return total;
}

uint32_t Geometry::sliceFirstRow(unsigned p, uint32_t s) const {
    return static_cast<uint32_t>((uint64_t{s} * sliceRows) >> plane[p].shiftY);
}

uint32_t Geometry::sliceRowCount(unsigned p, uint32_t s) const {
    const uint32_t first = sliceFirstRow(p, s);
    const uint64_t end = (uint64_t{s + 1} * sliceRows) >> plane[p].shiftY;
    return static_cast<uint32_t>(std::min<uint64_t>(end, plane[p].height) - first);
}

bool rawShapes(const RawLayout& raw, uint32_t width, uint32_t height, RawPlaneShape* shapes,
               unsigned* count) {
    if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide) {
        return false;
    }
    const uint64_t bps = raw.bytesPerSample;
    switch (raw.kind) {
    case RawKind::Packed:
        shapes[0] = {bps * raw.components * width, height};
        *count = 1;
        break;
    case RawKind::Uyvy:
        shapes[0] = {4ull * roundUpShift(width, 1), height};
        *count = 1;
        break;
    case RawKind::Planar:
        shapes[0] = {bps * width, height};
        shapes[1] = shapes[2] = {bps * roundUpShift(width, raw.chromaShiftX),
                                 roundUpShift(height, raw.chromaShiftY)};
        *count = 3;
        break;
    }
    for (unsigned i = 0; i < *count; ++i) {
        // Plane sizes travel as 32-bit counts.
        if (shapes[i].rowBytes * shapes[i].rows > UINT32_MAX) {
            return false;
        }
    }
    return true;
}

bool makeGeometry(const Variant& v, uint32_t width, uint32_t height, uint32_t sliceRows,
                  Geometry& g) {
    g = Geometry{};
    g.raw = findRawLayout(v.raw);
    g.variant = &v;
    g.width = width;
    g.height = height;
    if (g.raw == nullptr || !rawShapes(*g.raw, width, height, g.rawPlane, &g.rawPlaneCount)) {
        return false;
    }
    const RawLayout& raw = *g.raw;
    switch (raw.kind) {
    case RawKind::Packed:
        g.planeCount = raw.components;
        for (unsigned p = 0; p < g.planeCount; ++p) {
            g.plane[p] = {width, height, 0};
        }
        break;
    case RawKind::Uyvy: {
        // The padding luma sample of an odd width is kept, so every byte comes back.
        const uint32_t cw = roundUpShift(width, 1);
        g.planeCount = 3;
        g.plane[0] = {2 * cw, height, 0};
        g.plane[1] = g.plane[2] = {cw, height, 0};
        break;
    }
    case RawKind::Planar: {
        g.plane[0] = {width, height, 0};
        const uint32_t cw = roundUpShift(width, raw.chromaShiftX);
        switch (v.chroma) {
        case ChromaKeep::All:
            g.planeCount = 3;
            g.plane[1] =
                g.plane[2] = {cw, roundUpShift(height, raw.chromaShiftY), raw.chromaShiftY};
            break;
        case ChromaKeep::VerticalHalf:
            g.planeCount = 3;
            g.plane[1] = g.plane[2] = {cw, roundUpShift(height, raw.chromaShiftY + 1),
                                       static_cast<uint8_t>(raw.chromaShiftY + 1)};
            break;
        case ChromaKeep::None:
            g.planeCount = 1;
            break;
        }
        break;
    }
    }
    if (sliceRows == 0) {
        // Enough slices for the threads of any ordinary machine, few enough that the per-slice
        // tables stay a small part of the frame.
        const uint32_t target = (height + 15) / 16;
        sliceRows = std::max<uint32_t>(16, (target + 1) & ~1u);
    }
    if (sliceRows < 2 || (sliceRows & 1) != 0) {
        return false;
    }
    g.sliceRows = sliceRows;
    g.sliceCount = static_cast<uint32_t>((uint64_t{height} + sliceRows - 1) / sliceRows);
    return true;
}

} // namespace kvcodec
