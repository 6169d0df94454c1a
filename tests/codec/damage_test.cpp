// Damaged frames and configurations: every cut is an error, a damaged header is always caught,
// and nothing outside the two buffers is touched (the sanitizer builds run this too).
#include <gtest/gtest.h>

#include "codec_harness.h"

using namespace codec_test;

namespace {

struct Sample {
    std::vector<uint8_t> config, packed;
};

Sample encodeSample(const FormatPair& v, uint32_t w, uint32_t h, Content c) {
    Encoder enc(v, w, h);
    std::vector<uint8_t> frame = makeFrame(v, w, h, c);
    return {enc.job().config, enc.encode(frame)};
}

int32_t decodes(const std::vector<uint8_t>& config, const std::vector<uint8_t>& frame) {
    std::vector<uint8_t> out;
    return decode(config, frame, out);
}

// The same on a decoder kept open, which every damaged frame before must have left able to
// decode the next one (and which spares opening a decoder thousands of times).
int32_t decodes(host::FrameDecoder& decoder, const std::vector<uint8_t>& frame) {
    try {
        decoder.decode(frame);
        return 0;
    } catch (const host::CodecError& e) {
        return e.code();
    }
}

TEST(Damage, TruncationsAndDamagedFrameHeadersAreErrors) {
    // One coded variant per raw layout family and depth, with stored and coded segments.
    for (const size_t row : {0, 3, 4, 9, 10, 14}) {
        for (const Content c : {Content::Photo, Content::Noise}) {
            const Sample s = encodeSample(kFormatPairs[row], 23, 37, c);
            host::FrameDecoder decoder(s.config, 1);
            ASSERT_EQ(decodes(decoder, s.packed), 0);
            for (size_t len = 0; len < s.packed.size(); ++len) {
                // A copy of exactly len bytes, so reading past it is caught by the sanitizer.
                const std::vector<uint8_t> cut(s.packed.begin(), s.packed.begin() + long(len));
                EXPECT_NE(decodes(decoder, cut), 0) << kFormatPairs[row].id << " length " << len;
            }
            // A flipped bit inside a code stream may still decode to some picture; anything in
            // the frame header is always caught.
            for (size_t i = 0; i < s.packed.size(); i += i < 16 ? 1 : 7) {
                std::vector<uint8_t> bad = s.packed;
                bad[i] ^= static_cast<uint8_t>(i < 16 ? 0x40 : 1u << (i % 8));
                const int32_t r = decodes(decoder, bad);
                EXPECT_TRUE(i >= 16 || r != 0) << kFormatPairs[row].id << " byte " << i;
            }
            EXPECT_EQ(decodes(decoder, s.packed), 0) << "after the damaged frames";
        }
    }
}

// Only the blue plane of an RGB layout names a lifting step, and only blue's; a coded plane names
// the median or the average as its predictor, a stored one none. The decoder undoes the step
// and follows the predictor a record names, not ones it guesses.
TEST(Damage, PlaneRecordsNameOnlyTheirPredictorsAndLiftingSteps) {
    for (const size_t row : {0, 3, 6}) {
        for (const Content c : {Content::Photo, Content::Noise}) {
            const FormatPair& v = kFormatPairs[row];
            const std::vector<uint8_t> raw = makeFrame(v, 29, 70, c);
            const Sample s = encodeSample(v, 29, 70, c);
            const std::vector<size_t> records = planeRecords(s.packed, 3);
            for (size_t i = 0; i < records.size(); ++i) {
                std::vector<uint8_t> bad = s.packed;
                const bool blue = isRgb(v) && i % 3 == 2;
                bad[records[i] + 2] = blue ? uint8_t(2) : uint8_t(1);
                EXPECT_NE(decodes(s.config, bad), 0) << v.id << " record " << i;
                if (blue) {
                    bad[records[i] + 2] = s.packed[records[i] + 2] ^ 1;
                    std::vector<uint8_t> out;
                    EXPECT_EQ(decode(s.config, bad, out), 0) << v.id << " record " << i;
                    EXPECT_NE(out, raw) << v.id << " record " << i;
                }
                const bool coded = s.packed[records[i]] == 1;
                for (const uint8_t predictor : {0, 1, 2, 3}) {
                    if (predictor == s.packed[records[i] + 1]) {
                        continue;
                    }
                    bad = s.packed;
                    bad[records[i] + 1] = predictor;
                    std::vector<uint8_t> out;
                    const int32_t r = decode(s.config, bad, out);
                    if (coded && (predictor == 1 || predictor == 2)) {
                        EXPECT_EQ(r, 0) << v.id << " record " << i;
                        EXPECT_NE(out, raw) << v.id << " record " << i;
                    } else {
                        EXPECT_NE(r, 0) << v.id << " record " << i << " predictor " << +predictor;
                    }
                }
            }
        }
    }
}

TEST(Damage, ConfigurationIsValidated) {
    const Sample s = encodeSample(kFormatPairs[0], 16, 40, Content::Smooth);
    for (size_t len = 0; len < s.config.size(); ++len) {
        EXPECT_NE(decodes({s.config.begin(), s.config.begin() + long(len)}, s.packed), 0) << len;
    }
    // Fields the decoder cannot do without (range and field order, at 24 and 25, only inform):
    // a changed size that is still valid must not let the old frame through.
    for (size_t i = 0; i < s.config.size(); ++i) {
        std::vector<uint8_t> bad = s.config;
        bad[i] ^= 0x11;
        EXPECT_TRUE(i == 24 || i == 25 || decodes(bad, s.packed) != 0) << "config byte " << i;
    }
    // Nor is a frame of another stream, nor an output buffer that is too short.
    const Sample yuv = encodeSample(kFormatPairs[3], 16, 40, Content::Smooth);
    EXPECT_NE(decodes(s.config, yuv.packed), 0);
    EXPECT_NE(decodes(yuv.config, s.packed), 0);
    korvadin_decoder* d = nullptr;
    ASSERT_EQ(korvadin_decoder_open(s.config.data(), s.config.size(), 1, &d), 0);
    std::vector<uint8_t> out(16 * 40 * 3 - 1);
    EXPECT_EQ(korvadin_decode(d, s.packed.data(), s.packed.size(), out.data(), out.size()),
              KORVADIN_E_BUFFER);
    korvadin_decoder_close(d);
}

} // namespace
