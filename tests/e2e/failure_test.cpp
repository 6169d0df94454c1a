// korvadin render as a user meets its failures: it says what went wrong and exits non-zero, and
// a render that fails part way leaves a finished file with every frame written before.
#include "e2e_support.h"
#include "host/avi_reader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

std::string path(const std::string& name) {
    return media_test::scratch(name).string();
}

// A small panned clip of the photograph, Y4M 4:2:0.
std::string makeClip(int frames) {
    const std::string file = path("clip.y4m");
    EXPECT_TRUE(media_test::ffmpeg("-i " + e2e::quote(e2e::kPhotograph) +
                                   " -vf loop=loop=-1:size=1,crop=64:48:x=n*9:y=n*5,format=yuv420p"
                                   " -frames:v " +
                                   std::to_string(frames) + " -f yuv4mpegpipe " +
                                   e2e::quote(file)));
    return file;
}

class RenderFailure : public ::testing::Test {
protected:
    void SetUp() override { SKIP_WITHOUT_FFMPEG_OR_PHOTOGRAPH(); }
};

TEST_F(RenderFailure, RefusedRendersSayWhyAndWriteNoFile) {
    const std::string clip = makeClip(2);
    const std::string rgb = path("clip.rgb");
    ASSERT_TRUE(media_test::ffmpeg(
        "-f lavfi -i testsrc=s=32x16:d=0.08 -pix_fmt rgb24 -f rawvideo " + e2e::quote(rgb)));
    const std::string missing = path("no-such-input.y4m");
    const std::string noFolder = path("no-such-folder") + "/out.avi";
    struct Case {
        const char* name;
        std::string args;
        std::string output;
        std::string says;
    };
    const Case cases[] = {
        {"input that does not exist", e2e::quote(missing), path("a.avi"), missing},
        {"audio file that does not exist", e2e::quote(clip) + " --audio " + e2e::quote(missing),
         path("e.avi"), missing},
        {"unknown variant", e2e::quote(clip) + " -c KXYZ", path("b.avi"),
         "no codec variant 'KXYZ'"},
        {"RGB input for a YUV variant", e2e::quote(rgb) + " --raw 32x16:rgb24 -c K8Y0",
         path("c.avi"), "does not fit 8-bit YUV 420"},
        {"raw input of no RGB format", e2e::quote(rgb) + " --raw 32x16:yuv420p", path("d.avi"),
         "unsupported raw pixel format 'yuv420p'"},
        {"output folder that does not exist", e2e::quote(clip), noFolder, noFolder},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const e2e::Run r = e2e::korvadin("render " + c.args + " -o " + e2e::quote(c.output));
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_FALSE(std::filesystem::exists(c.output));
    }
}

TEST_F(RenderFailure, AFrameCutShortEndsTheRenderWithAFinishedFile) {
    const std::string clip = makeClip(4);
    // Cut the last frame in half: three whole frames remain.
    const auto size = std::filesystem::file_size(clip);
    const auto frameBytes = uint64_t{64} * 48 * 3 / 2;
    std::filesystem::resize_file(clip, size - frameBytes / 2);
    const std::string out = path("out.avi");

    ASSERT_TRUE(media_test::ffmpeg("-f lavfi -i sine=r=48000:d=1 -c:a pcm_s16le " +
                                   e2e::quote(path("tone.wav"))));
    const e2e::Run cut = e2e::korvadin("render " + e2e::quote(clip) + " -o " + e2e::quote(out) +
                                       " --audio " + e2e::quote(path("tone.wav")));
    EXPECT_EQ(cut.exitCode, 1);
    EXPECT_NE(cut.err.find("truncated"), std::string::npos) << cut.err;
    EXPECT_NE(cut.err.find("holds the 3 frame(s) written"), std::string::npos) << cut.err;

    host::AviReader reader(out);
    EXPECT_TRUE(reader.problems().empty()) << reader.problems().front();
    EXPECT_EQ(e2e::tool("ffprobe", "-count_packets -select_streams v -show_entries "
                                   "stream=nb_read_packets,nb_frames -of compact=p=0 " +
                                       e2e::quote(out)),
              "nb_frames=3|nb_read_packets=3\n");
    // The audio up to the end of the last whole frame made it too: 3 frames at 25/s, 48 kHz.
    EXPECT_EQ(e2e::tool("ffmpeg", "-i " + e2e::quote(out) + " -map 0:a -f s16le -").size(),
              size_t{5760 * 2});
}

} // namespace
