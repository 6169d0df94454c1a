// The sixteen codec variants, in registration order, as our documents give them: written down
// here apart from the module's own table, so that a value changed there shows as a difference.
#pragma once

#include <cstdint>
#include <vector>

namespace korvadin_test {

struct ExpectedVariant {
    const char* name;
    const char* fourcc;
    uint32_t id;  // the library's compressed format
    uint32_t raw; // the library's raw layout of the frames the host sends
    uint32_t colorModel;
    std::vector<uint8_t> dataRanges;
    uint8_t hSubsampling, vSubsampling;
    uint32_t bitDepth, sampleBits;
    uint16_t bitsPerPixel;
};

inline const std::vector<ExpectedVariant> kExpectedVariants = {
    {"8-bit RGB", "K8RG", 101, 22, 1, {1}, 1, 1, 8, 8, 24},
    {"8-bit RGBA", "K8RA", 102, 20, 3, {1}, 1, 1, 8, 8, 32},
    {"8-bit YUV 444", "K8Y4", 103, 29, 7, {0, 1}, 1, 1, 8, 8, 24},
    {"8-bit YUV 422", "K8Y2", 104, 5, 8, {0, 1}, 2, 1, 8, 8, 16},
    {"8-bit YUV 420", "K8Y0", 105, 10, 7, {0, 1}, 2, 2, 8, 8, 12},
    {"8-bit Y Only", "K8G0", 107, 10, 7, {0, 1}, 2, 2, 8, 8, 8},
    {"10-bit RGB", "K0RG", 109, 28, 1, {1}, 1, 1, 16, 16, 30},
    {"10-bit RGBA", "K0RA", 110, 26, 3, {1}, 1, 1, 16, 16, 40},
    {"10-bit YUV 444", "K0Y4", 118, 51, 7, {0, 1}, 1, 1, 16, 16, 30},
    {"10-bit YUV 422", "K0Y2", 108, 59, 7, {0, 1}, 2, 1, 16, 16, 20},
    {"10-bit YUV 420", "K0Y0", 123, 59, 7, {0, 1}, 2, 1, 16, 16, 15},
    {"10-bit Y Only", "K0G0", 115, 59, 7, {0, 1}, 2, 1, 16, 16, 10},
    {"12-bit RGB", "K2RG", 111, 28, 1, {1}, 1, 1, 16, 16, 36},
    {"12-bit RGBA", "K2RA", 112, 26, 3, {1}, 1, 1, 16, 16, 48},
    {"14-bit RGB", "K4RG", 113, 28, 1, {1}, 1, 1, 16, 16, 42},
    {"14-bit RGBA", "K4RA", 114, 26, 3, {1}, 1, 1, 16, 16, 56},
};

// A FourCC's text as the host's "4cc" value holds it: the first character in the top byte.
inline uint32_t fourccNumber(const char* text) {
    return uint32_t(uint8_t(text[0])) << 24 | uint32_t(uint8_t(text[1])) << 16 |
           uint32_t(uint8_t(text[2])) << 8 | uint8_t(text[3]);
}

} // namespace korvadin_test
