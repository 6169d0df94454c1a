#include "commands.h"

#include "host/avi_reader.h"
#include "host/codec_library.h"
#include "host/media/raw_layout.h"
#include "host/media/video_io.h"
#include "host/variants.h"

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace cli {

namespace {

constexpr size_t kBitmapHeaderSize = 40;

uint32_t fourccValue(const std::string& text) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) {
        value = (value << 8) | static_cast<uint8_t>(i < text.size() ? text[i] : ' ');
    }
    return value;
}

} // namespace

int runDecode(const Context& context) {
    uint64_t threads = 0;
    const auto [input, output] =
        readInputOutput(context.args, [&](const std::string& arg, ArgReader& reader) {
            if (arg == "--threads") {
                threads = parseCount(arg, reader.value(arg));
                return true;
            }
            return false;
        });
    if (input.empty() || output.empty()) {
        throw UsageError{"needs IN.avi and -o OUT"};
    }

    host::AviReader avi(input);
    const host::AviReader::Stream* video = nullptr;
    for (const auto& stream : avi.streams()) {
        if (stream.fccType == "vids") {
            video = &stream;
            break;
        }
    }
    if (video == nullptr) {
        throw std::runtime_error(input + " has no video stream");
    }
    if (video->format.size() < kBitmapHeaderSize) {
        throw std::runtime_error(input + ": the video stream's format is too short");
    }
    const std::span<const uint8_t> cookie(video->format.data() + kBitmapHeaderSize,
                                          video->format.size() - kBitmapHeaderSize);
    host::FrameDecoder decoder(cookie, static_cast<uint32_t>(threads));
    const auto& info = decoder.info();
    const uint32_t fourcc = fourccValue(video->fccHandler);
    const host::ColourLayout coded = host::codedLayoutOf(fourcc);
    const int depth = host::keptBitsOf(fourcc);

    std::unique_ptr<host::Y4mWriter> y4m;
    std::unique_ptr<host::RawVideoWriter> raw;
    if (host::isRgbFamily(coded)) {
        raw = std::make_unique<host::RawVideoWriter>(output);
        const host::Picture shape = host::makePicture(1, 1, coded, depth);
        std::fprintf(stderr, "korvadin decode: raw video %ux%u, pixel format %s\n", info.width,
                     info.height, host::RawVideoWriter::pixfmtName(shape));
    } else {
        host::VideoInfo out;
        out.width = info.width;
        out.height = info.height;
        out.rateNum = video->rate != 0 ? video->rate : 25;
        out.rateDen = video->scale != 0 ? video->scale : 1;
        out.layout = coded;
        out.bitDepth = depth;
        out.fullRange = info.range == 2;
        y4m = std::make_unique<host::Y4mWriter>(output, out);
    }
    uint64_t frames = 0;
    std::vector<uint8_t> chunk;
    for (const auto& entry : video->chunks) {
        avi.readChunk(entry, chunk);
        const auto& bytes = decoder.decode(chunk);
        if (raw) {
            raw->writeRaw(bytes, info.rawFormat, info.width, info.height, depth);
        } else {
            y4m->writeRaw(bytes, info.rawFormat);
        }
        ++frames;
    }
    std::fprintf(stderr, "korvadin decode: %llu frames of %s written to %s\n",
                 static_cast<unsigned long long>(frames), video->fccHandler.c_str(),
                 output.c_str());
    return 0;
}

} // namespace cli
