// Measures our encoder and decoder against ffmpeg's lossless peers on the same frames: a real
// photograph panned across 1920x1080 frames, in the four layouts that matter most. Prints
// throughput (raw picture bytes per second), compression ratio and our ratios to utvideo.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "davinci/encoder/korvadin_library.h"
#include "korvadin_common64.h"

namespace {

constexpr uint32_t kWidth = 1920;
constexpr uint32_t kHeight = 1080;

struct Photo {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<float> rgb; // 0..1
};

Photo loadPpm(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    uint32_t maxval = 0;
    Photo p;
    in >> magic >> p.width >> p.height >> maxval;
    in.get();
    if (!in || magic != "P6" || maxval != 255) {
        throw std::runtime_error("not an 8-bit binary PPM: " + path);
    }
    std::vector<uint8_t> bytes(size_t{p.width} * p.height * 3);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!in) {
        throw std::runtime_error("short PPM: " + path);
    }
    p.rgb.resize(bytes.size());
    std::transform(bytes.begin(), bytes.end(), p.rgb.begin(), [](uint8_t b) { return b / 255.f; });
    return p;
}

// Frame f: the picture seen through a 1920x1080 window that pans by a fraction of a pixel per
// frame, resampled bilinearly, so deeper formats get real low bits.
std::vector<float> panFrame(const Photo& p, unsigned f) {
    const float x0 = 3.37f * static_cast<float>(f);
    const float y0 = 2.21f * static_cast<float>(f);
    std::vector<float> out(size_t{kWidth} * kHeight * 3);
    for (uint32_t y = 0; y < kHeight; ++y) {
        const float sy = std::min(y0 + static_cast<float>(y), static_cast<float>(p.height - 2));
        const uint32_t iy = static_cast<uint32_t>(sy);
        const float fy = sy - static_cast<float>(iy);
        for (uint32_t x = 0; x < kWidth; ++x) {
            const float sx = std::min(x0 + static_cast<float>(x), static_cast<float>(p.width - 2));
            const uint32_t ix = static_cast<uint32_t>(sx);
            const float fx = sx - static_cast<float>(ix);
            for (unsigned c = 0; c < 3; ++c) {
                auto at = [&](uint32_t xx, uint32_t yy) {
                    return p.rgb[(size_t{yy} * p.width + xx) * 3 + c];
                };
                const float top = at(ix, iy) * (1 - fx) + at(ix + 1, iy) * fx;
                const float bottom = at(ix, iy + 1) * (1 - fx) + at(ix + 1, iy + 1) * fx;
                out[(size_t{y} * kWidth + x) * 3 + c] = top * (1 - fy) + bottom * fy;
            }
        }
    }
    return out;
}

// Planes of one frame at `bits` precision: R, G, B, or Y, U, V (BT.709, video range) with
// chroma averaged over horizontal pairs.
struct Planes {
    std::vector<uint16_t> p[3];
    uint32_t chromaWidth = kWidth;
};

Planes toPlanes(const std::vector<float>& rgb, bool yuv422, unsigned bits) {
    Planes out;
    const float scale = static_cast<float>(1u << (bits - 8));
    const size_t n = size_t{kWidth} * kHeight;
    for (auto& plane : out.p) {
        plane.resize(n);
    }
    const float maxv = static_cast<float>((1u << bits) - 1);
    auto q = [&](float v) {
        return static_cast<uint16_t>(std::clamp(std::lround(v), 0L, static_cast<long>(maxv)));
    };
    for (size_t i = 0; i < n; ++i) {
        const float r = rgb[3 * i], g = rgb[3 * i + 1], b = rgb[3 * i + 2];
        if (!yuv422) {
            out.p[0][i] = q(r * maxv);
            out.p[1][i] = q(g * maxv);
            out.p[2][i] = q(b * maxv);
            continue;
        }
        const float yl = 0.2126f * r + 0.7152f * g + 0.0722f * b;
        out.p[0][i] = q((16 + 219 * yl) * scale);
        out.p[1][i] = q((128 + 224 * (b - yl) / 1.8556f) * scale);
        out.p[2][i] = q((128 + 224 * (r - yl) / 1.5748f) * scale);
    }
    if (yuv422) {
        out.chromaWidth = kWidth / 2;
        for (unsigned c = 1; c < 3; ++c) {
            std::vector<uint16_t> half(size_t{out.chromaWidth} * kHeight);
            for (uint32_t y = 0; y < kHeight; ++y) {
                for (uint32_t x = 0; x < out.chromaWidth; ++x) {
                    const size_t i = size_t{y} * kWidth + 2 * x;
                    half[size_t{y} * out.chromaWidth + x] =
                        static_cast<uint16_t>((out.p[c][i] + out.p[c][i + 1] + 1) / 2);
                }
            }
            out.p[c] = std::move(half);
        }
    }
    return out;
}

void put8(std::vector<uint8_t>& v, uint16_t s) {
    v.push_back(static_cast<uint8_t>(s));
}
void put16(std::vector<uint8_t>& v, uint16_t s) {
    v.push_back(static_cast<uint8_t>(s));
    v.push_back(static_cast<uint8_t>(s >> 8));
}
uint16_t widen10(uint16_t v) {
    return static_cast<uint16_t>((v << 6) | (v >> 4));
}

struct Case {
    const char* name;
    uint32_t raw;
    uint32_t id;
    bool yuv;
    unsigned bits;
    double rawBytesPerPixel;   // of our raw layout: the common yardstick for MB/s
    const char* peerPixFmt;    // what utvideo and ffvhuff read
    const char* ffv1PixFmt;    // ffv1 has its own packed format for 8-bit RGB
    const char* utvideoPixFmt; // null: ffmpeg's utvideo encoder has no mode for this
};

const Case kCases[] = {
    {"8-bit 4:2:2", 5, 104, true, 8, 2, "yuv422p", "yuv422p", "yuv422p"},
    {"8-bit RGB", 22, 101, false, 8, 3, "gbrp", "bgr0", "gbrp"},
    {"10-bit 4:2:2", 59, 108, true, 10, 4, "yuv422p10le", "yuv422p10le", nullptr},
    {"10-bit RGB", 28, 109, false, 10, 6, "gbrp10le", "gbrp10le", nullptr},
};

// Our raw layout of the frame.
std::vector<uint8_t> ourRaw(const Case& c, const Planes& pl) {
    std::vector<uint8_t> v;
    const size_t n = size_t{kWidth} * kHeight;
    switch (c.raw) {
    case 5:
        for (uint32_t y = 0; y < kHeight; ++y) {
            for (uint32_t x = 0; x < kWidth / 2; ++x) {
                const size_t ci = size_t{y} * pl.chromaWidth + x;
                const size_t yi = size_t{y} * kWidth + 2 * x;
                put8(v, pl.p[1][ci]);
                put8(v, pl.p[0][yi]);
                put8(v, pl.p[2][ci]);
                put8(v, pl.p[0][yi + 1]);
            }
        }
        break;
    case 22:
        for (size_t i = 0; i < n; ++i) {
            for (unsigned k = 0; k < 3; ++k) {
                put8(v, pl.p[k][i]);
            }
        }
        break;
    case 59:
        for (unsigned k = 0; k < 3; ++k) {
            for (const uint16_t s : pl.p[k]) {
                put16(v, widen10(s));
            }
        }
        break;
    case 28:
        for (size_t i = 0; i < n; ++i) {
            for (unsigned k = 0; k < 3; ++k) {
                put16(v, widen10(pl.p[k][i]));
            }
        }
        break;
    }
    return v;
}

// ffmpeg's layout for a pixel format name.
std::vector<uint8_t> peerRaw(const std::string& fmt, const Planes& pl) {
    std::vector<uint8_t> v;
    const size_t n = size_t{kWidth} * kHeight;
    auto planes = [&](std::initializer_list<unsigned> order, bool wide) {
        for (const unsigned k : order) {
            for (const uint16_t s : pl.p[k]) {
                wide ? put16(v, s) : put8(v, s);
            }
        }
    };
    if (fmt == "yuv422p") {
        planes({0, 1, 2}, false);
    } else if (fmt == "yuv422p10le") {
        planes({0, 1, 2}, true);
    } else if (fmt == "gbrp") {
        planes({1, 2, 0}, false);
    } else if (fmt == "gbrp10le") {
        planes({1, 2, 0}, true);
    } else if (fmt == "bgr0") {
        for (size_t i = 0; i < n; ++i) {
            put8(v, pl.p[2][i]);
            put8(v, pl.p[1][i]);
            put8(v, pl.p[0][i]);
            put8(v, 0);
        }
    } else {
        throw std::logic_error("pixel format " + fmt);
    }
    return v;
}

// The machines are shared, so single-threaded runs are timed by the processor time they use;
// runs on several threads can only be timed by the clock.
double processSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Timing {
    double processor = 1e30;
    double clock = 1e30;
};

Timing seconds(const std::function<void()>& f, int repeats) {
    Timing best;
    for (int r = 0; r < repeats; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        const double c0 = processSeconds();
        f();
        best.clock =
            std::min(best.clock,
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        best.processor = std::min(best.processor, processSeconds() - c0);
    }
    return best;
}

struct Result {
    double encodeSeconds = 0;
    double decodeSeconds = 0;
    // Clock times, for comparing thread counts.
    double encodeClock = 0;
    double decodeClock = 0;
    double encodeProcessor = 0;
    double decodeProcessor = 0;
    uint64_t bytes = 0;
    // Ours only: each frame's best time over the rounds. On a shared machine a frame that once
    // ran undisturbed counts with that time, which shows the codec's speed rather than the
    // neighbours' load; the totals above are their sums.
    unsigned threads = 1;
    std::vector<Timing> encodeFrames;
    std::vector<Timing> decodeFrames;
};

void check(int32_t r, const char* what) {
    if (r != 0) {
        throw std::runtime_error(std::string(what) + ": " +
                                 korvadin_get_string(KORVADIN_STRING_RESULT, r));
    }
}

// One thread is timed by the processor time it uses; several only by the clock.
void sumFrames(Result& r) {
    r.encodeClock = r.decodeClock = r.encodeProcessor = r.decodeProcessor = 0;
    for (const Timing& t : r.encodeFrames) {
        r.encodeClock += t.clock;
        r.encodeProcessor += t.processor;
    }
    for (const Timing& t : r.decodeFrames) {
        r.decodeClock += t.clock;
        r.decodeProcessor += t.processor;
    }
    r.encodeSeconds = r.threads > 1 ? r.encodeClock : r.encodeProcessor;
    r.decodeSeconds = r.threads > 1 ? r.decodeClock : r.decodeProcessor;
}

Result runOurs(const Case& c, std::vector<std::vector<uint8_t>>& frames, unsigned threads) {
    uint32_t h = 0;
    check(korvadin_library_init(&h), "init");
    check(korvadin_open(&h), "open");
    check(korvadin_set_thread_count(h, threads), "threads");
    const korvadin_format_ex in = {
        {kWidth, kHeight, KORVADIN_FORMAT_EXTENDED}, 1, c.raw, 0, 0, 1, 0};
    const korvadin_format_ex out = {{0, 0, KORVADIN_FORMAT_EXTENDED}, 1, c.id, 0, 0, 0, 0};
    const uint8_t* cookie = nullptr;
    uint64_t cookieSize = 0;
    uint32_t bound = 0;
    check(korvadin_compress_begin(h, &in, &out, &cookie, &cookieSize, &bound), "begin");
    std::vector<std::vector<uint8_t>> packed(frames.size(), std::vector<uint8_t>(bound));
    std::vector<uint32_t> sizes(frames.size());
    Result r;
    r.threads = threads;
    for (size_t f = 0; f < frames.size(); ++f) {
        r.encodeFrames.push_back(seconds(
            [&] {
                korvadin_planes planes{};
                check(korvadin_init_planes_common(h, &in, &planes, frames[f].data()), "planes");
                check(korvadin_compress(h, &planes, packed[f].data(), &sizes[f]), "compress");
            },
            1));
        r.bytes += sizes[f];
    }
    korvadin_decoder* d = nullptr;
    check(korvadin_decoder_open(cookie, cookieSize, threads, &d), "decoder");
    std::vector<uint8_t> decoded(frames[0].size());
    bool exact = true;
    for (size_t f = 0; f < frames.size(); ++f) {
        r.decodeFrames.push_back(seconds(
            [&] {
                check(
                    korvadin_decode(d, packed[f].data(), sizes[f], decoded.data(), decoded.size()),
                    "decode");
            },
            1));
        // Checked outside the timing, as the encoder's output is.
        exact &= decoded == frames[f];
    }
    sumFrames(r);
    korvadin_decoder_close(d);
    korvadin_close(h);
    korvadin_library_close();
    if (!exact) {
        throw std::runtime_error(std::string(c.name) + ": decoded frames differ");
    }
    return r;
}

Result best(const Result& a, const Result& b) {
    Result r = a;
    if (!a.encodeFrames.empty()) {
        for (size_t f = 0; f < r.encodeFrames.size(); ++f) {
            for (auto [times, other] : {std::pair{&r.encodeFrames, &b.encodeFrames},
                                        std::pair{&r.decodeFrames, &b.decodeFrames}}) {
                Timing& t = (*times)[f];
                t.clock = std::min(t.clock, (*other)[f].clock);
                t.processor = std::min(t.processor, (*other)[f].processor);
            }
        }
        sumFrames(r);
        return r;
    }
    r.encodeSeconds = std::min(a.encodeSeconds, b.encodeSeconds);
    r.decodeSeconds = std::min(a.decodeSeconds, b.decodeSeconds);
    return r;
}

double ffmpegSeconds(const std::string& args, const std::string& log) {
    const std::string cmd = "ffmpeg -hide_banner -nostdin -nostats -loglevel info -benchmark " +
                            args + " > " + log + " 2>&1";
    if (std::system(cmd.c_str()) != 0) {
        std::ifstream in(log);
        std::stringstream ss;
        ss << in.rdbuf();
        throw std::runtime_error("ffmpeg failed: " + cmd + "\n" + ss.str());
    }
    std::ifstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        // User plus system time of the single-threaded run.
        const auto user = line.find("utime=");
        const auto system = line.find("stime=");
        if (user != std::string::npos && system != std::string::npos) {
            return std::stod(line.substr(user + 6)) + std::stod(line.substr(system + 6));
        }
    }
    throw std::runtime_error("no timing from ffmpeg: " + cmd);
}

uint64_t packetBytes(const std::string& file) {
    const std::string cmd = "ffprobe -v error -select_streams v:0 -show_entries packet=size -of "
                            "csv=p=0 " +
                            file;
    FILE* pipe = popen(cmd.c_str(), "r");
    if (pipe == nullptr) {
        throw std::runtime_error("cannot run ffprobe");
    }
    uint64_t total = 0;
    unsigned long long size = 0;
    while (std::fscanf(pipe, "%llu", &size) == 1) {
        total += size;
    }
    pclose(pipe);
    return total;
}

Result runPeer(const std::string& codecArgs, const std::string& pixFmt,
               const std::vector<std::vector<uint8_t>>& frames, const std::string& dir,
               const std::string& tag, int repeats) {
    const std::string rawFile = dir + "/" + pixFmt + ".raw";
    const std::string outFile = dir + "/" + tag + ".nut";
    const std::string log = dir + "/ffmpeg.log";
    const std::string input = "-f rawvideo -pix_fmt " + pixFmt + " -s " + std::to_string(kWidth) +
                              "x" + std::to_string(kHeight) + " -threads 1 -i " + rawFile;
    // Reading the raw frames is not the encoder's work: measured alone and taken off.
    double reading = 1e30;
    double encoding = 1e30;
    double decoding = 1e30;
    for (int r = 0; r < repeats; ++r) {
        reading = std::min(reading, ffmpegSeconds(input + " -c:v copy -f null -", log));
        encoding = std::min(
            encoding,
            ffmpegSeconds(input + " -threads 1 " + codecArgs + " -f nut -y " + outFile, log));
        decoding =
            std::min(decoding, ffmpegSeconds("-threads 1 -i " + outFile + " -f null -", log));
    }
    (void)frames;
    Result r;
    r.encodeSeconds = std::max(encoding - reading, 1e-6);
    r.decodeSeconds = decoding;
    r.bytes = packetBytes(outFile);
    return r;
}

// The machine's load, which says how far the two-thread figures can be trusted.
void printLoad(const char* when) {
    double load[3] = {};
    if (getloadavg(load, 3) == 3) {
        std::printf("load average %s: %.2f %.2f %.2f on %u processors\n\n", when, load[0], load[1],
                    load[2], std::thread::hardware_concurrency());
    }
}

void writeFile(const std::string& path, const std::vector<std::vector<uint8_t>>& frames) {
    std::ofstream out(path, std::ios::binary);
    for (const auto& f : frames) {
        out.write(reinterpret_cast<const char*>(f.data()), static_cast<std::streamsize>(f.size()));
    }
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: " << argv[0] << " PHOTO.ppm WORKDIR|- [FRAMES] [REPEATS]\n";
        return 2;
    }
    try {
        const Photo photo = loadPpm(argv[1]);
        const std::string dir = argv[2];
        // A work folder of "-" measures our codec alone.
        const bool peers = dir != "-";
        const unsigned frameCount = argc > 3 ? static_cast<unsigned>(std::stoul(argv[3])) : 8;
        const int repeats = argc > 4 ? std::stoi(argv[4]) : 3;
        std::vector<std::vector<float>> rgb;
        for (unsigned f = 0; f < frameCount; ++f) {
            rgb.push_back(panFrame(photo, f));
        }
        std::printf("%u frames of %ux%u, best of %d rounds (ours: each frame's best); one thread "
                    "timed by processor time, two threads by the clock\n",
                    frameCount, kWidth, kHeight, repeats);
        printLoad("at the start");
        std::printf("%-13s %-15s %10s %10s %7s %9s %9s\n", "format", "codec", "enc MB/s",
                    "dec MB/s", "ratio", "enc/utv", "size/utv");
        for (const Case& c : kCases) {
            std::vector<Planes> planes;
            for (const auto& f : rgb) {
                planes.push_back(toPlanes(f, c.yuv, c.bits));
            }
            std::vector<std::vector<uint8_t>> ours;
            for (const Planes& p : planes) {
                ours.push_back(ourRaw(c, p));
            }
            const double rawBytes =
                c.rawBytesPerPixel * kWidth * kHeight * static_cast<double>(frameCount);
            auto writePeerInput = [&](const char* fmt) {
                std::vector<std::vector<uint8_t>> frames;
                for (const Planes& p : planes) {
                    frames.push_back(peerRaw(fmt, p));
                }
                writeFile(dir + "/" + fmt + ".raw", frames);
                return frames;
            };

            // Every contender runs once per round, so that a busy spell of the shared machine
            // does not fall on one of them alone; each keeps its best round.
            struct Row {
                std::string codec;
                std::function<Result()> measure;
                Result r;
            };
            std::vector<Row> rows;
            rows.push_back({"ours", [&] { return runOurs(c, ours, 1); }, {}});
            rows.push_back({"ours 2 threads", [&] { return runOurs(c, ours, 2); }, {}});
            std::vector<std::vector<uint8_t>> peerFrames;
            std::vector<std::vector<uint8_t>> ffv1Frames;
            int utvideoRow = -1;
            if (peers) {
                peerFrames = writePeerInput(c.peerPixFmt);
                ffv1Frames = std::string(c.ffv1PixFmt) == c.peerPixFmt
                                 ? peerFrames
                                 : writePeerInput(c.ffv1PixFmt);
                if (c.utvideoPixFmt != nullptr) {
                    utvideoRow = static_cast<int>(rows.size());
                    rows.push_back({"utvideo",
                                    [&] {
                                        return runPeer("-c:v utvideo -pred median", c.peerPixFmt,
                                                       peerFrames, dir, "utvideo", 1);
                                    },
                                    {}});
                }
                rows.push_back({"ffvhuff",
                                [&] {
                                    return runPeer("-c:v ffvhuff -pred median", c.peerPixFmt,
                                                   peerFrames, dir, "ffvhuff", 1);
                                },
                                {}});
                rows.push_back({"ffv1",
                                [&] {
                                    return runPeer("-c:v ffv1 -level 3 -slices 4", c.ffv1PixFmt,
                                                   ffv1Frames, dir, "ffv1", 1);
                                },
                                {}});
            }
            for (int round = 0; round < repeats; ++round) {
                for (Row& row : rows) {
                    const Result r = row.measure();
                    row.r = round == 0 ? r : best(row.r, r);
                }
            }
            const Result* utvideo = utvideoRow >= 0 ? &rows[utvideoRow].r : nullptr;
            const Result ut = utvideo != nullptr ? *utvideo : Result{};
            for (const Row& row : rows) {
                const double enc = rawBytes / row.r.encodeSeconds / 1e6;
                const double dec = rawBytes / row.r.decodeSeconds / 1e6;
                const double ratio = rawBytes / static_cast<double>(row.r.bytes);
                std::printf("%-13s %-15s %10.1f %10.1f %7.3f", c.name, row.codec.c_str(), enc, dec,
                            ratio);
                if (utvideo != nullptr) {
                    std::printf(" %9.2f %9.3f\n", ut.encodeSeconds / row.r.encodeSeconds,
                                static_cast<double>(row.r.bytes) / static_cast<double>(ut.bytes));
                } else {
                    std::printf(" %9s %9s\n", "-", "-");
                }
            }
            // Both clock times come from the same conditions, so their ratio shows the scaling
            // when the processors are free. Where the kernel shares processors per session, a
            // busy machine gives two threads no more than one; the processor times then show
            // what the threads cost.
            std::printf("%-13s ours, 2 threads over 1: clock speed-up encode %.2fx, decode %.2fx; "
                        "processor time encode %.2fx, decode %.2fx\n\n",
                        c.name, rows[0].r.encodeClock / rows[1].r.encodeClock,
                        rows[0].r.decodeClock / rows[1].r.decodeClock,
                        rows[1].r.encodeProcessor / rows[0].r.encodeProcessor,
                        rows[1].r.decodeProcessor / rows[0].r.decodeProcessor);
        }
        printLoad("at the end");
        std::printf("MB/s counts raw picture bytes of our layout (2, 3, 4 and 6 bytes a pixel).\n"
                    "enc/utv: our encode speed over utvideo's; size/utv: our size over "
                    "utvideo's.\nffmpeg's utvideo encoder has no 10-bit mode, so those rows "
                    "have no utvideo figure.\n");
    } catch (const std::exception& e) {
        std::cerr << "codec_bench: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
