// Every variant end to end as a user runs it: the korvadin program renders panned frames of a
// photograph with two audio tracks, and Debian's ffmpeg, which shares no code with ours,
// reads the file back: streams, audio samples, packets, and the frames our decoder returns.
#include "e2e_support.h"
#include "host/avi_reader.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

constexpr int kFrames = 5;

struct Variant {
    const char* fourcc;
    const char* pixfmt; // of the input, as ffmpeg names it
    bool raw;           // headerless RGB through --raw rather than Y4M
    uint32_t width, height;
    // ffmpeg filter applied to the input and to the decoded frames alike before they are
    // compared: what the variant drops, dropped on both sides ("" when it keeps everything).
    std::string kept;
    const char* prepare = ""; // extra filter that shapes the input for the variant
};

// Deep RGB variants keep the top bits of each 16-bit sample.
std::string keepTop(int bits, bool alpha) {
    const std::string mask =
        "bitand(val\\," + std::to_string(0xFFFF & ~((1 << (16 - bits)) - 1)) + ")";
    std::string filter = "lutrgb=r=" + mask + ":g=" + mask + ":b=" + mask;
    return alpha ? filter + ":a=" + mask : filter;
}

// Some alpha of its own, as the photograph has none.
constexpr const char* kAlpha =
    "format=rgba,geq=r='r(X\\,Y)':g='g(X\\,Y)':b='b(X\\,Y)':a='mod(3*X+5*Y+N*11\\,256)'";
// Chroma rows in equal pairs, so the 4:2:0 variant's row averaging is exact.
constexpr const char* kPairedChroma =
    "geq=lum='lum(X\\,Y)':cb='cb(X\\,2*floor(Y/2))':cr='cr(X\\,2*floor(Y/2))'";

// Odd widths only where ffmpeg's Y4M muxer writes them whole: for subsampled chroma deeper than
// 8 bits it cuts each chroma row of an odd-width picture by a byte.
const Variant kRenderedVariants[] = {
    {"K8RG", "rgb24", true, 161, 91, ""},
    {"K8RA", "rgba", true, 160, 90, "", kAlpha},
    {"K8Y4", "yuv444p", false, 161, 91, ""},
    {"K8Y2", "yuv422p", false, 161, 91, ""},
    {"K8Y0", "yuv420p", false, 161, 91, ""},
    {"K8G0", "yuv420p", false, 160, 90, "extractplanes=y"},
    {"K0RG", "rgb48le", true, 161, 91, keepTop(10, false)},
    {"K0RA", "rgba64le", true, 160, 90, keepTop(10, true), kAlpha},
    {"K0Y4", "yuv444p10le", false, 161, 91, ""},
    {"K0Y2", "yuv422p10le", false, 160, 91, ""},
    {"K0Y0", "yuv422p10le", false, 160, 90, "scale=flags=neighbor,format=yuv420p10le",
     kPairedChroma},
    {"K0G0", "yuv422p10le", false, 160, 91, "extractplanes=y"},
    {"K2RG", "rgb48le", true, 160, 90, keepTop(12, false)},
    {"K2RA", "rgba64le", true, 161, 91, keepTop(12, true), kAlpha},
    {"K4RG", "rgb48le", true, 161, 91, keepTop(14, false)},
    {"K4RA", "rgba64le", true, 160, 90, keepTop(14, true), kAlpha},
};

// The two audio tracks and how ffmpeg decodes each for comparison, at its own sample format.
struct AudioInput {
    const char* file;
    const char* source; // lavfi source
    const char* codec;
};
const AudioInput kAudio[] = {
    {"stereo16.wav", "aevalsrc=0.5*sin(440*2*PI*t)|0.4*sin(660*2*PI*t):s=48000:d=0.2", "pcm_s16le"},
    {"surround_float.wav",
     "aevalsrc=0.1*sin(100*2*PI*t)|0.2*sin(200*2*PI*t)|0.3*sin(300*2*PI*t)|0.1*sin(400*2*PI*t)|"
     "0.2*sin(500*2*PI*t)|0.3*sin(600*2*PI*t):s=44100:d=0.2:c=5.1",
     "pcm_f32le"},
};

// Test names and failure messages show the variant by its FourCC.
void PrintTo(const Variant& v, std::ostream* os) {
    *os << v.fourcc;
}

std::string sizeText(const Variant& v) {
    return std::to_string(v.width) + "x" + std::to_string(v.height);
}

// How ffmpeg is told to read a headerless RGB file.
std::string rawInput(const Variant& v, const std::string& pixfmt) {
    return "-f rawvideo -pix_fmt " + pixfmt + " -s " + sizeText(v) + " -framerate 25";
}

std::string filterArg(const std::string& filter) {
    return filter.empty() ? std::string() : " -vf " + e2e::quote(filter);
}

class VariantRender : public ::testing::TestWithParam<Variant> {
protected:
    void SetUp() override { SKIP_WITHOUT_FFMPEG_OR_PHOTOGRAPH(); }

    static std::string path(const std::string& name) { return media_test::scratch(name).string(); }

    // A window panned across the photograph, in the variant's input pixel format.
    std::string makeInput(const Variant& v) {
        const std::string file = path(v.raw ? "input.raw" : "input.y4m");
        std::string filter = "loop=loop=-1:size=1,crop=" + std::to_string(v.width) + ":" +
                             std::to_string(v.height) + ":x=40+n*13:y=20+n*7";
        filter += ",format=" + std::string(v.pixfmt);
        if (*v.prepare)
            filter += "," + std::string(v.prepare) + ",format=" + v.pixfmt;
        EXPECT_TRUE(media_test::ffmpeg("-i " + e2e::quote(e2e::kPhotograph) + " -vf " +
                                       e2e::quote(filter) + " -frames:v " +
                                       std::to_string(kFrames) + " -strict -1 -f " +
                                       (v.raw ? "rawvideo " : "yuv4mpegpipe ") + e2e::quote(file)));
        return file;
    }
};

TEST_P(VariantRender, FfmpegReadsBackStreamsAudioPacketsAndFrames) {
    const Variant& v = GetParam();
    const std::string input = makeInput(v);
    std::string audioArgs;
    for (const AudioInput& a : kAudio) {
        ASSERT_TRUE(media_test::ffmpeg("-f lavfi -i " + e2e::quote(a.source) + " -c:a " + a.codec +
                                       " " + e2e::quote(path(a.file))));
        audioArgs += " --audio " + e2e::quote(path(a.file));
    }
    const std::string out = path("out.avi");

    std::string args =
        e2e::quote(input) + " -o " + e2e::quote(out) + " -c " + v.fourcc + audioArgs + " --verify";
    if (v.raw)
        args += " --raw " + sizeText(v) + ":" + v.pixfmt + " --rate 25/1";
    const e2e::Run render = e2e::korvadin("render " + args);
    ASSERT_EQ(render.exitCode, 0) << render.err;
    EXPECT_NE(render.out.find("verify: 5 of 5 frames decoded to the input, 5 packets read back "
                              "unchanged from the file"),
              std::string::npos)
        << render.out;

    // Streams as ffprobe sees them.
    const std::string streams = e2e::tool(
        "ffprobe", "-count_packets -show_entries stream=codec_type,codec_tag_string,width,height,"
                   "r_frame_rate,nb_read_packets,channels,sample_rate -of compact=p=0 " +
                       e2e::quote(out));
    const std::string expectedStreams =
        "codec_type=video|codec_tag_string=" + std::string(v.fourcc) +
        "|width=" + std::to_string(v.width) + "|height=" + std::to_string(v.height) +
        "|r_frame_rate=25/1|nb_read_packets=5\n";
    EXPECT_EQ(streams.substr(0, streams.find('\n') + 1), expectedStreams) << streams;
    EXPECT_NE(streams.find("codec_type=audio|codec_tag_string=[1][0][0][0]|sample_rate=48000|"
                           "channels=2"),
              std::string::npos)
        << streams;
    EXPECT_NE(streams.find("sample_rate=44100|channels=6"), std::string::npos) << streams;

    // Audio: the samples of each track are those of its WAV.
    for (size_t t = 0; t < std::size(kAudio); ++t) {
        SCOPED_TRACE(kAudio[t].file);
        const std::string codec = std::string(" -c:a ") + kAudio[t].codec + " -f md5 -";
        EXPECT_EQ(
            e2e::tool("ffmpeg", "-i " + e2e::quote(out) + " -map 0:a:" + std::to_string(t) + codec),
            e2e::tool("ffmpeg", "-i " + e2e::quote(path(kAudio[t].file)) + codec));
    }

    // Video packets: ffmpeg's demuxer and our reader agree on every chunk's bytes.
    const auto packets = e2e::frameCrcs("-i " + e2e::quote(out) + " -map 0:v -c copy");
    host::AviReader reader(out);
    EXPECT_TRUE(reader.problems().empty()) << reader.problems().front();
    std::vector<std::string> chunks;
    for (const auto& chunk : reader.streams().at(0).chunks)
        chunks.push_back("0x" + e2e::adler32(reader.readChunk(chunk), 0));
    EXPECT_EQ(packets, chunks);
    EXPECT_EQ(chunks.size(), size_t{kFrames});

    // Frames: what our decoder returns is what the variant keeps of the input.
    const std::string decoded = path(v.raw ? "decoded.raw" : "decoded.y4m");
    const e2e::Run decode =
        e2e::korvadin("decode " + e2e::quote(out) + " -o " + e2e::quote(decoded));
    ASSERT_EQ(decode.exitCode, 0) << decode.err;
    std::string decodedInput = e2e::quote(decoded);
    if (v.raw) {
        const auto at = decode.err.find("pixel format ");
        ASSERT_NE(at, std::string::npos) << decode.err;
        const std::string pixfmt = decode.err.substr(at + 13, decode.err.find('\n', at) - at - 13);
        decodedInput = rawInput(v, pixfmt) + " -i " + decodedInput;
    } else {
        decodedInput = "-i " + decodedInput;
    }
    const std::string inputArgs =
        (v.raw ? rawInput(v, v.pixfmt) + " -i " : std::string("-i ")) + e2e::quote(input);
    const auto expected = e2e::frameCrcs(inputArgs + filterArg(v.kept));
    EXPECT_EQ(expected.size(), size_t{kFrames});
    EXPECT_EQ(e2e::frameCrcs(decodedInput + filterArg(v.kept)), expected);
}

INSTANTIATE_TEST_SUITE_P(AllVariants, VariantRender, ::testing::ValuesIn(kRenderedVariants),
                         [](const ::testing::TestParamInfo<Variant>& info) {
                             return std::string(info.param.fourcc);
                         });

} // namespace
