// Writes AVI files through AviWriter from a script of chunks, and checks a written file as a
// reader would see it: every index entry against the chunk it names, every count against
// the chunks that were handed in.
#pragma once

#include "avi/avi_writer.h"
#include "fileio/memory_file.h"
#include "riff_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
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

// A stream header and BITMAPINFOHEADER as the container fills them for a video stream.
inline void fillVideoStream(IOPlugin::AviStream& stream, uint32_t width, uint32_t height,
                            uint32_t codec, const std::vector<uint8_t>& codecData) {
    using namespace IOPlugin;
    using namespace IOPlugin::avi;
    set(stream.header(), strh::fccHandler, codec);
    set(stream.header(), strh::scale, uint32_t{1});
    set(stream.header(), strh::rate, uint32_t{25});
    set(stream.header(), strh::quality, uint32_t{10000});
    set(stream.header(), strh::frameRight, static_cast<int16_t>(width));
    set(stream.header(), strh::frameBottom, static_cast<int16_t>(height));
    std::vector<uint8_t> format(40, 0);
    putLE(format.data(), 40 + codecData.size(), 4);
    putLE(format.data() + 4, width, 4);
    putLE(format.data() + 8, height, 4);
    putLE(format.data() + 12, 1, 2);
    putLE(format.data() + 14, 24, 2);
    putLE(format.data() + 16, codec, 4);
    putLE(format.data() + 20, width * height * 3, 4);
    format.insert(format.end(), codecData.begin(), codecData.end());
    stream.format() = format;
    stream.resetChunkId();
}

// Video stream 0, then one audio stream per entry of `audioBits` (mono, 8 kHz, PCM).
inline void addStreams(IOPlugin::AviWriter& writer, const std::vector<uint16_t>& audioBits) {
    using IOPlugin::riffFourcc;
    fillVideoStream(writer.stream(writer.addStream(riffFourcc("vids"))), 64, 48, riffFourcc("K8RG"),
                    {});
    for (uint16_t bits : audioBits) {
        writer.stream(writer.addStream(riffFourcc("auds"))).setAudioFormat(1, 1, 8000, bits, 0);
    }
}

inline void writeScript(IOPlugin::AviWriter& writer, const std::vector<ScriptedChunk>& script) {
    for (size_t n = 0; n < script.size(); ++n) {
        const ScriptedChunk& c = script[n];
        const std::vector<uint8_t> data = payloadOf(n, c.size);
        writer.writeChunk(c.stream, data.data(), c.size, c.duration, c.keyFrame);
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

struct StreamView {
    std::string type;
    uint64_t strh = 0; // offset of the strh content
    uint64_t indx = 0; // offset of the indx content
    uint32_t indxSize = 0;
};

struct AviView {
    std::vector<Chunk> riffs;
    uint64_t avih = 0;
    uint64_t dmlh = 0;
    std::vector<StreamView> streams;
};

inline AviView viewAvi(const std::vector<uint8_t>& bytes) {
    AviView view;
    view.riffs = readRiffFile(bytes);
    const Chunk& hdrl = view.riffs.at(0).child("LIST:hdrl");
    view.avih = hdrl.child("avih").dataOffset();
    view.dmlh = hdrl.child("LIST:odml").child("dmlh").dataOffset();
    for (const Chunk& c : hdrl.children) {
        if (c.name() == "LIST:strl") {
            StreamView s;
            s.strh = c.child("strh").dataOffset();
            s.type = textAt(bytes, s.strh);
            s.indx = c.child("indx").dataOffset();
            s.indxSize = c.child("indx").size;
            view.streams.push_back(s);
        }
    }
    return view;
}

inline std::string chunkIdOf(uint64_t stream, const std::string& type) {
    const std::string digits = {char('0' + stream / 10), char('0' + stream % 10)};
    return digits + (type == "vids" ? "dc" : type == "auds" ? "wb" : "??");
}

// Checks everything a reader relies on against the script that was written.
inline void checkAvi(const std::vector<uint8_t>& bytes, const std::vector<ScriptedChunk>& script,
                     const IOPlugin::AviLimits& limits) {
    const AviView view = viewAvi(bytes);
    EXPECT_EQ(view.riffs.back().end(), bytes.size()) << "nothing follows the last RIFF";
    const size_t streams = view.streams.size();
    EXPECT_EQ(u32At(bytes, view.avih + 24), streams);

    size_t next = 0; // position in the script
    std::vector<uint32_t> lengths(streams), largest(streams), superUsed(streams);
    uint32_t videoInFirst = 0, largestChunk = 0;
    for (size_t r = 0; r < view.riffs.size(); ++r) {
        SCOPED_TRACE("RIFF " + std::to_string(r));
        const Chunk& riff = view.riffs[r];
        const Chunk& movi = riff.child("LIST:movi");
        const std::vector<std::string> layout =
            r == 0 ? std::vector<std::string>{"LIST:hdrl", "LIST:movi", "idx1"}
                   : std::vector<std::string>{"LIST:movi"};
        EXPECT_EQ(riff.childNames(), layout);
        EXPECT_EQ(riff.listType, r == 0 ? "AVI " : "AVIX");

        // Data chunks in script order, then an ix chunk for each stream that had some.
        std::vector<std::vector<std::pair<const ScriptedChunk*, const Chunk*>>> ofStream(streams);
        size_t c = 0;
        for (; c < movi.children.size() && !movi.children[c].id.starts_with("ix"); ++c, ++next) {
            const Chunk& data = movi.children[c];
            ASSERT_LT(next, script.size()) << "more data chunks than written";
            const ScriptedChunk& planned = script[next];
            EXPECT_EQ(data.id, chunkIdOf(planned.stream, view.streams.at(planned.stream).type));
            EXPECT_EQ(data.size, planned.size);
            const std::vector<uint8_t> payload = payloadOf(next, planned.size);
            EXPECT_TRUE(std::equal(payload.begin(), payload.end(),
                                   bytes.begin() + static_cast<long>(data.dataOffset())));
            if (planned.size % 2 != 0) {
                EXPECT_EQ(bytes.at(data.dataOffset() + planned.size), 0) << "pad byte";
            }
            if (r == 0) {
                const uint64_t e = riff.child("idx1").dataOffset() + 16 * c;
                EXPECT_EQ(textAt(bytes, e), data.id);
                EXPECT_EQ(u32At(bytes, e + 4), planned.keyFrame ? 0x10u : 0u);
                EXPECT_EQ(u32At(bytes, e + 8), data.offset - (movi.offset + 8));
                EXPECT_EQ(u32At(bytes, e + 12), planned.size);
                videoInFirst += view.streams[planned.stream].type == "vids" ? planned.duration : 0;
            }
            ofStream[planned.stream].push_back({&planned, &data});
            lengths[planned.stream] += planned.duration;
            largest[planned.stream] = std::max(largest[planned.stream], planned.size);
            largestChunk = std::max(largestChunk, planned.size + 8 + planned.size % 2);
        }
        if (r == 0) {
            EXPECT_EQ(riff.child("idx1").size, 16 * c);
        }
        // Only a RIFF that holds a single chunk too large for any RIFF may exceed its limit.
        if (c > 1) {
            EXPECT_LE(riff.size + 8, r == 0 ? limits.firstRiffLimit : limits.riffLimit);
        }

        // Each standard index against the chunks it lists, and the super index entry naming it.
        for (size_t s = 0; s < streams; ++s) {
            if (ofStream[s].empty()) {
                continue;
            }
            ASSERT_LT(c, movi.children.size()) << "no standard index for stream " << s;
            const Chunk& ix = movi.children[c++];
            const uint64_t base = ix.dataOffset();
            EXPECT_EQ(ix.id, "ix" + chunkIdOf(s, "").substr(0, 2));
            EXPECT_EQ(ix.size, 24 + 8 * ofStream[s].size());
            EXPECT_EQ(u32At(bytes, base), 0x01000002u) << "two longs per entry, index of chunks";
            EXPECT_EQ(u32At(bytes, base + 4), ofStream[s].size());
            EXPECT_EQ(textAt(bytes, base + 8), chunkIdOf(s, view.streams[s].type));
            EXPECT_EQ(u64At(bytes, base + 12), movi.offset);
            uint32_t duration = 0;
            for (size_t k = 0; k < ofStream[s].size(); ++k) {
                const auto [planned, data] = ofStream[s][k];
                EXPECT_EQ(u32At(bytes, base + 24 + 8 * k), data->dataOffset() - movi.offset);
                EXPECT_EQ(u32At(bytes, base + 28 + 8 * k),
                          planned->size | (planned->keyFrame ? 0 : 0x80000000u));
                duration += planned->duration;
            }
            const StreamView& sv = view.streams[s];
            const uint64_t e = sv.indx + 24 + 16 * superUsed[s]++;
            if (e + 16 <= sv.indx + sv.indxSize) {
                EXPECT_EQ(u64At(bytes, e), ix.offset);
                EXPECT_EQ(u32At(bytes, e + 8), ix.size + 8);
                EXPECT_EQ(u32At(bytes, e + 12), duration);
            }
        }
        EXPECT_EQ(c, movi.children.size()) << "nothing after the standard indexes";
    }
    EXPECT_EQ(next, script.size()) << "every chunk written is in the file";

    uint32_t videoFrames = 0;
    for (size_t s = 0; s < streams; ++s) {
        const StreamView& sv = view.streams[s];
        EXPECT_EQ(u32At(bytes, sv.strh + 32), lengths[s]) << "dwLength of stream " << s;
        EXPECT_EQ(u32At(bytes, sv.strh + 36), largest[s]) << "dwSuggestedBufferSize " << s;
        EXPECT_EQ(u32At(bytes, sv.indx), 4u) << "four longs per entry, index of indexes";
        EXPECT_EQ(u32At(bytes, sv.indx + 4), superUsed[s]) << "nEntriesInUse of stream " << s;
        EXPECT_EQ(textAt(bytes, sv.indx + 8), chunkIdOf(s, sv.type));
        videoFrames = std::max(videoFrames, sv.type == "vids" ? lengths[s] : 0);
    }
    EXPECT_EQ(u32At(bytes, view.avih + 12), 0x10u);
    EXPECT_EQ(u32At(bytes, view.avih + 16), videoInFirst) << "avih counts the first RIFF";
    EXPECT_EQ(u32At(bytes, view.avih + 28), largestChunk);
    EXPECT_EQ(u32At(bytes, view.dmlh), videoFrames) << "dmlh counts every RIFF";
}

} // namespace korvadin_test
