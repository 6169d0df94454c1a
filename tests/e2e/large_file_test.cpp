// A render past the first RIFF's 1 GiB limit: frames of noise, which the codec can only store,
// piped from ffmpeg into the korvadin program until the file needs an "AVIX" RIFF. ffmpeg must
// find every frame across both RIFFs.
#include "e2e_support.h"
#include "host/avi_reader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace {

// 1920x1080 4:4:4 noise stores at about 5.5 MB a frame: 230 frames make about 1.26 GB, well past
// the first RIFF's 1.07 GB.
constexpr int kFrames = 230;

TEST(LargeRender, FramesPastTheFirstRiffGoIntoAnAvixRiffThatFfmpegReads) {
    SKIP_WITHOUT_FFMPEG();
    const std::string noise = media_test::scratch("noise.y4m").string();
    const std::string out = media_test::scratch("large.avi").string();
    // Over a gigabyte is too much to leave behind in the temporary folder.
    struct RemoveAtEnd {
        std::string path;
        ~RemoveAtEnd() {
            std::error_code ignored;
            std::filesystem::remove(path, ignored);
        }
    } removeAtEnd{out};
    // A few frames of noise, looped: each frame still stores whole.
    ASSERT_TRUE(media_test::ffmpeg(
        "-f lavfi -i nullsrc=s=1920x1080:d=0.2,format=yuv444p,noise=alls=100:allf=t+u "
        "-f yuv4mpegpipe " +
        e2e::quote(noise)));
    const e2e::Run render =
        e2e::run("ffmpeg -nostdin -v error -stream_loop -1 -i " + e2e::quote(noise) +
                 " -frames:v " + std::to_string(kFrames) + " -f yuv4mpegpipe - | " +
                 e2e::quote(KORVADIN_PROGRAM) + " render - -c K8Y4 -o " + e2e::quote(out));
    ASSERT_EQ(render.exitCode, 0) << render.err;

    host::AviReader reader(out);
    EXPECT_TRUE(reader.problems().empty()) << reader.problems().front();
    ASSERT_EQ(reader.riffs().size(), 2u);
    EXPECT_EQ(reader.riffs()[1].type, "AVIX");
    EXPECT_LE(uint64_t{reader.riffs()[0].size} + 8, 0x3FFFFFFEu);
    ASSERT_EQ(reader.streams().size(), 1u);
    const auto& chunks = reader.streams()[0].chunks;
    ASSERT_EQ(chunks.size(), size_t{kFrames});
    EXPECT_EQ(reader.streams()[0].superIndex.size(), 2u);
    EXPECT_EQ(reader.dmlhTotalFrames(), uint32_t{kFrames});

    EXPECT_EQ(e2e::tool("ffprobe", "-count_packets -show_entries stream=nb_read_packets "
                                   "-of compact=p=0 " +
                                       e2e::quote(out)),
              "nb_read_packets=" + std::to_string(kFrames) + "\n");
    // The last packet, deep in the AVIX RIFF, is the chunk our reader finds there.
    const auto packets = e2e::frameMd5s("-i " + e2e::quote(out) + " -map 0:v -c copy");
    ASSERT_EQ(packets.size(), size_t{kFrames});
    EXPECT_EQ(packets.back(), e2e::md5Hex(reader.readChunk(chunks.back())));
    EXPECT_EQ(packets.front(), e2e::md5Hex(reader.readChunk(chunks.front())));
}

} // namespace
