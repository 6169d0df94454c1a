#include "commands.h"

#include "host/avi_reader.h"
#include "host/codec_library.h"
#include "host/media/audio_io.h"
#include "host/media/raw_layout.h"
#include "host/media/video_io.h"
#include "host/platform.h"
#include "host/render.h"
#include "host/variants.h"
#include "progress.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>

namespace cli {

namespace {

constexpr uint64_t kClipFrames = 75;

struct RenderArgs {
    std::optional<std::string> input;
    std::string output;
    std::string codec;
    std::vector<std::string> audio;
    std::optional<uint64_t> frames;
    std::optional<uint64_t> threads;
    std::string raw;
    std::string rate = "25/1";
    bool verify = false;
    bool shortest = false;
};

RenderArgs parse(const std::vector<std::string>& args) {
    RenderArgs r;
    const auto files = readInputOutput(args, [&](const std::string& arg, ArgReader& reader) {
        if (arg == "-c" || arg == "--codec") {
            r.codec = reader.value(arg);
        } else if (arg == "--audio") {
            r.audio.push_back(reader.value(arg));
        } else if (arg == "--frames") {
            r.frames = parseCount(arg, reader.value(arg));
        } else if (arg == "--threads") {
            r.threads = parseCount(arg, reader.value(arg));
        } else if (arg == "--raw") {
            r.raw = reader.value(arg);
        } else if (arg == "--rate") {
            r.rate = reader.value(arg);
        } else if (arg == "--verify") {
            r.verify = true;
        } else if (arg == "--shortest") {
            r.shortest = true;
        } else {
            return false;
        }
        return true;
    });
    r.output = files.output;
    if (!files.input.empty()) {
        r.input = files.input;
    }
    if (r.output.empty()) {
        throw UsageError{"-o OUT.avi is required"};
    }
    if (!r.raw.empty() && !r.input) {
        throw UsageError{"--raw describes an input file, but none was given"};
    }
    return r;
}

std::pair<uint32_t, uint32_t> parseRate(const std::string& text) {
    const auto slash = text.find('/');
    const std::string num = text.substr(0, slash);
    const std::string den = slash == std::string::npos ? "1" : text.substr(slash + 1);
    const uint64_t n = parseCount("--rate", num);
    const uint64_t d = parseCount("--rate", den);
    if (n == 0 || d == 0 || n > UINT32_MAX || d > UINT32_MAX) {
        throw UsageError{"--rate takes N/D with both above 0, not '" + text + "'"};
    }
    return {static_cast<uint32_t>(n), static_cast<uint32_t>(d)};
}

std::unique_ptr<host::VideoReader> openVideo(const RenderArgs& r) {
    if (!r.input) {
        return host::openTestClip(r.frames.value_or(kClipFrames));
    }
    if (r.raw.empty()) {
        return host::openY4m(*r.input);
    }
    // WxH:PIXFMT
    const auto x = r.raw.find('x');
    const auto colon = r.raw.find(':');
    if (x == std::string::npos || colon == std::string::npos || colon < x) {
        throw UsageError{"--raw takes WxH:PIXFMT, e.g. 1920x1080:rgb24, not '" + r.raw + "'"};
    }
    const uint64_t w = parseCount("--raw", r.raw.substr(0, x));
    const uint64_t h = parseCount("--raw", r.raw.substr(x + 1, colon - x - 1));
    const auto [num, den] = parseRate(r.rate);
    return host::openRawVideo(*r.input, static_cast<uint32_t>(w), static_cast<uint32_t>(h),
                              r.raw.substr(colon + 1), num, den);
}

uint64_t fnv1a(std::span<const uint8_t> bytes) {
    uint64_t hash = 1469598103934665603ull;
    for (const uint8_t b : bytes) {
        hash = (hash ^ b) * 1099511628211ull;
    }
    return hash;
}

// How many of the file's video chunks equal the packets the codec callback saw, in order.
uint64_t verifyPackets(const std::string& path, const std::vector<uint64_t>& packetHashes) {
    host::AviReader reader(path);
    for (const auto& problem : reader.problems()) {
        std::fprintf(stderr, "korvadin render: %s: %s\n", path.c_str(), problem.c_str());
    }
    for (const auto& stream : reader.streams()) {
        if (stream.fccType != "vids") {
            continue;
        }
        uint64_t unchanged = 0;
        for (size_t i = 0; i < stream.chunks.size() && i < packetHashes.size(); ++i) {
            unchanged += fnv1a(reader.readChunk(stream.chunks[i])) == packetHashes[i];
        }
        return stream.chunks.size() == packetHashes.size() ? unchanged : 0;
    }
    return 0;
}

} // namespace

int runRender(const Context& context) {
    const RenderArgs args = parse(context.args);
    host::RenderRequest request;
    request.output = args.output;
    request.codec = args.codec;
    request.video = openVideo(args);
    const host::VideoInfo info = request.video->info();
    request.frameLimit = args.frames.value_or(UINT64_MAX);
    for (const auto& path : args.audio) {
        request.audio.push_back(host::openWav(path));
    }
    if (!args.input && args.audio.empty()) {
        const uint64_t frames = std::min(request.frameLimit, info.frameCount);
        request.audio.push_back(
            host::openTestTone(48000, 2, frames * 48000 * info.rateDen / info.rateNum));
    }
    if (args.threads) {
        request.threads = static_cast<uint32_t>(*args.threads);
    }
    request.shortest = args.shortest;
    const size_t audioTracks = request.audio.size();
    std::vector<double> audioRates;
    for (const auto& reader : request.audio) {
        audioRates.push_back(reader->info().sampleRate);
    }

    host::PluginSession session(context.pluginPath);
    const host::InterruptGuard interrupt;
    Progress progress(info.frameCount ? std::min(info.frameCount, request.frameLimit) : 0);
    std::unique_ptr<host::FrameDecoder> decoder;
    std::vector<uint64_t> packetHashes;
    uint64_t mismatches = 0;
    host::RenderHooks hooks;
    uint64_t framesSoFar = 0;
    bool interruptSaid = false;
    const auto sayInterrupted = [&] {
        if (!std::exchange(interruptSaid, true)) {
            progress.finish();
            std::fprintf(stderr,
                         "korvadin render: interrupted: finishing %s with the %llu frame(s) "
                         "written (interrupt again to stop at once)\n",
                         args.output.c_str(), static_cast<unsigned long long>(framesSoFar));
        }
    };
    hooks.stop = [&] {
        if (interrupt.requested()) {
            sayInterrupted();
        }
        return interrupt.requested();
    };
    hooks.progress = [&](uint64_t frames, uint64_t rawBytes) {
        framesSoFar = frames;
        progress.update(frames, rawBytes);
    };
    hooks.started = [&](const host::Registration& codec, uint32_t raw,
                        std::span<const uint8_t> config) {
        if (info.bitDepth > host::keptBitsOf(codec.fourcc)) {
            std::fprintf(stderr, "korvadin render: note: %s keeps %d of the input's %d bits\n",
                         codec.name.c_str(), host::keptBitsOf(codec.fourcc), info.bitDepth);
        }
        std::fprintf(stderr, "korvadin render: %s %d-bit %ux%u -> %s (%s), %zu audio track(s)\n",
                     host::layoutName(info.layout), info.bitDepth, info.width, info.height,
                     args.output.c_str(), codec.name.c_str(), audioTracks);
        if (!args.verify) {
            return;
        }
        decoder = std::make_unique<host::FrameDecoder>(config);
        // What the decoder must give back: every byte of the frame when the variant keeps
        // every bit of its raw layout, otherwise the parts it keeps.
        const bool lossless = host::keptBitsOf(codec.fourcc) >= 8 * host::rawBytesPerSample(raw) &&
                              host::codedLayoutOf(codec.fourcc) == host::rawLayoutOf(raw);
        hooks.packet = [&, lossless, raw](std::span<const uint8_t> packet,
                                          std::span<const uint8_t> sent) {
            packetHashes.push_back(fnv1a(packet));
            const auto& decoded = decoder->decode(packet);
            const auto& di = decoder->info();
            if (lossless && di.rawFormat == raw) {
                mismatches += !std::equal(decoded.begin(), decoded.end(), sent.begin(), sent.end());
                return;
            }
            const host::Picture input = host::convertLayout(
                host::unpackRaw(sent, raw, info.width, info.height, info.bitDepth), info.layout);
            const host::Picture back =
                host::unpackRaw(decoded, di.rawFormat, di.width, di.height, info.bitDepth);
            mismatches += !host::keptPartsEqual(back, input, codec);
        };
    };
    const host::RenderReport report = host::render(session, std::move(request), hooks);
    progress.finish();
    for (size_t t = 0; t < audioTracks; ++t) {
        if (report.audioDropped[t] != 0) {
            std::fprintf(stderr,
                         "korvadin render: --shortest dropped %llu sample frame(s) (%.3f s) of "
                         "audio track %zu after the last frame\n",
                         static_cast<unsigned long long>(report.audioDropped[t]),
                         report.audioDropped[t] / audioRates[t], t + 1);
        } else if (report.audioPastEnd[t] != 0) {
            std::fprintf(stderr,
                         "korvadin render: audio track %zu runs %.3f s past the last frame "
                         "(--shortest ends it there)\n",
                         t + 1, report.audioPastEnd[t] / audioRates[t]);
        }
    }
    const unsigned long long frames = report.frames;
    if (report.failure) {
        std::fprintf(stderr, "korvadin render: %s\n", report.failure->c_str());
        if (report.closeFailure) {
            std::fprintf(stderr, "korvadin render: %s\n", report.closeFailure->c_str());
        } else {
            std::fprintf(stderr, "korvadin render: %s holds the %llu frame(s) written\n",
                         args.output.c_str(), frames);
        }
    } else if (interrupt.requested()) {
        sayInterrupted();
    }
    const auto leaks = session.host().probe().leakReport();
    for (const auto& leak : leaks) {
        std::fprintf(stderr, "korvadin render: %s\n", leak.c_str());
    }
    if (report.failure) {
        return 1;
    }
    // 128 + SIGINT, as a shell reports a program that an interrupt stopped.
    constexpr int kInterrupted = 130;

    const uint64_t fileSize = std::filesystem::file_size(args.output);
    const double seconds = progress.elapsed();
    const double duration = double(frames) * info.rateDen / info.rateNum;
    std::printf("%s: %llu frames, %.2f s of video, %.1f MB, ratio %.2f:1, %.1f fps, %.0f MB/s\n",
                args.output.c_str(), frames, duration, fileSize / 1e6,
                fileSize ? double(report.rawBytes) / double(fileSize) : 0.0,
                seconds > 0 ? frames / seconds : 0.0,
                seconds > 0 ? report.rawBytes / 1e6 / seconds : 0.0);
    if (args.verify) {
        const uint64_t unchanged = verifyPackets(args.output, packetHashes);
        std::printf("verify: %llu of %llu frames decoded to the input, %llu packets read back "
                    "unchanged from the file\n",
                    frames - mismatches, frames, static_cast<unsigned long long>(unchanged));
        if (mismatches != 0 || unchanged != packetHashes.size()) {
            return 1;
        }
    }
    return !leaks.empty() ? 1 : interrupt.requested() ? kInterrupted : 0;
}

} // namespace cli
