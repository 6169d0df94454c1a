// The codec path through the built plug-in file and the real codec library: every variant
// registers, encodes frames the host hands it, and the library's decoder gives each frame back.
#include "davinci/encoder/codec_formats.h"
#include "host/session.h"
#include "korvadin_codec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace IOPlugin;
using host::Handle;

namespace {

constexpr uint32_t kWidth = 34;
constexpr uint32_t kHeight = 18;
constexpr int kFrames = 3;

struct DecoderClose {
    void operator()(korvadin_decoder* decoder) const { korvadin_decoder_close(decoder); }
};
using Decoder = std::unique_ptr<korvadin_decoder, DecoderClose>;

Decoder openDecoder(const std::vector<uint8_t>& cookie, korvadin_stream_info& info) {
    korvadin_decoder* decoder = nullptr;
    EXPECT_EQ(korvadin_decoder_open(cookie.data(), cookie.size(), 1, &decoder), KORVADIN_OK);
    Decoder owned(decoder);
    if (owned) {
        EXPECT_EQ(korvadin_decoder_info(owned.get(), &info), KORVADIN_OK);
    }
    return owned;
}

// A frame of the variant's raw layout whose every sample survives the variant: samples of its
// kept depth widened to 16 bits as the decoder widens them, chroma rows in equal pairs where
// the variant averages them, and mid-range chroma where it keeps none.
std::vector<uint8_t> losslessFrame(const CodecFormat& format, const korvadin_stream_info& info,
                                   int seed) {
    std::vector<uint8_t> frame(info.rawFrameSize);
    uint32_t state = 0x9e3779b9u * static_cast<uint32_t>(seed + 1);
    auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    };
    const uint32_t depth = info.bitDepth;
    const bool deep = format.sampleBits == 16;
    auto widen = [depth](uint32_t v) {
        return static_cast<uint16_t>((v << (16 - depth)) | (v >> (2 * depth - 16)));
    };
    if (!deep) {
        for (uint8_t& byte : frame) {
            byte = static_cast<uint8_t>(next());
        }
    } else {
        for (size_t i = 0; i + 1 < frame.size(); i += 2) {
            const uint16_t sample = widen(next() & ((1u << depth) - 1));
            std::memcpy(&frame[i], &sample, 2);
        }
    }

    const bool lumaOnly = format.id == 107 || format.id == 115;
    const bool halvesChromaRows = format.id == 123;
    if (!lumaOnly && !halvesChromaRows) {
        return frame;
    }
    // Planar layouts 10 (8-bit 4:2:0) and 59 (16-bit 4:2:2): luma, then two chroma planes.
    const size_t sampleBytes = deep ? 2 : 1;
    const size_t chromaWidth = (kWidth + 1) / 2;
    const size_t chromaRows = format.rawFormat == 10 ? (kHeight + 1) / 2 : kHeight;
    const size_t rowBytes = chromaWidth * sampleBytes;
    uint8_t* chroma = frame.data() + size_t{kWidth} * kHeight * sampleBytes;
    for (size_t plane = 0; plane < 2; ++plane) {
        for (size_t row = 0; row < chromaRows; ++row) {
            uint8_t* line = chroma + (plane * chromaRows + row) * rowBytes;
            if (lumaOnly) {
                for (size_t x = 0; x < chromaWidth; ++x) {
                    if (deep) {
                        const uint16_t mid = 0x8020;
                        std::memcpy(line + x * 2, &mid, 2);
                    } else {
                        line[x] = 128;
                    }
                }
            } else if (row % 2 == 1) {
                std::memcpy(line, line - rowBytes, rowBytes);
            }
        }
    }
    return frame;
}

class PluginFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        host().reset();
        m_session = std::make_unique<host::PluginSession>(KORVADIN_PLUGIN_PATH);
    }
    void TearDown() override {
        m_session.reset();
        for (const host::Leak& leak : host().leaks()) {
            ADD_FAILURE() << "the module still holds " << host::kindName(leak.kind) << " "
                          << leak.handle;
        }
    }
    static host::Host& host() { return host::Host::instance(); }

    template <class... Args>
    int32_t send(uint32_t msg, Args... args) {
        return m_session->plugin().send(msg, args...);
    }

    // Creates an encoder for the variant, opens it, sends kFrames frames and checks that each
    // comes back once, in order, as a key frame with dts = pts that decodes to the frame sent.
    void roundTrip(const host::Registration& codec, int seed) {
        const CodecFormat* format = findCodecFormatByUuid(codec.uuid.data());
        ASSERT_NE(format, nullptr);

        void* encoder = nullptr;
        ASSERT_EQ(send(msgCreateObject, codec.uuid.data(), &encoder), errNone);
        const Handle callback = host().createCallback();
        ASSERT_EQ(send(msgCodecSetCallback, encoder, callback), errNone);
        const Handle settings = host().createBag();
        host().setUInt32(settings, "width", kWidth);
        host().setUInt32(settings, "height", kHeight);
        host().setUInt8(settings, "dataRange", 1);
        ASSERT_EQ(send(msgCodecOpen, encoder, settings), errNone);
        const auto cookie = host().property(settings, "magicCookie");
        ASSERT_TRUE(cookie);

        korvadin_stream_info info{};
        const Decoder decoder = openDecoder(cookie->bytes, info);
        ASSERT_TRUE(decoder);
        EXPECT_EQ(info.width, kWidth);
        EXPECT_EQ(info.height, kHeight);
        EXPECT_EQ(info.rawFormat, format->rawFormat);
        EXPECT_EQ(info.compressedFormat, format->id);
        EXPECT_EQ(info.range, 2u);

        std::vector<std::vector<uint8_t>> sentFrames;
        for (int i = 0; i < kFrames; ++i) {
            sentFrames.push_back(losslessFrame(*format, info, seed + i));
            const Handle frame = host().createBuffer(sentFrames.back());
            host().setUInt32(frame, "width", kWidth);
            host().setUInt32(frame, "height", kHeight);
            host().setInt64(frame, "pts", 1001 * i);
            EXPECT_EQ(send(msgCodecBuffer, encoder, frame), errNone);
            host().release(frame);
        }

        const auto delivered = host().receivedBuffers(callback);
        ASSERT_EQ(delivered.size(), static_cast<size_t>(kFrames));
        for (int i = 0; i < kFrames; ++i) {
            const Handle buffer = delivered[i];
            EXPECT_EQ(host().property(buffer, "pts")->i64(), 1001 * i);
            EXPECT_EQ(host().property(buffer, "dts")->i64(), 1001 * i);
            EXPECT_EQ(host().property(buffer, "isKeyFrame")->u8(), 1);
            const auto compressed = host().bufferData(buffer);
            std::vector<uint8_t> decoded(info.rawFrameSize);
            ASSERT_EQ(korvadin_decode(decoder.get(), compressed.data(), compressed.size(),
                                      decoded.data(), decoded.size()),
                      KORVADIN_OK);
            EXPECT_TRUE(decoded == sentFrames[i]) << "frame " << i;
        }

        uint32_t count = 99;
        EXPECT_EQ(send(msgRelease, encoder, &count), errNone);
        EXPECT_EQ(count, 0u);
        host().release(callback);
        host().release(settings);
    }

    std::unique_ptr<host::PluginSession> m_session;
};

TEST_F(PluginFileTest, EveryVariantRegistersInTableOrder) {
    int32_t result = -99;
    const auto codecs = m_session->registerCodecs(&result);
    EXPECT_EQ(result, errNone);
    ASSERT_EQ(codecs.size(), s_codecFormats.size());
    for (size_t i = 0; i < codecs.size(); ++i) {
        EXPECT_EQ(codecs[i].name, s_codecFormats[i].name);
        EXPECT_EQ(codecs[i].fourcc, s_codecFormats[i].fourcc);
    }
    EXPECT_TRUE(host().errorTexts().empty());
}

TEST_F(PluginFileTest, EachVariantDeliversKeyFramesThatDecodeToTheFramesSent) {
    for (const host::Registration& codec : m_session->registerCodecs()) {
        SCOPED_TRACE(codec.name);
        roundTrip(codec, 0);
    }
    EXPECT_TRUE(host().errorTexts().empty());
}

// Encoders share nothing writable, so the host may run them on threads of its own at once.
TEST_F(PluginFileTest, EncodersOnSeparateThreadsDoNotDisturbEachOther) {
    const auto codecs = m_session->registerCodecs();
    std::vector<std::thread> threads;
    for (size_t t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (size_t i = t; i < codecs.size(); i += 4) {
                SCOPED_TRACE(codecs[i].name);
                roundTrip(codecs[i], static_cast<int>(10 * t));
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_TRUE(host().errorTexts().empty());
}

} // namespace
