// Frames through the library and back: every variant at every edge of its slices and chroma, on
// any number of threads, and what the variants that keep less give back.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "codec_harness.h"
#include "host/media/raw_layout.h"
#include "support/files.h"

using namespace codec_test;

namespace {

const FormatPair& row(uint32_t id) {
    return *std::find_if(kFormatPairs.begin(), kFormatPairs.end(),
                         [id](const FormatPair& v) { return v.id == id; });
}

// The frame encoded and decoded again; empty if it does not decode.
std::vector<uint8_t> roundTrip(Encoder& encoder, std::vector<uint8_t>& frame,
                               uint32_t threads = 1) {
    std::vector<uint8_t> decoded;
    const bool decodes = decode(encoder.job().config, encoder.encode(frame), decoded, threads) == 0;
    return decodes ? decoded : std::vector<uint8_t>{};
}

class RoundTrip : public testing::TestWithParam<FormatPair> {};

TEST_P(RoundTrip, SmallSizesAndAllContentComeBackExactly) {
    for (const auto& [w, h] : {std::pair{1u, 1u}, {2u, 2u}, {3u, 5u}, {127u, 33u}, {128u, 128u}}) {
        for (const Content c : {Content::Smooth, Content::Photo, Content::Noise, Content::Flat}) {
            Encoder encoder(GetParam(), w, h);
            std::vector<uint8_t> frame = makeFrame(GetParam(), w, h, c);
            ASSERT_EQ(frame.size(), encoder.frameSize());
            EXPECT_TRUE(roundTrip(encoder, frame) == frame)
                << w << "x" << h << " content " << static_cast<int>(c);
        }
    }
}

// Neither the encoder's nor the decoder's threads change a byte.
TEST_P(RoundTrip, BytesDoNotDependOnThreadCount) {
    const FormatPair& v = GetParam();
    std::vector<uint8_t> frame = makeFrame(v, 301, 170, Content::Photo, 7);
    Encoder one(v, 301, 170, 1);
    const std::vector<uint8_t> reference = one.encode(frame);
    for (uint32_t threads = 2; threads <= 4; ++threads) {
        Encoder many(v, 301, 170, threads);
        EXPECT_EQ(many.job().config, one.job().config);
        EXPECT_TRUE(many.encode(frame) == reference) << threads << " threads";
        EXPECT_TRUE(roundTrip(many, frame, threads - 1) == frame) << threads - 1 << " threads";
    }
}

INSTANTIATE_TEST_SUITE_P(EveryVariant, RoundTrip, testing::ValuesIn(kFormatPairs),
                         [](const testing::TestParamInfo<FormatPair>& info) {
                             return "format" + std::to_string(info.param.id);
                         });

TEST(RoundTrip, LargeOddFrameComesBackExactly) {
    // Full-size slices with odd edges in the most used layout; the small sizes above already
    // cover every variant's slice and chroma edges.
    Encoder encoder(row(104), 1921, 1081);
    std::vector<uint8_t> frame = makeFrame(row(104), 1921, 1081, Content::Photo);
    EXPECT_TRUE(roundTrip(encoder, frame) == frame);
}

// Incompressible frames still fit what compress_begin promised, frame after frame; smooth ones
// take less than half.
TEST(RoundTrip, NoiseFitsTheBoundAndSmoothContentShrinks) {
    Encoder noisy(kFormatPairs[0], 640, 48);
    for (uint32_t seed = 1; seed <= 3; ++seed) {
        std::vector<uint8_t> frame = makeFrame(kFormatPairs[0], 640, 48, Content::Noise, seed);
        const size_t packed = noisy.encode(frame).size();
        EXPECT_TRUE(packed <= noisy.job().bound && packed > frame.size() * 99 / 100) << packed;
    }
    for (const FormatPair& v : kFormatPairs) {
        Encoder encoder(v, 256, 64);
        std::vector<uint8_t> frame = makeFrame(v, 256, 64, Content::Smooth);
        EXPECT_LT(encoder.encode(frame).size() * 2, frame.size()) << v.id;
    }
}

// What the reduced variants give back from noise they cannot keep whole: the top bits of each
// sample widened by replication, 4:2:0 chroma as the rounded mean of each pair of rows (the last
// row of an odd height alone), and mid-grey chroma for luma-only.
TEST(Reduction, VariantsGiveBackWhatTheyKeep) {
    for (const uint32_t id : {109u, 111u, 113u, 118u, 123u, 107u, 115u}) {
        const FormatPair& v = row(id);
        const uint32_t w = 7, h = 5;
        Encoder encoder(v, w, h);
        std::vector<uint8_t> frame = korvadin_test::noiseBytes(encoder.frameSize(), id);
        host::Picture kept = host::unpackRaw(frame, v.raw, w, h, 16);
        for (int p = 1; p < 3; ++p) {
            auto& plane = kept.planes[size_t(p)];
            const std::vector<uint16_t> sent = plane;
            const uint32_t cw = host::planeWidth(kept.layout, w, p);
            const size_t rows = plane.size() / cw;
            for (size_t i = 0; i < plane.size(); ++i) {
                const size_t y0 = i / cw & ~size_t{1}, y1 = std::min(y0 + 1, rows - 1);
                const uint32_t pair = sent[y0 * cw + i % cw] + sent[y1 * cw + i % cw] + 1u;
                plane[i] = static_cast<uint16_t>(v.chroma == Chroma::None         ? 0x8000
                                                 : v.chroma == Chroma::HalfHeight ? pair / 2
                                                                                  : plane[i]);
            }
        }
        for (auto& plane : kept.planes) {
            for (uint16_t& s : plane) {
                s = static_cast<uint16_t>(s >> (16 - v.depth));
            }
        }
        kept.bitDepth = static_cast<int>(v.depth);
        EXPECT_TRUE(roundTrip(encoder, frame) == host::packRaw(kept, v.raw)) << id;
    }
}

} // namespace
