// Writes AVI files through AviWriter from a script of chunks, and reads them back with the host's
// reader, the one check of a file's layout: it checks every index and count of the headers
// against the chunks it finds, and the script says which chunks it must find.
#pragma once

#include "avi/avi_writer.h"
#include "fileio/memory_file.h"
#include "host/avi_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <tuple>
#include <vector>

namespace korvadin_test {

struct ScriptedChunk {
    uint64_t stream;
    uint32_t size;
    uint32_t duration;
    bool keyFrame;
};

// Limits that reach RIFF switches with a small file.
inline const IOPlugin::AviLimits kSmallLimits{64 * 1024, 4096, 1500};

// Frames of a video stream, each followed by a chunk of each of two audio streams (16-bit and
// 24-bit mono, whole samples); key frames every fourth frame, or every one as the module marks
// them.
inline std::vector<ScriptedChunk> threeStreamScript(bool everyFrameKey) {
    std::vector<ScriptedChunk> script;
    for (uint32_t f = 0; f < 14; ++f) {
        script.push_back({0, 91 + 10 * (f % 3), 1, everyFrameKey || f % 4 == 0});
        script.push_back({1, 2 * (30 + f), 30 + f, false});
        script.push_back({2, 3 * (7 + f % 2), 7 + f % 2, false});
    }
    return script;
}

// The payload of the n-th chunk of a script: distinct bytes, so that misplaced data shows.
inline std::vector<uint8_t> payloadOf(size_t n, uint32_t size) {
    std::vector<uint8_t> data(size);
    for (uint32_t i = 0; i < size; ++i) {
        data[i] = static_cast<uint8_t>(n * 31 + i * 7 + 1);
    }
    return data;
}

// Video stream 0, then one audio stream per entry of `audioBits` (mono, 8 kHz, PCM).
inline void addStreams(IOPlugin::AviWriter& writer, const std::vector<uint16_t>& audioBits) {
    using IOPlugin::riffFourcc;
    writer.stream(writer.addStream(riffFourcc("vids"))).format().assign(40, 0);
    for (uint16_t bits : audioBits) {
        writer.stream(writer.addStream(riffFourcc("auds"))).setAudioFormat(1, 1, 8000, bits, 0);
    }
}

inline void writeScript(IOPlugin::AviWriter& writer, const std::vector<ScriptedChunk>& script) {
    for (size_t n = 0; n < script.size(); ++n) {
        const ScriptedChunk& c = script[n];
        writer.writeChunk(c.stream, payloadOf(n, c.size).data(), c.size, c.duration, c.keyFrame);
    }
}

// A whole file in memory: a video stream, audio streams of the given bits, the script.
inline std::vector<uint8_t> writeAviFile(const IOPlugin::AviLimits& limits,
                                         const std::vector<uint16_t>& audioBits,
                                         const std::vector<ScriptedChunk>& script) {
    MemoryFile file;
    IOPlugin::AviWriter writer(file, limits);
    addStreams(writer, audioBits);
    writer.writeHeader();
    writeScript(writer, script);
    writer.finalize();
    return file.bytes;
}

// The file read back: no problem, every scripted chunk in its stream, in the script's order, with
// its bytes and key flag, nothing else, and every RIFF within its limit unless a single chunk
// outgrows it.
inline std::unique_ptr<host::AviReader> checkAvi(const std::vector<uint8_t>& bytes,
                                                 const std::vector<ScriptedChunk>& script,
                                                 const IOPlugin::AviLimits& limits) {
    auto file = std::make_unique<host::AviReader>(host::memoryInput(bytes));
    EXPECT_TRUE(file->problems().empty()) << file->problems().front();
    std::vector<size_t> next(file->streams().size());
    std::vector<size_t> perRiff(file->riffs().size());
    uint64_t last = 0;
    for (size_t n = 0; n < script.size(); ++n) {
        const ScriptedChunk& planned = script[n];
        const auto& chunks = file->streams().at(planned.stream).chunks;
        if (next[planned.stream] == chunks.size()) {
            ADD_FAILURE() << "chunk " << n << " is not in the file";
            break;
        }
        const host::AviReader::Chunk& c = chunks[next[planned.stream]++];
        EXPECT_EQ(std::tuple(c.size, c.keyFrame, c.offset > last),
                  std::tuple(planned.size, planned.keyFrame, true))
            << "chunk " << n;
        EXPECT_EQ(file->readChunk(c), payloadOf(n, planned.size)) << "chunk " << n;
        last = c.offset;
        ++perRiff.at(c.riff);
    }
    for (size_t s = 0; s < next.size(); ++s) {
        EXPECT_EQ(file->streams()[s].chunks.size(), next[s]) << "chunks of stream " << s;
    }
    for (size_t r = 0; r < perRiff.size(); ++r) {
        if (perRiff[r] > 1) {
            EXPECT_LE(file->riffs()[r].size + 8, r == 0 ? limits.firstRiffLimit : limits.riffLimit);
        }
    }
    return file;
}

} // namespace korvadin_test
