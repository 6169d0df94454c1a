#include "host/render.h"

#include "host/media/raw_layout.h"
#include "host/render_job.h"
#include "host/variants.h"
#include "korvadin_common64.h"

#include <algorithm>
#include <stdexcept>

namespace host {

namespace {

std::string describeInput(const VideoInfo& info) {
    return std::string(layoutName(info.layout)) + " " + std::to_string(info.bitDepth) + "-bit " +
           std::to_string(info.width) + "x" + std::to_string(info.height);
}

const Registration& chooseVariant(const std::vector<Registration>& codecs,
                                  const RenderRequest& request) {
    const VideoInfo& info = request.video->info();
    const std::string wanted =
        request.codec.empty() ? defaultVariantFourcc(info.layout, info.bitDepth) : request.codec;
    const Registration* codec = findVariant(codecs, wanted);
    if (codec == nullptr) {
        throw std::runtime_error("no codec variant '" + wanted +
                                 "' ('korvadin codecs' lists the registered ones)");
    }
    try {
        // A picture of the input's own layout must convert to the variant's raw layout.
        packRaw(makePicture(2, 2, info.layout, info.bitDepth), rawCodeOf(*codec));
    } catch (const std::invalid_argument& e) {
        throw std::runtime_error("the input (" + describeInput(info) + ") does not fit " +
                                 codec->name + ": " + e.what());
    }
    return *codec;
}

JobSettings jobSettings(const RenderRequest& request) {
    const VideoInfo& info = request.video->info();
    JobSettings settings;
    settings.outputPath = request.output;
    settings.width = info.width;
    settings.height = info.height;
    settings.rateNum = info.rateNum;
    settings.rateDen = info.rateDen;
    settings.dataRange = isRgbFamily(info.layout) || info.fullRange.value_or(false) ? 1 : 0;
    for (const auto& reader : request.audio) {
        const auto& a = reader->info();
        settings.audioTracks.push_back({a.sampleRate, a.channels, a.bitsPerSample, a.isFloat});
    }
    return settings;
}

// Audio a frame's duration at a time, so that the file interleaves as it plays.
class AudioFeed {
public:
    AudioFeed(RenderJob& job, const RenderRequest& request, const RenderHooks& hooks)
        : m_job(job), m_request(request), m_hooks(hooks), m_written(request.audio.size(), 0) {}

    // Track t's sample frames up to `end` (or its own end); how many it read and dropped.
    uint64_t send(size_t t, uint64_t end, bool drop) {
        const VideoInfo& video = m_request.video->info();
        AudioReader& reader = *m_request.audio[t];
        const AudioInfo& a = reader.info();
        const uint64_t perFrame =
            (uint64_t{a.sampleRate} * video.rateDen + video.rateNum - 1) / video.rateNum;
        const size_t frameBytes = size_t(a.channels) * ((a.bitsPerSample + 7) / 8);
        uint64_t dropped = 0;
        while (m_written[t] < end && !(m_hooks.stop && m_hooks.stop())) {
            const auto want = static_cast<size_t>(std::min(end - m_written[t], perFrame));
            m_bytes.resize(want * frameBytes);
            const size_t got = reader.read(m_bytes.data(), want);
            if (got == 0) {
                break;
            }
            if (drop) {
                dropped += got;
                continue;
            }
            m_job.writeAudio(t, std::span(m_bytes.data(), got * frameBytes),
                             static_cast<uint32_t>(got));
            m_written[t] += got;
        }
        return dropped;
    }
    // Up to the time of `frames` video frames.
    void sendUpTo(uint64_t frames) {
        const VideoInfo& video = m_request.video->info();
        for (size_t t = 0; t < m_written.size(); ++t) {
            send(t, frames * m_request.audio[t]->info().sampleRate * video.rateDen / video.rateNum,
                 false);
        }
    }
    uint64_t written(size_t t) const { return m_written[t]; }

private:
    RenderJob& m_job;
    const RenderRequest& m_request;
    const RenderHooks& m_hooks;
    std::vector<uint64_t> m_written;
    std::vector<uint8_t> m_bytes;
};

} // namespace

RenderReport render(PluginSession& session, RenderRequest request, const RenderHooks& hooks) {
    const auto codecs = session.registerCodecs();
    const auto containers = session.registerContainers();
    if (containers.empty()) {
        throw std::runtime_error("the plug-in registered no container");
    }
    const Registration& codec = chooseVariant(codecs, request);
    const uint32_t raw = rawCodeOf(codec);
    if (request.threads) {
        korvadin_set_default_thread_count(*request.threads);
    }
    const VideoInfo info = request.video->info();
    RenderReport report;
    report.audioPastEnd.assign(request.audio.size(), 0);
    report.audioDropped.assign(request.audio.size(), 0);
    RenderJob job(session, codec, containers.front(), jobSettings(request));
    if (hooks.started) {
        hooks.started(codec, raw, job.magicCookie());
    }
    std::span<const uint8_t> sent;
    if (hooks.packet) {
        job.onPacket([&](std::span<const uint8_t> packet) { hooks.packet(packet, sent); });
    }
    const size_t frameSize = rawFrameSize(raw, info.width, info.height);
    // Frames go from the reader straight into the host's frame buffers.
    const auto fill = [&](std::span<uint8_t> frame) {
        sent = frame;
        return request.video->readRaw(raw, frame);
    };
    const auto stopped = [&] { return hooks.stop && hooks.stop(); };
    AudioFeed audio(job, request, hooks);
    try {
        while (report.frames < request.frameLimit && !stopped() &&
               job.encodeFrame(frameSize, static_cast<int64_t>(report.frames), fill)) {
            report.rawBytes += frameSize;
            ++report.frames;
            if (hooks.progress) {
                hooks.progress(report.frames, report.rawBytes);
            }
            audio.sendUpTo(report.frames);
        }
        // Audio that runs on past the last frame is kept unless it was asked to end there.
        for (size_t t = 0; t < request.audio.size(); ++t) {
            const uint64_t atEnd = audio.written(t);
            report.audioDropped[t] = audio.send(t, UINT64_MAX, request.shortest);
            report.audioPastEnd[t] = audio.written(t) - atEnd;
        }
    } catch (const std::exception& e) {
        // Input that a stop cut short is no failure: the file is finished as for any stop.
        if (!stopped()) {
            report.failure = e.what();
        }
    }
    try {
        job.close();
    } catch (const std::exception& e) {
        if (report.failure) {
            report.closeFailure = e.what();
        } else {
            throw;
        }
    }
    return report;
}

} // namespace host
