#include "host/variants.h"

#include "host/media/raw_layout.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <stdexcept>

namespace host {

namespace {

std::string upper(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return result;
}

} // namespace

uint32_t rawCodeOf(const Registration& codec) {
    // What the host delivers: the colour model and subsampling give the layout, the sample
    // size the width of each sample.
    std::optional<ColourLayout> layout;
    if (codec.colorModel == 1 || codec.colorModel == 3) {
        layout = codec.colorModel == 1 ? ColourLayout::Rgb : ColourLayout::Rgba;
    } else if (codec.colorModel == 7 || codec.colorModel == 8) {
        const int sub = codec.hSubsampling * 10 + codec.vSubsampling;
        layout = sub == 11   ? std::optional(ColourLayout::Yuv444)
                 : sub == 21 ? std::optional(ColourLayout::Yuv422)
                 : sub == 22 ? std::optional(ColourLayout::Yuv420)
                             : std::nullopt;
    }
    const auto code = layout ? rawCodeFor(*layout, codec.sampleBits > 8 ? 2 : 1) : std::nullopt;
    if (!code) {
        throw std::invalid_argument("variant " + codec.name + " asks for a layout this host lacks");
    }
    return *code;
}

int keptBitsOf(uint32_t fourcc) {
    switch (propertyFourccText(fourcc).at(1)) {
    case '8':
        return 8;
    case '0':
        return 10;
    case '2':
        return 12;
    case '4':
        return 14;
    default:
        throw std::invalid_argument("unknown codec FourCC " + propertyFourccText(fourcc));
    }
}

ColourLayout codedLayoutOf(uint32_t fourcc) {
    // The last two FourCC characters name what the variant codes.
    const std::string pair = propertyFourccText(fourcc).substr(2);
    if (pair == "RG") {
        return ColourLayout::Rgb;
    }
    if (pair == "RA") {
        return ColourLayout::Rgba;
    }
    if (pair == "Y4") {
        return ColourLayout::Yuv444;
    }
    if (pair == "Y2") {
        return ColourLayout::Yuv422;
    }
    if (pair == "Y0") {
        return ColourLayout::Yuv420;
    }
    if (pair == "G0") {
        return ColourLayout::Gray;
    }
    throw std::invalid_argument("unknown codec FourCC " + propertyFourccText(fourcc));
}

const Registration* findVariant(const std::vector<Registration>& codecs, std::string_view key) {
    const std::string wanted = upper(key);
    for (const auto& codec : codecs) {
        if (upper(codec.name) == wanted || propertyFourccText(codec.fourcc) == wanted) {
            return &codec;
        }
    }
    return nullptr;
}

std::string defaultVariantFourcc(ColourLayout layout, int bitDepth) {
    const char depth = bitDepth <= 8 ? '8' : bitDepth <= 10 ? '0' : bitDepth <= 12 ? '2' : '4';
    // YUV and luma-only variants exist at 8 and 10 bits only.
    const char yuvDepth = depth == '8' ? '8' : '0';
    switch (layout) {
    case ColourLayout::Rgb:
        return std::string("K") + depth + "RG";
    case ColourLayout::Rgba:
        return std::string("K") + depth + "RA";
    case ColourLayout::Yuv444:
        return std::string("K") + yuvDepth + "Y4";
    case ColourLayout::Yuv422:
        return std::string("K") + yuvDepth + "Y2";
    case ColourLayout::Yuv420:
        return std::string("K") + yuvDepth + "Y0";
    case ColourLayout::Gray:
        return std::string("K") + yuvDepth + "G0";
    }
    return {};
}

bool keptPartsEqual(const Picture& decoded, const Picture& input, const Registration& codec) {
    const int depth = std::min({decoded.bitDepth, input.bitDepth, keptBitsOf(codec.fourcc)});
    const uint32_t raw = rawCodeOf(codec);
    // Both pictures pass through the raw layout, so that they are compared sample for sample
    // at the same subsampling; then both are cut to the common depth.
    const Picture expected = unpackRaw(packRaw(input, raw), raw, input.width, input.height, depth);
    const Picture actual = unpackRaw(packRaw(decoded, raw), raw, input.width, input.height, depth);
    const ColourLayout coded = codedLayoutOf(codec.fourcc);
    size_t planes = expected.planes.size();
    if (coded == ColourLayout::Gray) {
        planes = 1;
    } else if (coded == ColourLayout::Yuv420 && input.layout != ColourLayout::Yuv420 &&
               input.layout != ColourLayout::Gray) {
        planes = 1; // chroma rows were merged in pairs: only luma comes back as it went in
    }
    if (actual.planes.size() < planes) {
        return false;
    }
    for (size_t p = 0; p < planes; ++p) {
        if (expected.planes[p] != actual.planes[p]) {
            return false;
        }
    }
    return true;
}

} // namespace host
