// The codec path through the built plug-in file and the real codec library: every variant
// encodes frames the host hands it, and the library's decoder gives each frame back.
#include "codec/codec_harness.h"
#include "davinci/encoder/codec_formats.h"
#include "support/plugin_file.h"

#include <gtest/gtest.h>

#include <algorithm>
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
TEST_F(PluginFile, EachVariantDeliversKeyFramesThatDecodeToTheFramesSent) {
    for (const host::Registration& codec : m_session->registerCodecs()) {
        SCOPED_TRACE(codec.name);
        const CodecFormat* format = findCodecFormatByUuid(codec.uuid.data());
        ASSERT_NE(format, nullptr);
        const auto row =
            std::find_if(codec_test::kFormatPairs.begin(), codec_test::kFormatPairs.end(),
                         [&](const auto& v) { return v.id == format->id; });
        ASSERT_NE(row, codec_test::kFormatPairs.end());

        void* encoder = create(codec.uuid);
        const Handle callback = h.createCallback();
        ASSERT_EQ(send(msgCodecSetCallback, encoder, callback), errNone);
        const Handle settings = encoderSettings(kWidth, kHeight);
        ASSERT_EQ(send(msgCodecOpen, encoder, settings), errNone);
        const auto cookie = h.property(settings, "magicCookie");
        ASSERT_TRUE(cookie);

        korvadin_decoder* decoder = nullptr;
        ASSERT_EQ(korvadin_decoder_open(cookie->bytes.data(), cookie->bytes.size(), 1, &decoder),
                  KORVADIN_OK);
        korvadin_stream_info info{};
        EXPECT_EQ(korvadin_decoder_info(decoder, &info), KORVADIN_OK);
        korvadin_decoder_close(decoder);
        EXPECT_EQ(info.width, kWidth);
        EXPECT_EQ(info.height, kHeight);
        EXPECT_EQ(info.rawFormat, format->rawFormat);
        EXPECT_EQ(info.compressedFormat, format->id);
        EXPECT_EQ(info.range, 2u);

        std::vector<std::vector<uint8_t>> sentFrames;
        for (int i = 0; i < kFrames; ++i) {
            sentFrames.push_back(
                codec_test::makeFrame(*row, kWidth, kHeight, codec_test::Content::Noise, i + 1));
            const Handle f = frame(sentFrames.back(), kWidth, kHeight, 1001 * i);
            EXPECT_EQ(send(msgCodecBuffer, encoder, f), errNone);
            h.release(f);
        }

        const auto delivered = h.receivedBuffers(callback);
        ASSERT_EQ(delivered.size(), static_cast<size_t>(kFrames));
        for (int i = 0; i < kFrames; ++i) {
            SCOPED_TRACE("frame " + std::to_string(i));
            EXPECT_EQ(h.property(delivered[i], "pts")->i64(), 1001 * i);
            std::vector<uint8_t> decoded;
            ASSERT_EQ(codec_test::decode(cookie->bytes, h.bufferData(delivered[i]), decoded), 0);
            EXPECT_TRUE(decoded == sentFrames[i]);
        }
        EXPECT_EQ(release(encoder), 0u);
        h.release(callback);
        h.release(settings);
    }
    EXPECT_TRUE(h.probe().errorTexts().empty());
}

} // namespace
