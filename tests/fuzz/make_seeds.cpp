// Writes the fuzz targets' seed inputs, made with our own encoder and writers, into
// <folder>/<target>/: a few small valid cases of each, from which the fuzzers mutate. The
// checked-in corpus was made this way; run it again when an input format changes.
#include "codec_harness.h"
#include "decoder_case.h"
#include "host/media/audio_io.h"
#include "host/media/video_io.h"
#include "plugin_ops.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace korvadin_fuzz;
namespace fs = std::filesystem;

void save(const fs::path& folder, const std::string& name, const std::vector<uint8_t>& bytes) {
    fs::create_directories(folder);
    std::ofstream(folder / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

void decoderSeeds(const fs::path& folder) {
    struct Seed {
        uint8_t variant;
        uint32_t width, height;
    };
    // RGB, RGBA, 4:2:2 packed, 4:2:0, 10-bit 4:2:2, 14-bit RGBA; odd sizes for the edges, and
    // rows of 32 samples and more, which the faster loops read many at a time.
    for (const Seed s : {Seed{0, 40, 18}, Seed{1, 33, 9}, Seed{3, 70, 5}, Seed{4, 36, 20},
                         Seed{9, 48, 6}, Seed{15, 35, 3}}) {
        const codec_test::FormatPair& row = codec_test::kFormatPairs[s.variant];
        codec_test::Encoder encoder(row, s.width, s.height, 1);
        std::vector<uint8_t> frame =
            codec_test::makeFrame(row, s.width, s.height, codec_test::Content::Photo);
        const std::vector<uint8_t> compressed = encoder.encode(frame);
        // Every other seed decodes with the portable loops.
        const DecoderCase c{s.variant, s.width, s.height, 1, s.variant % 2 == 1, 0, 0};
        std::vector<uint8_t> input = c.head();
        // Room for the frame first: growing a 4-byte vector inside insert() makes GCC 12 at -O3
        // see a copy past the old buffer that never happens (-Warray-bounds).
        input.reserve(input.size() + compressed.size());
        input.insert(input.end(), compressed.begin(), compressed.end());
        save(folder, "variant" + std::to_string(s.variant), input);
    }
}

void y4mSeeds(const fs::path& folder) {
    fs::create_directories(folder);
    struct Seed {
        const char* name;
        host::ColourLayout layout;
        int depth;
        uint32_t width, height;
    };
    for (const Seed s : {Seed{"yuv420", host::ColourLayout::Yuv420, 8, 5, 3},
                         Seed{"yuv422-10bit", host::ColourLayout::Yuv422, 10, 4, 2},
                         Seed{"gray", host::ColourLayout::Gray, 8, 3, 2}}) {
        host::VideoInfo info;
        info.width = s.width;
        info.height = s.height;
        info.layout = s.layout;
        info.bitDepth = s.depth;
        info.fullRange = false;
        {
            host::Y4mWriter writer((folder / s.name).string(), info);
            for (uint16_t fill : {16, 200}) {
                writer.write(host::makePicture(s.width, s.height, s.layout, s.depth, fill));
            }
        }
    }
}

void wavSeeds(const fs::path& folder) {
    fs::create_directories(folder);
    struct Seed {
        const char* name;
        uint16_t channels, bits;
        bool isFloat;
    };
    // The plain header, a float one and an extensible one.
    for (const Seed s : {Seed{"pcm16-stereo", 2, 16, false}, Seed{"float-mono", 1, 32, true},
                         Seed{"pcm24-3ch", 3, 24, false}}) {
        host::AudioInfo info;
        info.sampleRate = 48000;
        info.channels = s.channels;
        info.bitsPerSample = s.bits;
        info.validBitsPerSample = s.bits;
        info.isFloat = s.isFloat;
        info.frameCount = 4;
        std::vector<uint8_t> samples(info.frameCount * info.blockAlign());
        for (size_t i = 0; i < samples.size(); ++i) {
            samples[i] = static_cast<uint8_t>(i * 37);
        }
        host::writeWav((folder / s.name).string(), info, samples);
    }
}

// Steps as the target reads them (see plugin_ops.h), one step with its bytes per part.
std::vector<uint8_t> steps(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> bytes;
    for (const std::vector<uint8_t>& part : parts) {
        bytes.insert(bytes.end(), part.begin(), part.end());
    }
    return bytes;
}

void pluginSeeds(const fs::path& folder) {
    // An encoder with a fresh callback, opened at 8x4, given one frame of variant 0's layout.
    const std::vector<uint8_t> render = steps({{opCreateEncoder, 0},
                                               {opSetCallback, 0, 0, 0},
                                               {opOpenWithSize, 0, 8, 4, 1, 0},
                                               {opFrameOfSize, 0, 0, 8, 4, 0}});
    save(folder, "render", render);
    save(folder, "render-portable", steps({{opPortableLoops, 1}, render}));
    // The same, with the host refusing every other buffer lock.
    save(folder, "render-refused-locks", steps({{opHostRefusals, 0x20, 1}, render}));

    // The same, then a container with a video track of variant 0's FourCC writing one packet
    // into a file and closing it. Property holders by handle choice: 1 the settings, 2 the frame,
    // 3 and 4 the two bags.
    save(folder, "file",
         steps({render,
                {opCreateContainer, 1},
                {opMakeHostObject, 0},
                {opSetProperty, 3, 7, 1, 1, 1, 2}, // mediaType: video
                {opSetProperty, 3, 0, 1, 1, 1, 8}, // width
                {opSetProperty, 3, 1, 1, 1, 1, 4}, // height
                {opMakeHostObject, 0},
                {opSetProperty, 4, 9, 1, 1, 0}, // 4cc: variant 0's
                {opAddTrack, 0, 3, 4},
                {opOpenFile, 0, 0},
                {opPacketOfSize, 0, 100, 1, 1},
                {opClose, 0}}));
}

// Files the avi target has the module's writer make (see avi_fuzz.cpp): 40 chunks over
// several RIFFs, one of them marked as not decoding; whole, cut in a later RIFF, and damaged.
void aviSeeds(const fs::path& folder) {
    const auto seed = [](uint32_t cut, std::initializer_list<uint8_t> damage) {
        std::vector<uint8_t> bytes = {0, 10, 10, 40};
        for (uint8_t n = 0; n < 40; ++n) {
            bytes.insert(bytes.end(),
                         {uint8_t(n % 3), uint8_t(20 + n), uint8_t(n == 36 ? 0xFF : n)});
        }
        for (int i = 0; i < 4; ++i) {
            bytes.push_back(uint8_t(cut >> (8 * i)));
        }
        bytes.insert(bytes.end(), damage);
        return bytes;
    };
    save(folder, "whole", seed(UINT32_MAX, {0}));
    save(folder, "cut", seed(5000, {0}));
    save(folder, "damaged", seed(7000, {1, 0x10, 0, 0, 0, 0x7F}));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const fs::path folder = argv[1];
    decoderSeeds(folder / "decoder");
    y4mSeeds(folder / "y4m");
    wavSeeds(folder / "wav");
    pluginSeeds(folder / "plugin");
    aviSeeds(folder / "avi");
    return 0;
}
