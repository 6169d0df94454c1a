// One render through the plug-in, driven as the editor drives it: an encoder with a codec
// callback, a container with a video track and any number of audio tracks, frames in,
// packets out to the tracks, close, and every reference given back.
#pragma once

#include "host/session.h"

#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace host {

struct AudioTrackSettings {
    uint32_t sampleRate = 48000;
    uint32_t channels = 2;
    uint32_t bitsPerSample = 16;
    bool isFloat = false;
};

struct JobSettings {
    std::string outputPath;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t rateNum = 25;
    uint32_t rateDen = 1;
    uint8_t dataRange = 1; // 1 full, 0 limited
    uint8_t fieldOrder = 0;
    std::vector<AudioTrackSettings> audioTracks;
};

// A step of the render that the plug-in refused, with the texts it sent the host.
class RenderError : public std::runtime_error {
public:
    RenderError(const std::string& step, int32_t code, const std::vector<std::string>& texts);
    int32_t code() const { return m_code; }

private:
    int32_t m_code;
};

// The host's speaker layout code for a channel count.
uint32_t audioLayoutForChannels(uint32_t channels);

// The property collections a render hands the plug-in, new and owned by the caller: the
// encoder's job (size, field order, range), the video track and its codec, an audio track, and
// the output file.
Handle encoderSettingsBag(Host& h, const JobSettings& settings);
Handle videoTrackBag(Host& h, const JobSettings& settings);
Handle videoCodecBag(Host& h, uint32_t fourcc, const std::vector<uint8_t>& cookie = {});
Handle audioTrackBag(Host& h, const AudioTrackSettings& audio);
Handle outputPathBag(Host& h, const std::string& path);

class RenderJob {
public:
    // Creates and opens the encoder (which yields the codec's configuration bytes), then the
    // container with its tracks, and opens the output file. Throws RenderError.
    RenderJob(PluginSession& session, const Registration& codec, const Registration& container,
              JobSettings settings);
    // Gives back every reference; a job that was not closed is closed first.
    ~RenderJob();
    RenderJob(const RenderJob&) = delete;
    RenderJob& operator=(const RenderJob&) = delete;

    // Observes each encoded packet as the codec callback hands it on to the video track.
    void onPacket(std::function<void(std::span<const uint8_t>)> observer) {
        m_observer = std::move(observer);
    }

    // One frame in the codec's raw input layout. Throws RenderError when refused.
    void encodeFrame(std::span<const uint8_t> raw, int64_t pts);
    // The same for a frame of `size` bytes that `fill` writes straight into the host's frame
    // buffer; fill's result false means there was no frame after all, and nothing is sent.
    bool encodeFrame(size_t size, int64_t pts, const std::function<bool(std::span<uint8_t>)>& fill);
    // One audio packet of `frames` sample frames for audio track `track`.
    void writeAudio(size_t track, std::span<const uint8_t> bytes, uint32_t frames);
    // Finalises the file. Throws RenderError when the plug-in reports a failure.
    void close();

    const std::vector<uint8_t>& magicCookie() const { return m_cookie; }
    uint64_t packetBytes() const { return m_packetBytes; }

private:
    void check(const std::string& step, int32_t code) const;
    void releaseAll();

    PluginSession& m_session;
    JobSettings m_settings;
    void* m_encoder = nullptr;
    void* m_container = nullptr;
    void* m_videoTrack = nullptr;
    std::vector<void*> m_audioTracks;
    Handle m_callback = 0;
    std::vector<uint8_t> m_cookie;
    std::function<void(std::span<const uint8_t>)> m_observer;
    uint64_t m_packetBytes = 0;
    bool m_open = false;
};

} // namespace host
