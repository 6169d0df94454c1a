// The editor runs the jobs of several renders on threads of its own, each an encoder and a
// container writing a file, and registers codecs again while they run (opening its render
// settings does that). The plug-in starts no threads and keeps no lock, so it may share nothing
// writable between these: every job must write, byte for byte, the file it writes alone. The
// ThreadSanitizer build runs this test to catch the races that the bytes cannot show.
#include "host/media/raw_layout.h"
#include "host/render_job.h"
#include "host/variants.h"
#include "support/files.h"
#include "support/plugin_file.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace IOPlugin;

namespace {

constexpr uint32_t kWidth = 48;
constexpr uint32_t kHeight = 32;
constexpr int kFrames = 4;
// One variant of every raw layout the host sends, 8- and 16-bit, RGB and YUV.
const std::vector<std::string> kFourccs = {"K8RG", "K8RA", "K8Y4", "K8Y2",
                                           "K8Y0", "K2RA", "K0Y4", "K0Y0"};

class Concurrency : public korvadin_test::PluginFileTest {
protected:
    void SetUp() override {
        PluginFileTest::SetUp();
        m_codecs = m_session->registerCodecs();
        m_containers = m_session->registerContainers();
    }
    // A job of the variant with an audio track, frames and packets alternating, into `name`.
    std::vector<uint8_t> render(const std::string& fourcc, const std::string& name) {
        const host::Registration& codec = *host::findVariant(m_codecs, fourcc);
        host::JobSettings settings = job(kWidth, kHeight, 30000, 1001);
        settings.outputPath = m_dir.file(name);
        settings.audioTracks = {host::AudioTrackSettings{}};
        {
            host::RenderJob render(*m_session, codec, m_containers.at(0), settings);
            const size_t frameSize = host::rawFrameSize(host::rawCodeOf(codec), kWidth, kHeight);
            for (int i = 0; i < kFrames; ++i) {
                render.encodeFrame(korvadin_test::noiseBytes(frameSize, uint32_t(100 * i)), i);
                render.writeAudio(0, korvadin_test::noiseBytes(400 + 4 * i, 7000 + i), 100 + i);
            }
            render.close();
        }
        return korvadin_test::readBytes(settings.outputPath);
    }

    std::vector<host::Registration> m_codecs, m_containers;
    korvadin_test::ScratchDir m_dir;
};

TEST_F(Concurrency, JobsAndRegistrationAtOnceWriteTheSerialBytes) {
    // Alone, one after the other.
    std::vector<std::vector<uint8_t>> serial;
    for (const std::string& fourcc : kFourccs) {
        serial.push_back(render(fourcc, fourcc + ".avi"));
        ASSERT_FALSE(serial.back().empty()) << fourcc;
    }
    // All at once: a job per variant on its own thread, and a registration that repeats until
    // they are done.
    std::vector<std::vector<uint8_t>> parallel(kFourccs.size());
    std::atomic<size_t> running{kFourccs.size()};
    std::vector<size_t> registered; // read once the threads are joined
    {
        std::vector<std::jthread> threads;
        threads.emplace_back([&] {
            do {
                registered.push_back(m_session->registerCodecs().size());
            } while (running > 0 || registered.size() < 2);
        });
        for (size_t v = 0; v < kFourccs.size(); ++v) {
            threads.emplace_back([&, v] {
                parallel[v] = render(kFourccs[v], kFourccs[v] + " at once.avi");
                --running;
            });
        }
    }
    for (size_t v = 0; v < kFourccs.size(); ++v) {
        EXPECT_TRUE(parallel[v] == serial[v]) << kFourccs[v] << " differs from its serial run";
    }
    EXPECT_EQ(registered, std::vector<size_t>(registered.size(), m_codecs.size()));
    EXPECT_TRUE(h.probe().errorTexts().empty());
}

} // namespace
