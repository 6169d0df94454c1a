// The AVI container and its tracks through the built plug-in file, as the host drives them:
// what they refuse, what they write into the file's headers, and how long they live.
#include "avi/riff_reader.h"
#include "davinci/encoder/codec_formats.h"
#include "davinci/encoder/plugin_identity.h"
#include "host/avi_reader.h"
#include "support/files.h"
#include "support/plugin_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

using namespace IOPlugin;
using host::Handle;
using korvadin_test::u16At;
using korvadin_test::u32At;

namespace {

constexpr uint32_t kMediaVideo = 2;

struct VideoTrack {
    uint32_t width = 64, height = 48;
    std::optional<std::vector<uint32_t>> frameRate = std::vector<uint32_t>{25, 1};
    std::optional<uint32_t> fourcc = fourccValue("K8RG");
    std::optional<std::vector<uint8_t>> cookie = std::vector<uint8_t>{1, 2, 3, 4, 5};
};

class ContainerTest : public korvadin_test::PluginFileTest {
protected:
    void SetUp() override {
        PluginFileTest::SetUp();
        m_container = create(std::vector<uint8_t>(kContainerUuid.begin(), kContainerUuid.end()));
        const Handle init = h.createBag();
        EXPECT_EQ(send(msgContainerInit, m_container, init), errNone);
        h.release(init);
    }

    void TearDown() override {
        for (void* track : m_tracks) {
            release(track);
        }
        m_tracks.clear();
        if (m_container != nullptr) {
            release(std::exchange(m_container, nullptr));
        }
        PluginFileTest::TearDown();
    }

    // Adds a track described by the two bags and keeps the host's reference for TearDown.
    int32_t addTrack(Handle track, Handle codec, void** out = nullptr) {
        void* created = reinterpret_cast<void*>(0x1); // the container must clear it
        const int32_t result = send(msgContainerAddTrack, m_container, track, codec, &created);
        h.release(track);
        if (codec != 0) {
            h.release(codec);
        }
        if (result == errNone) {
            EXPECT_NE(created, nullptr);
            m_tracks.push_back(created);
        } else {
            EXPECT_EQ(created, nullptr);
        }
        if (out != nullptr) {
            *out = created;
        }
        return result;
    }

    int32_t addVideo(const VideoTrack& v = {}, void** out = nullptr) {
        const Handle track = h.createBag();
        h.setUInt32(track, "mediaType", kMediaVideo);
        h.setUInt32(track, "width", v.width);
        h.setUInt32(track, "height", v.height);
        if (v.frameRate) {
            h.setUInt32s(track, "frameRate", *v.frameRate);
        }
        const Handle codec = h.createBag();
        if (v.fourcc) {
            h.setUInt32(codec, "4cc", *v.fourcc);
        }
        if (v.cookie) {
            h.setBytes(codec, "magicCookie", *v.cookie);
        }
        return addTrack(track, codec, out);
    }

    int32_t addAudio(const host::AudioTrackSettings& a = {}, void** out = nullptr) {
        return addTrack(host::audioTrackBag(h, a), 0, out);
    }

    int32_t open(const std::string& path) {
        const Handle bag = host::outputPathBag(h, path);
        const int32_t result = send(msgContainerOpen, m_container, bag);
        h.release(bag);
        return result;
    }

    int32_t close() { return send(msgContainerClose, m_container); }

    int32_t writePacket(void* track, const std::vector<uint8_t>& bytes,
                        std::optional<int64_t> duration = std::nullopt) {
        const Handle packet = h.createBuffer(bytes);
        if (duration) {
            h.setInt64(packet, "duration", *duration);
        }
        const int32_t result = send(msgTrackWritePacket, track, packet);
        h.release(packet);
        return result;
    }

    // A video and an audio track, and the file opened.
    std::string openWithVideoAndAudio(void*& video, void*& audio) {
        EXPECT_EQ(addVideo({}, &video), errNone);
        EXPECT_EQ(addAudio({}, &audio), errNone);
        const std::string path = m_dir.file("out.avi");
        EXPECT_EQ(open(path), errNone);
        return path;
    }

    // Writes a file with the tracks already added, a frame to the video track if one is given,
    // and reads it back.
    std::unique_ptr<host::AviReader> writeAndRead(void* video = nullptr) {
        const std::string path = m_dir.file("out.avi");
        EXPECT_EQ(open(path), errNone);
        if (video != nullptr) {
            EXPECT_EQ(writePacket(video, {9, 8, 7, 6}), errNone);
        }
        EXPECT_EQ(close(), errNone);
        auto reader = std::make_unique<host::AviReader>(path);
        EXPECT_TRUE(reader->problems().empty()) << reader->problems().front();
        return reader;
    }

    korvadin_test::ScratchDir m_dir;
    void* m_container = nullptr;
    std::vector<void*> m_tracks;
};

// --- refusals ---

// Tracks without a usable media type, and a second video track, add no stream and change
// nothing of the first video track.
TEST_F(ContainerTest, UnusableAndSecondVideoTracksAreRefusedAndAddNoStream) {
    struct Case {
        const char* name;
        void (*describe)(host::Host&, Handle);
    };
    const Case cases[] = {
        {"missing", [](host::Host&, Handle) {}},
        {"as a byte", [](host::Host& h, Handle t) { h.setUInt8(t, "mediaType", 2); }},
        {"two values",
         [](host::Host& h, Handle t) {
             h.setUInt32s(t, "mediaType", {2, 1});
         }},
        {"as a string", [](host::Host& h, Handle t) { h.setString(t, "mediaType", "video"); }},
        {"unknown value 0", [](host::Host& h, Handle t) { h.setUInt32(t, "mediaType", 0); }},
        {"unknown value 3", [](host::Host& h, Handle t) { h.setUInt32(t, "mediaType", 3); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Handle track = h.createBag();
        c.describe(h, track);
        EXPECT_EQ(addTrack(track, h.createBag()), errInvalidArgument);
    }
    ASSERT_EQ(addVideo(), errNone);
    EXPECT_EQ(addVideo({.width = 640, .height = 480, .fourcc = fourccValue("K0Y2")}),
              errUnsupported);
    ASSERT_EQ(addAudio(), errNone);

    const auto file = writeAndRead();
    ASSERT_EQ(file->streams().size(), 2u);
    EXPECT_EQ(std::tuple(file->streams()[0].fccHandler, file->streams()[1].indexChunkId,
                         file->mainHeader()->width, file->mainHeader()->height),
              std::tuple("K8RG", "01wb", 64u, 48u));
}

// --- opening and closing ---

// A path that is missing or not a string is an empty path; closing a container that never
// opened succeeds and creates no file.
TEST_F(ContainerTest, OpenWithoutAPathFailsNamingAnEmptyPathAndCloseCreatesNoFile) {
    ASSERT_EQ(addVideo(), errNone);
    const Handle numberPath = h.createBag();
    h.setUInt32(numberPath, "path", 0x2f);
    for (const Handle bag : {h.createBag(), numberPath}) {
        h.probe().clearTrace();
        EXPECT_EQ(send(msgContainerOpen, m_container, bag), errFailed);
        EXPECT_EQ(h.probe().errorTexts(),
                  std::vector<std::string>{"Korvadin Plugin :: Failed to open output file: "});
        h.release(bag);
    }
    h.probe().clearTrace();
    EXPECT_EQ(close(), errNone);
    EXPECT_TRUE(std::filesystem::is_empty(m_dir.path()));
    EXPECT_TRUE(h.probe().errorTexts().empty());
}

TEST_F(ContainerTest, ASecondOpenIsRefusedAndTheFirstFileStillCompletes) {
    void* video = nullptr;
    ASSERT_EQ(addVideo({}, &video), errNone);
    const std::string first = m_dir.file("first.avi");
    const std::string second = m_dir.file("second.avi");
    ASSERT_EQ(open(first), errNone);
    ASSERT_EQ(writePacket(video, {1, 2, 3}), errNone);

    EXPECT_EQ(open(second), errFailed);
    ASSERT_EQ(h.probe().errorTexts().size(), 1u);
    EXPECT_EQ(h.probe().errorTexts()[0].rfind(
                  "Korvadin Plugin :: Failed to open output file: " + second, 0),
              0u)
        << h.probe().errorTexts()[0];
    EXPECT_FALSE(std::filesystem::exists(second));

    ASSERT_EQ(writePacket(video, {4, 5}), errNone);
    EXPECT_EQ(close(), errNone);
    host::AviReader file(first);
    EXPECT_TRUE(file.problems().empty()) << file.problems().front();
    ASSERT_EQ(file.streams().size(), 1u);
    const auto& chunks = file.streams()[0].chunks;
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(file.readChunk(chunks[0]), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(file.readChunk(chunks[1]), (std::vector<uint8_t>{4, 5}));
    EXPECT_EQ(file.mainHeader()->totalFrames, 2u);
}

// --- packets ---

TEST_F(ContainerTest, PacketsAfterCloseAreRefusedWithTheWritersReason) {
    void* video = nullptr;
    void* audio = nullptr;
    const std::string path = openWithVideoAndAudio(video, audio);
    ASSERT_EQ(writePacket(video, {1}), errNone);
    ASSERT_EQ(close(), errNone);
    const auto sizeAtClose = std::filesystem::file_size(path);

    EXPECT_EQ(writePacket(video, {2}), errFailed);
    EXPECT_EQ(writePacket(audio, {3, 4}, 1), errFailed);
    const std::string reason =
        "AviWriter::writeChunk: header is not written, writeHeader() must be called first";
    EXPECT_EQ(h.probe().errorTexts(),
              (std::vector<std::string>{
                  "Korvadin Plugin :: Failed to write AVI video chunk: " + reason,
                  "Korvadin Plugin :: Failed to write AVI audio chunk: " + reason}));
    EXPECT_EQ(std::filesystem::file_size(path), sizeAtClose);
}

TEST_F(ContainerTest, PacketsWithoutUsableDataAreSkippedQuietly) {
    void* video = nullptr;
    void* audio = nullptr;
    const std::string path = openWithVideoAndAudio(video, audio);

    for (void* track : {video, audio}) {
        EXPECT_EQ(send(msgTrackWritePacket, track, Handle{0}), errNone);
    }
    h.probe().setInterceptor([](const host::TraceEntry& entry) -> std::optional<int32_t> {
        if (entry.msg == msgBufferLock) {
            return errFailed;
        }
        return std::nullopt;
    });
    EXPECT_EQ(writePacket(video, {1, 2}), errNone);
    EXPECT_EQ(writePacket(audio, {1, 2}, 1), errNone);
    h.probe().setInterceptor({});
    for (const host::TraceEntry& entry : h.probe().trace()) {
        EXPECT_NE(entry.msg, msgBufferUnlock) << "a packet that was never locked was unlocked";
    }
    EXPECT_EQ(close(), errNone);

    host::AviReader file(path);
    EXPECT_TRUE(file.problems().empty()) << file.problems().front();
    for (const auto& stream : file.streams()) {
        EXPECT_TRUE(stream.chunks.empty()) << stream.fccType;
        EXPECT_EQ(stream.length, 0u) << stream.fccType;
    }
    EXPECT_TRUE(h.probe().errorTexts().empty());
}

TEST_F(ContainerTest, AudioPacketsCountTheirDurationOrNothingWithoutOne) {
    void* audio = nullptr;
    ASSERT_EQ(addAudio({}, &audio), errNone);
    const std::string path = m_dir.file("out.avi");
    ASSERT_EQ(open(path), errNone);
    ASSERT_EQ(writePacket(audio, std::vector<uint8_t>(40, 1), 10), errNone);
    ASSERT_EQ(writePacket(audio, std::vector<uint8_t>(20, 2)), errNone);
    ASSERT_EQ(close(), errNone);

    // The reader rightly notes that the bytes hold more sample frames than the index counts.
    host::AviReader file(path);
    EXPECT_EQ(file.problems().size(), 1u);
    const auto& stream = file.streams().at(0);
    ASSERT_EQ(stream.chunks.size(), 2u);
    ASSERT_EQ(stream.superIndex.size(), 1u);
    EXPECT_EQ(std::tuple(stream.chunks[1].size, stream.chunks[1].keyFrame, stream.length,
                         stream.superIndex[0].duration),
              std::tuple(20u, false, 10u, 10u));
}

// --- lifetimes ---

// The host may give back container and tracks in any order after close; the last release
// destroys everything and the module keeps no host object.
TEST_F(ContainerTest, ContainerAndTracksLiveUntilTheLastReleaseInEitherOrder) {
    for (const bool containerFirst : {true, false}) {
        SCOPED_TRACE(containerFirst ? "container first" : "tracks first");
        if (m_container == nullptr) {
            ASSERT_EQ(send(msgCreateObject, kContainerUuid.data(), &m_container), errNone);
        }
        ASSERT_EQ(addVideo(), errNone);
        ASSERT_EQ(addAudio(), errNone);
        ASSERT_EQ(open(m_dir.file("out.avi")), errNone);
        for (void* track : m_tracks) {
            ASSERT_EQ(writePacket(track, {1, 2, 3}, 1), errNone);
        }
        ASSERT_EQ(close(), errNone);

        if (containerFirst) {
            // Each track still holds the container; its packets reach the closed writer.
            EXPECT_EQ(release(std::exchange(m_container, nullptr)), 2u);
            h.probe().clearTrace();
            EXPECT_EQ(writePacket(m_tracks[0], {4}), errFailed);
            EXPECT_TRUE(h.probe().errorTexts().at(0).starts_with(
                "Korvadin Plugin :: Failed to write AVI video chunk: AviWriter::writeChunk: "));
            EXPECT_EQ(release(m_tracks[0]), 0u);
            EXPECT_EQ(release(m_tracks[1]), 0u);
        } else {
            EXPECT_EQ(release(m_tracks[0]), 0u);
            EXPECT_EQ(release(m_tracks[1]), 0u);
            EXPECT_EQ(release(std::exchange(m_container, nullptr)), 0u);
        }
        m_tracks.clear();
        EXPECT_TRUE(h.probe().leaks().empty());
    }
}

// --- stream headers from track descriptions ---

TEST_F(ContainerTest, VideoTrackDescriptionBecomesTheVideoHeaders) {
    struct Case {
        const char* name;
        const char* handler;
        uint16_t bitCount;
        uint32_t microSecPerFrame;
        VideoTrack track;
    };
    const Case cases[] = {
        {"K8RG 25/1", "K8RG", 24, 40000, {}},
        {"K0Y0 30000/1001",
         "K0Y0",
         15,
         33366,
         {.frameRate = {{30000, 1001}}, .fourcc = fourccValue("K0Y0")}},
        {"K4RA, no cookie",
         "K4RA",
         56,
         40000,
         {.fourcc = fourccValue("K4RA"), .cookie = std::nullopt}},
        {"unknown 4cc", "ABCD", 32, 40000, {.fourcc = fourccValue("ABCD")}},
        {"rate 0/1", "K8RG", 24, 0, {.frameRate = {{0, 1}}}},
        {"no rate", "K8RG", 24, 0, {.frameRate = std::nullopt}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        void* video = nullptr;
        ASSERT_EQ(addVideo(c.track, &video), errNone);
        const auto file = writeAndRead(video);
        ASSERT_EQ(file->streams().size(), 1u);
        const auto& stream = file->streams()[0];
        const size_t cookieSize = c.track.cookie ? c.track.cookie->size() : 0;
        const auto& rate = c.track.frameRate.value_or(std::vector<uint32_t>{0, 0});
        EXPECT_EQ(std::tuple(file->mainHeader()->microSecPerFrame, stream.fccType,
                             stream.fccHandler, stream.rate, stream.scale),
                  std::tuple(c.microSecPerFrame, "vids", c.handler, rate[0], rate[1]));
        const auto& f = stream.format;
        ASSERT_EQ(f.size(), 40 + cookieSize);
        EXPECT_EQ(std::tuple(u32At(f, 0), u32At(f, 4), u32At(f, 8), u16At(f, 14),
                             std::string(f.begin() + 16, f.begin() + 20), u32At(f, 20)),
                  std::tuple(40 + cookieSize, 64u, 48u, c.bitCount, c.handler,
                             64u * 48u * c.bitCount / 8));
        if (c.track.cookie) {
            EXPECT_TRUE(std::equal(c.track.cookie->begin(), c.track.cookie->end(),
                                   stream.format.begin() + 40));
        }
        EXPECT_EQ(stream.chunks.at(0).id, "00dc");
        EXPECT_TRUE(stream.chunks.at(0).keyFrame);
    }
}

// Plain PCM or float for up to two channels of up to 16 bits, the extensible form with the
// channel mask of the layout otherwise; each audio track a stream of its own.
TEST_F(ContainerTest, AudioTrackDescriptionsBecomeTheirOwnStreamFormats) {
    struct Case {
        host::AudioTrackSettings track;
        uint16_t tag;
        uint32_t mask; // 0: the plain form
    };
    const Case cases[] = {{{48000, 2, 32, true}, 3, 0},
                          {{44100, 6, 24, false}, 1, 0x3F},
                          {{96000, 8, 32, true}, 3, 0x63F}};
    ASSERT_EQ(addVideo(), errNone);
    for (const Case& c : cases) {
        ASSERT_EQ(addAudio(c.track), errNone);
    }
    const auto file = writeAndRead();
    ASSERT_EQ(file->streams().size(), 4u);
    EXPECT_EQ(file->streams()[0].indexChunkId, "00dc");
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const Case& c = cases[i];
        const auto& stream = file->streams()[i + 1];
        const auto& f = stream.format;
        EXPECT_EQ(std::tuple(stream.fccType, stream.indexChunkId),
                  std::tuple("auds", "0" + std::to_string(i + 1) + "wb"));
        ASSERT_EQ(f.size(), c.mask != 0 ? 40u : 16u);
        EXPECT_EQ(std::tuple(u16At(f, 0), u16At(f, 2), u32At(f, 4)),
                  std::tuple(c.mask != 0 ? 0xFFFE : c.tag, c.track.channels, c.track.sampleRate));
        if (c.mask != 0) {
            EXPECT_EQ(std::tuple(u16At(f, 18), u32At(f, 20), u32At(f, 24)),
                      std::tuple(c.track.bitsPerSample, c.mask, c.tag));
        } else {
            EXPECT_EQ(u16At(f, 14), c.track.bitsPerSample);
        }
    }
}

} // namespace
