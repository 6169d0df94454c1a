// The AVI container and its tracks through the built plug-in file, as the host drives them:
// what they refuse, what they write into the file's headers, and how long they live.
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
using korvadin_test::le;

namespace {

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
        m_init = h.createBag();
        m_container = create(std::vector<uint8_t>(kContainerUuid.begin(), kContainerUuid.end()));
        EXPECT_EQ(send(msgContainerInit, m_container, m_init), errNone);
    }
    void TearDown() override {
        for (void* track : std::exchange(m_tracks, {})) {
            release(track);
        }
        if (m_container != nullptr) {
            release(std::exchange(m_container, nullptr));
        }
        PluginFileTest::TearDown();
    }

    // Adds a track described by the two bags (given back here) and keeps the host's reference
    // on it for TearDown.
    int32_t addTrack(Handle track, Handle codec, void** out = nullptr) {
        void* created = reinterpret_cast<void*>(0x1); // the container must clear it
        const int32_t result = send(msgContainerAddTrack, m_container, track, codec, &created);
        for (const Handle bag : {track, codec}) {
            if (bag != 0) {
                h.release(bag);
            }
        }
        EXPECT_EQ(created == nullptr, result != errNone);
        if (result == errNone) {
            m_tracks.push_back(created);
        }
        if (out != nullptr) {
            *out = created;
        }
        return result;
    }
    int32_t addVideo(const VideoTrack& v = {}, void** out = nullptr) {
        const Handle track = h.createBag();
        h.setUInt32(track, "mediaType", mediaVideo);
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
    // An audio track with the layout given, or none.
    int32_t addAudio(const host::AudioTrackSettings& a, std::optional<uint32_t> layout) {
        const Handle track = h.createBag();
        h.setUInt32(track, "mediaType", mediaAudio);
        h.setUInt32(track, "samplingRate", a.sampleRate);
        h.setUInt32(track, "numChannels", a.channels);
        h.setUInt32(track, "sampleBits", a.bitsPerSample);
        h.setUInt8(track, "isFloat", a.isFloat);
        if (layout) {
            h.setUInt32(track, "audLayout", *layout);
        }
        return addTrack(track, 0);
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
    // Writes a file with the tracks already added, the packets given to the video track, and
    // reads it back.
    std::unique_ptr<host::AviReader>
    writeAndRead(void* video = nullptr, std::vector<std::vector<uint8_t>> frames = {{9, 8, 7, 6}}) {
        const std::string path = m_dir.file("out.avi");
        EXPECT_EQ(open(path), errNone);
        for (const auto& frame : video != nullptr ? frames : decltype(frames){}) {
            EXPECT_EQ(writePacket(video, frame), errNone);
        }
        EXPECT_EQ(close(), errNone);
        auto reader = std::make_unique<host::AviReader>(path);
        EXPECT_TRUE(reader->problems().empty()) << reader->problems().front();
        return reader;
    }

    korvadin_test::ScratchDir m_dir;
    Handle m_init = 0;
    void* m_container = nullptr;
    std::vector<void*> m_tracks;
};

// Tracks without a usable media type, and a second video track, add no stream and change
// nothing of the first video track.
TEST_F(ContainerTest, UnusableAndSecondVideoTracksAreRefusedAndAddNoStream) {
    const std::vector<void (*)(host::Host&, Handle)> descriptions = {
        [](host::Host&, Handle) {},
        [](host::Host& h, Handle t) { h.setUInt8(t, "mediaType", 2); },
        [](host::Host& h, Handle t) {
            h.setUInt32s(t, "mediaType", {2, 1});
        },
        [](host::Host& h, Handle t) { h.setString(t, "mediaType", "video"); },
        [](host::Host& h, Handle t) { h.setUInt32(t, "mediaType", 0); },
        [](host::Host& h, Handle t) { h.setUInt32(t, "mediaType", 3); },
    };
    for (const auto describe : descriptions) {
        const Handle track = h.createBag();
        describe(h, track);
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

// Open needs its collection, a video track needs no codec collection; after close, packets are
// refused with the writer's reason, and closing again leaves the file as the first close made it.
TEST_F(ContainerTest, MissingCollectionsAndWhatComesAfterClose) {
    EXPECT_EQ(send(msgContainerOpen, m_container, Handle{0}), errInvalidArgument);
    void* video = nullptr;
    void* audio = nullptr;
    ASSERT_EQ(addTrack(host::videoTrackBag(h, job(64, 48)), 0, &video), errNone);
    ASSERT_EQ(addAudio({}, &audio), errNone);
    const std::string path = m_dir.file("closed.avi");
    ASSERT_EQ(open(path), errNone);
    ASSERT_EQ(writePacket(video, {1, 2, 3}), errNone);
    ASSERT_EQ(close(), errNone);
    const std::vector<uint8_t> closed = korvadin_test::readBytes(path);
    EXPECT_EQ(writePacket(video, {2}), errFailed);
    EXPECT_EQ(writePacket(audio, {3, 4}, 1), errFailed);
    EXPECT_EQ(std::tuple(close(), close()), std::tuple(errNone, errNone));
    EXPECT_EQ(korvadin_test::readBytes(path), closed);
    const std::string reason = " chunk: AviWriter::writeChunk: header is not written, "
                               "writeHeader() must be called first";
    EXPECT_EQ(h.probe().errorTexts(),
              (std::vector<std::string>{"Korvadin Plugin :: Failed to write AVI video" + reason,
                                        "Korvadin Plugin :: Failed to write AVI audio" + reason}));
}

TEST_F(ContainerTest, ASecondOpenIsRefusedAndTheFirstFileStillCompletes) {
    void* video = nullptr;
    ASSERT_EQ(addVideo({}, &video), errNone);
    const std::string first = m_dir.file("first.avi"), second = m_dir.file("second.avi");
    ASSERT_EQ(open(first), errNone);
    ASSERT_EQ(writePacket(video, {1, 2, 3}), errNone);
    EXPECT_EQ(open(second), errFailed);
    ASSERT_EQ(h.probe().errorTexts().size(), 1u);
    EXPECT_TRUE(h.probe().errorTexts()[0].starts_with(
        "Korvadin Plugin :: Failed to open output file: " + second));
    EXPECT_FALSE(std::filesystem::exists(second));

    ASSERT_EQ(writePacket(video, {4, 5}), errNone);
    EXPECT_EQ(close(), errNone);
    host::AviReader file(first);
    EXPECT_TRUE(file.problems().empty()) << file.problems().front();
    const auto& chunks = file.streams().at(0).chunks;
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(std::tuple(file.readChunk(chunks[0]), file.readChunk(chunks[1])),
              std::tuple(std::vector<uint8_t>{1, 2, 3}, std::vector<uint8_t>{4, 5}));
}

// Init on an open container ends the file so far as a complete AVI and starts over: the tracks,
// whose streams the fresh writer does not have, are refused from then on.
TEST_F(ContainerTest, InitOnAnOpenContainerEndsItsFile) {
    void* video = nullptr;
    ASSERT_EQ(addVideo({}, &video), errNone);
    const std::string path = m_dir.file("interrupted.avi");
    ASSERT_EQ(open(path), errNone);
    for (uint8_t n = 0; n < 3; ++n) {
        ASSERT_EQ(writePacket(video, {n, n}), errNone);
    }
    EXPECT_EQ(send(msgContainerInit, m_container, m_init), errNone);
    const std::vector<uint8_t> ended = korvadin_test::readBytes(path);
    {
        const host::AviReader avi(path);
        EXPECT_TRUE(avi.problems().empty()) << avi.problems().front();
        EXPECT_EQ(avi.streams().at(0).chunks.size(), 3u);
    }
    EXPECT_EQ(writePacket(video, {7}), errFailed);
    EXPECT_EQ(close(), errNone);
    EXPECT_EQ(korvadin_test::readBytes(path), ended);
}

// A packet without a buffer, or one that cannot be locked, is skipped; an empty video packet is
// a frame of its own, an empty chunk; an audio packet without a duration counts no samples.
TEST_F(ContainerTest, PacketsWithoutDataOrDurationAreSkippedOrCountNothing) {
    void* video = nullptr;
    void* audio = nullptr;
    ASSERT_EQ(addVideo({}, &video), errNone);
    ASSERT_EQ(addAudio({}, &audio), errNone);
    const std::string path = m_dir.file("out.avi");
    ASSERT_EQ(open(path), errNone);
    for (void* track : {video, audio}) {
        EXPECT_EQ(send(msgTrackWritePacket, track, Handle{0}), errNone);
    }
    h.probe().setInterceptor([](const host::TraceEntry& e) -> std::optional<int32_t> {
        return e.msg == msgBufferLock ? std::optional(errFailed) : std::nullopt;
    });
    EXPECT_EQ(writePacket(video, {1, 2}), errNone);
    EXPECT_EQ(writePacket(audio, {1, 2}, 1), errNone);
    h.probe().setInterceptor({});
    EXPECT_TRUE(korvadin_test::sent(msgBufferUnlock).empty()) << "a packet never locked unlocked";
    EXPECT_EQ(writePacket(video, {}), errNone);
    EXPECT_EQ(writePacket(audio, std::vector<uint8_t>(40, 1), 10), errNone);
    EXPECT_EQ(writePacket(audio, std::vector<uint8_t>(20, 2)), errNone);
    EXPECT_EQ(close(), errNone);

    // The reader rightly notes that the audio bytes hold more sample frames than the headers
    // count.
    const host::AviReader file(path);
    for (const std::string& problem : file.problems()) {
        EXPECT_NE(problem.find("stream 1"), std::string::npos) << problem;
    }
    const auto& frames = file.streams().at(0);
    ASSERT_EQ(frames.chunks.size(), 1u);
    EXPECT_EQ(std::tuple(frames.chunks[0].size, frames.chunks[0].keyFrame, frames.length,
                         file.dmlhTotalFrames()),
              std::tuple(0u, true, 1u, std::optional(1u)));
    const auto& sound = file.streams().at(1);
    ASSERT_EQ(sound.chunks.size(), 2u);
    EXPECT_EQ(std::tuple(sound.chunks[1].size, sound.chunks[1].keyFrame, sound.length,
                         sound.superIndex.at(0).duration),
              std::tuple(20u, false, 10u, 10u));
}

// The host may give back the container before its tracks (the protocol suite gives them back
// first): each track still holds the container, and its packets reach the closed writer; the last
// release destroys everything.
TEST_F(ContainerTest, TracksKeepTheirContainerUntilTheLastRelease) {
    ASSERT_EQ(addVideo(), errNone);
    ASSERT_EQ(addAudio(), errNone);
    ASSERT_EQ(open(m_dir.file("out.avi")), errNone);
    ASSERT_EQ(writePacket(m_tracks[0], {1, 2, 3}), errNone);
    ASSERT_EQ(close(), errNone);
    EXPECT_EQ(release(std::exchange(m_container, nullptr)), 2u);
    EXPECT_EQ(writePacket(m_tracks[1], {4}, 1), errFailed);
    EXPECT_EQ(release(m_tracks[0]), 0u);
    EXPECT_EQ(release(m_tracks[1]), 0u);
    m_tracks.clear();
}

TEST_F(ContainerTest, VideoTrackDescriptionBecomesTheVideoHeaders) {
    struct Case {
        const char* handler;
        uint16_t bitCount;
        uint32_t microSecPerFrame;
        VideoTrack track;
    };
    const Case cases[] = {
        {"K8RG", 24, 40000, {}},
        {"K0Y0", 15, 33366, {.frameRate = {{30000, 1001}}, .fourcc = fourccValue("K0Y0")}},
        {"K4RA", 56, 40000, {.fourcc = fourccValue("K4RA"), .cookie = std::nullopt}},
        {"ABCD", 32, 40000, {.fourcc = fourccValue("ABCD")}},
        {"K8RG", 24, 0, {.frameRate = {{0, 1}}}},
        {"K8RG", 24, 0, {.frameRate = std::nullopt}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.handler) + " " + std::to_string(c.microSecPerFrame));
        TearDown();
        SetUp();
        void* video = nullptr;
        ASSERT_EQ(addVideo(c.track, &video), errNone);
        const auto file = writeAndRead(video);
        const auto& stream = file->streams().at(0);
        const std::vector<uint8_t> cookie = c.track.cookie.value_or(std::vector<uint8_t>{});
        const auto& rate = c.track.frameRate.value_or(std::vector<uint32_t>{0, 0});
        EXPECT_EQ(std::tuple(file->mainHeader()->microSecPerFrame, stream.fccType,
                             stream.fccHandler, stream.rate, stream.scale),
                  std::tuple(c.microSecPerFrame, "vids", c.handler, rate[0], rate[1]));
        const auto& f = stream.format;
        ASSERT_EQ(f.size(), 40 + cookie.size());
        EXPECT_EQ(std::tuple(le(f, 0), le(f, 4), le(f, 8), le(f, 14, 2),
                             korvadin_test::fourccAt(f, 16), le(f, 20)),
                  std::tuple(40 + cookie.size(), 64u, 48u, c.bitCount, c.handler,
                             64u * 48u * c.bitCount / 8));
        EXPECT_TRUE(std::equal(cookie.begin(), cookie.end(), f.begin() + 40));
        EXPECT_EQ(std::tuple(stream.chunks.at(0).id, stream.chunks.at(0).keyFrame),
                  std::tuple("00dc", true));
    }
}

// Each audio track a stream of its own: the plain format for PCM or float that it can describe,
// the extensible one otherwise (more than two channels, a mask that is not the plain one's,
// PCM deeper than 16 bits, bits that are no whole bytes), with the speakers of every
// "audLayout" value.
TEST_F(ContainerTest, AudioTrackDescriptionsBecomeTheirOwnStreamFormats) {
    struct Case {
        host::AudioTrackSettings track;
        std::optional<uint32_t> layout;
        uint16_t tag;
        std::optional<uint32_t> mask; // none: the plain form
    };
    const host::AudioTrackSettings pcm24{44100, 2, 24, false};
    const Case cases[] = {
        {{48000, 2, 16, false}, 2, 1, {}},
        {{44100, 1, 8, false}, 1, 1, {}},
        {{48000, 0, 16, false}, 0, 1, {}},
        {{48000, 2, 32, true}, 2, 3, {}},
        {{48000, 2, 32, true}, 0, 3, 0},
        {{48000, 1, 16, false}, 2, 1, 0x3},
        {{96000, 2, 20, false}, 2, 1, 0x3},
        {{48000, 6, 16, false}, 3, 1, 0x3F},
        {pcm24, std::nullopt, 1, 0},
        {pcm24, 0, 1, 0},
        {pcm24, 1, 1, 0},
        {pcm24, 2, 1, 0x3},
        {pcm24, 3, 1, 0x3F},
        {pcm24, 4, 1, 0x63F},
        {pcm24, 5, 1, 0},
        {pcm24, 0xFFFFFFFF, 1, 0},
    };
    ASSERT_EQ(addVideo(), errNone);
    for (const Case& c : cases) {
        ASSERT_EQ(addAudio(c.track, c.layout), errNone);
    }
    const auto file = writeAndRead();
    ASSERT_EQ(file->streams().size(), std::size(cases) + 1);
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        const Case& c = cases[i];
        const auto& stream = file->streams()[i + 1];
        const auto& f = stream.format;
        char id[5];
        std::snprintf(id, sizeof id, "%02zuwb", i + 1);
        EXPECT_EQ(std::tuple(stream.fccType, stream.indexChunkId), std::tuple("auds", id));
        const uint32_t bytes = (c.track.bitsPerSample + 7u) / 8, align = bytes * c.track.channels;
        ASSERT_EQ(f.size(), c.mask ? 40u : 16u);
        EXPECT_EQ(
            std::tuple(le(f, 0, 2), le(f, 2, 2), le(f, 4), le(f, 8), le(f, 12, 2), le(f, 14, 2)),
            std::tuple(c.mask ? 0xFFFEu : c.tag, c.track.channels, c.track.sampleRate,
                       align * c.track.sampleRate, align, bytes * 8));
        EXPECT_EQ(std::tuple(stream.scale, stream.rate, stream.sampleSize, le(stream.header, 40)),
                  std::tuple(align, align * c.track.sampleRate, align, 10000u));
        if (c.mask) {
            const std::vector<uint8_t> guidTail = {0, 0, 0,    0, 0x10, 0,    0x80,
                                                   0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
            EXPECT_EQ(std::tuple(le(f, 16, 2), le(f, 18, 2), le(f, 20), le(f, 24, 2),
                                 std::vector<uint8_t>(f.begin() + 26, f.end())),
                      std::tuple(22u, c.track.bitsPerSample, *c.mask, uint32_t{c.tag}, guidTail));
        }
    }
}

} // namespace
