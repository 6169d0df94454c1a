#include "commands.h"

#include "host/avi_reader.h"
#include "host/codec_library.h"
#include "host/media/audio_io.h"
#include "host/media/raw_layout.h"
#include "host/media/video_io.h"
#include "host/platform.h"
#include "host/render_job.h"
#include "host/variants.h"
#include "progress.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>

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

std::string describeInput(const host::VideoInfo& info) {
    return std::string(host::layoutName(info.layout)) + " " + std::to_string(info.bitDepth) +
           "-bit " + std::to_string(info.width) + "x" + std::to_string(info.height);
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
    auto video = openVideo(args);
    const host::VideoInfo info = video->info();
    const uint64_t frameLimit = args.frames.value_or(UINT64_MAX);

    std::vector<std::unique_ptr<host::AudioReader>> audio;
    for (const auto& path : args.audio) {
        audio.push_back(host::openWav(path));
    }
    if (!args.input && args.audio.empty()) {
        const uint64_t frames = std::min(frameLimit, info.frameCount);
        audio.push_back(host::openTestTone(48000, 2, frames * 48000 * info.rateDen / info.rateNum));
    }

    host::PluginSession session(context.pluginPath);
    int32_t result = 0;
    const auto codecs = session.registerCodecs(&result);
    const auto containers = session.registerContainers(&result);
    if (containers.empty()) {
        throw std::runtime_error("the plug-in registered no container");
    }
    const std::string wanted =
        args.codec.empty() ? host::defaultVariantFourcc(info.layout, info.bitDepth) : args.codec;
    const host::Registration* codec = host::findVariant(codecs, wanted);
    if (codec == nullptr) {
        throw std::runtime_error("no codec variant '" + wanted +
                                 "' ('korvadin codecs' lists the registered ones)");
    }
    const uint32_t raw = host::rawCodeOf(*codec);
    try {
        // A picture of the input's own layout must convert to the variant's raw layout.
        host::packRaw(host::makePicture(2, 2, info.layout, info.bitDepth), raw);
    } catch (const std::invalid_argument& e) {
        throw std::runtime_error("the input (" + describeInput(info) + ") does not fit " +
                                 codec->name + ": " + e.what());
    }
    if (info.bitDepth > host::keptBitsOf(codec->fourcc)) {
        std::fprintf(stderr, "korvadin render: note: %s keeps %d of the input's %d bits\n",
                     codec->name.c_str(), host::keptBitsOf(codec->fourcc), info.bitDepth);
    }
    if (args.threads) {
        korvadin_set_default_thread_count(static_cast<uint32_t>(*args.threads));
    }

    host::JobSettings settings;
    settings.outputPath = args.output;
    settings.width = info.width;
    settings.height = info.height;
    settings.rateNum = info.rateNum;
    settings.rateDen = info.rateDen;
    settings.dataRange = host::isRgbFamily(info.layout) || info.fullRange.value_or(false) ? 1 : 0;
    for (const auto& reader : audio) {
        const auto& a = reader->info();
        settings.audioTracks.push_back({a.sampleRate, a.channels, a.bitsPerSample, a.isFloat});
    }

    std::fprintf(stderr, "korvadin render: %s -> %s (%s), %zu audio track(s)\n",
                 describeInput(info).c_str(), args.output.c_str(), codec->name.c_str(),
                 audio.size());
    uint64_t frames = 0;
    uint64_t rawBytes = 0;
    uint64_t mismatches = 0;
    std::vector<uint64_t> packetHashes;
    bool failed = false;
    const host::InterruptGuard interrupt;
    Progress progress(info.frameCount ? std::min(info.frameCount, frameLimit) : 0);
    {
        host::RenderJob job(session, *codec, containers.front(), settings);
        std::unique_ptr<host::FrameDecoder> decoder;
        if (args.verify) {
            decoder = std::make_unique<host::FrameDecoder>(job.magicCookie());
        }
        // What the decoder must give back: every byte of the frame when the variant keeps
        // every bit of its raw layout, otherwise the parts it keeps.
        const bool lossless = host::keptBitsOf(codec->fourcc) >= 8 * host::rawBytesPerSample(raw) &&
                              host::codedLayoutOf(codec->fourcc) == host::rawLayoutOf(raw);
        std::span<const uint8_t> sent;
        job.onPacket([&](std::span<const uint8_t> packet) {
            if (!decoder) {
                return;
            }
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
            mismatches += !host::keptPartsEqual(back, input, *codec);
        });
        std::vector<uint64_t> audioWritten(audio.size(), 0);
        std::vector<uint8_t> audioBytes;
        // Track t's sample frames up to `end` (or its own end), in packets of at most one frame's
        // duration, so that the file interleaves as it plays; how many could not be read.
        const auto sendAudio = [&](size_t t, uint64_t end, bool discard) {
            const auto& a = audio[t]->info();
            const uint64_t perFrame =
                (uint64_t{a.sampleRate} * info.rateDen + info.rateNum - 1) / info.rateNum;
            const size_t frameBytes = size_t(a.channels) * ((a.bitsPerSample + 7) / 8);
            uint64_t dropped = 0;
            while (audioWritten[t] < end && !interrupt.requested()) {
                const auto want = static_cast<size_t>(std::min(end - audioWritten[t], perFrame));
                audioBytes.resize(want * frameBytes);
                const size_t got = audio[t]->read(audioBytes.data(), want);
                if (got == 0) {
                    break;
                }
                if (discard) {
                    dropped += got;
                    continue;
                }
                job.writeAudio(t, std::span(audioBytes.data(), got * frameBytes),
                               static_cast<uint32_t>(got));
                audioWritten[t] += got;
            }
            return dropped;
        };
        const size_t frameSize = host::rawFrameSize(raw, info.width, info.height);
        // Frames go from the reader straight into the host's frame buffers.
        const auto fill = [&](std::span<uint8_t> frame) {
            sent = frame;
            return video->readRaw(raw, frame);
        };
        try {
            while (frames < frameLimit && !interrupt.requested() &&
                   job.encodeFrame(frameSize, static_cast<int64_t>(frames), fill)) {
                rawBytes += frameSize;
                ++frames;
                for (size_t t = 0; t < audio.size(); ++t) {
                    sendAudio(t, frames * audio[t]->info().sampleRate * info.rateDen / info.rateNum,
                              false);
                }
                progress.update(frames, rawBytes);
            }
            // Audio that runs on past the last frame is kept unless it was asked to end there.
            for (size_t t = 0; t < audio.size(); ++t) {
                const uint64_t atEnd = audioWritten[t];
                const uint64_t dropped = sendAudio(t, UINT64_MAX, args.shortest);
                const double rate = audio[t]->info().sampleRate;
                if (dropped != 0) {
                    std::fprintf(
                        stderr,
                        "korvadin render: --shortest dropped %llu sample frame(s) (%.3f s) "
                        "of audio track %zu after the last frame\n",
                        static_cast<unsigned long long>(dropped), dropped / rate, t + 1);
                } else if (audioWritten[t] > atEnd) {
                    std::fprintf(stderr,
                                 "korvadin render: audio track %zu runs %.3f s past the last frame "
                                 "(--shortest ends it there)\n",
                                 t + 1, (audioWritten[t] - atEnd) / rate);
                }
            }
        } catch (const std::exception& e) {
            progress.finish();
            // Input that an interrupt cut short is no failure.
            if (!interrupt.requested()) {
                std::fprintf(stderr, "korvadin render: %s\n", e.what());
                try {
                    job.close();
                    std::fprintf(stderr, "korvadin render: %s holds the %llu frame(s) written\n",
                                 args.output.c_str(), static_cast<unsigned long long>(frames));
                } catch (const std::exception& closing) {
                    std::fprintf(stderr, "korvadin render: %s\n", closing.what());
                }
                failed = true;
            }
        }
        if (!failed) {
            progress.finish();
            if (interrupt.requested()) {
                std::fprintf(stderr,
                             "korvadin render: interrupted: finishing %s with the %llu frame(s) "
                             "written (interrupt again to stop at once)\n",
                             args.output.c_str(), static_cast<unsigned long long>(frames));
            }
            job.close();
        }
    }
    const auto leaks = session.host().probe().leakReport();
    for (const auto& leak : leaks) {
        std::fprintf(stderr, "korvadin render: %s\n", leak.c_str());
    }
    if (failed) {
        return 1;
    }
    // 128 + SIGINT, as a shell reports a program that an interrupt stopped.
    constexpr int kInterrupted = 130;

    const uint64_t fileSize = std::filesystem::file_size(args.output);
    const double seconds = progress.elapsed();
    const double duration = double(frames) * info.rateDen / info.rateNum;
    std::printf("%s: %llu frames, %.2f s of video, %.1f MB, ratio %.2f:1, %.1f fps, %.0f MB/s\n",
                args.output.c_str(), static_cast<unsigned long long>(frames), duration,
                fileSize / 1e6, fileSize ? double(rawBytes) / double(fileSize) : 0.0,
                seconds > 0 ? frames / seconds : 0.0, seconds > 0 ? rawBytes / 1e6 / seconds : 0.0);
    if (args.verify) {
        const uint64_t unchanged = verifyPackets(args.output, packetHashes);
        std::printf("verify: %llu of %llu frames decoded to the input, %llu packets read back "
                    "unchanged from the file\n",
                    static_cast<unsigned long long>(frames - mismatches),
                    static_cast<unsigned long long>(frames),
                    static_cast<unsigned long long>(unchanged));
        if (mismatches != 0 || unchanged != packetHashes.size()) {
            return 1;
        }
    }
    return !leaks.empty() ? 1 : interrupt.requested() ? kInterrupted : 0;
}

} // namespace cli
