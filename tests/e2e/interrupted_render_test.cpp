// korvadin render stopped as renders are stopped: killed outright (SIGKILL) at seeded points
// while frames arrive through a pipe, interrupted once (it finishes the file), interrupted twice
// (it stops at once). What a kill leaves is repaired, and every packet that had reached the disk
// must come back: byte for byte, decoding to its input frame, audio sample-exact, with the packet
// count and duration that ffprobe and MediaInfo read. Audio longer than the video is kept whole
// unless --shortest trims it.
#include "e2e_support.h"
#include "host/avi_reader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <random>
#include <thread>
#include <tuple>

#include <sys/wait.h>

namespace {

constexpr int kFrames = 48;                         // 1.92 s, with 2 s of audio
constexpr size_t kFrameBytes = 64 * 48 * 3 / 2 + 6; // "FRAME\n" and a 4:2:0 picture

std::string path(const std::string& name) {
    return media_test::scratch(name).string();
}

std::string text(const std::string& file) {
    const auto bytes = media_test::readBytes(file);
    return {bytes.begin(), bytes.end()};
}

// A render of the clip from a pipe the test writes into; the shell that starts it gives its
// process id and becomes it. Closing the pipe waits for it and gives its status.
struct Render {
    FILE* input;
    pid_t pid = 0;

    Render(const std::string& out, const std::string& options) {
        const std::string pidFile = path("pid.txt");
        std::filesystem::remove(pidFile);
        const auto& q = e2e::quote;
        const std::string command = "echo $$ >" + q(pidFile) + "; exec " + q(KORVADIN_PROGRAM) +
                                    " render - --audio " + q(path("tone.wav")) + " --threads 1 " +
                                    options + " -o " + q(out) + " >/dev/null 2>" +
                                    q(path("err.txt"));
        input = popen(command.c_str(), "w");
        std::string written;
        while (!(written = text(pidFile)).ends_with('\n')) {
            std::this_thread::yield();
        }
        pid = std::atoi(written.c_str());
    }
    // A render that died no longer reads: what it did not take is lost, as for any pipe.
    void feed(const std::string& bytes) const {
        std::fwrite(bytes.data(), 1, bytes.size(), input);
        std::fflush(input);
    }
    int wait() const { return pclose(input); }
    // Whether the render ended (it waits for pclose as a zombie) within `limit`.
    bool endsWithin(std::chrono::milliseconds limit) const {
        const auto until = std::chrono::steady_clock::now() + limit;
        const std::string stat = "/proc/" + std::to_string(pid) + "/stat";
        do {
            // The state follows the parenthesised program name.
            const std::string fields = text(stat);
            const size_t name = fields.rfind(')');
            if (name != std::string::npos && fields.compare(name, 3, ") Z") == 0) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        } while (std::chrono::steady_clock::now() < until);
        return false;
    }
};

class InterruptedRender : public ::testing::Test {
protected:
    void SetUp() override {
        SKIP_WITHOUT_FFMPEG();
        std::signal(SIGPIPE, SIG_IGN);
        ASSERT_TRUE(media_test::ffmpeg("-f lavfi -i testsrc2=s=64x48:r=25 -frames:v 48 -pix_fmt "
                                       "yuv420p -f yuv4mpegpipe " +
                                       e2e::quote(path("clip.y4m"))));
        ASSERT_TRUE(media_test::ffmpeg("-f lavfi -i sine=r=48000:d=2 -ac 2 -c:a pcm_s16le " +
                                       e2e::quote(path("tone.wav"))));
        m_y4m = text(path("clip.y4m"));
        m_header = m_y4m.size() - kFrames * kFrameBytes;
        m_samples = e2e::tool("ffmpeg", "-i " + e2e::quote(path("tone.wav")) + " -f s16le -");
    }

    // The first `frames` frames of the clip go into the pipe.
    std::unique_ptr<Render> render(const std::string& out, int frames,
                                   const std::string& options = "") {
        auto r = std::make_unique<Render>(out, options);
        r->feed(m_y4m.substr(0, m_header + size_t(frames) * kFrameBytes));
        return r;
    }

    std::string m_y4m; // each frame after the header with its "FRAME" line
    size_t m_header = 0;
    std::string m_samples; // of the WAV file
};

TEST_F(InterruptedRender, EveryPacketOnDiskComesBackFromAKilledRender) {
    const std::string reference = path("reference.avi");
    ASSERT_EQ(render(reference, kFrames)->wait(), 0);
    host::AviReader ref(reference);
    const bool haveMediaInfo =
        std::system("mediainfo --Version >/dev/null 2>&1") == 0 ||
        std::printf("MediaInfo is not installed (scripts/install-deps.sh test installs it)\n") < 0;

    std::mt19937 random(16);
    uint64_t onDiskTotal = 0, backTotal = 0;
    for (int point = 0; point < 20; ++point) {
        // Frames fed, and how long the render may go on before the kill: a moment, or long
        // enough to start and take what it was fed.
        const int fed = int(random() % (kFrames + 1));
        const auto settle = std::chrono::milliseconds(random() % 3 == 0 ? 300 : random() % 4);
        const bool inPlace = point % 2 == 1;
        const std::string killed = path("killed.avi"), fixed = inPlace ? killed : path("fixed.avi");
        std::filesystem::remove(killed);
        {
            const auto r = render(killed, fed);
            std::this_thread::sleep_for(settle);
            kill(r->pid, SIGKILL);
            r->wait();
        }
        const uint64_t size =
            std::filesystem::exists(killed) ? std::filesystem::file_size(killed) : 0;
        const e2e::Run repair =
            e2e::korvadin("repair " + e2e::quote(killed) +
                          (inPlace ? " --in-place" : " -o " + e2e::quote(fixed)));
        std::printf("killed render %d: %d frames fed, %llu bytes; repair: %s", point, fed,
                    static_cast<unsigned long long>(size), (repair.out + repair.err).c_str());
        if (size < ref.streams()[0].chunks[0].offset - 8) { // the movi list header
            EXPECT_EQ(repair.exitCode, 1) << repair.err;
            continue;
        }
        ASSERT_EQ(repair.exitCode, 0) << repair.err;
        host::AviReader back(fixed);
        EXPECT_TRUE(back.problems().empty()) << back.problems().front();

        // What reached the disk: the reference's chunks that lie wholly inside the killed file.
        size_t frames = 0, pcm = 0;
        for (size_t s = 0; s < 2; ++s) {
            const auto& want = ref.streams()[s].chunks;
            const auto& got = back.streams()[s].chunks;
            const auto onDisk = size_t(std::count_if(
                want.begin(), want.end(), [&](auto& c) { return c.offset + c.size <= size; }));
            ASSERT_EQ(got.size(), onDisk) << "stream " << s;
            for (size_t i = 0; i < onDisk; ++i) {
                EXPECT_EQ(back.readChunk(got[i]), ref.readChunk(want[i]))
                    << "stream " << s << ", " << i;
                pcm += s == 1 ? got[i].size : 0;
            }
            frames = s == 0 ? onDisk : frames;
        }
        onDiskTotal += frames;
        backTotal += back.streams()[0].chunks.size();
        if (frames == 0) {
            continue;
        }
        // Decoded frames against the input's (their Y4M headers differ in tags), audio against the
        // WAV file's samples, and the counts of independent readers.
        const std::string decoded = e2e::korvadin("decode " + e2e::quote(fixed) + " -o -").out;
        EXPECT_TRUE(decoded.substr(decoded.find('\n') + 1) ==
                    m_y4m.substr(m_header, frames * kFrameBytes));
        EXPECT_EQ(e2e::tool("ffmpeg", "-i " + e2e::quote(fixed) + " -map 0:a -f s16le -"),
                  m_samples.substr(0, pcm));
        EXPECT_EQ(e2e::tool("ffprobe", "-count_packets -select_streams v -show_entries "
                                       "stream=duration,nb_read_packets -of csv=p=0 " +
                                           e2e::quote(fixed)),
                  std::to_string(frames / 25.0) + "," + std::to_string(frames) + "\n");
        if (haveMediaInfo) {
            EXPECT_EQ(e2e::run("mediainfo --Inform='Video;%FrameCount%' " + e2e::quote(fixed)).out,
                      std::to_string(frames) + "\n");
        }
    }
    std::printf("killed renders: %llu frames on disk, %llu came back\n",
                static_cast<unsigned long long>(onDiskTotal),
                static_cast<unsigned long long>(backTotal));
}

// Once: the frames so far make a finished file. Twice (a second interrupt, here SIGTERM, taken
// before the first is acted on): the render ends at once and its file is repaired.
TEST_F(InterruptedRender, AnInterruptFinishesTheFileASecondStopsAtOnce) {
    for (const bool twice : {false, true}) {
        SCOPED_TRACE(twice ? "twice" : "once");
        const std::string out = path(twice ? "twice.avi" : "once.avi");
        const auto r = render(out, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        if (twice) {
            for (const int signal : {SIGSTOP, SIGINT, SIGTERM, SIGCONT}) {
                kill(r->pid, signal);
            }
            // Either interrupt may be taken by one of the codec's threads, which hands it on to
            // the reading one: on a busy machine that takes a while, so the render is given its
            // moment before more input comes. One that went on would read it and finish.
            EXPECT_TRUE(r->endsWithin(std::chrono::seconds(10)));
        } else {
            // Input that comes once the interrupt is taken is not read, also when the render
            // was waiting for it. (Data arriving with the signal may still be read first.)
            kill(r->pid, SIGINT);
            for (int i = 0;
                 i < 500 && text(path("err.txt")).find("interrupted") == std::string::npos; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        r->feed(m_y4m.substr(m_header + 10 * kFrameBytes, 10 * kFrameBytes));
        const int status = r->wait();
        const std::string said = text(path("err.txt"));
        if (twice) {
            EXPECT_TRUE(WIFSIGNALED(status)) << said;
            EXPECT_EQ(e2e::korvadin("repair " + e2e::quote(out) + " --in-place").exitCode, 0);
        }
        host::AviReader avi(out);
        EXPECT_TRUE(avi.problems().empty()) << avi.problems().front();
        const size_t frames = avi.streams()[0].chunks.size();
        EXPECT_LE(frames, 10u);
        if (!twice) {
            EXPECT_EQ(WEXITSTATUS(status), 130) << said;
            EXPECT_NE(
                said.find("finishing " + out + " with the " + std::to_string(frames) + " frame(s)"),
                std::string::npos)
                << said;
        }
    }
}

// 1.92 s of video with 2 s of audio: all of it by default, the video's length with --shortest,
// each saying so; sample-exact either way.
TEST_F(InterruptedRender, AudioPastTheLastFrameIsKeptUnlessShortestTrimsIt) {
    const std::tuple<const char*, size_t, const char*> cases[] = {
        {"", 96000, "audio track 1 runs 0.080 s past the last frame"},
        {"--shortest", 92160, "--shortest dropped 3840 sample frame(s) (0.080 s)"}};
    for (const auto& [option, samples, says] : cases) {
        SCOPED_TRACE(option);
        const std::string out = path("audio.avi");
        EXPECT_EQ(render(out, kFrames, option)->wait(), 0);
        EXPECT_NE(text(path("err.txt")).find(says), std::string::npos) << text(path("err.txt"));
        EXPECT_EQ(e2e::tool("ffmpeg", "-i " + e2e::quote(out) + " -map 0:a -f s16le -"),
                  m_samples.substr(0, samples * 4));
    }
}

} // namespace
