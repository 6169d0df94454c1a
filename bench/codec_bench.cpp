// Measures the codec library against ffmpeg's lossless codecs on the same frames: every clip of
// bench/clips.sh (photographs of many kinds moved like a camera, film grain, screen content) in
// 8-bit 4:2:2, RGB and RGBA and 10-bit 4:2:2 and RGB. It prints a row per clip and layout with
// our throughput and compression and our ratios to each peer, then per layout the worst case and
// geometric mean of every ratio and on how many clips each target holds, so that no figure can
// be read without the others.
//
//   korvadin_codec_bench [options] CLIPS_SCRIPT CLIP_DIR WORK_DIR
//
// Clips are made in CLIP_DIR by CLIPS_SCRIPT when first needed; the peers' inputs and outputs go
// to WORK_DIR. See usage() for the options.
#include "bench_common.h"
#include "codec_library.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using bench::CodecLibrary;

constexpr uint32_t kWidth = 1920;
constexpr uint32_t kHeight = 1080;
constexpr size_t kPixels = size_t{kWidth} * kHeight;
constexpr double kNever = std::numeric_limits<double>::infinity();

// A layout we code and what each peer reads for it: the pixel format ffmpeg's encoder takes
// natively (no conversion runs inside the timed peer), or none when it has no such mode.
struct Layout {
    const char* option; // its name in --layouts
    const char* title;
    uint32_t raw; // our raw layout code
    uint32_t id;  // our compressed format
    bool deep;    // 10-bit: the targets are against ffvhuff
    unsigned bytesPerPixel;
    const char* source; // the clip's pixel format, as bench/clips.sh makes it
    const char* utvideo;
    const char* ffvhuff;
    const char* ffv1;
};

const Layout kLayouts[] = {
    {"422", "8-bit 4:2:2", 5, 104, false, 2, "yuv422p", "yuv422p", "yuv422p", "yuv422p"},
    {"rgb", "8-bit RGB", 22, 101, false, 3, "gbrap", "gbrp", "gbrp", "bgr0"},
    {"rgba", "8-bit RGBA", 20, 102, false, 4, "gbrap", "gbrap", "gbrap", "bgra"},
    {"422-10", "10-bit 4:2:2", 59, 108, true, 4, "yuv422p10le", nullptr, "yuv422p10le",
     "yuv422p10le"},
    {"rgb-10", "10-bit RGB", 28, 109, true, 6, "gbrp10le", nullptr, "gbrp10le", "gbrp10le"},
};

// Each peer on one thread, at the settings named in the report.
struct PeerCodec {
    const char* name;
    std::vector<std::string> args;
    const char* Layout::*pixelFormat;
};

const PeerCodec kPeers[] = {
    {"utvideo", {"-c:v", "utvideo", "-pred", "median"}, &Layout::utvideo},
    {"ffvhuff", {"-c:v", "ffvhuff", "-pred", "median"}, &Layout::ffvhuff},
    // ffv1 at its smallest: the range coder with its own state tables, the large context
    // model and four slices, the fewest its version 3 allows. Its speed is not the point; it
    // is the size to measure ours against.
    {"ffv1",
     {"-c:v", "ffv1", "-level", "3", "-slices", "4", "-coder", "range_tab", "-context", "1"},
     &Layout::ffv1},
};

size_t sourceFrameBytes(const std::string& pixelFormat) {
    if (pixelFormat == "yuv422p") {
        return kPixels * 2;
    }
    if (pixelFormat == "gbrap" || pixelFormat == "yuv422p10le") {
        return kPixels * 4;
    }
    if (pixelFormat == "gbrp10le") {
        return kPixels * 6;
    }
    throw std::logic_error("no clip is made as " + pixelFormat);
}

using Frames = std::vector<std::vector<uint8_t>>;

uint16_t load16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
void store16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
// 10 bits in the top of 16, the low bits repeating the top ones: what our decoder gives back.
uint16_t widen10(uint16_t v) {
    return static_cast<uint16_t>(v << 6 | v >> 4);
}

// Our raw layout of a clip's frame. Every layout's rows are whole multiples of the clip's, so
// the frames are converted as one long row.
std::vector<uint8_t> ourFrame(const Layout& layout, const std::vector<uint8_t>& source) {
    std::vector<uint8_t> out(kPixels * layout.bytesPerPixel);
    const uint8_t* s = source.data();
    switch (layout.raw) {
    case 5: // yuv422p: Y, then U and V at half width, into U Y V Y
        for (size_t i = 0; i < kPixels / 2; ++i) {
            out[4 * i] = s[kPixels + i];
            out[4 * i + 1] = s[2 * i];
            out[4 * i + 2] = s[kPixels + kPixels / 2 + i];
            out[4 * i + 3] = s[2 * i + 1];
        }
        break;
    case 22: // gbrap: G, B, R, A planes, into R G B (A) pixels
    case 20:
        for (size_t i = 0; i < kPixels; ++i) {
            uint8_t* p = &out[layout.bytesPerPixel * i];
            p[0] = s[2 * kPixels + i];
            p[1] = s[i];
            p[2] = s[kPixels + i];
            if (layout.raw == 20) {
                p[3] = s[3 * kPixels + i];
            }
        }
        break;
    case 59: // yuv422p10le into the same planes of 16-bit samples
        for (size_t i = 0; i < kPixels * 2; ++i) {
            store16(&out[2 * i], widen10(load16(&s[2 * i])));
        }
        break;
    case 28: // gbrp10le planes into R G B pixels of 16-bit samples
        for (size_t i = 0; i < kPixels; ++i) {
            for (const auto& [channel, plane] : {std::pair{0, 2}, {1, 0}, {2, 1}}) {
                store16(&out[6 * i + 2 * channel], widen10(load16(&s[2 * (plane * kPixels + i)])));
            }
        }
        break;
    default:
        throw std::logic_error("no conversion to raw layout " + std::to_string(layout.raw));
    }
    return out;
}

// A peer's pixel format made from a gbrap clip frame; the other peers read the clip as it is.
std::vector<uint8_t> peerFrame(const std::string& pixelFormat, const std::vector<uint8_t>& gbrap) {
    if (pixelFormat == "gbrp") {
        return {gbrap.begin(), gbrap.begin() + static_cast<ptrdiff_t>(3 * kPixels)};
    }
    const bool alpha = pixelFormat == "bgra";
    if (!alpha && pixelFormat != "bgr0") {
        throw std::logic_error("no conversion from gbrap to " + pixelFormat);
    }
    std::vector<uint8_t> out(4 * kPixels);
    for (size_t i = 0; i < kPixels; ++i) {
        out[4 * i] = gbrap[kPixels + i];
        out[4 * i + 1] = gbrap[i];
        out[4 * i + 2] = gbrap[2 * kPixels + i];
        out[4 * i + 3] = alpha ? gbrap[3 * kPixels + i] : 0;
    }
    return out;
}

void writeFrames(const std::string& path, const Frames& frames) {
    std::ofstream out(path, std::ios::binary);
    for (const auto& f : frames) {
        out.write(reinterpret_cast<const char*>(f.data()), static_cast<std::streamsize>(f.size()));
    }
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

Frames readFrames(const std::string& path, size_t frameBytes) {
    std::ifstream in(path, std::ios::binary);
    Frames frames;
    for (;;) {
        std::vector<uint8_t> f(frameBytes);
        if (!in.read(reinterpret_cast<char*>(f.data()), static_cast<std::streamsize>(f.size()))) {
            break;
        }
        frames.push_back(std::move(f));
    }
    if (in.gcount() != 0) {
        throw std::runtime_error(path + " does not hold whole frames");
    }
    return frames;
}

// A contender's figures for one clip and layout, each the best of the rounds. Times are per
// frame.
struct Figures {
    double encode = kNever; // processor seconds
    double decode = kNever;
    double encodeClock = kNever; // wall-clock seconds
    double decodeClock = kNever;
    uint64_t bytes = 0; // compressed, all frames
};

class Contender {
public:
    Contender(std::string name, bool byClock) : name(std::move(name)), byClock(byClock) {}
    virtual ~Contender() = default;
    virtual void measureRound() = 0;
    const std::string name;
    const bool byClock; // several threads can only be timed by the clock
    Figures best;
};

// Our library in this process: each frame is timed by the processor time of the whole process
// (so a thread of the library's own would be counted too) and by the clock; a round's times are
// the sums over its frames, and the best round counts, as for the peers. Decoded frames are
// compared with the input outside the timing.
class Ours : public Contender {
public:
    Ours(std::string name, const CodecLibrary& library, const Layout& layout, const Frames& frames,
         unsigned threads)
        : Contender(std::move(name), threads > 1), m_lib(library), m_layout(layout),
          m_frames(frames), m_threads(threads) {}

    // One hash a frame of the first round's output: every later round, and every thread
    // count, must give the same bytes.
    std::vector<size_t>* expectedBytes = nullptr;

    void measureRound() override {
        const CodecLibrary& lib = m_lib;
        uint32_t h = 0;
        lib.check(lib.libraryInit(&h), "korvadin_library_init");
        lib.check(lib.open(&h), "korvadin_open");
        lib.check(lib.setThreadCount(h, m_threads), "korvadin_set_thread_count");
        const korvadin_format_ex in = {
            {kWidth, kHeight, KORVADIN_FORMAT_EXTENDED}, 1, m_layout.raw, 0, 0, 1, 0};
        const korvadin_format_ex out = {
            {0, 0, KORVADIN_FORMAT_EXTENDED}, 1, m_layout.id, 0, 0, 0, 0};
        const uint8_t* cookie = nullptr;
        uint64_t cookieSize = 0;
        uint32_t bound = 0;
        lib.check(lib.compressBegin(h, &in, &out, &cookie, &cookieSize, &bound),
                  "korvadin_compress_begin");
        // Everything is allocated and touched before the clock starts, and one frame is coded
        // and decoded untimed: like the peers, whose first frame is taken off, the library is
        // measured once it runs, not while it first touches its buffers or starts its threads.
        Frames packets(m_frames.size(), std::vector<uint8_t>(bound, 1));
        std::vector<uint32_t> sizes(m_frames.size());
        auto compress = [&](size_t f) {
            korvadin_planes planes{};
            // The library only reads the frame; its interface predates const.
            lib.check(lib.initPlanes(h, &in, &planes, const_cast<uint8_t*>(m_frames[f].data())),
                      "korvadin_init_planes_common");
            lib.check(lib.compress(h, &planes, packets[f].data(), &sizes[f]), "korvadin_compress");
        };
        compress(0);
        Figures round;
        const Times encoding = timed([&] {
            for (size_t f = 0; f < m_frames.size(); ++f) {
                compress(f);
            }
        });
        for (size_t f = 0; f < m_frames.size(); ++f) {
            round.bytes += sizes[f];
        }
        round.encode = encoding.processor / double(m_frames.size());
        round.encodeClock = encoding.clock / double(m_frames.size());

        korvadin_decoder* decoder = nullptr;
        lib.check(lib.decoderOpen(cookie, cookieSize, m_threads, &decoder),
                  "korvadin_decoder_open");
        Frames decoded(m_frames.size(), std::vector<uint8_t>(m_frames[0].size(), 1));
        auto decode = [&](size_t f) {
            lib.check(lib.decode(decoder, packets[f].data(), sizes[f], decoded[f].data(),
                                 decoded[f].size()),
                      "korvadin_decode");
        };
        decode(0);
        const Times decoding = timed([&] {
            for (size_t f = 0; f < m_frames.size(); ++f) {
                decode(f);
            }
        });
        for (size_t f = 0; f < m_frames.size(); ++f) {
            if (decoded[f] != m_frames[f]) {
                throw std::runtime_error(name + ", " + m_layout.title + ": frame " +
                                         std::to_string(f) +
                                         " decodes to something else than its input");
            }
            checkDeterministic(f, packets[f].data(), sizes[f]);
        }
        round.decode = decoding.processor / double(m_frames.size());
        round.decodeClock = decoding.clock / double(m_frames.size());
        lib.decoderClose(decoder);
        lib.check(lib.close(h), "korvadin_close");
        lib.check(lib.libraryClose(), "korvadin_library_close");
        keepBest(round);
    }

private:
    struct Times {
        double processor;
        double clock;
    };

    // The library's threads watch for work a while after each frame before they sleep, and a
    // running thread's processor time is only brought up to date when it stops: so the whole
    // run of frames is timed, and the processor time read once they have settled.
    template <typename F>
    static Times timed(F&& run) {
        const double c0 = bench::clockSeconds(), p0 = bench::processSeconds();
        run();
        const double clock = bench::clockSeconds() - c0;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return {bench::processSeconds() - p0, clock};
    }

    void checkDeterministic(size_t frame, const uint8_t* bytes, uint32_t size) {
        if (expectedBytes == nullptr) {
            return;
        }
        const size_t hash = std::hash<std::string_view>{}(
            std::string_view(reinterpret_cast<const char*>(bytes), size));
        if (expectedBytes->size() <= frame) {
            expectedBytes->push_back(hash);
        } else if ((*expectedBytes)[frame] != hash) {
            throw std::runtime_error(name + ", " + m_layout.title + ": frame " +
                                     std::to_string(frame) +
                                     " is coded differently than in an earlier run");
        }
    }

    void keepBest(const Figures& r) {
        best.encode = std::min(best.encode, r.encode);
        best.decode = std::min(best.decode, r.decode);
        best.encodeClock = std::min(best.encodeClock, r.encodeClock);
        best.decodeClock = std::min(best.decodeClock, r.decodeClock);
        best.bytes = r.bytes;
    }

    const CodecLibrary& m_lib;
    const Layout& m_layout;
    const Frames& m_frames;
    unsigned m_threads;
};

// An ffmpeg encoder on one thread. ffmpeg's own processor time for its work (-benchmark) also
// holds reading the raw frames, and one-time costs: starting the encoder, first touches of its
// buffers. Each is measured apart and taken off: a run that only reads the same frames, and
// every run once more on a single frame, so that what is left is what each further frame costs,
// as ours is measured. Decoding likewise, less the demuxing of the file.
class Peer : public Contender {
public:
    Peer(const PeerCodec& codec, std::string input, std::string pixelFormat, size_t frames,
         const std::string& dir)
        : Contender(codec.name, false), m_codec(codec), m_input(std::move(input)),
          m_pixelFormat(std::move(pixelFormat)), m_frames(frames),
          m_output(dir + "/" + codec.name + ".nut"), m_log(dir + "/ffmpeg.log") {
        // The file that is decoded and whose packets are counted; untimed.
        auto args = reading(m_frames);
        args.insert(args.end(), codec.args.begin(), codec.args.end());
        args.insert(args.end(), {"-f", "nut", "-y", m_output});
        bench::ffmpegSeconds(args, m_log);
        best.bytes = bench::packetBytes(m_output, m_log);
    }

    void measureRound() override {
        for (const size_t count : {m_frames, size_t{1}}) {
            auto encoding = reading(count);
            encoding.insert(encoding.end(), m_codec.args.begin(), m_codec.args.end());
            std::vector<std::string> decoding{"-filter_threads", "1", "-threads", "1"};
            decoding.insert(decoding.end(), {"-i", m_output, "-frames:v", std::to_string(count)});
            Times& t = m_times[count == 1 ? 1 : 0];
            keep(t.encode, encoding);
            keep(t.read, reading(count));
            keep(t.decode, decoding);
            auto demuxing = decoding;
            demuxing.insert(demuxing.end(), {"-c:v", "copy"});
            keep(t.demux, demuxing);
        }
        const Times& all = m_times[0];
        const Times& one = m_times[1];
        const double further = double(m_frames - 1);
        best.encode = std::max((all.encode - one.encode - (all.read - one.read)) / further, 1e-9);
        best.decode = std::max((all.decode - one.decode - (all.demux - one.demux)) / further, 1e-9);
    }

private:
    struct Times {
        double encode = kNever;
        double read = kNever;
        double decode = kNever;
        double demux = kNever;
    };

    std::vector<std::string> reading(size_t count) const {
        const std::string size = std::to_string(kWidth) + "x" + std::to_string(kHeight);
        std::vector<std::string> args{"-filter_threads", "1", "-f", "rawvideo"};
        args.insert(args.end(), {"-pix_fmt", m_pixelFormat, "-s", size, "-threads", "1"});
        args.insert(args.end(), {"-i", m_input, "-frames:v", std::to_string(count)});
        args.insert(args.end(), {"-threads", "1"});
        return args;
    }

    void keep(double& best, std::vector<std::string> args) const {
        args.insert(args.end(), {"-f", "null", "-"});
        best = std::min(best, bench::ffmpegSeconds(args, m_log));
    }

    const PeerCodec& m_codec;
    std::string m_input;
    std::string m_pixelFormat;
    size_t m_frames;
    std::string m_output;
    std::string m_log;
    Times m_times[2]; // all frames, one frame
};

struct Options {
    unsigned frames = 8;
    int repeats = 3;
    std::vector<std::string> clips;
    std::vector<const Layout*> layouts;
    bool peers = true;
    bool verbose = false;
    std::string library;
    std::string baseline;
    std::optional<uint32_t> cpuMask; // all the processor has when unset
    std::string loops = "native";
    std::string script, clipDir, workDir;
};

void usage(const char* program, std::ostream& out) {
    out << "usage: " << program << " [options] CLIPS_SCRIPT CLIP_DIR WORK_DIR\n"
        << "  --frames N         frames of each clip (default 8)\n"
        << "  --repeats N        rounds; the best of each counts (default 3)\n"
        << "  --clips A,B        these clips only (bench/clips.sh list names them all)\n"
        << "  --layouts A,B      these of 422, rgb, rgba, 422-10, rgb-10 only\n"
        << "  --ours-only        no peers: our own figures alone\n"
        << "  --library PATH     measure this build of libkorvadin_common64.so as ours\n"
        << "  --baseline PATH    also measure this build of the library, as a peer named base\n"
        << "  --loops SET        the codec's loops: native (the fastest this processor has,\n"
        << "                     the default), avx2 (the AVX2 ones on an AVX-512 processor) or\n"
        << "                     portable\n"
        << "  --verbose          also every contender's own figures\n"
        << "CLIPS_SCRIPT (bench/clips.sh) makes the clips in CLIP_DIR; the coded frames go to\n"
        << "WORK_DIR. bench/codec_bench.sh builds the release preset and runs this for you.\n";
}

Options parseOptions(int argc, char** argv) {
    Options o;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                throw std::invalid_argument(arg + " needs a value");
            }
            return argv[++i];
        };
        if (arg == "--frames") {
            o.frames = static_cast<unsigned>(std::stoul(value()));
        } else if (arg == "--repeats") {
            o.repeats = std::max(1, std::stoi(value()));
        } else if (arg == "--clips") {
            o.clips = bench::split(value(), ',');
        } else if (arg == "--layouts") {
            for (const auto& name : bench::split(value(), ',')) {
                const auto it = std::find_if(std::begin(kLayouts), std::end(kLayouts),
                                             [&](const Layout& l) { return name == l.option; });
                if (it == std::end(kLayouts)) {
                    throw std::invalid_argument("no layout " + name);
                }
                o.layouts.push_back(&*it);
            }
        } else if (arg == "--ours-only") {
            o.peers = false;
        } else if (arg == "--library") {
            o.library = value();
        } else if (arg == "--baseline") {
            o.baseline = value();
        } else if (arg == "--loops") {
            o.loops = value();
            if (o.loops == "avx2") {
                o.cpuMask = KORVADIN_CPU_X86_AVX2;
            } else if (o.loops == "portable") {
                o.cpuMask = 0;
            } else if (o.loops != "native") {
                throw std::invalid_argument("--loops takes native, avx2 or portable");
            }
        } else if (arg == "--verbose") {
            o.verbose = true;
        } else if (arg.rfind("--", 0) == 0) {
            throw std::invalid_argument("unknown option " + arg);
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 3) {
        throw std::invalid_argument("needs CLIPS_SCRIPT CLIP_DIR WORK_DIR");
    }
    if (o.frames < 2) {
        throw std::invalid_argument("--frames must be at least 2");
    }
    o.script = positional[0];
    o.clipDir = positional[1];
    o.workDir = positional[2];
    if (o.layouts.empty()) {
        for (const Layout& l : kLayouts) {
            o.layouts.push_back(&l);
        }
    }
    return o;
}

// The clip's frames, made by the script the first time they are asked for.
Frames clipFrames(const Options& o, const std::string& clip, const std::string& pixelFormat) {
    const std::string path = o.clipDir + "/" + clip + "." + pixelFormat + ".raw";
    if (!std::filesystem::exists(path)) {
        bench::runProgram({o.script, "make", clip, pixelFormat, std::to_string(o.frames), path},
                          o.workDir + "/clip.log");
    }
    Frames frames = readFrames(path, sourceFrameBytes(pixelFormat));
    if (frames.size() != o.frames) {
        throw std::runtime_error(path + " holds " + std::to_string(frames.size()) +
                                 " frames, not " + std::to_string(o.frames));
    }
    return frames;
}

// What one clip in one layout came to: ours, and each peer's figures or none.
struct Row {
    std::string clip;
    Figures ours;
    Figures ours2; // two threads
    std::vector<std::optional<Figures>> peers;
    struct Own {
        std::string name;
        bool byClock;
        Figures figures;
    };
    std::vector<Own> all; // every contender's own figures, for --verbose
};

// Runs every contender once per round, so that a busy spell of the shared machine does not fall
// on one of them alone.
Row measure(const Options& o, const CodecLibrary& ours, const CodecLibrary* baseline,
            const Layout& layout, const std::string& clip, const std::vector<std::string>& peers) {
    const Frames source = clipFrames(o, clip, layout.source);
    Frames frames;
    for (const auto& f : source) {
        frames.push_back(ourFrame(layout, f));
    }
    std::vector<size_t> hashes;
    std::vector<std::unique_ptr<Contender>> contenders;
    auto addOurs = [&](std::string name, const CodecLibrary& lib, unsigned threads) {
        auto c = std::make_unique<Ours>(std::move(name), lib, layout, frames, threads);
        if (&lib == &ours) {
            c->expectedBytes = &hashes;
        }
        contenders.push_back(std::move(c));
    };
    addOurs("ours", ours, 1);
    addOurs("ours, 2 threads", ours, 2);
    std::vector<int> peerIndex; // into contenders, -1 where the peer has no such mode
    std::vector<std::string> made;
    for (const auto& peer : peers) {
        if (peer == "base") {
            peerIndex.push_back(static_cast<int>(contenders.size()));
            addOurs("base", *baseline, 1);
            continue;
        }
        const PeerCodec& codec = *std::find_if(std::begin(kPeers), std::end(kPeers),
                                               [&](const PeerCodec& p) { return peer == p.name; });
        const char* pixelFormat = layout.*codec.pixelFormat;
        if (pixelFormat == nullptr) {
            peerIndex.push_back(-1);
            continue;
        }
        std::string input = o.clipDir + "/" + clip + "." + layout.source + ".raw";
        if (pixelFormat != std::string(layout.source)) {
            input = o.workDir + "/" + clip + "." + pixelFormat + ".raw";
            if (std::find(made.begin(), made.end(), input) == made.end()) {
                Frames converted;
                for (const auto& f : source) {
                    converted.push_back(peerFrame(pixelFormat, f));
                }
                writeFrames(input, converted);
                made.push_back(input);
            }
        }
        peerIndex.push_back(static_cast<int>(contenders.size()));
        contenders.push_back(
            std::make_unique<Peer>(codec, input, pixelFormat, source.size(), o.workDir));
    }
    for (int round = 0; round < o.repeats; ++round) {
        for (auto& c : contenders) {
            c->measureRound();
        }
    }
    for (const auto& file : made) {
        std::filesystem::remove(file);
    }
    Row row{clip, contenders[0]->best, contenders[1]->best, {}, {}};
    for (const int i : peerIndex) {
        row.peers.push_back(i < 0 ? std::nullopt : std::optional(contenders[i]->best));
    }
    for (const auto& c : contenders) {
        row.all.push_back({c->name, c->byClock, c->best});
    }
    return row;
}

double megabytesPerSecond(const Layout& layout, double secondsPerFrame) {
    return double(kPixels * layout.bytesPerPixel) / secondsPerFrame / 1e6;
}

// The three ratios of ours to a peer: above 1 we are faster, below 1 we are smaller.
struct Ratios {
    double encode, decode, size;
};
Ratios ratios(const Figures& ours, const Figures& peer) {
    return {peer.encode / ours.encode, peer.decode / ours.decode,
            double(ours.bytes) / double(peer.bytes)};
}

// Prints a layout's table, its summary and its targets.
void report(const Options& o, const Layout& layout, const std::vector<std::string>& peers,
            const std::vector<Row>& rows) {
    std::printf("\n%s (load average %s): our raw layout %u coded as format %u", layout.title,
                bench::loadAverage().c_str(), layout.raw, layout.id);
    const char* separator = "; the peers read";
    for (const auto& peer : peers) {
        const auto it = std::find_if(std::begin(kPeers), std::end(kPeers),
                                     [&](const PeerCodec& p) { return peer == p.name; });
        if (it != std::end(kPeers)) {
            const char* format = layout.*it->pixelFormat;
            std::printf("%s %s %s", separator, peer.c_str(),
                        format != nullptr ? format : "(no such mode)");
            separator = ",";
        }
    }
    std::printf("\n%-14s %26s", "", "---------- ours ----------");
    for (const auto& peer : peers) {
        std::printf("   %-17s", ("--- ours/" + peer + " ---").c_str());
    }
    std::printf("   two threads\n%-14s %9s %9s %6s", "clip", "enc MB/s", "dec MB/s", "ratio");
    for (size_t p = 0; p < peers.size(); ++p) {
        std::printf("   %5s %5s %5s", "enc", "dec", "size");
    }
    std::printf("   %5s %5s\n", "enc", "dec");

    using bench::Spread;
    Spread encode(true), decode(true), ratio(true), scaleEncode(true), scaleDecode(true);
    Spread costEncode(false), costDecode(false);
    std::vector<Spread> peerEncode(peers.size(), Spread(true)),
        peerDecode(peers.size(), Spread(true)), peerSize(peers.size(), Spread(false));
    bench::Tally target, fastEncode, small, decodeOverEncode, fastDecode, twoThreads;
    const size_t utvideo = std::find(peers.begin(), peers.end(), "utvideo") - peers.begin();
    const size_t ffvhuff = std::find(peers.begin(), peers.end(), "ffvhuff") - peers.begin();
    for (const Row& row : rows) {
        const double rawPerCoded =
            double(kPixels * layout.bytesPerPixel * o.frames) / double(row.ours.bytes);
        std::printf("%-14s %9.1f %9.1f %6.3f", row.clip.c_str(),
                    megabytesPerSecond(layout, row.ours.encode),
                    megabytesPerSecond(layout, row.ours.decode), rawPerCoded);
        encode.add(megabytesPerSecond(layout, row.ours.encode));
        decode.add(megabytesPerSecond(layout, row.ours.decode));
        ratio.add(rawPerCoded);
        std::vector<std::optional<Ratios>> r;
        for (size_t p = 0; p < peers.size(); ++p) {
            if (!row.peers[p]) {
                std::printf("   %5s %5s %5s", "-", "-", "-");
                r.emplace_back();
                continue;
            }
            r.push_back(ratios(row.ours, *row.peers[p]));
            std::printf("   %5.2f %5.2f %5.3f", r.back()->encode, r.back()->decode, r.back()->size);
            peerEncode[p].add(r.back()->encode);
            peerDecode[p].add(r.back()->decode);
            peerSize[p].add(r.back()->size);
        }
        const double e2 = row.ours.encodeClock / row.ours2.encodeClock;
        const double d2 = row.ours.decodeClock / row.ours2.decodeClock;
        std::printf("   %5.2f %5.2f\n", e2, d2);
        scaleEncode.add(e2);
        scaleDecode.add(d2);
        costEncode.add(row.ours2.encode / row.ours.encode);
        costDecode.add(row.ours2.decode / row.ours.decode);
        twoThreads.add(e2 >= 1.8 && d2 >= 1.8);

        // The targets hold clip by clip, or not at all.
        if (!layout.deep && utvideo < peers.size() && r[utvideo]) {
            const Ratios& u = *r[utvideo];
            fastEncode.add(u.encode >= 2);
            small.add(u.size <= 0.95);
            decodeOverEncode.add(row.ours.decode <= row.ours.encode);
            fastDecode.add(u.decode >= 2);
            target.add(u.encode >= 2 && u.size <= 0.95 && row.ours.decode <= row.ours.encode &&
                       u.decode >= 2);
        } else if (layout.deep && ffvhuff < peers.size() && r[ffvhuff]) {
            const Ratios& f = *r[ffvhuff];
            fastEncode.add(f.encode >= 1);
            small.add(f.size <= 0.85);
            target.add(f.encode >= 1 && f.size <= 0.85);
        }
    }
    for (const bool worst : {true, false}) {
        std::printf("%-14s %9.1f %9.1f %6.3f", worst ? "worst" : "geometric mean",
                    worst ? encode.worst() : encode.geometricMean(),
                    worst ? decode.worst() : decode.geometricMean(),
                    worst ? ratio.worst() : ratio.geometricMean());
        for (size_t p = 0; p < peers.size(); ++p) {
            if (peerEncode[p].empty()) {
                std::printf("   %5s %5s %5s", "-", "-", "-");
                continue;
            }
            std::printf("   %5.2f %5.2f %5.3f",
                        worst ? peerEncode[p].worst() : peerEncode[p].geometricMean(),
                        worst ? peerDecode[p].worst() : peerDecode[p].geometricMean(),
                        worst ? peerSize[p].worst() : peerSize[p].geometricMean());
        }
        std::printf("   %5.2f %5.2f\n", worst ? scaleEncode.worst() : scaleEncode.geometricMean(),
                    worst ? scaleDecode.worst() : scaleDecode.geometricMean());
    }
    const auto n = [](const bench::Tally& t) {
        return std::to_string(t.met) + " of " + std::to_string(t.of);
    };
    std::printf("two threads cost %.2fx (encode) and %.2fx (decode) the processor time of one "
                "(geometric mean); at least 1.8x one thread by the clock, encode and decode: "
                "%s clips\n",
                costEncode.geometricMean(), costDecode.geometricMean(), n(twoThreads).c_str());
    if (target.of == 0) {
        std::printf("target: not judged (needs the %s figures)\n",
                    layout.deep ? "ffvhuff" : "utvideo");
    } else if (!layout.deep) {
        std::printf("target met on %s clips: encode >= 2x utvideo's %s, size <= 0.95x utvideo's "
                    "%s, decode >= our encode %s, decode >= 2x utvideo's %s\n",
                    n(target).c_str(), n(fastEncode).c_str(), n(small).c_str(),
                    n(decodeOverEncode).c_str(), n(fastDecode).c_str());
    } else {
        std::printf("target met on %s clips: encode >= ffvhuff's %s, size <= 0.85x ffvhuff's %s\n",
                    n(target).c_str(), n(fastEncode).c_str(), n(small).c_str());
    }
    if (!o.verbose) {
        return;
    }
    std::printf("%-14s %-16s %9s %9s %6s %12s\n", "clip", "codec", "enc MB/s", "dec MB/s", "ratio",
                "bytes");
    for (const Row& row : rows) {
        for (const auto& [name, clock, f] : row.all) {
            std::printf("%-14s %-16s %9.1f %9.1f %6.3f %12llu\n", row.clip.c_str(), name.c_str(),
                        megabytesPerSecond(layout, clock ? f.encodeClock : f.encode),
                        megabytesPerSecond(layout, clock ? f.decodeClock : f.decode),
                        double(kPixels * layout.bytesPerPixel * o.frames) / double(f.bytes),
                        static_cast<unsigned long long>(f.bytes));
        }
    }
}

std::vector<std::string> allClips(const Options& o) {
    const std::string log = o.workDir + "/clips.log";
    bench::runProgram({o.script, "list"}, log);
    std::ifstream in(log);
    std::vector<std::string> names;
    for (std::string name; std::getline(in, name);) {
        names.push_back(name);
    }
    return names;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        usage(argv[0], std::cout);
        return 0;
    }
    Options o;
    try {
        o = parseOptions(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "codec_bench: " << e.what() << "\n";
        usage(argv[0], std::cerr);
        return 2;
    }
    // Each table as soon as it is done, also when the output goes to a file.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    try {
        const std::vector<std::string> known = allClips(o);
        if (o.clips.empty()) {
            o.clips = known;
        }
        for (const auto& clip : o.clips) {
            if (std::find(known.begin(), known.end(), clip) == known.end()) {
                throw std::invalid_argument("no clip " + clip);
            }
        }
        const CodecLibrary ours(o.library.empty() ? CodecLibrary::besideProgram() : o.library);
        std::unique_ptr<CodecLibrary> baseline;
        std::vector<std::string> peers;
        if (!o.baseline.empty()) {
            baseline = std::make_unique<CodecLibrary>(o.baseline);
            peers.push_back("base");
        }
        if (o.cpuMask) {
            if ((*o.cpuMask & ~ours.cpuFeatures()) != 0) {
                throw std::invalid_argument("this processor has no " + o.loops + " loops");
            }
            ours.setCpuMask(*o.cpuMask);
            if (baseline) {
                baseline->setCpuMask(*o.cpuMask);
            }
        }
        if (o.peers) {
            for (const PeerCodec& p : kPeers) {
                peers.push_back(p.name);
            }
        }
        std::printf("processor: %s\nload average at the start: %s\n",
                    bench::processorModel().c_str(), bench::loadAverage().c_str());
        std::printf("%u frames of %ux%u a clip, best of %d rounds; one thread timed by processor "
                    "time, two threads by the clock; the codec's %s loops\nours: %s\n",
                    o.frames, kWidth, kHeight, o.repeats, o.loops.c_str(), ours.path.c_str());
        if (baseline) {
            std::printf("base: %s\n", baseline->path.c_str());
        }
        for (const PeerCodec& p : kPeers) {
            if (o.peers) {
                std::string args;
                for (const auto& a : p.args) {
                    args += " " + a;
                }
                std::printf("%s: ffmpeg -threads 1%s\n", p.name, args.c_str());
            }
        }
        for (const Layout* layout : o.layouts) {
            std::vector<Row> rows;
            for (const auto& clip : o.clips) {
                rows.push_back(measure(o, ours, baseline.get(), *layout, clip, peers));
            }
            report(o, *layout, peers, rows);
        }
        std::printf("\nload average at the end: %s\n", bench::loadAverage().c_str());
        std::printf(
            "MB/s: raw bytes of our layout (2, 3, 4, 4 and 6 a pixel) per second of processor "
            "time. ratio: raw bytes over coded bytes.\nours/peer: enc and dec are the peer's "
            "time over ours (above 1 we are faster), size ours over the peer's (below 1 we are "
            "smaller).\nworst: the clip least favourable to us. two threads: one thread's clock "
            "time over two threads'.\n");
    } catch (const std::exception& e) {
        std::cerr << "codec_bench: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
