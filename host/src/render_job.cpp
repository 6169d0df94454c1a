#include "host/render_job.h"

#include <algorithm>
#include <utility>

namespace host {

using namespace IOPlugin;

namespace {

std::string describe(const std::string& step, int32_t code, const std::vector<std::string>& texts) {
    std::string message = step + " failed (" + std::to_string(code) + ")";
    for (const auto& text : texts) {
        message += "\n  " + text;
    }
    return message;
}

} // namespace

RenderError::RenderError(const std::string& step, int32_t code,
                         const std::vector<std::string>& texts)
    : std::runtime_error(describe(step, code, texts)), m_code(code) {}

uint32_t audioLayoutForChannels(uint32_t channels) {
    switch (channels) {
    case 1:
        return 1;
    case 2:
        return 2;
    case 6:
        return 3;
    case 8:
        return 4;
    default:
        return 0;
    }
}

Handle encoderSettingsBag(Host& h, const JobSettings& settings) {
    const Handle bag = h.createBuffer();
    h.setUInt32(bag, "width", settings.width);
    h.setUInt32(bag, "height", settings.height);
    h.setUInt8(bag, "fieldOrder", settings.fieldOrder);
    h.setUInt8(bag, "dataRange", settings.dataRange);
    return bag;
}

Handle videoTrackBag(Host& h, const JobSettings& settings) {
    const Handle bag = h.createBag();
    h.setUInt32(bag, "mediaType", mediaVideo);
    h.setUInt32(bag, "width", settings.width);
    h.setUInt32(bag, "height", settings.height);
    h.setUInt32s(bag, "frameRate", {settings.rateNum, settings.rateDen});
    return bag;
}

Handle videoCodecBag(Host& h, uint32_t fourcc, const std::vector<uint8_t>& cookie) {
    const Handle bag = h.createBag();
    h.setUInt32(bag, "4cc", fourcc);
    if (!cookie.empty()) {
        h.setBytes(bag, "magicCookie", cookie);
    }
    return bag;
}

Handle audioTrackBag(Host& h, const AudioTrackSettings& audio) {
    const Handle bag = h.createBag();
    h.setUInt32(bag, "mediaType", mediaAudio);
    h.setUInt32(bag, "samplingRate", audio.sampleRate);
    h.setUInt32(bag, "numChannels", audio.channels);
    h.setUInt32(bag, "sampleBits", audio.bitsPerSample);
    h.setUInt8(bag, "isFloat", audio.isFloat ? 1 : 0);
    h.setUInt32(bag, "audLayout", audioLayoutForChannels(audio.channels));
    return bag;
}

Handle outputPathBag(Host& h, const std::string& path) {
    const Handle bag = h.createBag();
    h.setString(bag, "path", path);
    return bag;
}

RenderJob::RenderJob(PluginSession& session, const Registration& codec,
                     const Registration& container, JobSettings settings)
    : m_session(session), m_settings(std::move(settings)) {
    Host& h = m_session.host();
    const auto& plugin = m_session.plugin();
    try {
        check("creating the encoder", plugin.send(msgCreateObject, codec.uuid.data(), &m_encoder));
        // Each run of the render has a trace as long as the render; nobody reads it.
        h.probe().setTracing(false);
        m_callback = h.createCallback([this](Handle buffer) {
            const auto packet = std::as_const(m_session.host()).bufferBytes(buffer);
            m_packetBytes += packet.size();
            if (m_observer) {
                m_observer(packet);
            }
            return m_session.plugin().send(msgTrackWritePacket, m_videoTrack, buffer);
        });
        check("setting the codec callback",
              plugin.send(msgCodecSetCallback, m_encoder, m_callback));

        const Handle jobSettings = encoderSettingsBag(h, m_settings);
        const int32_t opened = plugin.send(msgCodecOpen, m_encoder, jobSettings);
        if (auto cookie = h.property(jobSettings, "magicCookie")) {
            m_cookie = cookie->bytes;
        }
        h.release(jobSettings);
        check("opening the encoder", opened);

        check("creating the container",
              plugin.send(msgCreateObject, container.uuid.data(), &m_container));
        const Handle init = h.createBag();
        const int32_t initialised = plugin.send(msgContainerInit, m_container, init);
        h.release(init);
        check("initialising the container", initialised);

        const Handle video = videoTrackBag(h, m_settings);
        const Handle videoCodec = videoCodecBag(h, codec.fourcc, m_cookie);
        const int32_t added =
            plugin.send(msgContainerAddTrack, m_container, video, videoCodec, &m_videoTrack);
        h.release(video);
        h.release(videoCodec);
        check("adding the video track", added);

        for (const auto& audio : m_settings.audioTracks) {
            const Handle track = audioTrackBag(h, audio);
            void* created = nullptr;
            const int32_t result =
                plugin.send(msgContainerAddTrack, m_container, track, Handle{0}, &created);
            h.release(track);
            if (created != nullptr) {
                m_audioTracks.push_back(created);
            }
            check("adding audio track " + std::to_string(m_audioTracks.size()), result);
        }

        const Handle openBag = outputPathBag(h, m_settings.outputPath);
        const int32_t fileOpened = plugin.send(msgContainerOpen, m_container, openBag);
        h.release(openBag);
        check("opening " + m_settings.outputPath, fileOpened);
        m_open = true;
    } catch (...) {
        releaseAll();
        throw;
    }
}

RenderJob::~RenderJob() {
    if (m_open) {
        m_session.plugin().send(msgContainerClose, m_container);
    }
    releaseAll();
}

void RenderJob::check(const std::string& step, int32_t code) const {
    if (code != errNone) {
        throw RenderError(step, code, m_session.host().probe().errorTexts());
    }
}

void RenderJob::encodeFrame(std::span<const uint8_t> raw, int64_t pts) {
    encodeFrame(raw.size(), pts, [raw](std::span<uint8_t> bytes) {
        std::copy(raw.begin(), raw.end(), bytes.begin());
        return true;
    });
}

bool RenderJob::encodeFrame(size_t size, int64_t pts,
                            const std::function<bool(std::span<uint8_t>)>& fill) {
    Host& h = m_session.host();
    // The host's own reference to the frame, given back however the frame ends.
    struct FrameRef {
        Host& host;
        Handle handle;
        ~FrameRef() { host.release(handle); }
    } frame{h, h.createBuffer(size)};
    if (!fill(h.bufferBytes(frame.handle))) {
        return false;
    }
    h.setUInt32(frame.handle, "width", m_settings.width);
    h.setUInt32(frame.handle, "height", m_settings.height);
    h.setInt64(frame.handle, "pts", pts);
    check("encoding frame " + std::to_string(pts),
          m_session.plugin().send(msgCodecBuffer, m_encoder, frame.handle));
    return true;
}

void RenderJob::writeAudio(size_t track, std::span<const uint8_t> bytes, uint32_t frames) {
    Host& h = m_session.host();
    const Handle packet = h.createBuffer(bytes);
    h.setInt64(packet, "duration", frames);
    const int32_t result =
        m_session.plugin().send(msgTrackWritePacket, m_audioTracks.at(track), packet);
    h.release(packet);
    check("writing audio of track " + std::to_string(track + 1), result);
}

void RenderJob::close() {
    m_open = false;
    check("finishing " + m_settings.outputPath,
          m_session.plugin().send(msgContainerClose, m_container));
}

// The editor's order: tracks, container, encoder, then its own callback.
void RenderJob::releaseAll() {
    const auto& plugin = m_session.plugin();
    uint32_t count = 0;
    for (void*& object : m_audioTracks) {
        plugin.send(msgRelease, std::exchange(object, nullptr), &count);
    }
    m_audioTracks.clear();
    for (void** object : {&m_videoTrack, &m_container, &m_encoder}) {
        if (*object != nullptr) {
            plugin.send(msgRelease, std::exchange(*object, nullptr), &count);
        }
    }
    if (m_callback != 0) {
        m_session.host().release(std::exchange(m_callback, 0));
    }
}

} // namespace host
