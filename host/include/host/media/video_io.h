// Video input and output of the substitute host: YUV4MPEG2 streams (what ffmpeg's
// yuv4mpegpipe writes and reads), headerless raw RGB video, and a generated test clip.
// Failures throw std::runtime_error naming the file and the problem.
#pragma once

#include "host/media/byte_source.h"
#include "host/media/picture.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace host {

namespace media {
class OutputFile;
}

struct VideoInfo {
    uint32_t width = 0, height = 0;
    uint32_t rateNum = 25, rateDen = 1;
    ColourLayout layout = ColourLayout::Rgb;
    int bitDepth = 8;
    std::optional<bool> fullRange; // as the source declares it; empty when it says nothing
    uint64_t frameCount = 0;       // 0 if unknown
};

class VideoReader {
public:
    virtual ~VideoReader();
    virtual const VideoInfo& info() const = 0;
    // Fills the picture with the next frame (reusing its planes); false at the clean end.
    virtual bool read(Picture& picture) = 0;
    // The next frame in the codec library's raw layout `rawCode`, written into `out`
    // (rawFrameSize bytes); false at the clean end. This one goes through a Picture; readers
    // whose frames already are in that layout, or a repacking away from it, fill `out`
    // straight from the source.
    virtual bool readRaw(uint32_t rawCode, std::span<uint8_t> out);

private:
    Picture m_picture;
};

// "-" reads standard input.
std::unique_ptr<VideoReader> openY4m(const std::string& path);
std::unique_ptr<VideoReader> openY4m(std::unique_ptr<ByteSource> in);
// pixfmt: rgb24, rgba (8-bit) or rgb48le, rgba64le (16-bit).
std::unique_ptr<VideoReader> openRawVideo(const std::string& path, uint32_t width, uint32_t height,
                                          const std::string& pixfmt, uint32_t rateNum = 25,
                                          uint32_t rateDen = 1);
// An animated, deterministic 8-bit RGB scene at 25 fps.
std::unique_ptr<VideoReader> openTestClip(uint64_t frameCount, uint32_t width = 1920,
                                          uint32_t height = 1080);

// Writes Gray and YUV pictures of the header's layout and depth (8, 9, 10, 12, 14, 16; Gray not
// at 14) to a file or "-" (standard output).
class Y4mWriter {
public:
    Y4mWriter(const std::string& path, const VideoInfo& info);
    ~Y4mWriter();
    void write(const Picture& picture);
    // A frame in the codec library's raw layout `rawCode`; a layout the stream's planes meet
    // goes straight in, any other through a Picture.
    void writeRaw(std::span<const uint8_t> raw, uint32_t rawCode);

private:
    void writeFrame();

    std::unique_ptr<media::OutputFile> m_out;
    VideoInfo m_info;
    std::vector<uint8_t> m_buffer;
};

// Writes Rgb and Rgba pictures as rgb24/rgba (8-bit) or, scaled to 16 bits, rgb48le/rgba64le.
class RawVideoWriter {
public:
    explicit RawVideoWriter(const std::string& path);
    ~RawVideoWriter();
    void write(const Picture& picture);
    // The ffmpeg pixel format name write() uses for such a picture; std::invalid_argument for
    // layouts it cannot write.
    static const char* pixfmtName(const Picture& picture);
    // A frame in the codec library's raw layout `rawCode` holding samples of bitDepth bits.
    void writeRaw(std::span<const uint8_t> raw, uint32_t rawCode, uint32_t width, uint32_t height,
                  int bitDepth);

private:
    std::unique_ptr<media::OutputFile> m_out;
};

} // namespace host
