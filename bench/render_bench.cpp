// Measures a whole render against the codec alone and against ffmpeg's utvideo, on the same
// input files: (a) the codec library on one thread, fed by the host's reader, in this process;
// (b) `korvadin render --threads 1` writing its AVI file; (c) `ffmpeg -threads 1 ... -c:v utvideo
// -pred median` writing its AVI file; (d) the same render of one frame, to tell the one-time cost
// of a render from what each frame costs. Each runs a few times and the best counts. The machines
// are shared, so every run is timed by the processor time it uses (user plus system), and the
// table's point is the ratios, all measured in this one run.
//
//   korvadin_render_bench KORVADIN WORKDIR REPEATS CASE...
//   CASE: NAME|FOURCC|OUR_INPUT_ARGS|PEER_INPUT_ARGS, arguments separated by commas
#include "davinci/encoder/codec_formats.h"
#include "davinci/encoder/korvadin_library.h"
#include "host/media/raw_layout.h"
#include "host/media/video_io.h"
#include "korvadin_common64.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

struct Case {
    std::string name;
    std::string fourcc;
    std::vector<std::string> ourInput;  // korvadin render's input arguments
    std::vector<std::string> peerInput; // ffmpeg's input arguments
};

struct Run {
    double processor = 1e30; // seconds of user plus system time, best of the repeats
    double clock = 1e30;     // seconds on the wall clock, best of the repeats
    uint64_t fileBytes = 0;
    uint64_t frames = 0;
    uint64_t rawBytes = 0;
};

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, separator)) {
        if (!part.empty()) {
            parts.push_back(part);
        }
    }
    return parts;
}

Case parseCase(const std::string& text) {
    const auto fields = split(text, '|');
    if (fields.size() != 4) {
        throw std::runtime_error("a case is NAME|FOURCC|OUR_ARGS|PEER_ARGS, not '" + text + "'");
    }
    return {fields[0], fields[1], split(fields[2], ','), split(fields[3], ',')};
}

double processSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double clockSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Runs a program with its output sent to `log`; its processor time comes from the kernel.
void runProgram(const std::vector<std::string>& args, const std::string& log, Run& run) {
    std::vector<char*> argv;
    for (const auto& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    const double start = clockSeconds();
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        throw std::runtime_error("cannot start " + args[0]);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string command;
        for (const auto& a : args) {
            command += a + " ";
        }
        throw std::runtime_error("failed: " + command + "(output in " + log + ")");
    }
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; };
    run.clock = std::min(run.clock, clockSeconds() - start);
    run.processor = std::min(run.processor, seconds(usage.ru_utime) + seconds(usage.ru_stime));
}

void check(int32_t code, const char* what) {
    if (code != 0) {
        throw std::runtime_error(std::string(what) + ": " +
                                 korvadin_get_string(KORVADIN_STRING_RESULT, code));
    }
}

// The host's reader turns the input into the variant's raw layout, as korvadin render does;
// the library compresses each frame on one thread. Reading and compressing are timed apart.
void codecAlone(const Case& c, const IOPlugin::CodecFormat& format, Run& codec, Run& reading) {
    uint32_t instance = 0;
    check(korvadin_library_init(&instance), "init");
    check(korvadin_open(&instance), "open");
    check(korvadin_set_thread_count(instance, 1), "threads");
    auto open = [&]() -> std::unique_ptr<host::VideoReader> {
        if (c.ourInput.size() == 1) {
            return host::openY4m(c.ourInput[0]);
        }
        // FILE --raw WxH:PIXFMT
        const std::string& geometry = c.ourInput.at(2);
        const auto x = geometry.find('x'), colon = geometry.find(':');
        return host::openRawVideo(c.ourInput[0], std::stoul(geometry.substr(0, x)),
                                  std::stoul(geometry.substr(x + 1, colon - x - 1)),
                                  geometry.substr(colon + 1));
    };
    const host::VideoInfo info = open()->info();
    const korvadin_format_ex in = {
        {info.width, info.height, KORVADIN_FORMAT_EXTENDED}, 1, format.rawFormat, 0, 0, 1, 0};
    const korvadin_format_ex out = {{0, 0, KORVADIN_FORMAT_EXTENDED}, 1, format.id, 0, 0, 0, 0};
    const uint8_t* cookie = nullptr;
    uint64_t cookieSize = 0;
    uint32_t bound = 0;
    check(korvadin_compress_begin(instance, &in, &out, &cookie, &cookieSize, &bound), "begin");
    std::vector<uint8_t> frame(host::rawFrameSize(format.rawFormat, info.width, info.height));
    std::vector<uint8_t> packet(bound);
    const auto reader = open();
    double readTime = 0, codecTime = 0;
    uint64_t frames = 0, bytes = 0;
    const double start = clockSeconds();
    for (;;) {
        const double t0 = processSeconds();
        if (!reader->readRaw(format.rawFormat, frame)) {
            break;
        }
        const double t1 = processSeconds();
        korvadin_planes planes{};
        check(korvadin_init_planes_common(instance, &in, &planes, frame.data()), "planes");
        uint32_t size = 0;
        check(korvadin_compress(instance, &planes, packet.data(), &size), "compress");
        codecTime += processSeconds() - t1;
        readTime += t1 - t0;
        bytes += size;
        ++frames;
    }
    const double wall = clockSeconds() - start;
    codec.processor = std::min(codec.processor, codecTime);
    reading.processor = std::min(reading.processor, readTime);
    codec.clock = std::min(codec.clock, wall);
    codec.frames = reading.frames = frames;
    codec.fileBytes = bytes;
    codec.rawBytes = frames * frame.size();
    korvadin_close(instance);
    korvadin_library_close();
}

uint64_t fileSize(const std::string& path) {
    return std::filesystem::file_size(path);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::cerr << "usage: " << argv[0] << " KORVADIN WORKDIR REPEATS CASE...\n";
        return 2;
    }
    try {
        const std::string korvadin = argv[1];
        const std::string dir = argv[2];
        const int repeats = std::max(1, std::stoi(argv[3]));
        const std::string log = dir + "/run.log";
        std::printf("best of %d runs, timed by processor time (user + system); MB/s of raw "
                    "input in the variant's layout\n\n",
                    repeats);
        std::printf("%-12s %-34s %9s %9s %10s\n", "input", "run", "MB/s", "frames", "file MB");
        std::vector<std::string> summary;
        for (int i = 4; i < argc; ++i) {
            const Case c = parseCase(argv[i]);
            uint32_t fourcc = 0;
            for (const char ch : c.fourcc) {
                fourcc = fourcc << 8 | uint8_t(ch);
            }
            const IOPlugin::CodecFormat* format = IOPlugin::findCodecFormatByFourcc(fourcc);
            if (c.fourcc.size() != 4 || format == nullptr) {
                throw std::runtime_error("no variant " + c.fourcc);
            }
            Run codec, reading, render, startup, peer;

            const std::string ours = dir + "/ours.avi", theirs = dir + "/utvideo.avi";
            std::vector<std::string> renderArgs{korvadin, "render"};
            renderArgs.insert(renderArgs.end(), c.ourInput.begin(), c.ourInput.end());
            renderArgs.insert(renderArgs.end(), {"-c", c.fourcc, "--threads", "1", "-o", ours});
            // One frame shows what a render costs before its first frame: loading the program
            // and the plug-in, registration, opening the files and first touches of buffers.
            std::vector<std::string> oneFrameArgs = renderArgs;
            oneFrameArgs.back() = dir + "/one.avi";
            oneFrameArgs.insert(oneFrameArgs.end(), {"--frames", "1"});
            std::vector<std::string> peerArgs{"ffmpeg", "-hide_banner", "-nostdin", "-threads",
                                              "1"};
            peerArgs.insert(peerArgs.end(), c.peerInput.begin(), c.peerInput.end());
            peerArgs.insert(peerArgs.end(),
                            {"-threads", "1", "-c:v", "utvideo", "-pred", "median", "-y", theirs});
            // The three take turns, so that a busy spell of the machine falls on each alike.
            for (int r = 0; r < repeats; ++r) {
                codecAlone(c, *format, codec, reading);
                runProgram(renderArgs, log, render);
                runProgram(oneFrameArgs, log, startup);
                runProgram(peerArgs, log, peer);
            }
            render.fileBytes = fileSize(ours);
            peer.fileBytes = fileSize(theirs);

            const double raw = double(codec.rawBytes) / 1e6;
            auto joined = [](const std::vector<std::string>& args) {
                std::string text;
                for (const auto& a : args) {
                    text += (text.empty() ? "" : " ") + a;
                }
                return text;
            };
            std::printf("%-12s ours reads: %s (as raw layout %u)\n", c.name.c_str(),
                        joined(c.ourInput).c_str(), format->rawFormat);
            std::printf("%-12s ffmpeg reads: %s\n", c.name.c_str(), joined(c.peerInput).c_str());
            auto row = [&](const char* what, double seconds, double bytes) {
                std::printf("%-12s %-34s %9.1f %9llu %10.1f\n", c.name.c_str(), what, raw / seconds,
                            static_cast<unsigned long long>(codec.frames), bytes / 1e6);
            };
            row("codec alone (1 thread)", codec.processor, double(codec.fileBytes));
            row("reader + codec alone", codec.processor + reading.processor,
                double(codec.fileBytes));
            row("korvadin render --threads 1", render.processor, double(render.fileBytes));
            row("ffmpeg utvideo -threads 1", peer.processor, double(peer.fileBytes));
            // What each further frame costs a render, against what it costs the reader and the
            // codec alone: the module, the AVI writer and the file system's share of a frame.
            if (codec.frames < 2) {
                throw std::runtime_error("the input needs at least two frames");
            }
            const double frames = double(codec.frames);
            const double perFrame = (render.processor - startup.processor) / (frames - 1);
            const double alonePerFrame = (codec.processor + reading.processor) / frames;
            char line[600];
            std::snprintf(line, sizeof line,
                          "%-12s ours/ffmpeg: throughput %.2fx, file size %.3f; render over "
                          "codec alone %+.1f%%, over reader + codec %+.1f%%\n"
                          "%-12s   of which a one-time %.0f ms before the first frame; each "
                          "further frame %.2f ms against %.2f ms for reader + codec: %+.1f%%",
                          c.name.c_str(), peer.processor / render.processor,
                          double(render.fileBytes) / double(peer.fileBytes),
                          100 * (render.processor / codec.processor - 1),
                          100 * (render.processor / (codec.processor + reading.processor) - 1), "",
                          1000 * startup.processor, 1000 * perFrame, 1000 * alonePerFrame,
                          100 * (perFrame / alonePerFrame - 1));
            summary.push_back(line);
        }
        std::printf("\n");
        for (const auto& line : summary) {
            std::printf("%s\n", line.c_str());
        }
    } catch (const std::exception& e) {
        std::cerr << "render_bench: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
