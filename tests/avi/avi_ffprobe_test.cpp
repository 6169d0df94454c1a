// Files written through AviWriter, read back by an independent reader (ffprobe): streams,
// packets in order with their sizes and key flags, and stream durations must be what was
// written, across several AVIX RIFFs.
#include "avi/avi_writer.h"
#include "avi_script.h"
#include "fileio/platform_file.h"
#include "support/files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>

using namespace IOPlugin;
using namespace korvadin_test;

namespace {

const std::string kFfprobe = KORVADIN_FFPROBE;

// Per stream, in reading order: "size duration" and a K for key frames.
using Packets = std::map<uint64_t, std::vector<std::string>>;

std::string packetText(uint32_t size, uint32_t duration, bool keyFrame) {
    return std::to_string(size) + " " + std::to_string(duration) + (keyFrame ? " K" : "");
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
    std::vector<ScriptedChunk> script;
    for (uint32_t f = 0; f < 40; ++f) {
        script.push_back({0, 1001 + 3 * f, 1, f % 5 == 0});
        script.push_back({1, 4 * (800 + f % 3), 800 + f % 3, false});
        script.push_back({2, 3 * (701 + f % 2), 701 + f % 2, false});
    }
    {
        fileio::PlatformFile file;
        ASSERT_TRUE(file.open(path.c_str(), fileio::Write));
        AviWriter writer(file, limits);
        // A video stream as the container describes a 64 x 48 K8RG track at 25 frames a second.
        AviStream& video = writer.stream(writer.addStream(riffFourcc("vids")));
        set(video.header(), avi::strh::scale, 1u);
        set(video.header(), avi::strh::rate, 25u);
        video.format() = {40, 0, 0, 0, 64, 0, 0, 0, 48, 0, 0, 0, 1, 0, 24, 0, 'K', '8', 'R', 'G'};
        video.format().resize(40);
        writer.stream(writer.addStream(riffFourcc("auds"))).setAudioFormat(1, 2, 48000, 16, 3);
        writer.stream(writer.addStream(riffFourcc("auds"))).setAudioFormat(1, 1, 44100, 24, 0);
        writer.writeHeader();
        writeScript(writer, script);
        writer.finalize();
        file.close();
    }
    ASSERT_GE(checkAvi(readBytes(path), script, limits)->riffs().size(), 4u)
        << "the test wants several AVIX RIFFs";

    const std::string quoted = " \"" + path + "\"";
    std::istringstream streams(commandOutput(
        kFfprobe + " -v error -show_entries stream=codec_type,nb_frames -of csv=p=0" + quoted));
    std::istringstream packets(commandOutput(
        kFfprobe + " -v error -show_entries packet=stream_index,duration,size,flags -of csv=p=0" +
        quoted));

    // Audio packets are all key frames to the reader.
    Packets expected, found;
    std::map<uint64_t, uint32_t> durations;
    for (const ScriptedChunk& c : script) {
        expected[c.stream].push_back(packetText(c.size, c.duration, c.keyFrame || c.stream > 0));
        durations[c.stream] += c.duration;
    }
    std::vector<std::string> streamLines;
    for (std::string line; std::getline(streams, line);) {
        streamLines.push_back(line);
    }
    EXPECT_EQ(streamLines, (std::vector<std::string>{"video," + std::to_string(durations[0]),
                                                     "audio," + std::to_string(durations[1]),
                                                     "audio," + std::to_string(durations[2])}));
    for (std::string line; std::getline(packets, line);) {
        unsigned long stream = 0;
        unsigned duration = 0, size = 0;
        char flag = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "%lu,%u,%u,%c", &stream, &duration, &size, &flag), 4)
            << line;
        found[stream].push_back(packetText(size, duration, flag == 'K'));
    }
    EXPECT_EQ(found, expected);
}

} // namespace
