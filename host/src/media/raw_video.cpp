// Headerless RGB video as ffmpeg's rawvideo muxer writes it. Its four pixel formats are byte for
// byte the codec library's packed RGB layouts, so the raw layout code does the work.
#include "byte_file.h"
#include "host/media/raw_layout.h"
#include "host/media/video_io.h"

#include <array>
#include <stdexcept>
#include <string_view>

namespace host {

namespace {

struct RawPixfmt {
    std::string_view name;
    uint32_t rawCode;
    ColourLayout layout;
    int depth; // of the samples in the file
};

constexpr std::array<RawPixfmt, 4> kPixfmts{{{"rgb24", 22, ColourLayout::Rgb, 8},
                                             {"rgba", 20, ColourLayout::Rgba, 8},
                                             {"rgb48le", 28, ColourLayout::Rgb, 16},
                                             {"rgba64le", 26, ColourLayout::Rgba, 16}}};

const RawPixfmt& pixfmtFor(const Picture& pic) {
    if (!isRgbFamily(pic.layout))
        throw std::invalid_argument(std::string("raw video output takes RGB pictures, not ") +
                                    layoutName(pic.layout));
    for (const auto& f : kPixfmts)
        if (f.layout == pic.layout && (f.depth == 8) == (pic.bitDepth == 8))
            return f;
    throw std::invalid_argument("no raw pixel format for this picture");
}

class RawVideoReader final : public VideoReader {
public:
    RawVideoReader(const std::string& path, uint32_t width, uint32_t height,
                   const std::string& pixfmt, uint32_t rateNum, uint32_t rateDen)
        : m_in(openInput(path)) {
        for (const auto& f : kPixfmts)
            if (f.name == pixfmt)
                m_format = &f;
        if (!m_format)
            throw std::runtime_error(m_in->name() + ": unsupported raw pixel format '" + pixfmt +
                                     "' (rgb24, rgba, rgb48le or rgba64le)");
        if (width == 0 || height == 0 || rateNum == 0 || rateDen == 0)
            throw std::runtime_error(m_in->name() +
                                     ": raw video needs a picture size and a frame rate");
        m_info = {
            width, height, rateNum, rateDen, m_format->layout, m_format->depth, std::optional(true),
            0};
        m_frameBytes = rawFrameSize(m_format->rawCode, width, height);
        if (auto size = m_in->size(); size && *size % m_frameBytes == 0)
            m_info.frameCount = *size / m_frameBytes;
    }

    const VideoInfo& info() const override { return m_info; }

    bool read(Picture& pic) override {
        m_buffer.resize(m_frameBytes);
        if (!readFrame(m_buffer))
            return false;
        pic = unpackRaw(m_buffer, m_format->rawCode, m_info.width, m_info.height, m_format->depth);
        return true;
    }

    // The file's frames are in one of the library's layouts: that one is read straight in.
    bool readRaw(uint32_t rawCode, std::span<uint8_t> out) override {
        if (rawCode != m_format->rawCode || out.size() != m_frameBytes)
            return VideoReader::readRaw(rawCode, out);
        return readFrame(out);
    }

private:
    bool readFrame(std::span<uint8_t> frame) {
        size_t got = 0;
        if (!m_in->readExact(frame.data(), frame.size(), &got)) {
            if (got == 0)
                return false;
            throw std::runtime_error(m_in->name() + ": frame " + std::to_string(m_frame) +
                                     " is truncated (" + std::to_string(got) + " of " +
                                     std::to_string(frame.size()) + " bytes)");
        }
        ++m_frame;
        return true;
    }

    std::unique_ptr<ByteSource> m_in;
    const RawPixfmt* m_format = nullptr;
    VideoInfo m_info;
    size_t m_frameBytes = 0;
    std::vector<uint8_t> m_buffer; // for pictures only
    uint64_t m_frame = 0;
};

} // namespace

std::unique_ptr<VideoReader> openRawVideo(const std::string& path, uint32_t width, uint32_t height,
                                          const std::string& pixfmt, uint32_t rateNum,
                                          uint32_t rateDen) {
    return std::make_unique<RawVideoReader>(path, width, height, pixfmt, rateNum, rateDen);
}

RawVideoWriter::RawVideoWriter(const std::string& path)
    : m_out(std::make_unique<media::OutputFile>(path)) {}

RawVideoWriter::~RawVideoWriter() = default;

const char* RawVideoWriter::pixfmtName(const Picture& pic) {
    return pixfmtFor(pic).name.data();
}

void RawVideoWriter::write(const Picture& pic) {
    auto bytes = packRaw(pic, pixfmtFor(pic).rawCode);
    m_out->write(bytes.data(), bytes.size());
}

void RawVideoWriter::writeRaw(std::span<const uint8_t> raw, uint32_t rawCode, uint32_t width,
                              uint32_t height, int bitDepth) {
    // The library widens deep samples by replication, as pictures are written: its 16-bit
    // layouts are the file's bytes already.
    const Picture shape = makePicture(1, 1, rawLayoutOf(rawCode), bitDepth);
    if (pixfmtFor(shape).rawCode == rawCode && raw.size() == rawFrameSize(rawCode, width, height)) {
        m_out->write(raw.data(), raw.size());
        return;
    }
    write(unpackRaw(raw, rawCode, width, height, bitDepth));
}

} // namespace host
