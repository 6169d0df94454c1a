// Files written through AviWriter, read back by an independent reader (ffprobe): streams,
// packets in order with their sizes and key flags, and stream durations must be what was
// written, across several AVIX RIFFs.
#include "avi/avi_writer.h"
#include "avi_check.h"
#include "fileio/platform_file.h"
#include "fileio/scratch_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

using namespace IOPlugin;
using namespace korvadin_test;

namespace {

const std::string kFfprobe = KORVADIN_FFPROBE;

std::string run(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return output;
    }
    char buffer[4096];
    size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        output.append(buffer, n);
    }
    pclose(pipe);
    return output;
}

std::vector<std::vector<std::string>> csvRows(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty()) {
            continue;
        }
        std::vector<std::string> fields;
        std::istringstream cells(line);
        std::string cell;
        while (std::getline(cells, cell, ',')) {
            fields.push_back(cell);
        }
        rows.push_back(fields);
    }
    return rows;
}

std::vector<uint8_t> fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

struct Packet {
    uint32_t size;
    uint32_t duration;
    bool keyFrame;
    bool operator==(const Packet&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Packet& p) {
    return os << "{" << p.size << ", " << p.duration << ", " << (p.keyFrame ? "key" : "-") << "}";
}

TEST(AviWriterFfprobe, ReadsEveryPacketOfEveryStream) {
    if (kFfprobe.empty()) {
        GTEST_SKIP() << "ffprobe was not found when the build was configured";
    }
    ScratchDir dir;
    const std::string path = dir.file("written.avi");
    const AviLimits limits{1 << 20, 16384, 20000};

    // 16-bit stereo audio in chunks of whole blocks, 24-bit mono in odd-sized chunks, video
    // frames of odd and even sizes; audio chunks stay within the 1024 samples that the reader
    // takes as one packet.
    std::vector<ChunkSpec> script;
    for (uint32_t f = 0; f < 40; ++f) {
        script.push_back({0, 1001 + 3 * f, 1, f % 5 == 0});
        script.push_back({1, 4 * (800 + f % 3), 800 + f % 3, false});
        script.push_back({2, 3 * (701 + f % 2), 701 + f % 2, false});
    }
    {
        fileio::PlatformFile file;
        ASSERT_TRUE(file.open(path.c_str(), fileio::Write));
        AviWriter writer(file, limits);
        fillVideoStream(writer.stream(writer.addStream(riffFourcc("vids"))), 64, 48,
                        riffFourcc("K8RG"), {1, 2, 3});
        writer.stream(writer.addStream(riffFourcc("auds"))).setAudioFormat(1, 2, 48000, 16, 3);
        writer.stream(writer.addStream(riffFourcc("auds"))).setAudioFormat(1, 1, 44100, 24, 0);
        writer.writeHeader();
        writeScript(writer, script);
        writer.finalize();
        file.close();
    }
    const std::vector<uint8_t> bytes = fileBytes(path);
    ASSERT_GE(viewAvi(bytes).riffs.size(), 4u) << "the test wants several AVIX RIFFs";
    checkAvi(bytes, script, limits);

    const std::string quoted = " \"" + path + "\"";
    const auto streams = csvRows(
        run(kFfprobe + " -v error -show_entries stream=codec_type,nb_frames -of csv=p=0" + quoted));
    const auto packets = csvRows(run(
        kFfprobe + " -v error -show_entries packet=stream_index,size,duration,flags -of csv=p=0" +
        quoted));

    std::map<uint64_t, std::vector<Packet>> expected;
    std::map<uint64_t, uint32_t> durations;
    for (const ChunkSpec& c : script) {
        expected[c.stream].push_back({c.size, c.duration, c.stream == 0 ? c.keyFrame : true});
        durations[c.stream] += c.duration;
    }
    ASSERT_EQ(streams.size(), 3u);
    const std::vector<std::string> types = {"video", "audio", "audio"};
    for (size_t s = 0; s < 3; ++s) {
        ASSERT_EQ(streams[s].size(), 2u);
        EXPECT_EQ(streams[s][0], types[s]);
        EXPECT_EQ(streams[s][1], std::to_string(durations[s])) << "duration of stream " << s;
    }
    std::map<uint64_t, std::vector<Packet>> found;
    for (const auto& row : packets) {
        ASSERT_EQ(row.size(), 4u);
        found[std::stoul(row[0])].push_back({static_cast<uint32_t>(std::stoul(row[2])),
                                             static_cast<uint32_t>(std::stoul(row[1])),
                                             row[3].starts_with("K")});
    }
    EXPECT_EQ(found, expected);
}

} // namespace
