// A render stopped hard leaves the writes that had reached the file. The module's writer is
// recorded write by write and stopped at seeded points of every kind: in the header, inside the
// first RIFF, across RIFF switches (small limits), during the final header rewrite. Each file it
// leaves is repaired into a new file and in place, and both must be byte for byte the file the
// writer writes with the chunks that were complete. An in-place repair stopped at seeded points
// is run again and must come to the same file; a finished file needs nothing.
#include "avi/avi_script.h"
#include "host/avi_reader.h"
#include "host/avi_repair.h"
#include "support/memory_target.h"

#include <gtest/gtest.h>

#include <random>

using namespace IOPlugin;
using namespace korvadin_test;

namespace {

// Every write of the writer, in order: a render stopped after any of them leaves them on disk.
struct Recording : MemoryFile {
    std::vector<std::pair<int64_t, std::vector<uint8_t>>> log;
    std::vector<size_t> payloadWrite; // per chunk
    size_t headerEnd = 0, finalizeStart = 0;

    explicit Recording(const std::vector<ScriptedChunk>& script) {
        AviWriter writer(*this, kSmallLimits);
        addStreams(writer, {16, 24});
        writer.writeHeader();
        headerEnd = log.size();
        for (size_t n = 0; n < script.size(); ++n) {
            const ScriptedChunk& c = script[n];
            writer.writeChunk(c.stream, payloadOf(n, c.size).data(), c.size, c.duration,
                              c.keyFrame);
            // The payload's write, before the pad byte of an odd size.
            payloadWrite.push_back(log.size() - 1 - c.size % 2);
        }
        finalizeStart = log.size();
        writer.finalize();
    }
    uint64_t write(const void* buffer, uint64_t count) override {
        const auto* data = static_cast<const uint8_t*>(buffer);
        log.push_back({position, {data, data + count}});
        return MemoryFile::write(buffer, count);
    }
    // The file after the first `count` writes and `part` bytes of the next.
    std::vector<uint8_t> stoppedAfter(size_t count, size_t part) const {
        MemoryFile f;
        for (size_t i = 0; i <= count && i < log.size(); ++i) {
            f.seek(log[i].first);
            f.write(log[i].second.data(),
                    i < count ? log[i].second.size() : std::min(part, log[i].second.size()));
        }
        return f.bytes;
    }
};

// The file repaired into a new file or in place over its own bytes, stopped after `budget` bytes
// of the repair's writes.
std::vector<uint8_t> repaired(const std::vector<uint8_t>& file, bool inPlace,
                              const host::AviRepair::PacketCheck& check = nullptr,
                              const AviLimits& limits = kSmallLimits,
                              uint64_t budget = UINT64_MAX) {
    host::AviReader reader(host::memoryInput(file));
    const host::AviRepair repair(reader, check, limits);
    const host::RepairPlan plan = inPlace ? repair.inPlace() : repair.intoNewFile();
    MemoryTarget out;
    out.bytes = inPlace ? file : std::vector<uint8_t>{};
    out.budget = budget;
    try {
        plan.apply(reader, out);
    } catch (const MemoryTarget::Stopped&) {
    }
    return out.bytes;
}

TEST(Repair, FilesStoppedAtSeededPointsComeBackAsTheWriterWritesThem) {
    const std::vector<ScriptedChunk> script = threeStreamScript(true);
    const Recording rec(script);
    // The first RIFF switch: between the two chunks whose payloads are more than a chunk
    // header and a pad byte apart.
    const auto& log = rec.log;
    const auto& payloads = rec.payloadWrite;
    const auto gap = std::adjacent_find(payloads.begin(), payloads.end(),
                                        [](size_t a, size_t b) { return b - a > 3; });
    ASSERT_NE(gap, payloads.end()) << "the script must reach a second RIFF";
    const size_t switchStart = *gap + 1, switchEnd = *(gap + 1);
    const std::pair<size_t, size_t> regions[] = {{0, rec.headerEnd},
                                                 {rec.headerEnd, switchStart},
                                                 {switchStart, switchEnd},
                                                 {rec.finalizeStart, log.size()},
                                                 {0, log.size()}};
    std::mt19937 random(16);
    // Also: finished; the pad byte after an odd chunk's payload not written.
    std::vector<std::pair<size_t, size_t>> points = {{log.size(), 0}, {payloads[3] + 1, 0}};
    for (const auto& [begin, end] : regions) {
        for (int i = 0; i < 5; ++i) {
            const size_t at = begin + random() % (end - begin);
            points.push_back({at, random() % (log[at].second.size() + 1)});
        }
    }
    for (auto [count, part] : points) {
        if (count < log.size() && part == log[count].second.size()) {
            std::tie(count, part) = std::pair(count + 1, 0);
        }
        SCOPED_TRACE("stopped after " + std::to_string(count) + " writes and " +
                     std::to_string(part) + " bytes");
        const auto kept =
            std::lower_bound(payloads.begin(), payloads.end(), count) - payloads.begin();
        const std::vector<uint8_t> left = rec.stoppedAfter(count, part);
        if (count < rec.headerEnd) {
            EXPECT_THROW(repaired(left, false), std::runtime_error);
            continue;
        }
        {
            host::AviReader reader(host::memoryInput(left));
            EXPECT_EQ(host::AviRepair(reader, nullptr, kSmallLimits).needed(),
                      left != rec.stoppedAfter(log.size(), 0));
        }
        const std::vector<ScriptedChunk> complete(script.begin(), script.begin() + kept);
        const std::vector<uint8_t> expected = writeAviFile(kSmallLimits, {16, 24}, complete);
        const std::vector<uint8_t> copy = repaired(left, false);
        checkAvi(copy, complete, kSmallLimits);
        EXPECT_TRUE(copy == expected) << "into a new file: " << copy.size() << " bytes";
        // Stopped once at a seeded byte of its own writes, then run again to the end.
        const std::vector<uint8_t> inPlace =
            repaired(repaired(left, true, nullptr, kSmallLimits, random() % 3000), true);
        EXPECT_TRUE(inPlace == expected) << "in place: " << inPlace.size() << " bytes";
    }
}

// A finished file comes back as it is at every limit: each RIFF ends where the writer ends it.
TEST(Repair, RiffsEndWhereTheWriterEndsThemAtEveryLimit) {
    for (uint64_t first = 4000; first < 4200; first += 3) {
        const AviLimits limits{64 * 1024, first, 1200 + first % 211};
        const std::vector<uint8_t> written =
            writeAviFile(limits, {16, 24}, threeStreamScript(true));
        EXPECT_TRUE(repaired(written, false, nullptr, limits) == written) << first;
    }
}

TEST(Repair, DropsThePacketsThatDoNotDecodeAndSaysWhich) {
    // In one RIFF: in place, a RIFF before the last has no room for changed indexes.
    std::vector<ScriptedChunk> script = threeStreamScript(true);
    constexpr uint32_t kBad = 77;
    script[30].size = kBad;                // frame 11 of 14
    script[script.size() - 3].size = kBad; // the last frame
    const std::vector<uint8_t> planted = writeAviFile({}, {16, 24}, script);
    const auto check = [](size_t, std::span<const uint8_t> packet) -> std::optional<std::string> {
        return packet.size() == kBad ? std::optional<std::string>("planted") : std::nullopt;
    };
    {
        host::AviReader reader(host::memoryInput(planted));
        const host::AviRepair repair(reader, check);
        ASSERT_EQ(repair.dropped().size(), 2u);
        EXPECT_EQ(repair.dropped()[0].what.substr(0, 20), "frame 11 of stream 0");
        EXPECT_EQ(repair.dropped()[1].why, "it does not decode: planted");
    }
    for (const bool inPlace : {false, true}) {
        SCOPED_TRACE(inPlace ? "in place" : "into a new file");

        // The other frames, indexed, and the audio after the last frame too.
        const host::AviReader back(host::memoryInput(repaired(planted, inPlace, check, {})));
        EXPECT_TRUE(back.problems().empty()) << back.problems().front();
        const auto& frames = back.streams()[0].chunks;
        EXPECT_EQ(std::pair(frames.size(), back.streams()[0].length), std::pair(size_t{12}, 12u));
        EXPECT_TRUE(
            std::none_of(frames.begin(), frames.end(), [](auto& c) { return c.size == kBad; }));
        EXPECT_EQ(back.streams()[1].chunks.size(), 14u);
    }
}

} // namespace
