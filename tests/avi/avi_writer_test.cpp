#include "avi/avi_writer.h"
#include "avi_check.h"
#include "fileio/memory_file.h"
#include "fileio/named_cases.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <tuple>

using namespace IOPlugin;
using namespace korvadin_test;

namespace {

// Small enough that a few kilobytes of chunks fill several RIFFs; 22 super index entries.
const AviLimits kSmall{64 * 1024, 4096, 3000};

template <typename Exception>
std::string messageOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const Exception& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

TEST(AviWriter, HeaderLayoutOfOneVideoAndOneAudioStream) {
    MemoryFile file;
    AviWriter writer(file);
    fillVideoStream(writer.stream(writer.addStream(riffFourcc("vids"))), 640, 480,
                    riffFourcc("K8RG"), {});
    writer.stream(writer.addStream(riffFourcc("auds"))).setAudioFormat(1, 2, 48000, 16, 3);
    writer.writeHeader();
    const auto& b = file.bytes;

    const uint64_t audioStrl = 88 + 65708;
    const uint64_t odml = audioStrl + 65684;
    ASSERT_EQ(odml + 268, 131748u);
    const uint64_t idOffsets[] = {0,    8,        12,        20,     24,        88,
                                  96,   100,      164,       212,    audioStrl, audioStrl + 8,
                                  odml, odml + 8, odml + 12, 131748, 131756};
    std::string ids;
    for (const uint64_t at : idOffsets) {
        ids += textAt(b, at);
    }
    EXPECT_EQ(ids, "RIFFAVI LISThdrlavihLISTstrlstrhstrfindxLISTstrlLISTodmldmlhLISTmovi");
    EXPECT_EQ(std::tuple(u32At(b, 16), u32At(b, 28), u32At(b, 92), u32At(b, 216),
                         u32At(b, audioStrl + 4), u32At(b, odml + 4), u32At(b, odml + 16)),
              std::tuple(131728u, 56u, 65708u - 8, 65576u, 65684u - 8, 260u, 248u));
    for (uint64_t field = 0; field < 56; field += 4) {
        const uint32_t expected = field == 12 ? 0x10 : field == 24 ? 2 : 0;
        EXPECT_EQ(u32At(b, 32 + field), expected) << "avih field at " << field;
    }
    EXPECT_EQ(b.size(), 131760u) << "the movi list stays open";

    writer.finalize();
    checkAvi(file.bytes, {}, {});
}

TEST(AviWriter, OffsetsPadsFlagsAndBufferSizes) {
    const std::vector<ScriptedChunk> script = {
        {0, 5, 1, true}, {1, 3, 3, false}, {0, 6, 1, false}, {1, 2, 2, false}};
    const std::vector<uint8_t> bytes = writeAviFile({}, {8}, script);
    const AviView view = viewAvi(bytes);
    const Chunk& movi = view.riffs[0].child("LIST:movi");
    const Chunk& idx1 = view.riffs[0].child("idx1");
    const Chunk& ix00 = movi.child("ix00");
    EXPECT_EQ(u32At(bytes, idx1.dataOffset() + 8), 4u) << "first chunk in idx1";
    EXPECT_EQ(u32At(bytes, ix00.dataOffset() + 24), 20u) << "first chunk in ix00";
    EXPECT_EQ(u32At(bytes, idx1.dataOffset() + 16 + 8), 4u + 8 + 5 + 1) << "after a pad";
    EXPECT_EQ(u32At(bytes, view.avih + 28), 5u + 9);
    checkAvi(bytes, script, {});
}

// Video in every chunk of the script, two audio streams of which one falls silent halfway;
// sizes odd and even.
std::vector<ScriptedChunk> mixedScript(size_t frames) {
    std::vector<ScriptedChunk> script;
    for (uint32_t f = 0; f < frames; ++f) {
        script.push_back({0, 97 + 13 * (f % 7), 1, f % 3 == 0});
        script.push_back({1, 2 * (20 + f % 5), 20 + f % 5, false});
        if (f < frames / 2) {
            script.push_back({2, 3 * (11 + f % 2), 11 + f % 2, false});
        }
    }
    return script;
}

TEST(AviWriter, RiffSwitchesKeepEveryRiffWithinItsLimit) {
    const std::vector<ScriptedChunk> script = mixedScript(120);
    const std::vector<uint8_t> bytes = writeAviFile(kSmall, {16, 24}, script);
    const AviView view = viewAvi(bytes);
    EXPECT_GE(view.riffs.size(), 5u);
    EXPECT_THROW(view.riffs.back().child("LIST:movi").child("ix02"), std::runtime_error)
        << "stream 2 fell silent";
    EXPECT_LT(u32At(bytes, view.streams[2].indx + 4), u32At(bytes, view.streams[1].indx + 4));
    checkAvi(bytes, script, kSmall);
}

TEST(AviWriter, ChunkLargerThanTheLimitGetsARiffOfItsOwn) {
    const std::vector<ScriptedChunk> script = {
        {0, 100, 1, true}, {0, 5001, 1, true}, {0, 100, 1, true}};
    const std::vector<uint8_t> bytes = writeAviFile(kSmall, {}, script);
    const AviView view = viewAvi(bytes);
    ASSERT_EQ(view.riffs.size(), 3u);
    EXPECT_GT(view.riffs[1].size + 8, kSmall.riffLimit);
    checkAvi(bytes, script, kSmall);
}

TEST(AviWriter, SuperIndexKeepsToItsReservedSize) {
    // Room for two entries: the first RIFF and one AVIX.
    const AviLimits limits{4096 + 3000, 4096, 3000};
    const std::vector<ScriptedChunk> script = mixedScript(40);
    const std::vector<uint8_t> bytes = writeAviFile(limits, {16, 8}, script);
    const AviView view = viewAvi(bytes); // the chunks after each indx are intact
    ASSERT_GE(view.riffs.size(), 4u);
    EXPECT_EQ(view.streams[0].indxSize, 24u + 2 * 16);
    EXPECT_EQ(u32At(bytes, view.streams[0].indx + 4), view.riffs.size())
        << "nEntriesInUse counts every standard index";
    checkAvi(bytes, script, limits);
}

TEST(AviWriter, MisuseIsRefusedWithoutWriting) {
    MemoryFile file;
    AviWriter writer(file);
    addStreams(writer, {16});
    EXPECT_EQ(messageOf<std::logic_error>([&] { writer.writeChunk(0, "ab", 2, 1, true); }),
              "AviWriter::writeChunk: header is not written, writeHeader() must be called first");
    EXPECT_EQ(file.writes, 0u);
    writer.finalize();
    EXPECT_EQ(file.writes, 0u) << "finalize without a header does nothing";

    writer.writeHeader();
    const uint64_t afterHeader = file.writes;
    EXPECT_EQ(messageOf<std::logic_error>([&] { writer.writeHeader(); }),
              "AviWriter::writeHeader: already called, header is already written");
    EXPECT_THROW(writer.writeChunk(2, "ab", 2, 1, true), std::out_of_range);
    EXPECT_THROW(writer.stream(2), std::out_of_range);
    EXPECT_EQ(file.writes, afterHeader);

    writer.finalize();
    const auto size = file.bytes.size();
    const uint64_t writes = file.writes;
    EXPECT_NO_THROW(writer.finalize());
    EXPECT_EQ(messageOf<std::logic_error>([&] { writer.writeChunk(0, "ab", 2, 1, true); }),
              "AviWriter::writeChunk: header is not written, writeHeader() must be called first");
    EXPECT_EQ(file.writes, writes);
    EXPECT_EQ(file.bytes.size(), size);
}

TEST(AviWriter, DestructorFinalizes) {
    MemoryFile file;
    const std::vector<ScriptedChunk> script = mixedScript(3);
    {
        AviWriter writer(file);
        addStreams(writer, {16, 8});
        writer.writeHeader();
        writeScript(writer, script);
    }
    checkAvi(file.bytes, script, {});
}

TEST(AviWriter, ChunkIdsAndTheStreamLimit) {
    MemoryFile file;
    AviWriter writer(file);
    EXPECT_EQ(writer.stream(writer.addStream(riffFourcc("vids"))).chunkId(), riffFourcc("00dc"));
    EXPECT_EQ(writer.stream(writer.addStream(riffFourcc("auds"))).chunkId(), riffFourcc("01wb"));
    AviStream& text = writer.stream(writer.addStream(riffFourcc("txts")));
    EXPECT_EQ(text.chunkId(), riffFourcc("02??"));
    set(text.header(), avi::strh::fccType, riffFourcc("vids"));
    text.resetChunkId();
    EXPECT_EQ(text.chunkId(), riffFourcc("02dc"));
    while (writer.streamCount() < 100) {
        writer.addStream(riffFourcc("auds"));
    }
    EXPECT_EQ(writer.stream(99).chunkId(), riffFourcc("99wb"));
    EXPECT_EQ(get(writer.mainHeader(), avi::avih::streams), 100u);
    EXPECT_THROW(writer.addStream(riffFourcc("auds")), std::length_error);
    EXPECT_EQ(writer.streamCount(), 100u);
}

struct AudioCase : korvadin_test::NamedCase {
    uint16_t tag;
    uint16_t channels;
    uint32_t rate;
    uint16_t bits;
    uint32_t mask;
    size_t formatSize;
    uint16_t blockAlign;
    uint16_t containerBits;
};

class AudioFormats : public testing::TestWithParam<AudioCase> {};

TEST_P(AudioFormats, HeaderAndFormat) {
    const AudioCase& c = GetParam();
    MemoryFile file;
    AviWriter writer(file);
    writer.addStream(riffFourcc("vids"));
    AviStream& stream = writer.stream(writer.addStream(riffFourcc("vids")));
    stream.header().fill(0xEE);
    stream.setAudioFormat(c.tag, c.channels, c.rate, c.bits, c.mask);

    const std::vector<uint8_t> h(stream.header().begin(), stream.header().end());
    const uint32_t avg = uint32_t{c.blockAlign} * c.rate;
    for (uint64_t field = 0; field < 56; field += 4) {
        const uint32_t expected = field == 0    ? riffFourcc("auds")
                                  : field == 20 ? c.blockAlign
                                  : field == 24 ? avg
                                  : field == 40 ? 10000
                                  : field == 44 ? c.blockAlign
                                                : 0;
        EXPECT_EQ(u32At(h, field), expected) << "strh field at " << field;
    }
    const std::vector<uint8_t>& f = stream.format();
    ASSERT_EQ(f.size(), c.formatSize);
    EXPECT_EQ(
        std::tuple(u16At(f, 0), u16At(f, 2), u32At(f, 4), u32At(f, 8), u16At(f, 12), u16At(f, 14)),
        std::tuple(c.formatSize == 40 ? 0xFFFE : c.tag, c.channels, c.rate, avg, c.blockAlign,
                   c.containerBits));
    if (c.formatSize == 40) {
        EXPECT_EQ(std::tuple(u16At(f, 16), u16At(f, 18), u32At(f, 20)),
                  std::tuple(22, c.bits, c.mask));
        const std::vector<uint8_t> guid = {uint8_t(c.tag), 0, 0, 0,    0, 0,    0x10, 0,
                                           0x80,           0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
        EXPECT_TRUE(std::equal(guid.begin(), guid.end(), f.begin() + 24));
    }
    EXPECT_EQ(stream.chunkId(), riffFourcc("01wb"));
}

INSTANTIATE_TEST_SUITE_P(
    AviWriter, AudioFormats,
    testing::Values(AudioCase{{"Pcm16Stereo"}, 1, 2, 48000, 16, 3, 16, 4, 16},
                    AudioCase{{"Pcm8Mono"}, 1, 1, 44100, 8, 0, 16, 1, 8},
                    AudioCase{{"Float32Stereo"}, 3, 2, 48000, 32, 3, 16, 8, 32},
                    AudioCase{{"Pcm24Stereo"}, 1, 2, 48000, 24, 3, 40, 6, 24},
                    AudioCase{{"Pcm20InThreeBytes"}, 1, 2, 96000, 20, 3, 40, 6, 24},
                    AudioCase{{"Surround51"}, 1, 6, 48000, 16, 0x3F, 40, 12, 16},
                    AudioCase{{"MonoWithAMask"}, 1, 1, 48000, 16, 4, 40, 2, 16},
                    AudioCase{{"StereoWithoutTheStereoMask"}, 3, 2, 48000, 32, 0, 40, 8, 32},
                    AudioCase{{"NoChannels"}, 1, 0, 48000, 16, 0, 16, 0, 16}),
    korvadin_test::CaseName());

} // namespace
