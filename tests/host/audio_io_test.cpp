#include "host/media/audio_io.h"
#include "media_files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

using media_test::ffmpeg;
using media_test::readBytes;
using media_test::scratch;

namespace {

std::vector<uint8_t> readAll(host::AudioReader& reader) {
    std::vector<uint8_t> out;
    std::vector<uint8_t> block(reader.info().blockAlign() * 1000);
    // An odd request size, so that reads end in the middle of what the file holds.
    while (size_t n = reader.read(block.data(), 333))
        out.insert(out.end(), block.begin(), block.begin() + n * reader.info().blockAlign());
    return out;
}

std::string failure(const std::vector<uint8_t>& bytes) {
    try {
        auto reader = host::openWav(host::memoryInput(bytes, "'broken.wav'"));
        readAll(*reader);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no error";
}

struct WavCase {
    const char* codec;
    const char* rawFormat;
    int channels;
    uint16_t bits;
    bool isFloat;
};

class WavFromFfmpeg : public ::testing::TestWithParam<WavCase> {};

TEST_P(WavFromFfmpeg, ReadsInfoAndExactBytes) {
    SKIP_WITHOUT_FFMPEG();
    const WavCase c = GetParam();
    const auto wav = scratch("in.wav"), piped = scratch("piped.wav"), raw = scratch("in.raw");
    const std::string src = "-f lavfi -i sine=frequency=997:sample_rate=44100:duration=0.1 ";
    const std::string enc = "-ac " + std::to_string(c.channels) + " -c:a " + c.codec + " ";
    ASSERT_TRUE(ffmpeg(src + enc + "-f wav " + wav.string() + " " + enc + "-f " + c.rawFormat +
                       " " + raw.string()));
    // Through a pipe ffmpeg cannot go back to fill in the sizes.
    ASSERT_EQ(
        std::system(
            ("ffmpeg -nostdin -v error " + src + enc + "-f wav - > " + piped.string()).c_str()),
        0);
    const auto expected = readBytes(raw);
    for (const auto& path : {wav, piped}) {
        auto reader = host::openWav(path.string());
        const auto& info = reader->info();
        EXPECT_EQ(info.sampleRate, 44100u);
        EXPECT_EQ(info.channels, c.channels);
        EXPECT_EQ(info.bitsPerSample, c.bits);
        EXPECT_EQ(info.validBitsPerSample, c.bits);
        EXPECT_EQ(info.isFloat, c.isFloat);
        EXPECT_EQ(info.frameCount, 4410u) << path;
        EXPECT_EQ(readAll(*reader), expected) << path;
    }
}

INSTANTIATE_TEST_SUITE_P(SampleFormats, WavFromFfmpeg,
                         ::testing::Values(WavCase{"pcm_u8", "u8", 2, 8, false},
                                           WavCase{"pcm_s16le", "s16le", 1, 16, false},
                                           WavCase{"pcm_s24le", "s24le", 2, 24, false},
                                           WavCase{"pcm_s32le", "s32le", 2, 32, false},
                                           WavCase{"pcm_f32le", "f32le", 2, 32, true},
                                           WavCase{"pcm_s16le", "s16le", 6, 16, false}),
                         [](const auto& info) {
                             return std::string(info.param.codec) + "_" +
                                    std::to_string(info.param.channels) + "ch";
                         });

// A hand-made file: fmt, an odd-sized unknown chunk with its pad byte, then data.
std::vector<uint8_t> handMade(uint32_t dataSize, size_t dataBytes) {
    const auto path = scratch("base.wav");
    std::vector<uint8_t> samples(dataBytes, 0x11);
    host::writeWav(path.string(), {8000, 1, 16, false, 0, 16, 0}, samples);
    auto bytes = readBytes(path);
    // Insert "junk" (3 bytes + pad) between fmt and data; RIFF size is not checked by readers.
    const std::vector<uint8_t> junk{'j', 'u', 'n', 'k', 3, 0, 0, 0, 'a', 'b', 'c', 0};
    bytes.insert(bytes.begin() + 36, junk.begin(), junk.end());
    std::memcpy(&bytes[36 + 12 + 4], &dataSize, 4);
    return bytes;
}

TEST(Wav, SkipsUnknownChunksAndHonoursTheDataSizeRules) {
    // The declared size wins over what follows; 0 and 0xFFFFFFFF run to the end.
    for (auto [declared, frames] : {std::pair{6u, 3u}, {0u, 5u}, {0xFFFFFFFFu, 5u}}) {
        auto reader = host::openWav(host::memoryInput(handMade(declared, 10)));
        EXPECT_EQ(reader->info().frameCount, frames) << declared;
        EXPECT_EQ(readAll(*reader), std::vector<uint8_t>(frames * 2, 0x11)) << declared;
    }
}

TEST(Wav, BrokenFilesNameTheirProblem) {
    auto check = [&](std::vector<uint8_t> bytes, const std::string& problem) {
        std::string msg = failure(bytes);
        EXPECT_NE(msg.find(problem), std::string::npos) << msg;
        EXPECT_NE(msg.find("broken.wav"), std::string::npos) << msg;
    };
    const auto good = handMade(10, 10);
    check({}, "not a RIFF/WAVE file");
    check({'R', 'I', 'F', 'F', 0, 0, 0, 0, 'A', 'V', 'I', ' '}, "not a RIFF/WAVE file");
    check({good.begin(), good.begin() + 12}, "no fmt chunk");
    check({good.begin(), good.begin() + 48}, "no data chunk");
    check({good.begin(), good.begin() + 30}, "fmt chunk is truncated");
    check({good.begin(), good.end() - 3}, "declares 10 bytes but the file holds 7");
    auto oddEnd = handMade(0, 10);
    oddEnd.pop_back();
    check(oddEnd, "inside a sample frame");
    auto adpcm = good;
    adpcm[20] = 2;
    check(adpcm, "format tag 2");
    auto bits12 = good;
    bits12[34] = 12;
    check(bits12, "12-bit PCM");
    auto align = good;
    align[32] = 3;
    check(align, "block align 3");
    auto dataFirst = good;
    std::memcpy(&dataFirst[12], "data", 4);
    check(dataFirst, "before the fmt chunk");
    EXPECT_THROW(host::openWav(scratch("none.wav").string()), std::runtime_error);
}

} // namespace
