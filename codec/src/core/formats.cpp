#include "core/formats.h"

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

constexpr std::array<Variant, 16> kCompressedFormats = {{
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

} // namespace

const RawLayout* rawLayoutByCode(uint32_t code) {
    const auto it = std::find_if(kRawLayouts.begin(), kRawLayouts.end(),
                                 [&](const RawLayout& r) { return r.code == code; });
    return it == kRawLayouts.end() ? nullptr : &*it;
}

const Variant* variantById(uint32_t id) {
    const auto it = std::find_if(kCompressedFormats.begin(), kCompressedFormats.end(),
                                 [&](const Variant& v) { return v.id == id; });
    return it == kCompressedFormats.end() ? nullptr : &*it;
}

const Variant* variantFor(uint32_t raw, uint32_t id) {
    const Variant* v = variantById(id);
    return v != nullptr && v->raw == raw ? v : nullptr;
}

const char* formatName(uint32_t code) {
    if (code == 254) {
        return "extended format description";
    }
    if (const RawLayout* r = rawLayoutByCode(code)) {
        return r->name;
    }
    if (const Variant* v = variantById(code)) {
        return v->name;
    }
    return "unknown format";
}

} // namespace kvcodec
