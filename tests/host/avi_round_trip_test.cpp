// The plug-in's own AVI writer produces a multi-RIFF file; the host's reader must find every
// chunk, every index entry and no problem.
#include "avi/avi_writer.h"
#include "fileio/platform_file.h"
#include "host/avi_reader.h"
#include "media_files.h"

#include <gtest/gtest.h>

using namespace IOPlugin;

namespace {

TEST(AviRoundTrip, ReaderFindsAllThatTheWriterWrote) {
    const auto path = media_test::scratch("written.avi").string();
    fileio::PlatformFile file;
    ASSERT_TRUE(file.open(path.c_str(), fileio::Write | fileio::Read));
    struct Written {
        uint64_t stream;
        std::vector<uint8_t> data;
        bool key;
    };
    std::vector<Written> written;
    {
        // Small limits, so that a few kilobytes make several RIFFs.
        AviWriter writer(file, AviLimits{64 * 1024, 4096, 3000});
        AviStream& video = writer.stream(writer.addStream(riffFourcc("vids")));
        set(video.header(), avi::strh::fccHandler, riffFourcc("K8RG"));
        set(video.header(), avi::strh::scale, uint32_t{1});
        set(video.header(), avi::strh::rate, uint32_t{25});
        video.format().assign(44, 7);
        video.resetChunkId();
        writer.stream(writer.addStream(riffFourcc("auds"))).setAudioFormat(1, 2, 48000, 16, 3);
        writer.writeHeader();
        for (uint32_t n = 0; n < 40; ++n) {
            const uint64_t stream = n % 3 == 2 ? 1 : 0;
            const uint32_t size = stream ? 4 * (50 + n) : 301 + 37 * n % 200; // odd and even
            std::vector<uint8_t> data(size);
            for (uint32_t i = 0; i < size; ++i)
                data[i] = static_cast<uint8_t>(n * 31 + i);
            writer.writeChunk(stream, data.data(), size, stream ? size / 4 : 1, stream == 0);
            written.push_back({stream, std::move(data), stream == 0});
        }
        writer.finalize();
    }
    file.close();

    host::AviReader reader(path);
    EXPECT_TRUE(reader.problems().empty()) << reader.problems().front();
    ASSERT_GT(reader.riffs().size(), 3u);
    ASSERT_EQ(reader.streams().size(), 2u);
    const auto& video = reader.streams()[0];
    EXPECT_EQ(video.fccHandler, "K8RG");
    EXPECT_EQ(video.format, std::vector<uint8_t>(44, 7));
    EXPECT_EQ(video.superIndex.size(), reader.riffs().size());
    const uint32_t frames = static_cast<uint32_t>(video.chunks.size());
    EXPECT_EQ(reader.dmlhTotalFrames(), frames);
    EXPECT_EQ(video.length, frames);
    size_t inFirstRiff = 0;
    for (const auto& c : video.chunks)
        inFirstRiff += c.riff == 0;
    EXPECT_EQ(reader.mainHeader()->totalFrames, inFirstRiff);
    EXPECT_EQ(reader.streams()[1].sampleSize, 4u);

    std::vector<size_t> next(2, 0);
    for (const auto& w : written) {
        const auto& chunks = reader.streams()[w.stream].chunks;
        ASSERT_LT(next[w.stream], chunks.size());
        const auto& c = chunks[next[w.stream]++];
        EXPECT_EQ(c.keyFrame, w.key);
        EXPECT_EQ(reader.readChunk(c), w.data);
    }
    EXPECT_EQ(next[0] + next[1],
              reader.streams()[0].chunks.size() + reader.streams()[1].chunks.size());
}

} // namespace
