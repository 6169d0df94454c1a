// The AVI reader on damaged files, on files that are no AVI and on another writer's file. What it
// finds in files our writer makes is checked with every writer test, past 4 GiB with the render
// of tests/big.
#include "avi/avi_script.h"
#include "host/avi_reader.h"
#include "media_files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <stdexcept>

using host::AviReader;
using namespace korvadin_test;

namespace {

// A video stream and a 16-bit audio stream in two RIFFs: three chunks in the first, two in the
// second.
const std::vector<ScriptedChunk> kScript = {
    {0, 900, 1, true}, {1, 8, 4, false}, {0, 1500, 1, true}, {0, 1200, 1, true}, {1, 4, 2, false}};
const IOPlugin::AviLimits kLimits{64 * 1024, 4000, 4000};

struct Sample {
    std::vector<uint8_t> bytes = writeAviFile(kLimits, {16}, kScript);
    std::unique_ptr<AviReader> intact = checkAvi(bytes, kScript, kLimits);

    const AviReader::Chunk& chunk(size_t stream, size_t n) const {
        return intact->streams().at(stream).chunks.at(n);
    }
    // The idx1 content closes the first RIFF: one entry per chunk in it.
    uint64_t idx1() const { return 8 + intact->riffs()[0].size - 16 * 3; }
    void patch(uint64_t at, uint64_t value, size_t size = 4) {
        std::memcpy(&bytes.at(at), &value, size); // little-endian, as the files are
    }
};

std::string joined(const std::vector<std::string>& problems) {
    std::string all;
    for (const auto& p : problems) {
        all += p + "\n";
    }
    return all;
}

TEST(AviReader, DamagedFilesListTheirProblemsAndStillShowWhatIsThere) {
    ASSERT_EQ(Sample().intact->riffs().size(), 2u);
    const std::vector<std::pair<std::function<void(Sample&)>, std::vector<std::string>>> cases{
        {[](Sample& s) { s.bytes.resize(s.chunk(0, 2).offset - 8 + 6); },
         {"past the end of its parent", "6 stray bytes"}},
        {[](Sample& s) { s.patch(s.intact->riffs()[0].movi.value() + 4, 0x7FFFFFF0); },
         {"past the end of its parent", "unexpected chunk 'idx1'", "the first RIFF has no idx1"}},
        {[](Sample& s) {
             s.bytes.insert(s.bytes.end(), {'R', 'I', 'F', 'F', 0, 0, 0, 0});
         },
         {"too short to hold its type"}},
        {[](Sample& s) { s.patch(s.chunk(0, 0).offset - 4, 0); }, {"is in no standard index"}},
        {[](Sample& s) { s.patch(s.idx1() + 8, 6); }, {"idx1 entry 0", "is not in idx1"}},
        {[](Sample& s) { s.patch(s.intact->streams()[0].superIndex[0].offset + 36, 12); },
         {"entry 0 (12 bytes", "is in no standard index"}},
        {[](Sample& s) { s.patch(s.intact->streams()[1].indexAt + 24, 12345, 8); },
         {"super index entry 0 of stream 1", "is in no super index"}},
        {[](Sample& s) { s.patch(s.intact->streams()[0].indexAt + 4, 5000); },
         {"5000 entries in use but room for"}},
        {[](Sample& s) { s.patch(s.idx1() + 4, 0); }, {"disagree about the key frame"}},
        {[](Sample& s) { s.patch(s.intact->streams()[1].headerAt + 32, 7); },
         {"stream 1's header gives length 7, its chunks hold 6"}},
        {[](Sample& s) { s.patch(s.intact->mainHeader()->at + 16, 3); },
         {"the main header counts 3 frames, the first RIFF holds 2"}},
        {[](Sample& s) { s.patch(s.intact->dmlhOffset().value(), 2); },
         {"the extended header counts 2 frames, the file holds 3"}},
        {[](Sample& s) { s.patch(s.intact->streams()[0].headerAt + 36, 900); },
         {"gives 900 bytes as its largest chunk, which is 1500"}},
        {[](Sample& s) { s.patch(s.chunk(1, 0).offset - 6, 'd' | 'c' << 8, 2); },
         {"is not a chunk of stream 1, whose type is 'auds'"}},
    };
    for (const auto& [damage, expected] : cases) {
        Sample sample;
        damage(sample);
        const AviReader r(host::memoryInput(sample.bytes));
        for (const std::string& text : expected) {
            EXPECT_NE(joined(r.problems()).find(text), std::string::npos)
                << "no '" << text << "' in\n"
                << joined(r.problems());
        }
        EXPECT_FALSE(r.streams().empty());
    }
    // What precedes the damage is still read, also inside a list that was cut short.
    Sample cut;
    cut.bytes.resize(cut.chunk(1, 1).offset + 2);
    const AviReader r(host::memoryInput(cut.bytes));
    EXPECT_EQ(std::tuple(r.streams()[0].chunks.size(), r.streams()[1].chunks.size()),
              std::tuple(3u, 1u));
}

TEST(AviReader, RefusesWhatIsNoAvi) {
    for (const auto& bytes :
         {std::vector<uint8_t>{}, std::vector<uint8_t>(64, 0),
          std::vector<uint8_t>{'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V', 'E'}}) {
        media_test::expectFailure([&] { AviReader(host::memoryInput(bytes, "'no.avi'")); },
                                  {"'no.avi': not an AVI file"});
    }
    EXPECT_THROW(AviReader(media_test::scratch("missing.avi").string()), std::runtime_error);
}

// An independent writer's file: its legacy index must agree with the chunks the walk finds.
TEST(AviReader, AgreesWithTheIndexOfAnFfmpegFile) {
    SKIP_WITHOUT_FFMPEG();
    const auto path = media_test::scratch("ffmpeg.avi");
    ASSERT_TRUE(media_test::ffmpeg("-f lavfi -i testsrc2=s=64x48:d=0.4 -f lavfi -i sine=d=0.4 "
                                   "-c:v rawvideo -pix_fmt bgr24 -c:a pcm_s16le " +
                                   path.string()));
    AviReader r(path.string());
    ASSERT_EQ(r.streams().size(), 2u);
    EXPECT_EQ(std::tuple(r.streams()[0].fccType, r.streams()[0].chunks.size(),
                         r.streams()[1].fccType, r.streams()[1].length),
              std::tuple("vids", 10u, "auds", 17640u));
    for (const auto& s : r.streams()) {
        for (const auto& c : s.chunks) {
            EXPECT_TRUE(c.idx1KeyFrame.has_value());
        }
    }
    EXPECT_EQ(r.readChunk(r.streams()[0].chunks[9]).size(), 64u * 48 * 3);
    EXPECT_EQ(joined(r.problems()).find("idx1"), std::string::npos) << joined(r.problems());
}

} // namespace
