#include "davinci/encoder/codec_formats.h"

#include "log/module_log.h"

#include <algorithm>

namespace IOPlugin {

namespace {

// The log starts before the table below is built, and so stops after the table is destroyed.
[[maybe_unused]] const bool s_moduleLogStarted = (startModuleLog(), true);

// Each variant's identifier: a common prefix, then the library's format code and the row.
constexpr Uuid variantUuid(uint8_t id, uint8_t row) {
    return {0x6b, 0x76, 0x64, 0x6e, 0x2e, 0x63, 0x6f, 0x64,
            0x65, 0x63, 0x00, id,   0x4a, 0x91, 0x3c, row};
}

const std::vector<uint8_t> kFullRangeOnly = {1};
const std::vector<uint8_t> kBothRanges = {0, 1};

} // namespace

// Rows deeper than 8 bits ask the host for 16-bit samples; the 10-bit 4:2:0 and Y-only rows
// take 4:2:2 input and the 8-bit Y-only row takes 4:2:0 input, and the library drops what the
// compressed format does not keep.
const std::vector<CodecFormat> s_codecFormats = {
    {101, fourccValue("K8RG"), 24, 22, 1, kFullRangeOnly, 1, 1, 8, 8, "8-bit RGB",
     variantUuid(101, 1)},
    {102, fourccValue("K8RA"), 32, 20, 3, kFullRangeOnly, 1, 1, 8, 8, "8-bit RGBA",
     variantUuid(102, 2)},
    {103, fourccValue("K8Y4"), 24, 29, 7, kBothRanges, 1, 1, 8, 8, "8-bit YUV 444",
     variantUuid(103, 3)},
    {104, fourccValue("K8Y2"), 16, 5, 8, kBothRanges, 2, 1, 8, 8, "8-bit YUV 422",
     variantUuid(104, 4)},
    {105, fourccValue("K8Y0"), 12, 10, 7, kBothRanges, 2, 2, 8, 8, "8-bit YUV 420",
     variantUuid(105, 5)},
    {107, fourccValue("K8G0"), 8, 10, 7, kBothRanges, 2, 2, 8, 8, "8-bit Y Only",
     variantUuid(107, 6)},
    {109, fourccValue("K0RG"), 30, 28, 1, kFullRangeOnly, 1, 1, 16, 16, "10-bit RGB",
     variantUuid(109, 7)},
    {110, fourccValue("K0RA"), 40, 26, 3, kFullRangeOnly, 1, 1, 16, 16, "10-bit RGBA",
     variantUuid(110, 8)},
    {118, fourccValue("K0Y4"), 30, 51, 7, kBothRanges, 1, 1, 16, 16, "10-bit YUV 444",
     variantUuid(118, 9)},
    {108, fourccValue("K0Y2"), 20, 59, 7, kBothRanges, 2, 1, 16, 16, "10-bit YUV 422",
     variantUuid(108, 10)},
    {123, fourccValue("K0Y0"), 15, 59, 7, kBothRanges, 2, 1, 16, 16, "10-bit YUV 420",
     variantUuid(123, 11)},
    {115, fourccValue("K0G0"), 10, 59, 7, kBothRanges, 2, 1, 16, 16, "10-bit Y Only",
     variantUuid(115, 12)},
    {111, fourccValue("K2RG"), 36, 28, 1, kFullRangeOnly, 1, 1, 16, 16, "12-bit RGB",
     variantUuid(111, 13)},
    {112, fourccValue("K2RA"), 48, 26, 3, kFullRangeOnly, 1, 1, 16, 16, "12-bit RGBA",
     variantUuid(112, 14)},
    {113, fourccValue("K4RG"), 42, 28, 1, kFullRangeOnly, 1, 1, 16, 16, "14-bit RGB",
     variantUuid(113, 15)},
    {114, fourccValue("K4RA"), 56, 26, 3, kFullRangeOnly, 1, 1, 16, 16, "14-bit RGBA",
     variantUuid(114, 16)},
};

const CodecFormat* findCodecFormatByUuid(const uint8_t* uuid) {
    const auto row = std::find_if(s_codecFormats.begin(), s_codecFormats.end(), [&](const auto& f) {
        return std::equal(f.uuid.begin(), f.uuid.end(), uuid);
    });
    return row == s_codecFormats.end() ? nullptr : &*row;
}

const CodecFormat* findCodecFormatByFourcc(uint32_t fourcc) {
    const auto row = std::find_if(s_codecFormats.begin(), s_codecFormats.end(),
                                  [&](const auto& f) { return f.fourcc == fourcc; });
    return row == s_codecFormats.end() ? nullptr : &*row;
}

} // namespace IOPlugin
