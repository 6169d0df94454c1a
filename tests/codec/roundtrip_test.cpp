#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "codec_harness.h"
#include "support/files.h"

using namespace codec_test;

namespace {

struct Size {
    uint32_t width;
    uint32_t height;
};

std::string contentName(Content c) {
    switch (c) {
    case Content::Smooth:
        return "smooth";
    case Content::Photo:
        return "photo";
    case Content::Noise:
        return "noise";
    case Content::Flat:
        return "flat";
    }
    return "?";
}

void expectRoundTrip(const FormatPair& v, Size size, Content c) {
    SCOPED_TRACE("format " + std::to_string(v.id) + " " + std::to_string(size.width) + "x" +
                 std::to_string(size.height) + " " + contentName(c));
    Encoder enc(v, size.width, size.height);
    std::vector<uint8_t> frame = makeFrame(v, size.width, size.height, c);
    ASSERT_EQ(frame.size(), enc.frameSize());
    const std::vector<uint8_t> packed = enc.encode(frame);
    std::vector<uint8_t> decoded;
    ASSERT_EQ(decode(enc.job().config, packed, decoded), 0);
    ASSERT_EQ(decoded.size(), frame.size());
    EXPECT_TRUE(decoded == frame);
}

class RoundTrip : public testing::TestWithParam<FormatPair> {};

TEST_P(RoundTrip, SmallSizesAndAllContentComeBackExactly) {
    for (const Size size : {Size{1, 1}, Size{2, 2}, Size{3, 5}, Size{127, 33}, Size{128, 128}}) {
        for (const Content c : {Content::Smooth, Content::Photo, Content::Noise, Content::Flat}) {
            expectRoundTrip(GetParam(), size, c);
        }
    }
}

TEST_P(RoundTrip, BytesDoNotDependOnThreadCount) {
    const FormatPair& v = GetParam();
    std::vector<uint8_t> frame = makeFrame(v, 301, 170, Content::Photo, 7);
    Encoder one(v, 301, 170, 1);
    const std::vector<uint8_t> reference = one.encode(frame);
    for (uint32_t threads = 2; threads <= 4; ++threads) {
        Encoder many(v, 301, 170, threads);
        EXPECT_EQ(many.job().config, one.job().config);
        EXPECT_TRUE(many.encode(frame) == reference) << threads << " threads";
    }
}

// The library's one pool serves every instance: sixteen encoders of four threads each, driven by
// four threads of their caller at once, share it and still give the bytes of a serial run, and
// decoders on the same pool give the frames back.
TEST(Concurrency, SixteenEncodersOnFourThreadsGiveTheSerialBytes) {
    constexpr uint32_t kWidth = 97, kHeight = 70;
    constexpr int kFrames = 3;
    std::vector<std::vector<uint8_t>> pictures, serial;
    for (const FormatPair& v : kFormatPairs) {
        Encoder alone(v, kWidth, kHeight, 1);
        for (int f = 0; f < kFrames; ++f) {
            pictures.push_back(makeFrame(v, kWidth, kHeight, Content::Photo, 11 + f));
            serial.push_back(alone.encode(pictures.back()));
        }
    }
    std::vector<std::unique_ptr<Encoder>> encoders;
    for (const FormatPair& v : kFormatPairs) {
        encoders.push_back(std::make_unique<Encoder>(v, kWidth, kHeight, 4));
    }
    std::vector<std::vector<uint8_t>> together(serial.size()), decoded(serial.size());
    std::vector<int32_t> decodeResults(serial.size(), -1);
    {
        std::vector<std::jthread> callers;
        for (size_t c = 0; c < 4; ++c) {
            callers.emplace_back([&, c] {
                // Each caller's four encoders take turns, frame by frame.
                for (int f = 0; f < kFrames; ++f) {
                    for (size_t e = c; e < encoders.size(); e += 4) {
                        const size_t i = e * kFrames + f;
                        together[i] = encoders[e]->encode(pictures[i]);
                        decodeResults[i] =
                            decode(encoders[e]->job().config, together[i], decoded[i], 2);
                    }
                }
            });
        }
    }
    for (size_t i = 0; i < serial.size(); ++i) {
        SCOPED_TRACE("format " + std::to_string(kFormatPairs[i / kFrames].id) + " frame " +
                     std::to_string(i % kFrames));
        EXPECT_TRUE(together[i] == serial[i]);
        EXPECT_EQ(decodeResults[i], 0);
        EXPECT_TRUE(decoded[i] == pictures[i]);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryVariant, RoundTrip, testing::ValuesIn(kFormatPairs),
                         [](const testing::TestParamInfo<FormatPair>& info) {
                             return "format" + std::to_string(info.param.id);
                         });

const FormatPair& row(uint32_t id) {
    for (const FormatPair& v : kFormatPairs) {
        if (v.id == id) {
            return v;
        }
    }
    throw std::logic_error("no such variant");
}

TEST(RoundTrip, LargeOddFrameComesBackExactly) {
    // Full-size slices with odd edges in the most used layout; the small sizes above already
    // cover every variant's slice and chroma edges.
    expectRoundTrip(row(104), {1921, 1081}, Content::Photo);
}

TEST(RoundTrip, NoiseFallsBackWithinTheBound) {
    // Incompressible frames must still fit what compress_begin promised, frame after frame.
    const FormatPair& v = kFormatPairs[0];
    Encoder enc(v, 640, 48);
    for (uint32_t seed = 1; seed <= 3; ++seed) {
        std::vector<uint8_t> frame = makeFrame(v, 640, 48, Content::Noise, seed);
        const std::vector<uint8_t> packed = enc.encode(frame);
        EXPECT_LE(packed.size(), enc.job().bound);
        EXPECT_GT(packed.size(), frame.size() * 99 / 100);
    }
}

TEST(RoundTrip, CompressibleContentShrinks) {
    for (const FormatPair& v : kFormatPairs) {
        Encoder enc(v, 256, 64);
        std::vector<uint8_t> frame = makeFrame(v, 256, 64, Content::Smooth);
        EXPECT_LT(enc.encode(frame).size() * 2, frame.size()) << v.id;
    }
}

TEST(RoundTrip, DecoderThreadsGiveTheSameFrame) {
    const FormatPair& v = kFormatPairs[3];
    Encoder enc(v, 200, 300);
    std::vector<uint8_t> frame = makeFrame(v, 200, 300, Content::Photo);
    const std::vector<uint8_t> packed = enc.encode(frame);
    for (uint32_t threads = 1; threads <= 3; ++threads) {
        std::vector<uint8_t> decoded;
        ASSERT_EQ(decode(enc.job().config, packed, decoded, threads), 0);
        EXPECT_TRUE(decoded == frame) << threads;
    }
}

// What the reduced variants give back from content they cannot keep whole.

uint16_t sample16(const std::vector<uint8_t>& f, size_t i) {
    return static_cast<uint16_t>(f[2 * i] | (f[2 * i + 1] << 8));
}

TEST(Reduction, DeepVariantsKeepTheTopBits) {
    for (const uint32_t id : {109u, 111u, 113u, 118u}) {
        const FormatPair& v = row(id);
        Encoder enc(v, 37, 9);
        std::vector<uint8_t> frame = korvadin_test::noiseBytes(enc.frameSize(), id);
        std::vector<uint8_t> decoded;
        ASSERT_EQ(decode(enc.job().config, enc.encode(frame), decoded), 0);
        for (size_t i = 0; i < frame.size() / 2; ++i) {
            ASSERT_EQ(sample16(decoded, i),
                      replicate(sample16(frame, i) >> (16 - v.depth), v.depth))
                << id << " sample " << i;
        }
    }
}

TEST(Reduction, FourTwoZeroAveragesChromaRowPairs) {
    const uint32_t w = 6, h = 5, cw = 3;
    Encoder enc(row(123), w, h);
    std::vector<uint8_t> frame = korvadin_test::noiseBytes(enc.frameSize(), 5);
    std::vector<uint8_t> decoded;
    ASSERT_EQ(decode(enc.job().config, enc.encode(frame), decoded), 0);
    for (size_t i = 0; i < size_t{w} * h; ++i) {
        ASSERT_EQ(sample16(decoded, i), replicate(sample16(frame, i) >> 6, 10));
    }
    for (size_t plane = 0; plane < 2; ++plane) {
        const size_t base = size_t{w} * h + plane * cw * h;
        for (uint32_t y = 0; y < h; ++y) {
            const uint32_t y0 = y & ~1u;
            const uint32_t y1 = std::min(y0 + 1, h - 1);
            for (uint32_t x = 0; x < cw; ++x) {
                const uint32_t mean = (sample16(frame, base + y0 * cw + x) +
                                       sample16(frame, base + y1 * cw + x) + 1) /
                                      2;
                ASSERT_EQ(sample16(decoded, base + y * cw + x), replicate(mean >> 6, 10))
                    << "plane " << plane << " x " << x << " y " << y;
            }
        }
    }
}

TEST(Reduction, LumaOnlyGivesMidGreyChroma) {
    for (const uint32_t id : {107u, 115u}) {
        const FormatPair& v = row(id);
        Encoder enc(v, 9, 7);
        std::vector<uint8_t> frame = korvadin_test::noiseBytes(enc.frameSize(), id);
        std::vector<uint8_t> decoded;
        ASSERT_EQ(decode(enc.job().config, enc.encode(frame), decoded), 0);
        const size_t luma = 9 * 7;
        if (v.depth == 8) {
            EXPECT_TRUE(std::equal(frame.begin(), frame.begin() + luma, decoded.begin()));
            for (size_t i = luma; i < decoded.size(); ++i) {
                ASSERT_EQ(decoded[i], 128);
            }
        } else {
            for (size_t i = 0; i < decoded.size() / 2; ++i) {
                const uint16_t expected =
                    i < luma ? replicate(sample16(frame, i) >> 6, 10) : replicate(512, 10);
                ASSERT_EQ(sample16(decoded, i), expected) << i;
            }
        }
    }
}

} // namespace
