// The editor runs encoders of several jobs on threads of its own, registers codecs again while
// they run (opening its render settings does that), and writes files through containers at the
// same time. The plug-in starts no threads and keeps no lock, so it may share nothing writable
// between these: every encoder must produce, byte for byte, what it produces alone, and so must
// the container. The ThreadSanitizer build runs this test to catch the races that the bytes
// cannot show.
#include "file_contents.h"
#include "host/media/raw_layout.h"
#include "host/session.h"
#include "host/variants.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace IOPlugin;
using host::Handle;
using host::Host;
using korvadin_test::fileBytes;

namespace {

constexpr uint32_t kWidth = 48;
constexpr uint32_t kHeight = 32;
constexpr int kFrames = 4;
constexpr int kPackets = 40;
// One variant of every raw layout the host sends, 8- and 16-bit, RGB and YUV.
const std::vector<std::string> kVariants = {"K8RG", "K8RA", "K8Y4", "K8Y2",
                                            "K8Y0", "K2RA", "K0Y4", "K0Y0"};

using Bytes = std::vector<uint8_t>;

// What one encoder handed back: its configuration bytes, then each packet.
struct Encoded {
    Bytes cookie;
    std::vector<Bytes> packets;
    std::vector<int32_t> results;
    bool operator==(const Encoded&) const = default;
};

Bytes pseudoRandom(size_t size, uint32_t seed) {
    Bytes bytes(size);
    uint32_t state = 0x9e3779b9u * (seed + 1);
    for (uint8_t& b : bytes) {
        state = state * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(state >> 24);
    }
    return bytes;
}

class Concurrency : public ::testing::Test {
protected:
    void SetUp() override {
        h.reset();
        m_session = std::make_unique<host::PluginSession>(KORVADIN_PLUGIN_PATH);
        m_codecs = m_session->registerCodecs();
        m_container = m_session->registerContainers().at(0);
    }
    void TearDown() override {
        m_session.reset();
        for (const host::Leak& leak : h.leaks()) {
            ADD_FAILURE() << "the plug-in still holds " << host::kindName(leak.kind) << " "
                          << leak.handle;
        }
    }

    template <class... Args>
    int32_t send(Args... args) const {
        return m_session->plugin().send(args...);
    }

    // One job of a variant: create, open, kFrames frames, release.
    Encoded encode(const host::Registration& codec, uint32_t seed) const {
        Encoded out;
        void* encoder = nullptr;
        EXPECT_EQ(send(msgCreateObject, codec.uuid.data(), &encoder), errNone);
        const Handle callback = h.createCallback([&out](Handle buffer) {
            out.packets.push_back(Host::instance().bufferData(buffer));
            return errNone;
        });
        EXPECT_EQ(send(msgCodecSetCallback, encoder, callback), errNone);
        const Handle settings = h.createBuffer();
        h.setUInt32(settings, "width", kWidth);
        h.setUInt32(settings, "height", kHeight);
        h.setUInt8(settings, "dataRange", 1);
        EXPECT_EQ(send(msgCodecOpen, encoder, settings), errNone);
        if (const auto cookie = h.property(settings, "magicCookie")) {
            out.cookie = cookie->bytes;
        }
        const size_t frameSize = host::rawFrameSize(host::rawCodeOf(codec), kWidth, kHeight);
        for (int i = 0; i < kFrames; ++i) {
            const Handle frame = h.createBuffer(pseudoRandom(frameSize, seed + i));
            h.setUInt32(frame, "width", kWidth);
            h.setUInt32(frame, "height", kHeight);
            h.setInt64(frame, "pts", i);
            out.results.push_back(send(msgCodecBuffer, encoder, frame));
            h.release(frame);
        }
        uint32_t count = 0;
        EXPECT_EQ(send(msgRelease, encoder, &count), errNone);
        h.release(callback);
        h.release(settings);
        return out;
    }

    // A file of one video track and one audio track, packets alternating.
    void writeFile(const std::string& path) const {
        void* container = nullptr;
        ASSERT_EQ(send(msgCreateObject, m_container.uuid.data(), &container), errNone);
        const Handle video = h.createBag();
        h.setUInt32(video, "mediaType", 2);
        h.setUInt32(video, "width", kWidth);
        h.setUInt32(video, "height", kHeight);
        h.setUInt32s(video, "frameRate", {30000, 1001});
        const Handle codec = h.createBag();
        h.setUInt32(codec, "4cc", m_codecs.at(0).fourcc);
        const Handle audio = h.createBag();
        h.setUInt32(audio, "mediaType", 1);
        h.setUInt32(audio, "samplingRate", 48000);
        h.setUInt32(audio, "numChannels", 2);
        h.setUInt32(audio, "sampleBits", 16);
        void* tracks[2] = {nullptr, nullptr};
        EXPECT_EQ(send(msgContainerAddTrack, container, video, codec, &tracks[0]), errNone);
        EXPECT_EQ(send(msgContainerAddTrack, container, audio, Handle{0}, &tracks[1]), errNone);
        const Handle open = h.createBag();
        h.setString(open, "path", path);
        EXPECT_EQ(send(msgContainerOpen, container, open), errNone);
        for (int i = 0; i < kPackets; ++i) {
            const Handle packet = h.createBuffer(pseudoRandom(500 + 37 * i, 7000 + i));
            h.setInt64(packet, "duration", 120);
            EXPECT_EQ(send(msgTrackWritePacket, tracks[i % 2], packet), errNone);
            h.release(packet);
        }
        EXPECT_EQ(send(msgContainerClose, container), errNone);
        uint32_t count = 0;
        for (void* object : {tracks[0], tracks[1], container}) {
            EXPECT_EQ(send(msgRelease, object, &count), errNone);
        }
        for (const Handle bag : {video, codec, audio, open}) {
            h.release(bag);
        }
    }

    Host& h = Host::instance();
    std::unique_ptr<host::PluginSession> m_session;
    std::vector<host::Registration> m_codecs;
    host::Registration m_container;
    korvadin_test::ScratchDir m_dir;
};

TEST_F(Concurrency, EncodersRegistrationAndAContainerAtOnceGiveTheSerialBytes) {
    std::vector<const host::Registration*> variants;
    for (const std::string& name : kVariants) {
        variants.push_back(host::findVariant(m_codecs, name));
        ASSERT_NE(variants.back(), nullptr) << name;
    }

    // Alone, one after the other.
    std::vector<Encoded> serial;
    for (size_t v = 0; v < variants.size(); ++v) {
        serial.push_back(encode(*variants[v], uint32_t(100 * v)));
        ASSERT_EQ(serial.back().results, std::vector<int32_t>(kFrames, errNone)) << kVariants[v];
        ASSERT_FALSE(serial.back().cookie.empty());
    }
    const std::string serialFile = m_dir.file("serial.avi");
    writeFile(serialFile);

    // All at once: an encoder per variant on its own thread, the container on another, and a
    // registration that repeats until they are done.
    std::vector<Encoded> parallel(variants.size());
    const std::string parallelFile = m_dir.file("parallel.avi");
    std::atomic<size_t> running{variants.size() + 1};
    std::atomic<int> registrations{0};
    std::vector<size_t> registered; // read once the threads are joined
    {
        std::vector<std::jthread> threads;
        threads.emplace_back([&] {
            do {
                registered.push_back(m_session->registerCodecs().size());
                ++registrations;
            } while (running > 0 || registrations < 2);
        });
        threads.emplace_back([&] {
            writeFile(parallelFile);
            --running;
        });
        for (size_t v = 0; v < variants.size(); ++v) {
            threads.emplace_back([&, v] {
                parallel[v] = encode(*variants[v], uint32_t(100 * v));
                --running;
            });
        }
    }

    for (size_t v = 0; v < variants.size(); ++v) {
        EXPECT_TRUE(parallel[v] == serial[v]) << kVariants[v] << " differs from its serial run";
    }
    EXPECT_TRUE(fileBytes(parallelFile) == fileBytes(serialFile));
    EXPECT_EQ(registered, std::vector<size_t>(registered.size(), m_codecs.size()));
    EXPECT_TRUE(h.errorTexts().empty());
}

} // namespace
