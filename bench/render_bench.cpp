// Measures whole renders: `korvadin render --threads 1` writing its AVI file, against ffmpeg
// -threads 1 writing its own with a peer codec from the same input, against the host's reader
// and the codec library alone in this process, and `korvadin decode` of the file against the
// render that wrote it. Every program also runs on a single frame, which tells what a run costs
// before its first frame (starting the program, loading the plug-in, opening files) from what
// each further frame costs; the comparisons are made on both. The machines are shared, so every
// run is timed by the processor time it uses, each keeps its best of the rounds, and the point
// is the ratios, all measured in this one run.
//
//   korvadin_render_bench KORVADIN WORK_DIR REPEATS CASE...
//   CASE: CLIP|LAYOUT|FOURCC|OUR_INPUT_ARGS|PEER_INPUT_ARGS|PEER_CODEC_ARGS, arguments separated
//   by commas
#include "bench_common.h"
#include "codec_library.h"
#include "davinci/encoder/codec_formats.h"
#include "host/media/raw_layout.h"
#include "host/media/video_io.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using bench::CodecLibrary;

struct Case {
    std::string clip;
    std::string layout;
    std::string fourcc;
    std::vector<std::string> ourInput;  // korvadin render's input arguments
    std::vector<std::string> peerInput; // ffmpeg's input arguments
    std::vector<std::string> peerCodec; // ffmpeg's codec arguments
};

Case parseCase(const std::string& text) {
    const auto fields = bench::split(text, '|');
    if (fields.size() != 6) {
        throw std::runtime_error("a case is CLIP|LAYOUT|FOURCC|OUR_ARGS|PEER_ARGS|PEER_CODEC, "
                                 "not '" +
                                 text + "'");
    }
    return {fields[0],
            fields[1],
            fields[2],
            bench::split(fields[3], ','),
            bench::split(fields[4], ','),
            bench::split(fields[5], ',')};
}

std::string joined(const std::vector<std::string>& args) {
    std::string text;
    for (const auto& a : args) {
        text += (text.empty() ? "" : " ") + a;
    }
    return text;
}

// A program's best processor time over the rounds, on all frames and on one.
struct Runs {
    double all = 1e30;
    double one = 1e30;
    void keep(const std::vector<std::string>& args, const std::vector<std::string>& oneFrame,
              const std::string& log) {
        all = std::min(all, bench::runProgram(args, log).processor);
        one = std::min(one, bench::runProgram(oneFrame, log).processor);
    }
    double perFurtherFrame(uint64_t frames) const { return (all - one) / double(frames - 1); }
};

// The host's reader turns the input into the variant's raw layout, as korvadin render does;
// the library compresses each frame on one thread; each packet is written to a file as it comes,
// which is what the system's file cache costs any program that writes them. Reading,
// compressing and writing are timed apart; each keeps its best round.
struct Alone {
    double codec = 1e30;
    double reading = 1e30;
    double writing = 1e30;
    uint64_t frames = 0;
    uint64_t rawBytes = 0;
};

struct FileClose {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

void measureAlone(const CodecLibrary& lib, const Case& c, const IOPlugin::CodecFormat& format,
                  const std::string& packetFile, Alone& alone) {
    uint32_t instance = 0;
    lib.check(lib.libraryInit(&instance), "korvadin_library_init");
    lib.check(lib.open(&instance), "korvadin_open");
    lib.check(lib.setThreadCount(instance, 1), "korvadin_set_thread_count");
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
    const auto reader = open();
    const host::VideoInfo& info = reader->info();
    const korvadin_format_ex in = {
        {info.width, info.height, KORVADIN_FORMAT_EXTENDED}, 1, format.rawFormat, 0, 0, 1, 0};
    const korvadin_format_ex out = {{0, 0, KORVADIN_FORMAT_EXTENDED}, 1, format.id, 0, 0, 0, 0};
    const uint8_t* cookie = nullptr;
    uint64_t cookieSize = 0;
    uint32_t bound = 0;
    lib.check(lib.compressBegin(instance, &in, &out, &cookie, &cookieSize, &bound),
              "korvadin_compress_begin");
    std::vector<uint8_t> frame(host::rawFrameSize(format.rawFormat, info.width, info.height));
    std::vector<uint8_t> packet(bound);
    const std::unique_ptr<std::FILE, FileClose> packets(std::fopen(packetFile.c_str(), "wb"));
    if (!packets) {
        throw std::runtime_error("cannot write " + packetFile);
    }
    std::setvbuf(packets.get(), nullptr, _IONBF, 0);
    double reading = 0, codec = 0, writing = 0;
    uint64_t frames = 0;
    for (;;) {
        const double t0 = bench::processSeconds();
        if (!reader->readRaw(format.rawFormat, frame)) {
            break;
        }
        const double t1 = bench::processSeconds();
        korvadin_planes planes{};
        lib.check(lib.initPlanes(instance, &in, &planes, frame.data()),
                  "korvadin_init_planes_common");
        uint32_t size = 0;
        lib.check(lib.compress(instance, &planes, packet.data(), &size), "korvadin_compress");
        const double t2 = bench::processSeconds();
        if (std::fwrite(packet.data(), 1, size, packets.get()) != size) {
            throw std::runtime_error("cannot write " + packetFile);
        }
        writing += bench::processSeconds() - t2;
        codec += t2 - t1;
        reading += t1 - t0;
        ++frames;
    }
    alone.codec = std::min(alone.codec, codec);
    alone.reading = std::min(alone.reading, reading);
    alone.writing = std::min(alone.writing, writing);
    alone.frames = frames;
    alone.rawBytes = frames * frame.size();
    lib.check(lib.close(instance), "korvadin_close");
    lib.check(lib.libraryClose(), "korvadin_library_close");
}

const IOPlugin::CodecFormat& variant(const std::string& fourcc) {
    uint32_t value = 0;
    for (const char ch : fourcc) {
        value = value << 8 | uint8_t(ch);
    }
    const IOPlugin::CodecFormat* format = IOPlugin::findCodecFormatByFourcc(value);
    if (fourcc.size() != 4 || format == nullptr) {
        throw std::runtime_error("no variant " + fourcc);
    }
    return *format;
}

// What a case came to, as ratios: speeds above 1 and sizes below 1 favour us.
struct Outcome {
    double mbPerSecond; // of the whole render, raw bytes of our layout
    double wholeSpeed;  // ffmpeg's whole run over ours
    double frameSpeed;  // the same for each further frame
    double size;        // our packets over ffmpeg's
    double overCodec;   // each further frame of the render over the codec's per frame
    double overReader;  // the same over the reader and the codec
    double overFiles;   // the same over the reader, the codec and the packets' writing
    double decodeWhole; // korvadin decode of the file over the render that wrote it
    double decodeFrame; // the same for each further frame
};

// One case's programs and their best figures so far; a round runs each of them once.
class CaseRun {
public:
    CaseRun(const std::string& korvadin, const std::string& dir, const CodecLibrary& lib, Case c)
        : m_case(std::move(c)), m_format(variant(m_case.fourcc)), m_lib(lib),
          m_log(dir + "/run.log"), m_stem(dir + "/" + m_case.fourcc + "." + m_case.clip) {
        const std::string ours = m_stem + ".avi", one = m_stem + ".one.avi";
        m_render = {korvadin, "render"};
        m_render.insert(m_render.end(), m_case.ourInput.begin(), m_case.ourInput.end());
        m_render.insert(m_render.end(), {"-c", m_case.fourcc, "--threads", "1", "-o", ours});
        m_renderOne = m_render;
        m_renderOne.back() = one;
        m_renderOne.insert(m_renderOne.end(), {"--frames", "1"});
        m_peer = {"ffmpeg", "-hide_banner", "-nostdin", "-filter_threads", "1", "-threads", "1"};
        m_peer.insert(m_peer.end(), m_case.peerInput.begin(), m_case.peerInput.end());
        m_peer.insert(m_peer.end(), {"-threads", "1"});
        m_peer.insert(m_peer.end(), m_case.peerCodec.begin(), m_case.peerCodec.end());
        m_peerOne = m_peer;
        m_peer.insert(m_peer.end(), {"-y", m_stem + ".peer.avi"});
        m_peerOne.insert(m_peerOne.end(), {"-frames:v", "1", "-y", m_stem + ".peer-one.avi"});
        m_decode = {korvadin, "decode", ours, "-o", "/dev/null"};
        m_decodeOne = {korvadin, "decode", one, "-o", "/dev/null"};
    }

    const Case& which() const { return m_case; }

    // Everything takes turns, so that a busy spell of the machine falls on each alike.
    void round() {
        measureAlone(m_lib, m_case, m_format, m_stem + ".packets", m_alone);
        m_rendering.keep(m_render, m_renderOne, m_log);
        m_peering.keep(m_peer, m_peerOne, m_log);
        m_decoding.keep(m_decode, m_decodeOne, m_log);
    }

    Outcome outcome() const {
        const Case& c = m_case;
        const Alone& alone = m_alone;
        if (alone.frames < 2) {
            throw std::runtime_error(c.clip + ": the input needs at least two frames");
        }
        const uint64_t ourBytes = bench::packetBytes(m_stem + ".avi", m_log);
        const uint64_t peerBytes = bench::packetBytes(m_stem + ".peer.avi", m_log);
        const double n = double(alone.frames);
        const double renderFrame = m_rendering.perFurtherFrame(alone.frames);
        const double peerFrame = m_peering.perFurtherFrame(alone.frames);
        const double decodeFrame = m_decoding.perFurtherFrame(alone.frames);
        const double ms = 1000;
        const std::string name = c.clip + ", " + c.layout;
        std::printf("%s: ours reads %s (raw layout %u), ffmpeg reads %s\n", name.c_str(),
                    joined(c.ourInput).c_str(), m_format.rawFormat, joined(c.peerInput).c_str());
        std::printf("  %-44s %8.2f ms a frame\n", "codec alone, one thread", ms * alone.codec / n);
        std::printf("  %-44s %8.2f ms a frame\n", "reader + codec alone",
                    ms * (alone.codec + alone.reading) / n);
        std::printf("  %-44s %8.2f ms a frame\n", "reader + codec + packets written alone",
                    ms * (alone.codec + alone.reading + alone.writing) / n);
        auto row = [&](const std::string& what, const Runs& runs, double frame) {
            std::printf("  %-44s %8.2f ms a further frame, %6.0f ms for one, %7.0f ms for %llu\n",
                        what.c_str(), ms * frame, ms * runs.one, ms * runs.all,
                        static_cast<unsigned long long>(alone.frames));
        };
        row("korvadin render --threads 1 -c " + c.fourcc, m_rendering, renderFrame);
        row("ffmpeg -threads 1 " + joined(c.peerCodec), m_peering, peerFrame);
        row("korvadin decode -o /dev/null", m_decoding, decodeFrame);
        std::printf("  packets: ours %.1f MB, ffmpeg's %.1f MB\n", double(ourBytes) / 1e6,
                    double(peerBytes) / 1e6);
        return {double(alone.rawBytes) / m_rendering.all / 1e6,
                m_peering.all / m_rendering.all,
                peerFrame / renderFrame,
                double(ourBytes) / double(peerBytes),
                renderFrame / (alone.codec / n),
                renderFrame / ((alone.codec + alone.reading) / n),
                renderFrame / ((alone.codec + alone.reading + alone.writing) / n),
                m_decoding.all / m_rendering.all,
                decodeFrame / renderFrame};
    }

private:
    Case m_case;
    const IOPlugin::CodecFormat& m_format;
    const CodecLibrary& m_lib;
    std::string m_log;
    std::string m_stem; // of the case's files in the working folder
    std::vector<std::string> m_render, m_renderOne, m_peer, m_peerOne, m_decode, m_decodeOne;
    Alone m_alone;
    Runs m_rendering, m_peering, m_decoding;
};

void summarise(const std::string& layout,
               const std::vector<std::pair<std::string, Outcome>>& rows) {
    std::printf("\n%s\n%-14s %8s   %-22s   %-26s   %-13s\n", layout.c_str(), "", "render",
                "---- ours/ffmpeg -----", "------ render over -------", "decode/render");
    std::printf("%-14s %8s   %6s %6s %6s   %8s %8s %8s   %6s %6s\n", "clip", "MB/s", "whole",
                "frame", "size", "codec", "rdr+cdc", "+writes", "whole", "frame");
    using bench::Spread;
    Spread mb(true), whole(true), frame(true), size(false), codec(false), reader(false),
        files(false), decodeWhole(false), decodeFrame(false);
    bench::Tally target, fast, lean, decodes;
    auto print = [](const char* name, double a, double b, double c, double d, double e, double f,
                    double i, double g, double h) {
        std::printf("%-14s %8.1f   %6.2f %6.2f %6.3f   %+7.1f%% %+7.1f%% %+7.1f%%   %6.2f %6.2f\n",
                    name, a, b, c, d, 100 * (e - 1), 100 * (f - 1), 100 * (i - 1), g, h);
    };
    for (const auto& [clip, o] : rows) {
        print(clip.c_str(), o.mbPerSecond, o.wholeSpeed, o.frameSpeed, o.size, o.overCodec,
              o.overReader, o.overFiles, o.decodeWhole, o.decodeFrame);
        mb.add(o.mbPerSecond);
        whole.add(o.wholeSpeed);
        frame.add(o.frameSpeed);
        size.add(o.size);
        codec.add(o.overCodec);
        reader.add(o.overReader);
        files.add(o.overFiles);
        decodeWhole.add(o.decodeWhole);
        decodeFrame.add(o.decodeFrame);
        fast.add(o.frameSpeed >= 2);
        lean.add(o.overCodec <= 1.05);
        decodes.add(o.decodeWhole <= 1);
        target.add(o.frameSpeed >= 2 && o.overCodec <= 1.05 && o.decodeWhole <= 1);
    }
    print("worst", mb.worst(), whole.worst(), frame.worst(), size.worst(), codec.worst(),
          reader.worst(), files.worst(), decodeWhole.worst(), decodeFrame.worst());
    print("geometric mean", mb.geometricMean(), whole.geometricMean(), frame.geometricMean(),
          size.geometricMean(), codec.geometricMean(), reader.geometricMean(),
          files.geometricMean(), decodeWhole.geometricMean(), decodeFrame.geometricMean());
    const auto n = [](const bench::Tally& t) {
        return std::to_string(t.met) + " of " + std::to_string(t.of);
    };
    std::printf("target met on %s clips: each further frame >= 2x ffmpeg's %s, render <= 5%% over "
                "the codec alone %s, decode no slower than the render %s\n",
                n(target).c_str(), n(fast).c_str(), n(lean).c_str(), n(decodes).c_str());
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::cerr << "usage: " << argv[0] << " KORVADIN WORK_DIR REPEATS CASE...\n";
        return 2;
    }
    // Each table as soon as it is done, also when the output goes to a file.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    try {
        const std::string korvadin = argv[1];
        const std::string dir = argv[2];
        const int repeats = std::max(1, std::stoi(argv[3]));
        const CodecLibrary lib(CodecLibrary::besideProgram());
        std::printf("processor: %s\nload average at the start: %s\nbest of %d rounds (each "
                    "round every case in turn), timed by processor time (user + system)\n\n",
                    bench::processorModel().c_str(), bench::loadAverage().c_str(), repeats);
        std::vector<CaseRun> runs;
        for (int i = 4; i < argc; ++i) {
            runs.emplace_back(korvadin, dir, lib, parseCase(argv[i]));
        }
        // A round runs every case before the next begins, so that a busy spell of the shared
        // machine, which can last longer than one case's rounds, does not take all of them.
        for (int r = 0; r < repeats; ++r) {
            for (auto& run : runs) {
                run.round();
            }
        }
        std::vector<std::string> layouts;
        std::map<std::string, std::vector<std::pair<std::string, Outcome>>> outcomes;
        for (const auto& run : runs) {
            const Case& c = run.which();
            if (outcomes.find(c.layout) == outcomes.end()) {
                layouts.push_back(c.layout);
            }
            outcomes[c.layout].emplace_back(c.clip, run.outcome());
        }
        for (const auto& layout : layouts) {
            summarise(layout, outcomes[layout]);
        }
        std::printf(
            "\nload average at the end: %s\nrender MB/s: raw bytes of our layout per second of "
            "the whole render's processor time.\nours/ffmpeg: ffmpeg's time over ours for the "
            "whole run and for each further frame (above 1 we are faster); our packets over "
            "ffmpeg's (below 1 we are smaller).\nrender over: each further frame of the render "
            "against the codec alone, against the reader and the codec, and against those and "
            "the packets written to a file.\ndecode/render: "
            "korvadin decode of the file over the render that wrote it (below 1 it is "
            "faster).\nThe targets are judged by each further frame against ffmpeg, which "
            "leaves out ffmpeg's longer start-up.\n",
            bench::loadAverage().c_str());
    } catch (const std::exception& e) {
        std::cerr << "render_bench: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
