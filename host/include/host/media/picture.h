// One uncompressed picture as the host's media readers and writers pass it around: planes of
// 16-bit containers holding samples of `bitDepth` significant bits (0 .. 2^bitDepth - 1).
#pragma once

#include <cstdint>
#include <vector>

namespace host {

enum class ColourLayout { Gray, Yuv420, Yuv422, Yuv444, Rgb, Rgba };

struct Picture {
    uint32_t width = 0, height = 0;
    ColourLayout layout = ColourLayout::Rgb;
    int bitDepth = 8; // significant bits per sample, 8..16
    // Y,U,V or R,G,B(,A), each row-major without padding; chroma planes at the layout's
    // subsampling, sizes rounded up ((w+1)/2 etc.).
    std::vector<std::vector<uint16_t>> planes;
};

const char* layoutName(ColourLayout layout);
bool isRgbFamily(ColourLayout layout); // Rgb, Rgba; the others are luma (+ chroma) layouts
int planeCount(ColourLayout layout);
uint32_t planeWidth(ColourLayout layout, uint32_t width, int plane);
uint32_t planeHeight(ColourLayout layout, uint32_t height, int plane);

// A picture with every plane allocated and filled with `fill`.
Picture makePicture(uint32_t width, uint32_t height, ColourLayout layout, int bitDepth,
                    uint16_t fill = 0);

// Throws std::invalid_argument unless the planes match the size, layout and depth.
void checkPicture(const Picture& picture);

// The same picture in another layout of its family, at the same depth:
// - chroma is resampled by picking the co-sited sample: halving takes the even columns or rows,
//   doubling repeats each sample (so 4:2:0 -> 4:2:2 repeats chroma rows, 4:2:2 -> 4:2:0 keeps
//   the even rows);
// - Gray gains mid-grey chroma (1 << (bitDepth - 1)); converting to Gray drops the chroma;
// - Rgb gains an opaque alpha plane; converting Rgba to Rgb drops the alpha.
// Between the RGB and YUV families there is no conversion: std::invalid_argument.
Picture convertLayout(const Picture& picture, ColourLayout target);

} // namespace host
