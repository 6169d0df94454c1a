// A render past 4 GiB through the built plug-in file: frames of noise, which the codec can only
// store, piped into the korvadin program with an audio track until the file holds the first RIFF
// and two "AVIX" RIFFs. ffprobe must find every packet of both streams where our reader finds it,
// and the packets past 4 GiB, which ffprobe reaches by seeking through the indexes, must decode
// to the frames that went in.
#include "e2e_support.h"
#include "host/avi_reader.h"
#include "host/codec_library.h"
#include "host/media/audio_io.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

namespace {

constexpr uint32_t kWidth = 3840, kHeight = 2160;
constexpr uint64_t kFrameBytes = uint64_t{kWidth} * kHeight * 4; // rgba
// The input repeats this many distinct frames, so every packet has a known picture and
// neighbouring packets differ.
constexpr int kDistinct = 4;
// 4.65 GB stored: the last ten frames or so lie past 4 GiB, in the third RIFF.
constexpr int kFrames = 140;
constexpr int kRate = 25;
constexpr uint64_t kFourGiB = uint64_t{1} << 32;
constexpr uint64_t kFirstRiffLimit = 0x3FFFFFFE, kRiffLimit = 0x7FFFFFFE;

std::vector<uint8_t> noise(uint64_t bytes) {
    std::vector<uint8_t> out(bytes);
    uint64_t state = 0x9E3779B97F4A7C15u;
    for (uint64_t i = 0; i + 8 <= bytes; i += 8) {
        // splitmix64: fast, and nothing a lossless coder can shrink
        uint64_t z = (state += 0x9E3779B97F4A7C15u);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        z ^= z >> 31;
        std::memcpy(out.data() + i, &z, 8);
    }
    return out;
}

// ffprobe's compact output, one key=value map per line.
std::vector<std::map<std::string, std::string>> records(const std::string& text) {
    std::vector<std::map<std::string, std::string>> out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        auto& record = out.emplace_back();
        for (std::string field; std::getline(fields, field, '|');) {
            const auto eq = field.find('=');
            if (eq != std::string::npos)
                record[field.substr(0, eq)] = field.substr(eq + 1);
        }
    }
    return out;
}

// Removes the folder with everything in it when the test ends, also when it fails; ctest's
// cleanup step removes it after a crash.
struct ScratchFolder {
    std::filesystem::path path{KORVADIN_BIG_SCRATCH};
    ScratchFolder() { std::filesystem::create_directories(path); }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

TEST(BigRender, PacketsPastFourGibAreIndexedAndReadBackByFfprobe) {
    SKIP_WITHOUT_FFMPEG();
    const ScratchFolder scratch;
    // The stored frames, the input file and a margin for the file system.
    const uint64_t needed = (kFrames + kDistinct) * (kFrameBytes + 64) + (uint64_t{1} << 29);
    const uint64_t available = std::filesystem::space(scratch.path).available;
    if (available < needed)
        GTEST_SKIP() << "not enough free disk space in " << scratch.path << ": " << available
                     << " bytes free, " << needed << " needed";

    const auto frames = noise(kDistinct * kFrameBytes);
    const auto input = scratch.path / "noise.rgba";
    const auto out = (scratch.path / "big.avi").string();
    media_test::writeBytes(input, frames);
    // An audio track as long as the video, whose packets go into every RIFF.
    const auto tone = scratch.path / "tone.wav";
    const host::AudioInfo stereo{48000, 2, 16, false, 0, 16, 0};
    host::writeWav(tone.string(), stereo, noise(uint64_t{48000} * 4 * kFrames / kRate));
    const e2e::Run render =
        e2e::run("for i in $(seq " + std::to_string(kFrames / kDistinct) + "); do cat " +
                 e2e::quote(input.string()) + "; done | " + e2e::quote(KORVADIN_PROGRAM) +
                 " render - --raw " + std::to_string(kWidth) + "x" + std::to_string(kHeight) +
                 ":rgba --rate " + std::to_string(kRate) + " -c K8RA --audio " +
                 e2e::quote(tone.string()) + " -o " + e2e::quote(out));
    ASSERT_EQ(render.exitCode, 0) << render.err;

    // The file's layout as korvadin probe lists it, for the log.
    const e2e::Run probe = e2e::korvadin("probe " + e2e::quote(out));
    EXPECT_EQ(probe.exitCode, 0);
    std::printf("%s", probe.out.c_str());

    // Our reader walks the chunks and checks every index and count against them.
    host::AviReader reader(out);
    ASSERT_TRUE(reader.problems().empty()) << reader.problems().front();
    EXPECT_GT(reader.fileSize(), kFourGiB);
    ASSERT_EQ(reader.streams().size(), 2u);
    const auto& stream = reader.streams()[0];
    const auto& chunks = stream.chunks;
    ASSERT_EQ(chunks.size(), size_t{kFrames});
    std::vector<host::AviReader::Chunk> all = chunks;
    all.insert(all.end(), reader.streams()[1].chunks.begin(), reader.streams()[1].chunks.end());
    std::sort(all.begin(), all.end(), [](auto& a, auto& b) { return a.offset < b.offset; });

    // The RIFFs tile the file, each within its limit, and each ends only because the next
    // chunk would not have fitted.
    const auto& riffs = reader.riffs();
    ASSERT_EQ(riffs.size(), 3u);
    EXPECT_EQ(stream.superIndex.size(), riffs.size());
    uint64_t end = 0;
    for (size_t r = 0; r < riffs.size(); ++r) {
        SCOPED_TRACE("RIFF " + std::to_string(r));
        EXPECT_EQ(riffs[r].offset, end);
        end = riffs[r].offset + 8 + riffs[r].size;
        const uint64_t limit = r == 0 ? kFirstRiffLimit : kRiffLimit;
        EXPECT_LE(end - riffs[r].offset, limit);
        const auto next = std::find_if(all.begin(), all.end(),
                                       [&](const auto& chunk) { return chunk.riff == r + 1; });
        if (next != all.end()) {
            EXPECT_GT(end - riffs[r].offset + 8 + next->size, limit);
        }
    }
    EXPECT_EQ(end, reader.fileSize());

    // ffprobe reads every packet of both streams, each where our reader found its chunk
    // (ffprobe gives the position of a packet's data, past its chunk header). It hands PCM
    // over in parts of at most 1024 sample frames, which lie one after the other in their
    // chunk: those are joined again.
    for (size_t s = 0; s < 2; ++s) {
        const auto& ours = reader.streams()[s].chunks;
        std::vector<std::pair<uint64_t, uint64_t>> probed; // position, size
        for (const auto& packet :
             records(e2e::tool("ffprobe", "-select_streams " + std::to_string(s) +
                                              " -show_entries packet=pos,size -of compact=p=0 " +
                                              e2e::quote(out)))) {
            const uint64_t pos = std::stoull(packet.at("pos")),
                           size = std::stoull(packet.at("size"));
            if (!probed.empty() && probed.size() <= ours.size() &&
                probed.back().first + probed.back().second == pos &&
                probed.back().second < ours[probed.size() - 1].size) {
                probed.back().second += size;
            } else {
                probed.emplace_back(pos, size);
            }
        }
        ASSERT_EQ(probed.size(), ours.size()) << "stream " << s;
        for (size_t i = 0; i < ours.size(); ++i) {
            EXPECT_EQ(probed[i], std::pair(ours[i].offset, uint64_t{ours[i].size}))
                << "stream " << s << " packet " << i;
        }
    }

    // The last packets, reached by seeking, hold the frames that went in.
    const int first = kFrames - kDistinct;
    const auto tail =
        records(e2e::tool("ffprobe", "-read_intervals " + std::to_string(double(first) / kRate) +
                                         "%+#" + std::to_string(kDistinct) +
                                         " -select_streams 0 -show_data_hash adler32 -show_entries "
                                         "packet=pts,pos,data_hash "
                                         "-of compact=p=0 " +
                                         e2e::quote(out)));
    ASSERT_EQ(tail.size(), size_t{kDistinct});
    host::FrameDecoder decoder(std::span(stream.format).subspan(40));
    for (const auto& packet : tail) {
        const int i = std::stoi(packet.at("pts"));
        SCOPED_TRACE("packet " + std::to_string(i));
        ASSERT_GE(i, first);
        ASSERT_LT(i, kFrames);
        EXPECT_GT(chunks[i].offset, kFourGiB);
        EXPECT_EQ(packet.at("pos"), std::to_string(chunks[i].offset));
        const auto bytes = reader.readChunk(chunks[i]);
        EXPECT_EQ(packet.at("data_hash"), "adler32:" + e2e::adler32(bytes, 1));
        const auto& picture = decoder.decode(bytes);
        const auto expected = std::span(frames).subspan((i % kDistinct) * kFrameBytes, kFrameBytes);
        EXPECT_TRUE(std::equal(picture.begin(), picture.end(), expected.begin(), expected.end()));
    }
}

} // namespace
