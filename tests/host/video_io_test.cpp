#include "host/media/raw_layout.h"
#include "host/media/video_io.h"
#include "media_files.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <tuple>

using host::ColourLayout;
using host::Picture;
using media_test::expectFailure;
using media_test::ffmpeg;
using media_test::readBytes;
using media_test::scratch;
using media_test::writeBytes;

namespace {

// Odd sizes, so that rounded-up chroma planes are exercised.
std::string source(uint32_t width = 33, uint32_t height = 17) {
    return "-f lavfi -i testsrc2=s=64x48:r=30000/1001:d=0.1,scale=" + std::to_string(width) + ":" +
           std::to_string(height) + " ";
}
const std::string kSource = source();

// Flattens planes the way ffmpeg's planar rawvideo stores them.
std::vector<uint8_t> planarBytes(const Picture& p) {
    std::vector<uint8_t> out;
    for (const auto& plane : p.planes)
        for (uint16_t s : plane) {
            out.push_back(static_cast<uint8_t>(s));
            if (p.bitDepth > 8)
                out.push_back(static_cast<uint8_t>(s >> 8));
        }
    return out;
}

struct Y4mCase {
    const char* pixfmt;
    ColourLayout layout;
    int depth;
    std::optional<bool> fullRange;
};

class Y4mFromFfmpeg : public ::testing::TestWithParam<Y4mCase> {};

TEST_P(Y4mFromFfmpeg, ReadsFormatAndSamplesAndWritesWhatFfmpegReads) {
    SKIP_WITHOUT_FFMPEG();
    const Y4mCase c = GetParam();
    const auto y4m = scratch("in.y4m"), raw = scratch("in.raw"), again = scratch("again.y4m"),
               back = scratch("back.raw");
    const std::string pix = std::string("-pix_fmt ") + c.pixfmt + " ";
    // ffmpeg 5.1 writes and reads deeper Y4M chroma rows of an odd-width picture one byte
    // short, so those cases use an even width (the chroma width is still odd).
    const uint32_t width = c.depth > 8 ? 34 : 33;
    ASSERT_TRUE(ffmpeg(source(width) + pix + "-strict -1 -f yuv4mpegpipe " + y4m.string() + " " +
                       pix + "-f rawvideo " + raw.string()));

    auto reader = host::openY4m(y4m.string());
    const auto& info = reader->info();
    EXPECT_EQ(std::tuple(info.width, info.height, info.rateNum, info.rateDen, info.layout,
                         info.bitDepth, info.fullRange, info.frameCount),
              std::tuple(width, 17u, 30000u, 1001u, c.layout, c.depth, c.fullRange, 3u));

    std::vector<uint8_t> samples;
    Picture pic;
    uint64_t frames = 0;
    {
        host::Y4mWriter writer(again.string(), info);
        while (reader->read(pic)) {
            ++frames;
            auto bytes = planarBytes(pic);
            samples.insert(samples.end(), bytes.begin(), bytes.end());
            writer.write(pic);
        }
    }
    EXPECT_EQ(frames, 3u);
    EXPECT_EQ(samples, readBytes(raw));

    ASSERT_TRUE(ffmpeg("-i " + again.string() + " " + pix + "-f rawvideo " + back.string()));
    EXPECT_EQ(readBytes(back), readBytes(raw)) << "ffmpeg reads our stream differently";
}

INSTANTIATE_TEST_SUITE_P(PixelFormats, Y4mFromFfmpeg,
                         ::testing::Values(Y4mCase{"yuv420p", ColourLayout::Yuv420, 8,
                                                   std::nullopt},
                                           Y4mCase{"yuvj420p", ColourLayout::Yuv420, 8, true},
                                           Y4mCase{"yuv422p", ColourLayout::Yuv422, 8, false},
                                           Y4mCase{"yuv444p", ColourLayout::Yuv444, 8, false},
                                           Y4mCase{"gray", ColourLayout::Gray, 8, true},
                                           Y4mCase{"yuv420p10le", ColourLayout::Yuv420, 10, false},
                                           Y4mCase{"yuv422p10le", ColourLayout::Yuv422, 10, false},
                                           Y4mCase{"yuv444p12le", ColourLayout::Yuv444, 12, false},
                                           Y4mCase{"gray12le", ColourLayout::Gray, 12, true}),
                         [](const auto& info) { return std::string(info.param.pixfmt); });

// Bad headers and frames are refused with the problem and where it is; a last frame cut short
// too, after the whole frames before it.
TEST(Y4m, BadStreamsAreRefusedWithTheirProblem) {
    const std::pair<std::string, std::string> headers[] = {
        {"", "not a YUV4MPEG2 stream"},
        {"RIFF....WAVEfmt \n", "not a YUV4MPEG2 stream"},
        {"YUV4MPEG2 W16 H16 F25:1 C411\n", "unsupported colour space '411'"},
        {"YUV4MPEG2 W16 H16 F25:1 C444alpha\n", "unsupported colour space"},
        {"YUV4MPEG2 W0 H16 F25:1\n", "width '0'"},
        {"YUV4MPEG2 W16 F25:1\n", "no picture size"},
        {"YUV4MPEG2 W16 H16 F25:0\n", "frame rate '25:0'"},
        {"YUV4MPEG2 W16 H16", "truncated"},
        {"YUV4MPEG2 W16 H16 " + std::string(5000, 'X') + "\n", "longer than"},
    };
    const auto input = [](const std::string& text) {
        return host::memoryInput({text.begin(), text.end()}, "'bad.y4m'");
    };
    for (const auto& [header, problem] : headers) {
        expectFailure([&] { host::openY4m(input(header)); }, {problem, "'bad.y4m'"});
    }
    Picture pic;
    auto noFrame = host::openY4m(input("YUV4MPEG2 W2 H2 Cmono\nFRAMX\n1234"));
    expectFailure([&] { noFrame->read(pic); }, {"does not start with FRAME"});
    const auto path = scratch("cut.y4m");
    {
        host::Y4mWriter writer(path.string(), {4, 2, 25, 1, ColourLayout::Yuv420, 8, {}, 0});
        for (int f = 0; f < 3; ++f) {
            writer.write(host::makePicture(4, 2, ColourLayout::Yuv420, 8));
        }
    }
    auto bytes = readBytes(path);
    bytes.pop_back();
    auto cut = host::openY4m(host::memoryInput(bytes, "'cut.y4m'"));
    EXPECT_EQ(cut->info().frameCount, 0u); // no longer a whole number of frames
    EXPECT_TRUE(cut->read(pic) && cut->read(pic));
    expectFailure([&] { cut->read(pic); }, {"'cut.y4m'", "frame 2 is truncated"});
    expectFailure([&] { host::openY4m(scratch("missing.y4m").string()); }, {"cannot open"});
}

// The built-in clip is drawn straight into the raw layout a render asks for (renders of other
// inputs meet ffmpeg's reading of the same input end to end): it must give what packing the
// picture it draws gives.
TEST(TestClip, RawFramesEqualPackedPictures) {
    const uint32_t w = 33, h = 5; // odd: rounded-up chroma
    for (const uint32_t code : {22, 28, 26}) {
        auto pictures = host::openTestClip(2, w, h), raw = host::openTestClip(2, w, h);
        Picture pic;
        std::vector<uint8_t> frame(host::rawFrameSize(code, w, h));
        int frames = 0;
        while (pictures->read(pic)) {
            ASSERT_TRUE(raw->readRaw(code, frame)) << code;
            EXPECT_EQ(frame, host::packRaw(pic, code)) << code << ", frame " << frames;
            ++frames;
        }
        EXPECT_EQ(frames, 2);
        EXPECT_FALSE(raw->readRaw(code, frame)) << code;
    }
}

} // namespace
