// The built plug-in file, loaded and initialised as the editor does it, against the process-wide
// substitute host; and the host objects the editor hands it, built the usual way.
#pragma once

#include "host/render_job.h"
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

    // A job of width x height frames, full range; the host's bags describe it.
    static host::JobSettings job(uint32_t width, uint32_t height, uint32_t rateNum = 25,
                                 uint32_t rateDen = 1) {
        host::JobSettings settings;
        settings.width = width;
        settings.height = height;
        settings.rateNum = rateNum;
        settings.rateDen = rateDen;
        return settings;
    }
    host::Handle encoderSettings(uint32_t width, uint32_t height) const {
        return host::encoderSettingsBag(h, job(width, height));
    }
    host::Handle frame(const std::vector<uint8_t>& bytes, uint32_t width, uint32_t height,
                       int64_t pts) const {
        const host::Handle f = h.createBuffer(bytes);
        h.setUInt32(f, "width", width);
        h.setUInt32(f, "height", height);
        h.setInt64(f, "pts", pts);
        return f;
    }
    host::Host& h = host::Host::instance();
    std::unique_ptr<host::PluginSession> m_session;
};

} // namespace korvadin_test
