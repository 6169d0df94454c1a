// The built plug-in file, loaded and initialised as the editor does it, against the process-wide
// substitute host; and the host objects the editor hands it, built the usual way.
#pragma once

#include "host/session.h"
#include "support/host_checks.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace korvadin_test {

// Public, so that tables of cases can build their objects through a reference to the fixture.
class PluginFileTest : public ::testing::Test {
public:
    void SetUp() override {
        h.reset();
        m_session = std::make_unique<host::PluginSession>(KORVADIN_PLUGIN_PATH);
    }
    // Unloading the plug-in first: only what it still holds then is a leak.
    void TearDown() override {
        m_session.reset();
        expectNothingHeld(h);
    }

    template <class... Args>
    int32_t send(uint32_t msg, Args... args) const {
        return m_session->plugin().send(msg, args...);
    }

    void* create(const std::vector<uint8_t>& uuid) const {
        void* object = nullptr;
        EXPECT_EQ(send(IOPlugin::msgCreateObject, uuid.data(), &object), IOPlugin::errNone);
        return object;
    }
    // Gives back the host's reference; the count left.
    uint32_t release(void* object) const {
        uint32_t count = 99;
        EXPECT_EQ(send(IOPlugin::msgRelease, object, &count), IOPlugin::errNone);
        return count;
    }

    // What an encoder is opened with: the frame size, full range.
    host::Handle encoderSettings(uint32_t width, uint32_t height) const {
        const host::Handle settings = h.createBuffer();
        h.setUInt32(settings, "width", width);
        h.setUInt32(settings, "height", height);
        h.setUInt8(settings, "dataRange", 1);
        return settings;
    }
    host::Handle frame(const std::vector<uint8_t>& bytes, uint32_t width, uint32_t height,
                       int64_t pts) const {
        const host::Handle f = h.createBuffer(bytes);
        h.setUInt32(f, "width", width);
        h.setUInt32(f, "height", height);
        h.setInt64(f, "pts", pts);
        return f;
    }
    host::Handle videoTrackBag(uint32_t width, uint32_t height,
                               std::vector<uint32_t> rate = {25, 1}) const {
        const host::Handle bag = h.createBag();
        h.setUInt32(bag, "mediaType", 2);
        h.setUInt32(bag, "width", width);
        h.setUInt32(bag, "height", height);
        h.setUInt32s(bag, "frameRate", std::move(rate));
        return bag;
    }
    host::Handle codecBag(uint32_t fourcc) const {
        const host::Handle bag = h.createBag();
        h.setUInt32(bag, "4cc", fourcc);
        return bag;
    }
    host::Handle audioTrackBag(uint32_t rate = 48000, uint32_t channels = 2,
                               uint32_t bits = 16) const {
        const host::Handle bag = h.createBag();
        h.setUInt32(bag, "mediaType", 1);
        h.setUInt32(bag, "samplingRate", rate);
        h.setUInt32(bag, "numChannels", channels);
        h.setUInt32(bag, "sampleBits", bits);
        return bag;
    }
    host::Handle pathBag(const std::string& path) const {
        const host::Handle bag = h.createBag();
        h.setString(bag, "path", path);
        return bag;
    }

    host::Host& h = host::Host::instance();
    std::unique_ptr<host::PluginSession> m_session;
};

} // namespace korvadin_test
