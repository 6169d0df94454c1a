// The codec path through the built plug-in file and the real codec library: the library takes
// all sixteen variants, each registers what it is, and each encodes frames the host hands it that
// the library's decoder gives back.
#include "codec/codec_harness.h"
#include "support/expected_variants.h"
#include "support/plugin_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <vector>

using namespace IOPlugin;
using host::Handle;

namespace {

constexpr uint32_t kWidth = 34;
constexpr uint32_t kHeight = 18;
constexpr int kFrames = 3;

class PluginFile : public korvadin_test::PluginFileTest {};

// Each encoder sends every frame back once, in order (the encoder suite checks the packet's
// properties in full), and the cookie it publishes describes the job to the decoder.
TEST_F(PluginFile, AllSixteenVariantsRegisterAndDeliverFramesThatDecodeToTheFramesSent) {
    const auto codecs = m_session->registerCodecs();
    ASSERT_EQ(codecs.size(), korvadin_test::kExpectedVariants.size());
    for (size_t i = 0; i < codecs.size(); ++i) {
        const host::Registration& codec = codecs[i];
        const korvadin_test::ExpectedVariant& v = korvadin_test::kExpectedVariants[i];
        SCOPED_TRACE(v.name);
        EXPECT_EQ(std::tuple(codec.name, codec.fourcc, codec.colorModel, codec.hSubsampling,
                             codec.vSubsampling, codec.sampleBits),
                  std::tuple(v.name, korvadin_test::fourccNumber(v.fourcc), v.colorModel,
                             v.hSubsampling, v.vSubsampling, v.sampleBits));
        const auto row =
            std::find_if(codec_test::kFormatPairs.begin(), codec_test::kFormatPairs.end(),
                         [&](const auto& pair) { return pair.id == v.id; });
        ASSERT_NE(row, codec_test::kFormatPairs.end());

        void* encoder = create(codec.uuid);
        const Handle callback = h.createCallback();
        ASSERT_EQ(send(msgCodecSetCallback, encoder, callback), errNone);
        const Handle settings = encoderSettings(kWidth, kHeight);
        ASSERT_EQ(send(msgCodecOpen, encoder, settings), errNone);
        const auto cookie = h.property(settings, "magicCookie");
        ASSERT_TRUE(cookie);
        const host::FrameDecoder decoder(cookie->bytes, 1);
        const korvadin_stream_info& info = decoder.info();
        EXPECT_EQ(
            std::tuple(info.width, info.height, info.rawFormat, info.compressedFormat, info.range),
            std::tuple(kWidth, kHeight, v.raw, v.id, 2u));

        std::vector<std::vector<uint8_t>> sentFrames;
        for (int f = 0; f < kFrames; ++f) {
            sentFrames.push_back(
                codec_test::makeFrame(*row, kWidth, kHeight, codec_test::Content::Noise, f + 1));
            const Handle frame = this->frame(sentFrames.back(), kWidth, kHeight, 1001 * f);
            EXPECT_EQ(send(msgCodecBuffer, encoder, frame), errNone);
            h.release(frame);
        }
        const auto delivered = h.receivedBuffers(callback);
        ASSERT_EQ(delivered.size(), size_t{kFrames});
        for (int f = 0; f < kFrames; ++f) {
            EXPECT_EQ(h.property(delivered[f], "pts")->i64(), 1001 * f);
            std::vector<uint8_t> decoded;
            ASSERT_EQ(codec_test::decode(cookie->bytes, h.bufferData(delivered[f]), decoded), 0);
            EXPECT_TRUE(decoded == sentFrames[f]) << "frame " << f;
        }
        EXPECT_EQ(release(encoder), 0u);
        h.release(callback);
        h.release(settings);
    }
    EXPECT_TRUE(h.probe().errorTexts().empty());
}

// Settings the library cannot use leave the encoder without a job: each frame is refused at once,
// and nothing of the failed start is left open or held (the teardown checks that).
TEST_F(PluginFile, SettingsTheLibraryCannotUseRefuseEveryFrame) {
    const host::Registration codec = m_session->registerCodecs().at(0);
    const Handle stringWidth = encoderSettings(kWidth, kHeight);
    h.setString(stringWidth, "width", "34");
    for (const Handle settings : {Handle{0}, h.createBuffer(), stringWidth}) {
        void* encoder = create(codec.uuid);
        ASSERT_EQ(send(msgCodecSetCallback, encoder, h.createCallback()), errNone);
        h.probe().clearTrace();
        EXPECT_EQ(send(msgCodecOpen, encoder, settings), errFailed);
        EXPECT_TRUE(
            korvadin_test::lastText().starts_with("Korvadin Plugin :: compressBegin failed: "));
        h.probe().clearTrace();
        const Handle f = frame(std::vector<uint8_t>(kWidth * kHeight * 3), kWidth, kHeight, 0);
        EXPECT_EQ(send(msgCodecBuffer, encoder, f), errFailed);
        EXPECT_TRUE(h.probe().trace().size() == 2 && h.probe().errorTexts().empty())
            << "only the frame's own reference is taken and given back";
        EXPECT_EQ(release(encoder), 0u);
    }
}

} // namespace
