// A render stopped hard leaves the writes that had reached the file. The module's writer is
// recorded write by write and stopped at seeded points of every kind: in the header, inside the
// first RIFF, across RIFF switches (small limits), during the final header rewrite. Each file it
// leaves is repaired into a new file and in place, and both must be byte for byte the file the
// writer writes with the chunks that were complete. An in-place repair stopped at seeded points
// is run again and must come to the same file; a finished file needs nothing.
#include "avi/avi_check.h"
#include "host/avi_reader.h"
#include "host/avi_repair.h"
#include "support/files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

using namespace IOPlugin;
using namespace korvadin_test;

namespace {

const AviLimits kSmall{64 * 1024, 6000, 3000};

// As the module writes a render: video chunks are key frames, audio chunks whole samples of a
// 16-bit and a 24-bit mono stream.
std::vector<ScriptedChunk> renderScript() {
    std::vector<ScriptedChunk> script;
    for (uint32_t f = 0; f < 30; ++f) {
        script.push_back({0, 150 + 37 * (f % 5), 1, true});
        script.push_back({1, 2 * (40 + f % 3), 40 + f % 3, false});
        script.push_back({2, 3 * (25 + f % 2), 25 + f % 2, false});
    }
    return script;
}

struct RecordingFile : MemoryFile {
    std::vector<std::pair<int64_t, std::vector<uint8_t>>> log;
    uint64_t write(const void* buffer, uint64_t count) override {
        const auto* bytes = static_cast<const uint8_t*>(buffer);
        log.push_back({position, {bytes, bytes + count}});
        return MemoryFile::write(buffer, count);
    }
};

struct Recording {
    RecordingFile file;
    std::vector<size_t> payloadWrite; // per chunk
    size_t headerEnd = 0, finalizeStart = 0;

    explicit Recording(const std::vector<ScriptedChunk>& script) {
        AviWriter writer(file, kSmall);
        addStreams(writer, {16, 24});
        writer.writeHeader();
        headerEnd = file.log.size();
        for (size_t n = 0; n < script.size(); ++n) {
            const ScriptedChunk& c = script[n];
            writer.writeChunk(c.stream, payloadOf(n, c.size).data(), c.size, c.duration,
                              c.keyFrame);
            // The payload's write, before the pad byte of an odd size.
            payloadWrite.push_back(file.log.size() - 1 - script[n].size % 2);
        }
        finalizeStart = file.log.size();
        writer.finalize();
    }
    // The file after the first `count` writes and `part` bytes of the next.
    std::vector<uint8_t> stoppedAfter(size_t count, size_t part) const {
        MemoryFile f;
        for (size_t i = 0; i <= count && i < file.log.size(); ++i) {
            f.seek(file.log[i].first);
            f.write(file.log[i].second.data(), i < count
                                                   ? file.log[i].second.size()
                                                   : std::min(part, file.log[i].second.size()));
        }
        return f.bytes;
    }
};

// Payloads are numbered by script position, so the expected file is written with the chunks
// kept standing in their places.
std::vector<uint8_t> expectedFile(const std::vector<ScriptedChunk>& script, size_t kept) {
    return writeAviFile(kSmall, {16, 24}, {script.begin(), script.begin() + long(kept)});
}

// Where two files part, for messages that a dump of their bytes would bury.
std::string difference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    const auto at = std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first - a.begin();
    return a == b ? ""
                  : std::to_string(a.size()) + " and " + std::to_string(b.size()) +
                        " bytes, apart from " + std::to_string(at);
}

struct Stopped {};

// Lets `budget` bytes through, then stops the repair as a kill would.
struct StoppingTarget : host::RepairTarget {
    std::unique_ptr<host::RepairTarget> file;
    uint64_t budget;
    void write(uint64_t offset, std::span<const uint8_t> bytes) override {
        const auto n = static_cast<size_t>(std::min<uint64_t>(budget, bytes.size()));
        file->write(offset, bytes.first(n));
        budget -= n;
        if (n < bytes.size()) {
            throw Stopped{};
        }
    }
    void resize(uint64_t size) override {
        if (budget-- == 0) {
            throw Stopped{};
        }
        file->resize(size);
    }
};

void repairInPlace(const std::string& path, uint64_t budget = UINT64_MAX) {
    host::AviReader reader(path);
    const host::RepairPlan plan = host::AviRepair(reader, nullptr, kSmall).inPlace();
    StoppingTarget target{};
    target.file = host::openRepairTarget(path, false);
    target.budget = budget;
    plan.apply(reader, target);
}

TEST(Repair, FilesStoppedAtSeededPointsComeBackAsTheWriterWritesThem) {
    const std::vector<ScriptedChunk> script = renderScript();
    const Recording rec(script);
    // Where the first RIFF ends: from its first standard index to the first "AVIX" header.
    const auto& log = rec.file.log;
    const auto firstWriteOf = [&](const char* id) {
        size_t i = rec.headerEnd;
        while (i < log.size() &&
               (log[i].second.size() < 4 || std::memcmp(log[i].second.data(), id, 4) != 0)) {
            ++i;
        }
        return i;
    };
    const size_t switchStart = firstWriteOf("ix00"), switchEnd = firstWriteOf("RIFF") + 1;
    ASSERT_LT(switchEnd, rec.finalizeStart) << "the script must reach a second RIFF";
    const std::pair<size_t, size_t> regions[] = {{0, rec.headerEnd},
                                                 {rec.headerEnd, switchStart},
                                                 {switchStart, switchEnd},
                                                 {rec.finalizeStart, log.size()},
                                                 {0, log.size()}};
    std::mt19937 random(16);
    // Also: finished; the pad byte after an odd chunk's payload not written.
    std::vector<std::pair<size_t, size_t>> points = {{log.size(), 0}, {rec.payloadWrite[3] + 1, 0}};
    ASSERT_EQ(script[3].size % 2, 1u);
    for (const auto& [begin, end] : regions) {
        for (int i = 0; i < 5; ++i) {
            const size_t at = begin + random() % (end - begin);
            points.push_back({at, random() % (log[at].second.size() + 1)});
        }
    }
    const std::string path = scratch("stopped.avi").string();
    for (auto [count, part] : points) {
        if (count < log.size() && part == log[count].second.size()) {
            std::tie(count, part) = std::pair(count + 1, 0);
        }
        SCOPED_TRACE("stopped after " + std::to_string(count) + " writes and " +
                     std::to_string(part) + " bytes");
        size_t kept = 0;
        while (kept < script.size() && rec.payloadWrite[kept] < count) {
            ++kept;
        }
        const std::vector<uint8_t> left = rec.stoppedAfter(count, part);
        writeBytes(path, left);
        auto reader = std::make_unique<host::AviReader>(path);
        if (count < rec.headerEnd) {
            EXPECT_THROW(host::AviRepair(*reader, nullptr, kSmall), std::runtime_error);
            continue;
        }
        const host::AviRepair repair(*reader, nullptr, kSmall);
        EXPECT_EQ(repair.needed(), left != rec.stoppedAfter(log.size(), 0));
        repair.intoNewFile().apply(*reader, *host::openRepairTarget(path + ".new", true));
        reader.reset();
        const std::vector<uint8_t> expected = expectedFile(script, kept);
        checkAvi(readBytes(path + ".new"), {script.begin(), script.begin() + long(kept)}, kSmall);
        EXPECT_EQ(difference(readBytes(path + ".new"), expected), "") << "into a new file";

        // Stopped once at a seeded byte of its own writes, then run again to the end.
        try {
            repairInPlace(path, random() % 3000);
        } catch (const Stopped&) {
        }
        repairInPlace(path);
        EXPECT_EQ(difference(readBytes(path), expected), "") << "in place";
    }
}

TEST(Repair, DropsThePacketsThatDoNotDecodeAndSaysWhich) {
    // In one RIFF: in place, a RIFF before the last has no room for changed indexes.
    std::vector<ScriptedChunk> script = renderScript();
    constexpr uint32_t kBad = 77;
    script[30].size = kBad;                // frame 11 of 30
    script[script.size() - 3].size = kBad; // the last frame
    const std::string path = scratch("planted.avi").string();
    writeBytes(path, writeAviFile({}, {16, 24}, script));
    const auto check = [](size_t, std::span<const uint8_t> packet) -> std::optional<std::string> {
        return packet.size() == kBad ? std::optional<std::string>("planted") : std::nullopt;
    };
    for (const bool inPlace : {false, true}) {
        SCOPED_TRACE(inPlace ? "in place" : "into a new file");
        const std::string out = inPlace ? path : path + ".new";
        {
            host::AviReader reader(path);
            const host::AviRepair repair(reader, check);
            ASSERT_EQ(repair.dropped().size(), 2u);
            EXPECT_EQ(repair.dropped()[0].what.substr(0, 20), "frame 11 of stream 0");
            EXPECT_EQ(repair.dropped()[1].why, "it does not decode: planted");
            const host::RepairPlan plan = inPlace ? repair.inPlace() : repair.intoNewFile();
            plan.apply(reader, *host::openRepairTarget(out, !inPlace));
        }
        // Every other chunk is read back through the indexes, in order, with its own bytes.
        host::AviReader back(out);
        EXPECT_TRUE(back.problems().empty()) << back.problems().front();
        std::vector<const host::AviReader::Chunk*> chunks;
        for (const auto& s : back.streams()) {
            for (const auto& c : s.chunks) {
                chunks.push_back(&c);
            }
        }
        std::sort(chunks.begin(), chunks.end(),
                  [](auto* a, auto* b) { return a->offset < b->offset; });
        size_t n = 0;
        for (const auto* c : chunks) {
            n += script[n].size == kBad;
            ASSERT_LT(n, script.size());
            EXPECT_EQ(back.readChunk(*c), payloadOf(n, script[n].size)) << "chunk " << n;
            EXPECT_TRUE(c->keyFrame == (c->stream == 0));
            ++n;
        }
        EXPECT_EQ(n, script.size()) << "the audio after the last frame is kept";
        EXPECT_EQ(back.streams()[0].length, 28u);
    }
}

} // namespace
