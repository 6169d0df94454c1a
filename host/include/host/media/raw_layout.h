// The raw frame layouts of the codec library, by their codes: what the host hands the plug-in
// and what the decoder gives back. Samples little-endian, rows tightly packed, no padding
// between rows or planes, chroma sizes rounded up.
//
//   22 packed 8-bit R,G,B          28 packed 16-bit R,G,B
//   20 packed 8-bit R,G,B,A        26 packed 16-bit R,G,B,A
//   29 planar 8-bit Y,U,V 4:4:4    51 planar 16-bit Y,U,V 4:4:4
//   10 planar 8-bit 4:2:0          59 planar 16-bit 4:2:2
//    5 packed 8-bit 4:2:2 as U0 Y0 V0 Y1; a row holds (w+1)/2 such groups, so with an odd
//      width the last group's Y1 has no pixel of its own: it repeats Y0, and reading ignores it.
//
// Depths: packing scales a picture's N-bit samples to 16 bits by bit replication (10-bit v
// becomes v<<6 | v>>4); an 8-bit layout then keeps the top 8 bits. Unpacking with depth N
// widens 8-bit samples the same way and keeps the top N bits of each 16-bit sample, so N-bit
// content survives a trip through a 16-bit layout unchanged.
#pragma once

#include "host/media/picture.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace host {

// Throws std::invalid_argument for a code that is not one of the nine above.
size_t rawFrameSize(uint32_t rawCode, uint32_t width, uint32_t height);

// The layout, the sample size in bytes and the equivalent pixel format's name (rgb24, uyvy422,
// yuv422p16le...) of a raw code; each throws std::invalid_argument for an unknown code.
ColourLayout rawLayoutOf(uint32_t rawCode);
int rawBytesPerSample(uint32_t rawCode);
std::string rawLayoutName(uint32_t rawCode);
// The raw code that holds a layout in samples of that many bytes, if there is one.
std::optional<uint32_t> rawCodeFor(ColourLayout layout, int bytesPerSample);

// Converts the picture to the code's layout first (convertLayout), so YUV <-> RGB is refused
// with std::invalid_argument.
std::vector<uint8_t> packRaw(const Picture& picture, uint32_t rawCode);
// The same into `out`, which must be exactly rawFrameSize long.
void packRaw(const Picture& picture, uint32_t rawCode, std::span<uint8_t> out);

// A YUV4MPEG2 frame's payload: the planes of a Picture of this layout and depth back to back,
// 8-bit samples in bytes and deeper ones in 16-bit little-endian words.
struct PlanarFrame {
    uint32_t width = 0, height = 0;
    ColourLayout layout = ColourLayout::Yuv420;
    int bitDepth = 8;
};
size_t planarFrameSize(const PlanarFrame& frame);
// Whether such a frame and a raw layout convert into each other without a Picture in between:
// the same colour layout, or luma alone against planar YUV (mid-grey chroma going in, none
// coming out), with 8-bit frames only for the 8-bit layouts.
bool meetsRaw(const PlanarFrame& frame, uint32_t rawCode);
// Those conversions, at memory speed; std::invalid_argument where the two do not meet or a size
// does not fit.
void planarToRaw(const PlanarFrame& frame, std::span<const uint8_t> in, uint32_t rawCode,
                 std::span<uint8_t> out);
void rawToPlanar(std::span<const uint8_t> in, uint32_t rawCode, const PlanarFrame& frame,
                 std::span<uint8_t> out);
// The picture in the code's own layout; `bytes` must be exactly rawFrameSize long.
Picture unpackRaw(std::span<const uint8_t> bytes, uint32_t rawCode, uint32_t width, uint32_t height,
                  int bitDepth);

// Sample scaling shared by every reader and writer of deeper formats.
inline uint16_t widenTo16(uint32_t v, int bitDepth) {
    return static_cast<uint16_t>((v << (16 - bitDepth)) | (v >> (2 * bitDepth - 16)));
}

} // namespace host
