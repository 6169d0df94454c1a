// The sixteen variants of the codec: the single source for registration, creation,
// encoding and the AVI container's bitmap header.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace IOPlugin {

using Uuid = std::array<uint8_t, 16>;

struct CodecFormat {
    uint32_t id;           // the library's compressed format code
    uint32_t fourcc;       // first character in the most significant byte
    uint16_t bitsPerPixel; // nominal, for the bitmap header
    uint32_t rawFormat;    // the library's code of the layout the host delivers
    uint32_t colorModel;
    std::vector<uint8_t> dataRanges;
    uint8_t hSubsampling;
    uint8_t vSubsampling;
    uint32_t bitDepth;
    uint32_t sampleBits;
    std::string name;
    Uuid uuid;
};

// A FourCC written as text, as a number whose most significant byte is the first character.
constexpr uint32_t fourccValue(const char (&text)[5]) {
    return (uint32_t(uint8_t(text[0])) << 24) | (uint32_t(uint8_t(text[1])) << 16) |
           (uint32_t(uint8_t(text[2])) << 8) | uint32_t(uint8_t(text[3]));
}

extern const std::vector<CodecFormat> s_codecFormats;

// First row whose uuid equals the 16 bytes given; null when none.
const CodecFormat* findCodecFormatByUuid(const uint8_t* uuid);
// First row with that FourCC value; null when none.
const CodecFormat* findCodecFormatByFourcc(uint32_t fourcc);

} // namespace IOPlugin
