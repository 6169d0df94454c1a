// YUV4MPEG2: a text header line, then per frame a "FRAME" line and the planes Y, U, V, each
// sample one byte or, above 8 bits, a little-endian 16-bit word holding the value low-aligned.
#include "byte_file.h"
#include "host/media/raw_layout.h"
#include "host/media/video_io.h"

#include <array>
#include <charconv>
#include <cstring>
#include <stdexcept>
#include <string_view>

namespace host {

namespace {

constexpr size_t kMaxLine = 4096;
constexpr char kMagic[] = "YUV4MPEG2";

struct ColourSpace {
    ColourLayout layout;
    int depth;
};

bool parseUnsigned(std::string_view s, uint32_t& out) {
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && end == s.data() + s.size();
}

// The colour tags ffmpeg reads and writes: 420jpeg/420paldv/420mpeg2/420, 422, 444, mono, and
// the deeper 420pN, 422pN, 444pN, monoN.
std::optional<ColourSpace> parseColour(std::string_view tag) {
    static constexpr std::array<std::pair<std::string_view, ColourLayout>, 4> prefixes{
        {{"420", ColourLayout::Yuv420},
         {"422", ColourLayout::Yuv422},
         {"444", ColourLayout::Yuv444},
         {"mono", ColourLayout::Gray}}};
    for (auto [prefix, layout] : prefixes) {
        if (!tag.starts_with(prefix))
            continue;
        std::string_view rest = tag.substr(prefix.size());
        if (rest.empty() || (layout == ColourLayout::Yuv420 &&
                             (rest == "jpeg" || rest == "paldv" || rest == "mpeg2")))
            return ColourSpace{layout, 8};
        if (layout != ColourLayout::Gray) {
            if (!rest.starts_with("p"))
                return std::nullopt;
            rest.remove_prefix(1);
        }
        uint32_t depth = 0;
        if (parseUnsigned(rest, depth) && depth >= 9 && depth <= 16)
            return ColourSpace{layout, static_cast<int>(depth)};
        return std::nullopt;
    }
    return std::nullopt;
}

std::string colourTag(ColourLayout layout, int depth) {
    std::string tag;
    switch (layout) {
    case ColourLayout::Yuv420:
        tag = depth == 8 ? "420jpeg" : "420p";
        break;
    case ColourLayout::Yuv422:
        tag = depth == 8 ? "422" : "422p";
        break;
    case ColourLayout::Yuv444:
        tag = depth == 8 ? "444" : "444p";
        break;
    case ColourLayout::Gray:
        tag = "mono";
        break;
    default:
        throw std::invalid_argument(std::string("YUV4MPEG2 cannot hold ") + layoutName(layout) +
                                    " pictures");
    }
    bool known = depth == 8 || depth == 9 || depth == 10 || depth == 12 || depth == 16 ||
                 (depth == 14 && layout != ColourLayout::Gray);
    if (!known)
        throw std::invalid_argument("YUV4MPEG2 has no " + std::to_string(depth) + "-bit " +
                                    layoutName(layout) + " form");
    if (depth > 8)
        tag += std::to_string(depth);
    return tag;
}

PlanarFrame planarOf(const VideoInfo& info) {
    return {info.width, info.height, info.layout, info.bitDepth};
}

// Reads one '\n'-terminated line; false if the file ends before any byte of it.
bool readLine(ByteSource& in, std::string& line, const std::string& what) {
    line.clear();
    char c;
    while (in.read(&c, 1) == 1) {
        if (c == '\n')
            return true;
        if (line.size() == kMaxLine)
            throw std::runtime_error(in.name() + ": " + what + " is longer than " +
                                     std::to_string(kMaxLine) + " bytes");
        line += c;
    }
    if (line.empty())
        return false;
    throw std::runtime_error(in.name() + ": " + what + " is truncated");
}

class Y4mReader final : public VideoReader {
public:
    explicit Y4mReader(std::unique_ptr<ByteSource> in) : m_in(std::move(in)) {
        std::string line;
        if (!readLine(*m_in, line, "stream header") || !line.starts_with(kMagic) ||
            (line.size() > 9 && line[9] != ' '))
            throw std::runtime_error(m_in->name() + ": not a YUV4MPEG2 stream");
        parseHeader(std::string_view(line).substr(std::strlen(kMagic)));
        m_frameBytes = planarFrameSize(planarOf(m_info));
        m_buffer.resize(m_frameBytes);
        // A regular file whose frames all carry a bare "FRAME" line reveals its length.
        if (auto size = m_in->size()) {
            uint64_t body = *size - m_in->tell(), perFrame = m_frameBytes + 6;
            if (body % perFrame == 0)
                m_info.frameCount = body / perFrame;
        }
    }

    const VideoInfo& info() const override { return m_info; }

    bool read(Picture& pic) override {
        if (!readFrame())
            return false;
        if (pic.width != m_info.width || pic.height != m_info.height ||
            pic.layout != m_info.layout || pic.planes.size() != size_t(planeCount(pic.layout)))
            pic = makePicture(m_info.width, m_info.height, m_info.layout, m_info.bitDepth);
        pic.bitDepth = m_info.bitDepth;
        const uint8_t* p = m_buffer.data();
        const bool wide = m_info.bitDepth > 8;
        for (auto& plane : pic.planes)
            for (auto& s : plane) {
                s = wide ? static_cast<uint16_t>(p[0] | (p[1] << 8)) : p[0];
                p += wide ? 2 : 1;
            }
        return true;
    }

    // A frame's planes repack into a raw layout of the same subsampling directly.
    bool readRaw(uint32_t rawCode, std::span<uint8_t> out) override {
        if (!meetsRaw(planarOf(m_info), rawCode))
            return VideoReader::readRaw(rawCode, out);
        if (!readFrame())
            return false;
        planarToRaw(planarOf(m_info), m_buffer, rawCode, out);
        return true;
    }

private:
    // The next frame's bytes into m_buffer; false at the clean end.
    bool readFrame() {
        std::string line;
        if (!readLine(*m_in, line, "frame header of frame " + std::to_string(m_frame)))
            return false;
        if (!line.starts_with("FRAME"))
            throw std::runtime_error(m_in->name() + ": frame " + std::to_string(m_frame) +
                                     " does not start with FRAME");
        size_t got = 0;
        if (!m_in->readExact(m_buffer.data(), m_buffer.size(), &got))
            throw std::runtime_error(m_in->name() + ": frame " + std::to_string(m_frame) +
                                     " is truncated (" + std::to_string(got) + " of " +
                                     std::to_string(m_buffer.size()) + " bytes)");
        ++m_frame;
        return true;
    }

    void fail(const std::string& problem) const {
        throw std::runtime_error(m_in->name() + ": bad YUV4MPEG2 header: " + problem);
    }

    void parseHeader(std::string_view params) {
        m_info.layout = ColourLayout::Yuv420;
        m_info.bitDepth = 8;
        bool haveW = false, haveH = false;
        while (!params.empty()) {
            size_t space = params.find(' ');
            std::string_view token = params.substr(0, space);
            params =
                space == std::string_view::npos ? std::string_view{} : params.substr(space + 1);
            if (token.empty())
                continue;
            std::string_view value = token.substr(1);
            switch (token[0]) {
            case 'W':
                haveW = parseUnsigned(value, m_info.width) && m_info.width > 0;
                if (!haveW)
                    fail("width '" + std::string(value) + "'");
                break;
            case 'H':
                haveH = parseUnsigned(value, m_info.height) && m_info.height > 0;
                if (!haveH)
                    fail("height '" + std::string(value) + "'");
                break;
            case 'F': {
                size_t colon = value.find(':');
                if (colon == std::string_view::npos ||
                    !parseUnsigned(value.substr(0, colon), m_info.rateNum) ||
                    !parseUnsigned(value.substr(colon + 1), m_info.rateDen) ||
                    m_info.rateNum == 0 || m_info.rateDen == 0)
                    fail("frame rate '" + std::string(value) + "'");
                break;
            }
            case 'C': {
                auto colour = parseColour(value);
                if (!colour)
                    fail("unsupported colour space '" + std::string(value) + "'");
                m_info.layout = colour->layout;
                m_info.bitDepth = colour->depth;
                break;
            }
            case 'X':
                if (value == "COLORRANGE=FULL")
                    m_info.fullRange = true;
                else if (value == "COLORRANGE=LIMITED")
                    m_info.fullRange = false;
                break;
            default: // interlacing, aspect ratio and anything newer do not change the samples
                break;
            }
        }
        if (!haveW || !haveH)
            fail("no picture size");
        // Keeps the frame size within what a size_t and a buffer can reasonably hold.
        if (uint64_t{m_info.width} * m_info.height > (uint64_t{1} << 27))
            fail("picture size " + std::to_string(m_info.width) + "x" +
                 std::to_string(m_info.height) + " is too large");
    }

    std::unique_ptr<ByteSource> m_in;
    VideoInfo m_info;
    size_t m_frameBytes = 0;
    std::vector<uint8_t> m_buffer;
    uint64_t m_frame = 0;
};

} // namespace

VideoReader::~VideoReader() = default;

bool VideoReader::readRaw(uint32_t rawCode, std::span<uint8_t> out) {
    if (!read(m_picture))
        return false;
    packRaw(m_picture, rawCode, out);
    return true;
}

std::unique_ptr<VideoReader> openY4m(std::unique_ptr<ByteSource> in) {
    return std::make_unique<Y4mReader>(std::move(in));
}

std::unique_ptr<VideoReader> openY4m(const std::string& path) {
    return openY4m(openInput(path));
}

Y4mWriter::Y4mWriter(const std::string& path, const VideoInfo& info) : m_info(info) {
    std::string header = std::string(kMagic) + " W" + std::to_string(info.width) + " H" +
                         std::to_string(info.height) + " F" + std::to_string(info.rateNum) + ":" +
                         std::to_string(info.rateDen) + " Ip A1:1 C" +
                         colourTag(info.layout, info.bitDepth);
    if (info.fullRange)
        header += *info.fullRange ? " XCOLORRANGE=FULL" : " XCOLORRANGE=LIMITED";
    header += '\n';
    m_buffer.resize(planarFrameSize(planarOf(info)));
    m_out = std::make_unique<media::OutputFile>(path);
    m_out->write(header.data(), header.size());
}

Y4mWriter::~Y4mWriter() = default;

void Y4mWriter::write(const Picture& pic) {
    checkPicture(pic);
    if (pic.width != m_info.width || pic.height != m_info.height || pic.layout != m_info.layout ||
        pic.bitDepth != m_info.bitDepth)
        throw std::invalid_argument("a " + std::to_string(pic.width) + "x" +
                                    std::to_string(pic.height) + " " + layoutName(pic.layout) +
                                    " picture does not fit the stream written to " + m_out->name());
    uint8_t* p = m_buffer.data();
    const bool wide = m_info.bitDepth > 8;
    for (const auto& plane : pic.planes)
        for (uint16_t s : plane) {
            *p++ = static_cast<uint8_t>(s);
            if (wide)
                *p++ = static_cast<uint8_t>(s >> 8);
        }
    writeFrame();
}

void Y4mWriter::writeRaw(std::span<const uint8_t> raw, uint32_t rawCode) {
    const PlanarFrame planar = planarOf(m_info);
    if (!meetsRaw(planar, rawCode)) {
        write(convertLayout(unpackRaw(raw, rawCode, m_info.width, m_info.height, m_info.bitDepth),
                            m_info.layout));
        return;
    }
    rawToPlanar(raw, rawCode, planar, m_buffer);
    writeFrame();
}

void Y4mWriter::writeFrame() {
    m_out->write("FRAME\n", 6);
    m_out->write(m_buffer.data(), m_buffer.size());
}

} // namespace host
