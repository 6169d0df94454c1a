#include <gtest/gtest.h>

#include "codec_harness.h"

using namespace codec_test;

namespace {

struct Sample {
    std::vector<uint8_t> config;
    std::vector<uint8_t> packed;
};

Sample encodeSample(const FormatPair& v, uint32_t w, uint32_t h, Content c) {
    Encoder enc(v, w, h);
    std::vector<uint8_t> frame = makeFrame(v, w, h, c);
    return {enc.job().config, enc.encode(frame)};
}

// One coded variant per raw layout family and depth, with stored and coded segments.
const std::vector<size_t> kDamageRows = {0, 3, 4, 9, 10, 14};

TEST(Damage, EveryTruncationIsAnError) {
    for (const size_t row : kDamageRows) {
        for (const Content c : {Content::Photo, Content::Noise}) {
            const Sample s = encodeSample(kFormatPairs[row], 23, 37, c);
            std::vector<uint8_t> out;
            ASSERT_EQ(decode(s.config, s.packed, out), 0);
            for (size_t len = 0; len < s.packed.size(); ++len) {
                // A copy of exactly len bytes, so reading past it is caught by the sanitizer.
                const std::vector<uint8_t> cut(s.packed.begin(), s.packed.begin() + len);
                EXPECT_NE(decode(s.config, cut, out), 0)
                    << kFormatPairs[row].id << " length " << len;
            }
        }
    }
}

TEST(Damage, CorruptBytesNeverCrashAndHeadersAreChecked) {
    for (const size_t row : kDamageRows) {
        const Sample s = encodeSample(kFormatPairs[row], 41, 35, Content::Photo);
        std::vector<uint8_t> out;
        // A flipped bit inside a code stream may still decode to some picture; what matters
        // is that nothing outside the buffers is touched (run under the sanitizers).
        for (size_t i = 0; i < s.packed.size(); i += 7) {
            std::vector<uint8_t> bad = s.packed;
            bad[i] ^= static_cast<uint8_t>(1u << (i % 8));
            decode(s.config, bad, out);
        }
        // Anything in the frame header is always caught.
        for (size_t i = 0; i < 16; ++i) {
            std::vector<uint8_t> bad = s.packed;
            bad[i] ^= 0x40;
            EXPECT_NE(decode(s.config, bad, out), 0) << kFormatPairs[row].id << " byte " << i;
        }
    }
}

TEST(Damage, ConfigurationIsValidated) {
    const Sample s = encodeSample(kFormatPairs[0], 16, 40, Content::Smooth);
    std::vector<uint8_t> out;
    for (size_t len = 0; len < s.config.size(); ++len) {
        const std::vector<uint8_t> cut(s.config.begin(), s.config.begin() + len);
        EXPECT_NE(decode(cut, s.packed, out), 0) << len;
    }
    for (size_t i = 0; i < s.config.size(); ++i) {
        // Fields the decoder cannot do without; range and field order are informational.
        if (i == 24 || i == 25) {
            continue;
        }
        std::vector<uint8_t> bad = s.config;
        bad[i] ^= 0x11;
        korvadin_decoder* d = nullptr;
        const int32_t r = korvadin_decoder_open(bad.data(), bad.size(), 1, &d);
        if (r == 0) {
            // A changed size that is still valid must not let the old frame through.
            std::vector<uint8_t> frameOut(1 << 20);
            EXPECT_NE(korvadin_decode(d, s.packed.data(), s.packed.size(), frameOut.data(),
                                      frameOut.size()),
                      0)
                << "config byte " << i;
            korvadin_decoder_close(d);
        }
    }
}

TEST(Damage, FrameOfAnotherStreamIsRefused) {
    const Sample rgb = encodeSample(kFormatPairs[0], 64, 40, Content::Photo);
    const Sample yuv = encodeSample(kFormatPairs[3], 64, 40, Content::Photo);
    std::vector<uint8_t> out;
    EXPECT_NE(decode(rgb.config, yuv.packed, out), 0);
    EXPECT_NE(decode(yuv.config, rgb.packed, out), 0);
}

TEST(Damage, ShortOutputBufferIsRefused) {
    const Sample s = encodeSample(kFormatPairs[0], 16, 16, Content::Smooth);
    korvadin_decoder* d = nullptr;
    ASSERT_EQ(korvadin_decoder_open(s.config.data(), s.config.size(), 1, &d), 0);
    std::vector<uint8_t> out(16 * 16 * 3 - 1);
    EXPECT_EQ(korvadin_decode(d, s.packed.data(), s.packed.size(), out.data(), out.size()),
              KORVADIN_E_BUFFER);
    korvadin_decoder_close(d);
}

} // namespace
