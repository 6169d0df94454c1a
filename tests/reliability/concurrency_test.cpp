// The editor runs encoders of several jobs on threads of its own, registers codecs again while
// they run (opening its render settings does that), and writes files through containers at the
// same time. The plug-in starts no threads and keeps no lock, so it may share nothing writable
// between these: every encoder must produce, byte for byte, what it produces alone, and so must
// the container. The ThreadSanitizer build runs this test to catch the races that the bytes
// cannot show.
#include "host/media/raw_layout.h"
#include "host/variants.h"
#include "support/files.h"
#include "support/plugin_file.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace IOPlugin;
using host::Handle;
using host::Host;
using korvadin_test::noiseBytes;
using korvadin_test::readBytes;

namespace {

constexpr uint32_t kWidth = 48;
constexpr uint32_t kHeight = 32;
constexpr int kFrames = 4;
constexpr int kPackets = 40;
// One variant of every raw layout the host sends, 8- and 16-bit, RGB and YUV.
const std::vector<std::string> kFourccs = {"K8RG", "K8RA", "K8Y4", "K8Y2",
                                           "K8Y0", "K2RA", "K0Y4", "K0Y0"};

using Bytes = std::vector<uint8_t>;

// What one encoder handed back: its configuration bytes, then each packet.
struct Encoded {
    Bytes cookie;
    std::vector<Bytes> packets;
    std::vector<int32_t> results;
    bool operator==(const Encoded&) const = default;
};

class Concurrency : public korvadin_test::PluginFileTest {
protected:
    void SetUp() override {
        PluginFileTest::SetUp();
        m_codecs = m_session->registerCodecs();
        m_container = m_session->registerContainers().at(0);
    }

    // One job of a variant: create, open, kFrames frames, release.
    Encoded encode(const host::Registration& codec, uint32_t seed) const {
        Encoded out;
        void* encoder = create(codec.uuid);
        const Handle callback = h.createCallback([&out](Handle buffer) {
            out.packets.push_back(Host::instance().bufferData(buffer));
            return errNone;
        });
        EXPECT_EQ(send(msgCodecSetCallback, encoder, callback), errNone);
        const Handle settings = encoderSettings(kWidth, kHeight);
        EXPECT_EQ(send(msgCodecOpen, encoder, settings), errNone);
        if (const auto cookie = h.property(settings, "magicCookie")) {
            out.cookie = cookie->bytes;
        }
        const size_t frameSize = host::rawFrameSize(host::rawCodeOf(codec), kWidth, kHeight);
        for (int i = 0; i < kFrames; ++i) {
            const Handle f = frame(noiseBytes(frameSize, seed + i), kWidth, kHeight, i);
            out.results.push_back(send(msgCodecBuffer, encoder, f));
            h.release(f);
        }
        release(encoder);
        h.release(callback);
        h.release(settings);
        return out;
    }

    // A file of one video track and one audio track, packets alternating.
    void writeFile(const std::string& path) const {
        void* container = create(m_container.uuid);
        const Handle bags[] = {host::videoTrackBag(h, job(kWidth, kHeight, 30000, 1001)),
                               host::videoCodecBag(h, m_codecs.at(0).fourcc),
                               host::audioTrackBag(h, {}), host::outputPathBag(h, path)};
        void* tracks[2] = {nullptr, nullptr};
        EXPECT_EQ(send(msgContainerAddTrack, container, bags[0], bags[1], &tracks[0]), errNone);
        EXPECT_EQ(send(msgContainerAddTrack, container, bags[2], Handle{0}, &tracks[1]), errNone);
        EXPECT_EQ(send(msgContainerOpen, container, bags[3]), errNone);
        for (int i = 0; i < kPackets; ++i) {
            const Handle packet = h.createBuffer(noiseBytes(500 + 37 * i, 7000 + i));
            h.setInt64(packet, "duration", 120);
            EXPECT_EQ(send(msgTrackWritePacket, tracks[i % 2], packet), errNone);
            h.release(packet);
        }
        EXPECT_EQ(send(msgContainerClose, container), errNone);
        for (void* object : {tracks[0], tracks[1], container}) {
            release(object);
        }
        for (const Handle bag : bags) {
            h.release(bag);
        }
    }

    std::vector<host::Registration> m_codecs;
    host::Registration m_container;
    korvadin_test::ScratchDir m_dir;
};

TEST_F(Concurrency, EncodersRegistrationAndAContainerAtOnceGiveTheSerialBytes) {
    std::vector<const host::Registration*> variants;
    for (const std::string& name : kFourccs) {
        variants.push_back(host::findVariant(m_codecs, name));
        ASSERT_NE(variants.back(), nullptr) << name;
    }

    // Alone, one after the other.
    std::vector<Encoded> serial;
    for (size_t v = 0; v < variants.size(); ++v) {
        serial.push_back(encode(*variants[v], uint32_t(100 * v)));
        ASSERT_EQ(serial.back().results, std::vector<int32_t>(kFrames, errNone)) << kFourccs[v];
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
        EXPECT_TRUE(parallel[v] == serial[v]) << kFourccs[v] << " differs from its serial run";
    }
    EXPECT_TRUE(readBytes(parallelFile) == readBytes(serialFile));
    EXPECT_EQ(registered, std::vector<size_t>(registered.size(), m_codecs.size()));
    EXPECT_TRUE(h.probe().errorTexts().empty());
}

} // namespace
