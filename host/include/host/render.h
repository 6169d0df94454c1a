// A whole render through the plug-in, as the korvadin program and the render benchmark run it:
// the variant chosen and checked against the input, a job of an encoder and a container with a
// video track and a track per audio input, frames read straight into the host's frame buffers,
// audio interleaved a frame's duration at a time and kept past the last frame unless asked
// otherwise, and the file finished however the render ends.
#pragma once

#include "host/media/audio_io.h"
#include "host/media/video_io.h"
#include "host/session.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace host {

struct RenderRequest {
    std::string output;
    std::string codec; // a variant's FourCC or name; empty: the one that follows the input
    std::unique_ptr<VideoReader> video;
    std::vector<std::unique_ptr<AudioReader>> audio;
    uint64_t frameLimit = UINT64_MAX;
    std::optional<uint32_t> threads; // the codec's threads; the library's default otherwise
    bool shortest = false;           // audio ends with the last frame
};

// Hooks into a render as it runs; any may be left empty.
struct RenderHooks {
    // Asked before each frame and audio packet: true ends the render there, with the file
    // finished as after the last frame.
    std::function<bool()> stop;
    // The variant, its raw layout and the codec's configuration bytes, once the job is open.
    std::function<void(const Registration& codec, uint32_t rawCode,
                       std::span<const uint8_t> config)>
        started;
    // Each encoded packet, with the frame it came from in the variant's raw layout.
    std::function<void(std::span<const uint8_t> packet, std::span<const uint8_t> frame)> packet;
    std::function<void(uint64_t frames, uint64_t rawBytes)> progress;
};

struct RenderReport {
    uint64_t frames = 0;
    uint64_t rawBytes = 0; // of the frames, in the variant's raw layout
    // Per audio track: sample frames written after the last frame, or dropped there.
    std::vector<uint64_t> audioPastEnd, audioDropped;
    // A frame or packet that failed and ended the render early, and a failure to finish the
    // file after it; the file then holds every frame written before.
    std::optional<std::string> failure, closeFailure;
};

// Throws std::runtime_error (a RenderError for the plug-in's refusals) when the render cannot
// begin: no such variant, an input that does not fit it, a file that cannot be opened.
RenderReport render(PluginSession& session, RenderRequest request, const RenderHooks& hooks = {});

} // namespace host
