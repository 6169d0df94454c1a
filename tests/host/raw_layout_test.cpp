#include "host/media/raw_layout.h"

#include <gtest/gtest.h>

#include <stdexcept>

using host::ColourLayout;
using host::Picture;

namespace {

// Samples that differ per plane and position and reach the top and bottom of the range.
Picture patterned(uint32_t w, uint32_t h, ColourLayout layout, int depth) {
    Picture p = host::makePicture(w, h, layout, depth);
    const uint32_t max = (1u << depth) - 1;
    uint32_t seed = 12345;
    for (auto& plane : p.planes)
        for (auto& s : plane) {
            seed = seed * 1103515245u + 12345u;
            s = static_cast<uint16_t>((seed >> 8) & max);
        }
    p.planes[0][0] = static_cast<uint16_t>(max);
    if (p.planes[0].size() > 1)
        p.planes[0][1] = 0;
    return p;
}

struct RawCase {
    uint32_t code;
    ColourLayout layout;
    int depth; // deepest content that survives the layout
    size_t size3x5;
};

class RawLayoutRoundTrip : public ::testing::TestWithParam<RawCase> {};

TEST_P(RawLayoutRoundTrip, PackThenUnpackGivesThePictureBack) {
    const RawCase c = GetParam();
    for (auto [w, h] : {std::pair{1u, 1u}, {3u, 5u}, {4u, 2u}}) {
        for (int depth : {8, 10, c.depth}) {
            if (depth > c.depth)
                continue;
            Picture in = patterned(w, h, c.layout, depth);
            auto bytes = host::packRaw(in, c.code);
            ASSERT_EQ(bytes.size(), host::rawFrameSize(c.code, w, h));
            Picture out = host::unpackRaw(bytes, c.code, w, h, depth);
            EXPECT_EQ(out.layout, c.layout);
            EXPECT_EQ(out.planes, in.planes)
                << "code " << c.code << " " << w << "x" << h << " depth " << depth;
        }
    }
    EXPECT_EQ(host::rawFrameSize(c.code, 3, 5), c.size3x5);
}

INSTANTIATE_TEST_SUITE_P(AllCodes, RawLayoutRoundTrip,
                         ::testing::Values(RawCase{22, ColourLayout::Rgb, 8, 45},
                                           RawCase{20, ColourLayout::Rgba, 8, 60},
                                           RawCase{29, ColourLayout::Yuv444, 8, 45},
                                           RawCase{5, ColourLayout::Yuv422, 8, 40},
                                           RawCase{10, ColourLayout::Yuv420, 8, 27},
                                           RawCase{28, ColourLayout::Rgb, 16, 90},
                                           RawCase{26, ColourLayout::Rgba, 16, 120},
                                           RawCase{51, ColourLayout::Yuv444, 16, 90},
                                           RawCase{59, ColourLayout::Yuv422, 16, 70}),
                         [](const auto& info) { return "code" + std::to_string(info.param.code); });

TEST(RawLayout, PackedYuv422OrderAndOddWidthRepeat) {
    Picture p = host::makePicture(3, 1, ColourLayout::Yuv422, 8);
    p.planes[0] = {10, 11, 12};
    p.planes[1] = {20, 21};
    p.planes[2] = {30, 31};
    EXPECT_EQ(host::packRaw(p, 5), (std::vector<uint8_t>{20, 10, 30, 11, 21, 12, 31, 12}));
    // The repeated luma is ignored when reading, whatever it holds.
    std::vector<uint8_t> bytes{20, 10, 30, 11, 21, 12, 31, 99};
    EXPECT_EQ(host::unpackRaw(bytes, 5, 3, 1, 8).planes[0], (std::vector<uint16_t>{10, 11, 12}));
}

TEST(RawLayout, DepthScaling) {
    Picture p = host::makePicture(2, 1, ColourLayout::Rgb, 10);
    p.planes[0] = {0x3FF, 0x200};
    p.planes[1] = {0x001, 0};
    p.planes[2] = {0x155, 0x0FF};
    // 16-bit layouts replicate the top bits into the bottom: v<<6 | v>>4.
    EXPECT_EQ(host::packRaw(p, 28), (std::vector<uint8_t>{0xFF, 0xFF, 0x40, 0x00, 0x55, 0x55, 0x20,
                                                          0x80, 0x00, 0x00, 0xCF, 0x3F}));
    // 8-bit layouts keep the top 8 bits.
    EXPECT_EQ(host::packRaw(p, 22), (std::vector<uint8_t>{0xFF, 0x00, 0x55, 0x80, 0x00, 0x3F}));
    // 8-bit samples fill 16 bits as v * 257.
    Picture g = host::makePicture(1, 1, ColourLayout::Yuv444, 8, 0xAB);
    EXPECT_EQ(host::packRaw(g, 51), (std::vector<uint8_t>(6, 0xAB)));
    // Unpacking keeps the top N bits; 8-bit samples widen by replication first.
    std::vector<uint8_t> wide{0x20, 0x80, 0xFF, 0xFF, 0x00, 0x00};
    EXPECT_EQ(host::unpackRaw(wide, 51, 1, 1, 10).planes,
              (std::vector<std::vector<uint16_t>>{{0x200}, {0x3FF}, {0}}));
    std::vector<uint8_t> narrow{0x80, 0x01, 0xFF};
    EXPECT_EQ(host::unpackRaw(narrow, 29, 1, 1, 10).planes,
              (std::vector<std::vector<uint16_t>>{{0x202}, {0x004}, {0x3FF}}));
}

TEST(RawLayout, ChromaAdaptation) {
    // 3x3 4:2:0: chroma 2x2.
    Picture p420 = host::makePicture(3, 3, ColourLayout::Yuv420, 8);
    p420.planes[1] = {1, 2, 3, 4};
    p420.planes[2] = {5, 6, 7, 8};
    Picture as422 = host::unpackRaw(host::packRaw(p420, 59), 59, 3, 3, 8);
    EXPECT_EQ(as422.planes[1], (std::vector<uint16_t>{1, 2, 1, 2, 3, 4}));
    EXPECT_EQ(as422.planes[2], (std::vector<uint16_t>{5, 6, 5, 6, 7, 8}));

    Picture p422 = host::makePicture(3, 3, ColourLayout::Yuv422, 8);
    p422.planes[1] = {1, 2, 3, 4, 5, 6};
    p422.planes[2] = {7, 8, 9, 10, 11, 12};
    Picture as420 = host::unpackRaw(host::packRaw(p422, 10), 10, 3, 3, 8);
    EXPECT_EQ(as420.planes[1], (std::vector<uint16_t>{1, 2, 5, 6}));
    EXPECT_EQ(as420.planes[2], (std::vector<uint16_t>{7, 8, 11, 12}));

    Picture as444 = host::convertLayout(p422, ColourLayout::Yuv444);
    EXPECT_EQ(as444.planes[1], (std::vector<uint16_t>{1, 1, 2, 3, 3, 4, 5, 5, 6}));

    Picture gray = host::makePicture(2, 2, ColourLayout::Gray, 10, 7);
    Picture fromGray = host::unpackRaw(host::packRaw(gray, 59), 59, 2, 2, 10);
    EXPECT_EQ(fromGray.planes[0], (std::vector<uint16_t>(4, 7)));
    EXPECT_EQ(fromGray.planes[1], (std::vector<uint16_t>(2, 512)));
    EXPECT_EQ(host::packRaw(host::makePicture(1, 1, ColourLayout::Gray, 8, 9), 10),
              (std::vector<uint8_t>{9, 128, 128}));

    Picture rgb = host::makePicture(1, 1, ColourLayout::Rgb, 12, 5);
    EXPECT_EQ(host::unpackRaw(host::packRaw(rgb, 26), 26, 1, 1, 12).planes[3][0], 4095);
}

TEST(RawLayout, RefusesWhatItCannotConvert) {
    Picture rgb = host::makePicture(2, 2, ColourLayout::Rgb, 8);
    Picture yuv = host::makePicture(2, 2, ColourLayout::Yuv420, 8);
    EXPECT_THROW(host::packRaw(rgb, 29), std::invalid_argument);
    EXPECT_THROW(host::packRaw(yuv, 22), std::invalid_argument);
    EXPECT_THROW(host::packRaw(rgb, 7), std::invalid_argument);
    EXPECT_THROW(host::rawFrameSize(0, 1, 1), std::invalid_argument);
    yuv.planes[2].pop_back();
    EXPECT_THROW(host::packRaw(yuv, 10), std::invalid_argument);
    std::vector<uint8_t> shortFrame(26);
    EXPECT_THROW(host::unpackRaw(shortFrame, 10, 3, 5, 8), std::invalid_argument);
    std::vector<uint8_t> one(3);
    EXPECT_THROW(host::unpackRaw(one, 22, 1, 1, 17), std::invalid_argument);
    try {
        host::packRaw(rgb, 10);
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("between RGB and YUV"), std::string::npos);
    }
}

} // namespace
