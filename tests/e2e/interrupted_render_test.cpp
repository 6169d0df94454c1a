// korvadin render stopped as renders are stopped: killed outright (SIGKILL) at seeded points
// while frames arrive through a pipe, interrupted once (it finishes the file), interrupted twice
// (it stops at once). What a kill leaves is repaired, and every packet that had reached the disk
// must come back: byte for byte, decoding to its input frame, audio sample-exact, with the packet
// count and duration that ffprobe and MediaInfo read. Audio longer than the video is kept whole
// unless --shortest trims it.
#include "e2e_support.h"
#include "host/avi_reader.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <random>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

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

// korvadin with its standard input a pipe the test writes into, its output in files.
class Korvadin {
public:
    explicit Korvadin(const std::vector<std::string>& args) {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        m_pid = fork();
        if (m_pid == 0) {
            dup2(fds[0], 0);
            close(fds[1]);
            dup2(open(path("out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
            dup2(open(path("err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
            std::vector<char*> argv{const_cast<char*>(KORVADIN_PROGRAM)};
            for (const auto& arg : args) {
                argv.push_back(const_cast<char*>(arg.c_str()));
            }
            argv.push_back(nullptr);
            execv(KORVADIN_PROGRAM, argv.data());
            _exit(127);
        }
        close(fds[0]);
        m_input = fds[1];
    }
    ~Korvadin() { closeInput(); }
    // A render that died no longer reads: what it did not take is lost, as for any pipe.
    void feed(const std::vector<uint8_t>& bytes, size_t from, size_t size) {
        for (size_t done = 0; done < size;) {
            const ssize_t n = write(m_input, bytes.data() + from + done, size - done);
            if (n <= 0) {
                return;
            }
            done += size_t(n);
        }
    }
    void closeInput() {
        if (m_input >= 0) {
            close(std::exchange(m_input, -1));
        }
    }
    void signal(int number) const { kill(m_pid, number); }
    int wait() {
        closeInput();
        int status = 0;
        waitpid(m_pid, &status, 0);
        return status;
    }

private:
    pid_t m_pid = -1;
    int m_input = -1;
};

class InterruptedRender : public ::testing::Test {
protected:
    void SetUp() override {
        SKIP_WITHOUT_FFMPEG();
        std::signal(SIGPIPE, SIG_IGN);
        ASSERT_TRUE(media_test::ffmpeg("-f lavfi -i testsrc2=s=64x48:r=25 -frames:v " +
                                       std::to_string(kFrames) +
                                       " -pix_fmt yuv420p -f "
                                       "yuv4mpegpipe " +
                                       e2e::quote(path("clip.y4m"))));
        ASSERT_TRUE(media_test::ffmpeg("-f lavfi -i sine=r=48000:d=2 -ac 2 -c:a pcm_s16le " +
                                       e2e::quote(path("tone.wav"))));
        m_y4m = media_test::readBytes(path("clip.y4m"));
        m_header = m_y4m.size() - kFrames * kFrameBytes;
        m_frames.assign(m_y4m.begin() + long(m_header), m_y4m.end());
        m_samples = e2e::tool("ffmpeg", "-i " + e2e::quote(path("tone.wav")) + " -f s16le -");
    }

    // The clip through a pipe, the first `frames` frames of it.
    Korvadin render(const std::string& out, int frames, const std::string& options = "") {
        std::vector<std::string> args = {"render", "-", "--audio",   path("tone.wav"),
                                         "-o",     out, "--threads", "1"};
        if (!options.empty()) {
            args.push_back(options);
        }
        Korvadin k(args);
        k.feed(m_y4m, 0, m_header + size_t(frames) * kFrameBytes);
        return k;
    }

    std::vector<uint8_t> m_y4m;
    size_t m_header = 0;
    std::string m_frames;  // of the clip, each with its "FRAME" line
    std::string m_samples; // of the WAV file
};

bool haveMediaInfo() {
    static const bool have = [] {
        const bool found = std::system("mediainfo --Version >/dev/null 2>&1") == 0;
        if (!found) {
            std::printf("MediaInfo is not installed (scripts/install-deps.sh test): frame counts "
                        "are read by ffprobe only\n");
        }
        return found;
    }();
    return have;
}

std::vector<const host::AviReader::Chunk*> chunksOf(const host::AviReader& avi, size_t stream) {
    std::vector<const host::AviReader::Chunk*> chunks;
    for (const auto& c : avi.streams().at(stream).chunks) {
        chunks.push_back(&c);
    }
    return chunks;
}

TEST_F(InterruptedRender, EveryPacketOnDiskComesBackFromAKilledRender) {
    const std::string reference = path("reference.avi");
    ASSERT_EQ(render(reference, kFrames).wait(), 0);
    host::AviReader ref(reference);
    const auto refVideo = chunksOf(ref, 0), refAudio = chunksOf(ref, 1);

    std::mt19937 random(16);
    uint64_t onDiskTotal = 0, backTotal = 0;
    for (int point = 0; point < 20; ++point) {
        // Frames fed, and how long the render may go on before the kill.
        const int fed = int(random() % (kFrames + 1));
        const auto settle = std::chrono::milliseconds(random() % 4);
        const bool inPlace = point % 2 == 1;
        const std::string killed = path("killed.avi"), fixed = inPlace ? killed : path("fixed.avi");
        std::filesystem::remove(killed);
        {
            Korvadin k = render(killed, fed);
            if (fed == kFrames) {
                k.closeInput();
            }
            std::this_thread::sleep_for(settle);
            k.signal(SIGKILL);
            k.wait();
        }
        // What reached the disk: the reference's chunks that lie wholly inside the killed file.
        const uint64_t size =
            std::filesystem::exists(killed) ? std::filesystem::file_size(killed) : 0;
        const auto onDisk = [&](const auto& chunks) {
            return size_t(std::count_if(chunks.begin(), chunks.end(),
                                        [&](auto* c) { return c->offset + c->size <= size; }));
        };
        const size_t frames = onDisk(refVideo), sounds = onDisk(refAudio);
        SCOPED_TRACE("point " + std::to_string(point) + ": " + std::to_string(fed) +
                     " frames fed, " + std::to_string(size) + " bytes, " + std::to_string(frames) +
                     " frames on disk");
        const e2e::Run repair =
            e2e::korvadin("repair " + e2e::quote(killed) +
                          (inPlace ? " --in-place" : " -o " + e2e::quote(fixed)));
        if (size < refVideo[0]->offset - 8) {
            EXPECT_EQ(repair.exitCode, 1) << "no header, nothing to recover: " << repair.err;
            continue;
        }
        ASSERT_EQ(repair.exitCode, 0) << repair.err;
        onDiskTotal += frames;
        std::printf("killed render %d: %d frames fed, %zu frames on disk%s, ", point, fed, frames,
                    repair.err.find("cut short") != std::string::npos ? " and a partial chunk"
                                                                      : "");

        host::AviReader back(fixed);
        EXPECT_TRUE(back.problems().empty()) << back.problems().front();
        const auto video = chunksOf(back, 0), audio = chunksOf(back, 1);
        ASSERT_EQ(std::pair(video.size(), audio.size()), std::pair(frames, sounds));
        backTotal += video.size();
        std::printf("%zu came back (%s)\n", video.size(), inPlace ? "in place" : "into a new file");
        for (size_t i = 0; i < frames; ++i) {
            EXPECT_EQ(back.readChunk(*video[i]), ref.readChunk(*refVideo[i])) << "frame " << i;
        }
        size_t pcm = 0;
        for (size_t i = 0; i < sounds; ++i) {
            EXPECT_EQ(back.readChunk(*audio[i]), ref.readChunk(*refAudio[i])) << "audio " << i;
            pcm += audio[i]->size;
        }
        if (frames == 0) {
            continue;
        }
        // Decoded frames against the input's (the Y4M headers differ in their tags); audio
        // against the WAV file's samples.
        const std::string decoded = e2e::korvadin("decode " + e2e::quote(fixed) + " -o -").out;
        const size_t header = decoded.find('\n') + 1;
        ASSERT_EQ(decoded.size() - header, frames * kFrameBytes);
        EXPECT_TRUE(decoded.substr(header) == m_frames.substr(0, frames * kFrameBytes));
        EXPECT_EQ(e2e::tool("ffmpeg", "-i " + e2e::quote(fixed) + " -map 0:a -f s16le -"),
                  m_samples.substr(0, pcm));
        char expected[64];
        std::snprintf(expected, sizeof expected, "%.6f,%zu\n", frames / 25.0, frames);
        EXPECT_EQ(e2e::tool("ffprobe", "-count_packets -select_streams v -show_entries "
                                       "stream=duration,nb_read_packets -of csv=p=0 " +
                                           e2e::quote(fixed)),
                  expected);
        if (haveMediaInfo()) {
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
        Korvadin k = render(out, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        if (twice) {
            k.signal(SIGSTOP);
            k.signal(SIGINT);
            k.signal(SIGTERM);
            k.signal(SIGCONT);
        } else {
            // Input that comes once the interrupt is taken is not read, also when the render
            // was waiting for it. (Data arriving with the signal may still be read first.)
            k.signal(SIGINT);
            for (int i = 0;
                 i < 500 && text(path("err.txt")).find("interrupted") == std::string::npos; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        k.feed(m_y4m, m_header + 10 * kFrameBytes, 10 * kFrameBytes);
        const int status = k.wait();
        const std::string said = text(path("err.txt")) + text(path("out.txt"));
        if (twice) {
            EXPECT_TRUE(WIFSIGNALED(status)) << said;
            const e2e::Run repair = e2e::korvadin("repair " + e2e::quote(out) + " --in-place");
            EXPECT_EQ(repair.exitCode, 0) << repair.err;
        } else {
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), 130) << said;
            EXPECT_NE(said.find("interrupted: finishing " + out + " with the "), std::string::npos)
                << said;
        }
        host::AviReader avi(out);
        EXPECT_TRUE(avi.problems().empty()) << avi.problems().front();
        const size_t frames = avi.streams()[0].chunks.size();
        EXPECT_LE(frames, 10u);
        if (!twice) {
            EXPECT_NE(said.find(out + ": " + std::to_string(frames) + " frames"), std::string::npos)
                << said;
        }
    }
}

// 1.92 s of video with 2 s of audio: all of it by default, the video's length with --shortest,
// each saying so; sample-exact either way.
TEST_F(InterruptedRender, AudioPastTheLastFrameIsKeptUnlessShortestTrimsIt) {
    const struct {
        const char* option;
        size_t samples;
        const char* says;
    } cases[] = {{"", 96000, "audio track 1 runs 0.080 s past the last frame"},
                 {"--shortest", 92160, "--shortest dropped 3840 sample frame(s) (0.080 s)"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.option);
        const std::string out = path("audio.avi");
        EXPECT_EQ(render(out, kFrames, c.option).wait(), 0);
        EXPECT_NE(text(path("err.txt")).find(c.says), std::string::npos) << text(path("err.txt"));
        EXPECT_EQ(e2e::tool("ffmpeg", "-i " + e2e::quote(out) + " -map 0:a -f s16le -"),
                  m_samples.substr(0, c.samples * 4));
    }
}

} // namespace
