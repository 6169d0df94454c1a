// The host's raw layouts: what renders hand the plug-in, and what --verify and korvadin decode
// read back from the decoder.
#include "host/media/raw_layout.h"

#include <gtest/gtest.h>

#include <stdexcept>

using host::ColourLayout;
using host::Picture;

namespace {

using Samples = std::vector<std::vector<uint16_t>>;

// Samples that differ per plane and position and reach the top and bottom of the range.
Picture patterned(uint32_t w, uint32_t h, ColourLayout layout, int depth) {
    Picture p = host::makePicture(w, h, layout, depth);
    const uint32_t max = (1u << depth) - 1;
    uint32_t seed = 12345;
    for (auto& plane : p.planes) {
        for (auto& s : plane) {
            seed = seed * 1103515245u + 12345u;
            s = static_cast<uint16_t>((seed >> 8) & max);
        }
    }
    p.planes[0][0] = static_cast<uint16_t>(max);
    p.planes[0].back() = 0;
    return p;
}

TEST(RawLayout, EveryCodePacksAndUnpacksEveryDepthItHolds) {
    const std::tuple<uint32_t, ColourLayout, int, size_t> codes[] = {
        {22, ColourLayout::Rgb, 8, 45},    {20, ColourLayout::Rgba, 8, 60},
        {29, ColourLayout::Yuv444, 8, 45}, {5, ColourLayout::Yuv422, 8, 40},
        {10, ColourLayout::Yuv420, 8, 27}, {28, ColourLayout::Rgb, 16, 90},
        {26, ColourLayout::Rgba, 16, 120}, {51, ColourLayout::Yuv444, 16, 90},
        {59, ColourLayout::Yuv422, 16, 70}};
    for (const auto& [code, layout, deepest, size3x5] : codes) {
        EXPECT_EQ(host::rawFrameSize(code, 3, 5), size3x5) << code;
        for (auto [w, h] : {std::pair{1u, 1u}, {3u, 5u}, {4u, 2u}}) {
            for (int depth : {8, 10, deepest}) {
                if (depth > deepest) {
                    continue;
                }
                const Picture in = patterned(w, h, layout, depth);
                const Picture out = host::unpackRaw(host::packRaw(in, code), code, w, h, depth);
                EXPECT_EQ(std::tuple(out.layout, out.planes), std::tuple(layout, in.planes))
                    << code << " " << w << "x" << h << " depth " << depth;
            }
        }
    }
}

// A picture's planes as a YUV4MPEG2 frame carries them.
std::vector<uint8_t> planarBytes(const Picture& p) {
    std::vector<uint8_t> bytes;
    for (const auto& plane : p.planes) {
        for (const uint16_t s : plane) {
            bytes.push_back(static_cast<uint8_t>(s));
            if (p.bitDepth > 8) {
                bytes.push_back(static_cast<uint8_t>(s >> 8));
            }
        }
    }
    return bytes;
}

// Planes going straight into a raw layout and back out must give what the way through a
// picture gives, chroma made up for luma alone and dropped again.
TEST(RawLayout, PlanarFramesMeetTheirRawLayoutsAsPicturesDo) {
    const std::pair<ColourLayout, uint32_t> meetings[] = {
        {ColourLayout::Yuv444, 29}, {ColourLayout::Yuv444, 51}, {ColourLayout::Yuv422, 5},
        {ColourLayout::Yuv422, 59}, {ColourLayout::Yuv420, 10}, {ColourLayout::Gray, 10},
        {ColourLayout::Gray, 59},   {ColourLayout::Gray, 51}};
    for (const auto& [layout, code] : meetings) {
        for (auto [w, h] :
             {std::pair{1u, 1u}, {3u, 5u}, {4u, 2u}, {7u, 3u}, {69u, 2u}, {96u, 1u}}) {
            for (int depth : {8, 10, 12, 14, 16}) {
                const host::PlanarFrame f{w, h, layout, depth};
                if (depth > 8 && host::rawBytesPerSample(code) == 1) {
                    EXPECT_FALSE(host::meetsRaw(f, code)) << code;
                    continue;
                }
                const std::string where = std::to_string(code) + " " + host::layoutName(layout) +
                                          " " + std::to_string(w) + "x" + std::to_string(h) +
                                          " depth " + std::to_string(depth);
                ASSERT_TRUE(host::meetsRaw(f, code)) << where;
                const Picture in = patterned(w, h, layout, depth);
                const std::vector<uint8_t> planes = planarBytes(in);
                std::vector<uint8_t> raw(host::rawFrameSize(code, w, h));
                host::planarToRaw(f, planes, code, raw);
                EXPECT_EQ(raw, host::packRaw(in, code)) << where;
                std::vector<uint8_t> back(host::planarFrameSize(f));
                host::rawToPlanar(raw, code, f, back);
                EXPECT_EQ(back, planes) << where;
            }
        }
    }
    for (const auto& [layout, code] : {std::pair{ColourLayout::Rgb, 22u},
                                       {ColourLayout::Yuv420, 59u},
                                       {ColourLayout::Gray, 5u}}) {
        EXPECT_FALSE(host::meetsRaw({2, 2, layout, 8}, code)) << code;
    }
    std::vector<uint8_t> raw(host::rawFrameSize(10, 2, 2)), planes(raw.size() - 1);
    EXPECT_THROW(host::planarToRaw({2, 2, ColourLayout::Yuv420, 8}, planes, 10, raw),
                 std::invalid_argument);
}

TEST(RawLayout, PackedYuv422OrderAndOddWidthRepeat) {
    Picture p = host::makePicture(3, 1, ColourLayout::Yuv422, 8);
    p.planes = {{10, 11, 12}, {20, 21}, {30, 31}};
    EXPECT_EQ(host::packRaw(p, 5), (std::vector<uint8_t>{20, 10, 30, 11, 21, 12, 31, 12}));
    // The repeated luma is ignored when reading, whatever it holds.
    const std::vector<uint8_t> bytes{20, 10, 30, 11, 21, 12, 31, 99};
    EXPECT_EQ(host::unpackRaw(bytes, 5, 3, 1, 8).planes[0], (std::vector<uint16_t>{10, 11, 12}));
}

TEST(RawLayout, DepthScaling) {
    Picture p = host::makePicture(2, 1, ColourLayout::Rgb, 10);
    p.planes = {{0x3FF, 0x200}, {0x001, 0}, {0x155, 0x0FF}};
    // 16-bit layouts replicate the top bits into the bottom: v<<6 | v>>4; 8-bit ones keep the
    // top 8 bits.
    EXPECT_EQ(host::packRaw(p, 28), (std::vector<uint8_t>{0xFF, 0xFF, 0x40, 0x00, 0x55, 0x55, 0x20,
                                                          0x80, 0x00, 0x00, 0xCF, 0x3F}));
    EXPECT_EQ(host::packRaw(p, 22), (std::vector<uint8_t>{0xFF, 0x00, 0x55, 0x80, 0x00, 0x3F}));
    // 8-bit samples fill 16 bits as v * 257; unpacking keeps the top N bits, 8-bit samples
    // widened by replication first.
    EXPECT_EQ(host::packRaw(host::makePicture(1, 1, ColourLayout::Yuv444, 8, 0xAB), 51),
              (std::vector<uint8_t>(6, 0xAB)));
    EXPECT_EQ(
        host::unpackRaw(std::vector<uint8_t>{0x20, 0x80, 0xFF, 0xFF, 0x00, 0x00}, 51, 1, 1, 10)
            .planes,
        (Samples{{0x200}, {0x3FF}, {0}}));
    EXPECT_EQ(host::unpackRaw(std::vector<uint8_t>{0x80, 0x01, 0xFF}, 29, 1, 1, 10).planes,
              (Samples{{0x202}, {0x004}, {0x3FF}}));
}

TEST(RawLayout, ChromaAdaptation) {
    // 3x3 4:2:0 (chroma 2x2) as 4:2:2 repeats chroma rows; 4:2:2 as 4:2:0 keeps the even ones.
    Picture p420 = host::makePicture(3, 3, ColourLayout::Yuv420, 8);
    p420.planes = {p420.planes[0], {1, 2, 3, 4}, {5, 6, 7, 8}};
    EXPECT_EQ(host::unpackRaw(host::packRaw(p420, 59), 59, 3, 3, 8).planes,
              (Samples{p420.planes[0], {1, 2, 1, 2, 3, 4}, {5, 6, 5, 6, 7, 8}}));
    Picture p422 = host::makePicture(3, 3, ColourLayout::Yuv422, 8);
    p422.planes = {p422.planes[0], {1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12}};
    EXPECT_EQ(host::unpackRaw(host::packRaw(p422, 10), 10, 3, 3, 8).planes,
              (Samples{p422.planes[0], {1, 2, 5, 6}, {7, 8, 11, 12}}));
    EXPECT_EQ(host::convertLayout(p422, ColourLayout::Yuv444).planes[1],
              (std::vector<uint16_t>{1, 1, 2, 3, 3, 4, 5, 5, 6}));
    // Luma only gets mid-grey chroma; RGB gets an opaque alpha.
    EXPECT_EQ(host::unpackRaw(host::packRaw(host::makePicture(2, 2, ColourLayout::Gray, 10, 7), 59),
                              59, 2, 2, 10)
                  .planes,
              (Samples{{7, 7, 7, 7}, {512, 512}, {512, 512}}));
    EXPECT_EQ(host::packRaw(host::makePicture(1, 1, ColourLayout::Gray, 8, 9), 10),
              (std::vector<uint8_t>{9, 128, 128}));
    const Picture rgb = host::makePicture(1, 1, ColourLayout::Rgb, 12, 5);
    EXPECT_EQ(host::unpackRaw(host::packRaw(rgb, 26), 26, 1, 1, 12).planes[3][0], 4095);
}

} // namespace
