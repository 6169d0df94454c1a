// A render whose output file reaches the end of the space the system grants it. The limit is a
// real one (RLIMIT_FSIZE in a child process, with SIGXFSZ ignored, so writes fail with EFBIG as
// on a full disk), and the render runs through the built plug-in as the editor drives it. The
// editor must get the plug-in's text and a failure code, lose nothing it already held, and the
// file must keep, readable by an independent reader, every frame that was written, and
// korvadin repair must make a whole file of it.
//
// Rendering happens only in child processes: the codec library keeps worker threads, which a
// process that forks must not have started.
#include "host/avi_reader.h"
#include "host/render_job.h"
#include "host/session.h"
#include "host/variants.h"
#include "support/files.h"
#include "support/host_checks.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace IOPlugin;
using host::Host;

namespace {

constexpr uint32_t kWidth = 64;
constexpr uint32_t kHeight = 48;
constexpr uint64_t kFrames = 10;
constexpr uint32_t kAudioFrames = 1920; // 48 kHz at 25 frames per second
constexpr uint32_t kAudioBytes = kAudioFrames * 4;
constexpr uint64_t kCut = 5; // the frame (and its audio packet) at which the limits are placed

const std::string kFfprobe = KORVADIN_FFPROBE;
const std::string kFinalizeFailed =
    "Korvadin Plugin :: Failed to finalize AVI: AviWriter::finalize: failed to correctly "
    "finalize avi";

// What the child saw; it crosses the pipe to the parent as it is.
struct Outcome {
    uint64_t videoWritten = 0, audioWritten = 0, leaks = 0;
    // After close: descriptors the process has beyond those before the open, and references
    // left on the tracks once the host gave back its own.
    uint64_t filesLeftOpen = 0, trackReferences = 0;
    // laterVideo and laterAudio: the results of a frame and an audio packet sent after the
    // failure, as a host may.
    int32_t failure = 0, laterVideo = 0, laterAudio = 0, closeResult = 0;
    char failureText[512] = {}, closeText[512] = {};
    char escaped[512] = {}; // an exception that left the render
};

void keep(char (&to)[512], const std::string& text) {
    to[text.copy(to, sizeof to - 1)] = '\0';
}

// One render of kFrames noise frames of the 8-bit RGB variant, each followed by its audio
// packet, stopping at the first refusal as the editor does. Then the file is closed and every
// object released.
Outcome render(const std::string& path) {
    Outcome o;
    Host& h = Host::instance();
    h.reset();
    try {
        host::PluginSession session(KORVADIN_PLUGIN_PATH);
        const auto codecs = session.registerCodecs();
        const auto containers = session.registerContainers();
        const host::Registration* codec = host::findVariant(codecs, "K8RG");
        if (codec == nullptr || containers.empty()) {
            throw std::runtime_error("the plug-in registered no 8-bit RGB variant or container");
        }
        host::JobSettings settings;
        settings.outputPath = path;
        settings.width = kWidth;
        settings.height = kHeight;
        settings.audioTracks = {host::AudioTrackSettings{}};
        const auto attempt = [&](const std::function<void()>& step) {
            h.probe().clearTrace();
            try {
                step();
                return int32_t{errNone};
            } catch (const host::RenderError& e) {
                return e.code();
            }
        };
        std::optional<host::RenderJob> job;
        o.failure = attempt([&] { job.emplace(session, *codec, containers.front(), settings); });
        const auto frame = [&](uint64_t n) {
            return attempt([&] {
                job->encodeFrame(
                    korvadin_test::noiseBytes(size_t{kWidth} * kHeight * 3, uint32_t(n)),
                    int64_t(n));
            });
        };
        const auto audio = [&](uint64_t n) {
            return attempt([&] {
                job->writeAudio(0, korvadin_test::noiseBytes(kAudioBytes, uint32_t(1000 + n)),
                                kAudioFrames);
            });
        };
        for (uint64_t n = 0; o.failure == errNone && n < kFrames; ++n) {
            o.failure = frame(n);
            if (o.failure == errNone) {
                ++o.videoWritten;
                o.failure = audio(n);
                o.audioWritten += o.failure == errNone;
            }
        }
        keep(o.failureText, korvadin_test::lastText());
        if (job) {
            if (o.failure != errNone) {
                o.laterVideo = frame(kFrames);
                o.laterAudio = audio(kFrames);
            }
            o.closeResult = attempt([&] { job->close(); });
            keep(o.closeText, korvadin_test::lastText());
        }
        job.reset();
    } catch (const std::exception& e) {
        keep(o.escaped, e.what());
    }
    o.leaks = h.probe().leaks().size();
    return o;
}

size_t openFiles() {
    const std::filesystem::directory_iterator entries("/dev/fd");
    return static_cast<size_t>(std::distance(begin(entries), end(entries)));
}

// A container with a video and an audio track whose file's header does not fit: open fails,
// and close must still succeed, close the file and give back the tracks.
Outcome closeAfterTheHeaderFailed(const std::string& path) {
    Outcome o;
    Host& h = Host::instance();
    h.reset();
    host::PluginSession session(KORVADIN_PLUGIN_PATH);
    const auto& plugin = session.plugin();
    void* container = nullptr;
    plugin.send(msgCreateObject, session.registerContainers().at(0).uuid.data(), &container);
    host::JobSettings job;
    job.width = kWidth;
    job.height = kHeight;
    void* tracks[2] = {};
    plugin.send(msgContainerAddTrack, container, host::videoTrackBag(h, job),
                host::videoCodecBag(h, host::findVariant(session.registerCodecs(), "K8RG")->fourcc),
                &tracks[0]);
    plugin.send(msgContainerAddTrack, container, host::audioTrackBag(h, {}), host::Handle{0},
                &tracks[1]);
    const size_t files = openFiles();
    o.failure = plugin.send(msgContainerOpen, container, host::outputPathBag(h, path));
    keep(o.failureText, korvadin_test::lastText());
    h.probe().clearTrace();
    o.closeResult = plugin.send(msgContainerClose, container);
    keep(o.closeText, korvadin_test::lastText());
    o.filesLeftOpen = openFiles() - files;
    for (void* object : {tracks[0], tracks[1], container}) {
        uint32_t count = 0;
        plugin.send(msgRelease, object, &count);
        o.trackReferences += object != container ? count : 0;
    }
    o.leaks = h.probe().leaks().size();
    return o;
}

// Runs `what` in a child process whose files may not grow beyond `limit` bytes.
Outcome renderInChild(const std::string& path, std::optional<uint64_t> limit,
                      Outcome (*what)(const std::string&) = render) {
    int fds[2];
    if (pipe(fds) != 0) {
        ADD_FAILURE() << "no pipe";
        return {};
    }
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        std::signal(SIGXFSZ, SIG_IGN);
        if (limit) {
            const rlimit rl{*limit, *limit};
            if (setrlimit(RLIMIT_FSIZE, &rl) != 0) {
                _exit(3);
            }
        }
        const Outcome o = what(path);
        _exit(write(fds[1], &o, sizeof o) == ssize_t(sizeof o) ? 0 : 4);
    }
    close(fds[1]);
    Outcome o;
    size_t got = 0;
    for (ssize_t n; (n = read(fds[0], reinterpret_cast<char*>(&o) + got, sizeof o - got)) > 0;) {
        got += size_t(n);
    }
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || got != sizeof o) {
        ADD_FAILURE() << "the rendering process "
                      << (WIFSIGNALED(status)
                              ? "died of signal " + std::to_string(WTERMSIG(status))
                              : "exited with " + std::to_string(WEXITSTATUS(status)));
        return {};
    }
    return o;
}

// Sizes of the video packets an independent reader finds, in order.
std::vector<uint32_t> ffprobeVideoPackets(const std::string& path) {
    std::istringstream lines(
        korvadin_test::commandOutput(kFfprobe + " -v error -select_streams v:0 -show_entries " +
                                     "packet=size -of csv=p=0 \"" + path + "\""));
    std::vector<uint32_t> sizes;
    for (std::string line; std::getline(lines, line);) {
        sizes.push_back(static_cast<uint32_t>(std::stoul(line)));
    }
    return sizes;
}

std::string writeErrorText(const char* kind, uint64_t size, uint64_t written) {
    return std::string("Korvadin Plugin :: Failed to write AVI ") + kind +
           " chunk: Write error: size: " + std::to_string(size) +
           ", written: " + std::to_string(written);
}

class DiskFull : public ::testing::Test {
protected:
    // One complete render without a limit, whose layout tells where each limit falls.
    static void SetUpTestSuite() {
        s_dir = new korvadin_test::ScratchDir;
        const std::string path = s_dir->file("complete.avi");
        const Outcome o = renderInChild(path, std::nullopt);
        ASSERT_STREQ(o.escaped, "");
        ASSERT_EQ(o.failure, errNone) << o.failureText;
        ASSERT_EQ(o.videoWritten, kFrames);
        s_reference = new host::AviReader(path);
    }
    static void TearDownTestSuite() {
        delete s_reference;
        delete s_dir;
    }
    static korvadin_test::ScratchDir* s_dir;
    static host::AviReader* s_reference;
};

korvadin_test::ScratchDir* DiskFull::s_dir = nullptr;
host::AviReader* DiskFull::s_reference = nullptr;

TEST_F(DiskFull, TheFileKeepsEveryFrameWrittenBeforeTheLimit) {
    ASSERT_TRUE(s_reference);
    ASSERT_TRUE(s_reference->problems().empty()) << s_reference->problems().front();
    // Video is stream 0, audio stream 1.
    const auto& video = s_reference->streams().at(0).chunks;
    const auto& audio = s_reference->streams().at(1).chunks;
    ASSERT_EQ(std::tuple(video.size(), audio.size()), std::tuple(kFrames, kFrames));
    const host::AviReader::Chunk& frame = video[kCut];
    const host::AviReader::Chunk& sound = audio[kCut];

    struct Case {
        const char* name;
        uint64_t limit;        // file size the system allows
        uint64_t videoWritten; // frames the render delivers before the failure
        std::string text;      // the failure's text
        // The failing frame's bytes that reached the file inside a complete chunk header: the
        // chunk is closed at that size, so a reader that scans the file finds a short frame.
        uint32_t partialFrame;
        // Bytes of a chunk header that did not fit; they trail the RIFF, which excludes them.
        uint64_t strayBytes;
    };
    // Chunk offsets are those of the data; the 8-byte chunk header precedes it.
    const std::vector<Case> cases = {
        {"inside a frame", frame.offset + frame.size / 2, kCut,
         writeErrorText("video", frame.size, frame.size / 2), frame.size / 2, 0},
        {"inside a frame's chunk header", frame.offset - 5, kCut, writeErrorText("video", 8, 3), 0,
         3},
        {"right before a frame", frame.offset - 8, kCut, writeErrorText("video", 8, 0), 0, 0},
        {"inside an audio packet", sound.offset + 100, kCut + 1,
         writeErrorText("audio", sound.size, 100), 0, 0},
    };
    if (kFfprobe.empty()) {
        std::printf("ffprobe was not found when the build was configured: the files are "
                    "checked with the host's reader only\n");
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = s_dir->file(std::string(c.name) + ".avi");
        const Outcome o = renderInChild(path, c.limit);
        EXPECT_EQ(
            std::tuple(std::string(o.escaped), o.leaks, o.videoWritten, o.audioWritten, o.failure),
            std::tuple("", 0u, c.videoWritten, kCut, errFailed));
        EXPECT_EQ(o.failureText, c.text);
        // Nothing more fits: each later packet is refused on its own. The indexes at the end
        // cannot be written, so closing reports a failure, but the headers at the start are
        // rewritten in place.
        EXPECT_EQ(std::tuple(o.laterVideo, o.laterAudio, o.closeResult, std::string(o.closeText)),
                  std::tuple(errFailed, errFailed, errFailed, kFinalizeFailed));

        host::AviReader avi(path);
        EXPECT_EQ(avi.fileSize(), c.limit);
        ASSERT_EQ(avi.riffs().size(), 1u);
        EXPECT_EQ(avi.riffs()[0].size + 8 + c.strayBytes, c.limit) << "RIFF size";
        ASSERT_EQ(avi.streams().size(), 2u);
        EXPECT_EQ(avi.streams()[0].length, c.videoWritten) << "video dwLength";
        EXPECT_EQ(avi.streams()[1].length, kCut * kAudioFrames) << "audio dwLength";
        EXPECT_EQ(avi.dmlhTotalFrames(), std::optional<uint32_t>(uint32_t(c.videoWritten)));
        const auto& kept = avi.streams()[0].chunks;
        ASSERT_GE(kept.size(), c.videoWritten);
        std::vector<uint32_t> sizes;
        for (uint64_t n = 0; n < c.videoWritten; ++n) {
            EXPECT_EQ(kept[n].offset, video[n].offset);
            EXPECT_EQ(avi.readChunk(kept[n]), s_reference->readChunk(video[n])) << "frame " << n;
            sizes.push_back(video[n].size);
        }
        if (c.partialFrame != 0) {
            sizes.push_back(c.partialFrame);
        }
        if (!kFfprobe.empty()) {
            EXPECT_EQ(ffprobeVideoPackets(path), sizes);
        }

        // Repaired, the short frame, which does not decode, is gone and every index is whole.
        const std::string fixed = path + ".fixed.avi";
        const std::string said = korvadin_test::commandOutput(
            "\"" KORVADIN_PROGRAM "\" repair \"" + path + "\" -o \"" + fixed + "\" 2>&1");
        const host::AviReader repaired(fixed);
        EXPECT_TRUE(repaired.problems().empty()) << said;
        EXPECT_EQ(repaired.streams().at(0).chunks.size(), c.videoWritten) << said;
        if (!kFfprobe.empty()) {
            EXPECT_EQ(ffprobeVideoPackets(fixed).size(), c.videoWritten);
        }
    }
}

TEST_F(DiskFull, AHeaderThatDoesNotFitFailsTheOpenAndCloseStillEndsTheContainer) {
    const std::string path = s_dir->file("header.avi");
    const Outcome o = renderInChild(path, 4096, closeAfterTheHeaderFailed);
    EXPECT_EQ(std::tuple(o.failure, o.closeResult, std::string(o.closeText), o.filesLeftOpen,
                         o.trackReferences, o.leaks),
              std::tuple(errFailed, errNone, "", 0u, 0u, 0u));
    EXPECT_TRUE(
        std::string_view(o.failureText)
            .starts_with("Korvadin Plugin :: Failed to write AVI header: Write error: size: "))
        << o.failureText;
}

} // namespace
