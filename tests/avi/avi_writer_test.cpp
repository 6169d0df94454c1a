#include "avi/avi_writer.h"
#include "avi_script.h"
#include "support/files.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <stdexcept>
#include <tuple>

using namespace IOPlugin;
using namespace korvadin_test;

namespace {

// Small enough that a few kilobytes of chunks fill several RIFFs; 22 super index entries.
const AviLimits kSmall{64 * 1024, 4096, 3000};

TEST(AviWriter, HeaderLayoutOfOneVideoAndOneAudioStream) {
    MemoryFile file;
    AviWriter writer(file);
    addStreams(writer, {});
    writer.stream(writer.addStream(riffFourcc("auds"))).setAudioFormat(1, 2, 48000, 16, 3);
    writer.writeHeader();
    const auto& b = file.bytes;
    // The video strl list is 65,708 bytes, the audio one 65,684, and the movi list follows the
    // 268-byte odml list at 131,748.
    const uint64_t audio = 88 + 65708, odml = audio + 65684;
    const uint64_t idAt[] = {0,   8,     12,        20,   24,       88,        96,     100,   164,
                             212, audio, audio + 8, odml, odml + 8, odml + 12, 131748, 131756};
    std::string ids;
    for (const uint64_t at : idAt) {
        ids += fourccAt(b, at);
    }
    EXPECT_EQ(ids, "RIFFAVI LISThdrlavihLISTstrlstrhstrfindxLISTstrlLISTodmldmlhLISTmovi");
    EXPECT_EQ(std::tuple(le(b, 16), le(b, 28), le(b, 92), le(b, 216), le(b, audio + 4),
                         le(b, odml + 4), le(b, odml + 16)),
              std::tuple(131728u, 56u, 65708u - 8, 65576u, 65684u - 8, 260u, 248u));
    for (uint64_t field = 0; field < 56; field += 4) {
        EXPECT_EQ(le(b, 32 + field), field == 12 ? 0x10u : field == 24 ? 2u : 0u) << field;
    }
    EXPECT_EQ(b.size(), 131760u) << "the movi list stays open";
    writer.finalize();
    checkAvi(file.bytes, {}, {});
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
    const auto file = checkAvi(writeAviFile(kSmall, {16, 24}, script), script, kSmall);
    EXPECT_GE(file->riffs().size(), 5u);
    // The silent stream has no standard index in the RIFFs after it fell silent.
    EXPECT_LT(file->streams()[2].superIndexInUse, file->streams()[1].superIndexInUse);
}

TEST(AviWriter, ChunkLargerThanTheLimitGetsARiffOfItsOwn) {
    const std::vector<ScriptedChunk> script = {
        {0, 100, 1, true}, {0, 5001, 1, true}, {0, 100, 1, true}};
    const auto file = checkAvi(writeAviFile(kSmall, {}, script), script, kSmall);
    ASSERT_EQ(file->riffs().size(), 3u);
    EXPECT_GT(file->riffs()[1].size + 8, kSmall.riffLimit);
}

// Beyond the file size the super indexes were reserved for, only the entries that fit are
// written, and nEntriesInUse still counts them all.
TEST(AviWriter, SuperIndexKeepsToItsReservedSize) {
    const AviLimits limits{4096 + 3000, 4096, 3000}; // room for two entries
    const std::vector<uint8_t> bytes = writeAviFile(limits, {16, 24}, mixedScript(40));
    const host::AviReader file(host::memoryInput(bytes));
    ASSERT_GE(file.riffs().size(), 4u);
    EXPECT_EQ(std::tuple(file.streams()[0].indexSize, file.streams()[0].superIndexInUse),
              std::tuple(24u + 2 * 16, uint32_t(file.riffs().size())));
    for (const std::string& problem : file.problems()) {
        EXPECT_TRUE(problem.find("entries in use but room for 2") != std::string::npos ||
                    problem.find("is in no super index") != std::string::npos)
            << problem;
    }
}

// A file in memory whose large writes keep only their place: a gigabyte of frames costs nothing.
class SparseFile : public fileio::File {
public:
    bool open(const char*, uint32_t) override { return true; }
    void close() override {}
    int64_t size() override { return m_size; }
    int64_t tell() override { return m_position; }
    bool seek(int64_t to) override {
        m_position = to;
        return true;
    }
    uint64_t read(void*, uint64_t) override { return 0; }
    uint64_t write(const void* data, uint64_t count) override {
        if (count <= 4096) {
            const auto* bytes = static_cast<const uint8_t*>(data);
            for (uint64_t i = 0; i < count; ++i) {
                m_bytes[m_position + int64_t(i)] = bytes[i];
            }
        }
        m_position += int64_t(count);
        m_size = std::max(m_size, m_position);
        return count;
    }
    std::vector<uint8_t> at(int64_t offset, size_t count) const {
        std::vector<uint8_t> bytes(count);
        for (size_t i = 0; i < count; ++i) {
            const auto it = m_bytes.find(offset + int64_t(i));
            bytes[i] = it == m_bytes.end() ? 0 : it->second;
        }
        return bytes;
    }

private:
    std::map<int64_t, uint8_t> m_bytes;
    int64_t m_position = 0, m_size = 0;
};

// At the real limits: a chunk that makes the first RIFF exactly 0x3FFFFFFE bytes long, its ix00
// and idx1 included, stays in it; one byte more starts an "AVIX" RIFF with that chunk.
TEST(AviWriter, FirstRiffEndsAtItsLimitToTheByte) {
    constexpr int64_t kLimit = 0x3FFFFFFE;
    for (const int64_t more : {0, 1}) {
        SparseFile file;
        AviWriter writer(file);
        addStreams(writer, {});
        writer.writeHeader();
        // The chunk's 8-byte header, ix00 of one entry (40 bytes) and idx1 (24 bytes) follow.
        const int64_t chunk = file.tell();
        const uint64_t size = uint64_t(kLimit - chunk - 8 - 40 - 24 + more);
        const auto payload = std::unique_ptr<uint8_t[]>(new uint8_t[size]);
        writer.writeChunk(0, payload.get(), size, 1, true);
        writer.finalize();
        const int64_t firstRiff = 8 + le(file.at(0, 8), 4);
        SCOPED_TRACE(more);
        EXPECT_EQ(firstRiff, more == 0 ? kLimit : chunk + 8); // an empty idx1 after the movi list
        EXPECT_EQ(file.size() == firstRiff, more == 0);
        const auto next = file.at(more == 0 ? chunk : firstRiff + 24, 8);
        EXPECT_EQ(std::tuple(fourccAt(next, 0), le(next, 4)), std::tuple("00dc", uint32_t(size)));
        if (more != 0) {
            EXPECT_EQ(fourccAt(file.at(firstRiff, 12), 8), "AVIX");
        }
    }
}

// A writer holds a hundred streams, as chunk ids have two digits for the index; a host that adds
// more tracks gets a refusal, not a file whose chunks nobody can tell apart.
TEST(AviWriter, AHundredStreamsAtMost) {
    MemoryFile file;
    AviWriter writer(file);
    while (writer.streamCount() < 100) {
        writer.addStream(riffFourcc("auds"));
    }
    EXPECT_EQ(writer.stream(99).chunkId(), riffFourcc("99wb"));
    EXPECT_THROW(writer.addStream(riffFourcc("auds")), std::length_error);
    EXPECT_EQ(get(writer.mainHeader(), avi::avih::streams), 100u);
}

} // namespace
