// Drives the module linked into the test program through pluginInit and its dispatcher,
// against the substitute host and the scriptable fake codec library.
#pragma once

#include "davinci/encoder/plugin_entry.h"
#include "fake_korvadin.h"
#include "host/host.h"
#include "support/host_checks.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace korvadin_test {

class PluginFixture : public ::testing::Test {
protected:
    void SetUp() override {
        host().reset();
        fake_korvadin::reset();
        const IOPlugin::HostApi api = host::Host::api();
        IOPlugin::PluginApi plugin{};
        ASSERT_EQ(pluginInit(&api, &plugin), IOPlugin::errNone);
        m_dispatch = plugin.dispatch;
    }

    // Whatever a test did, the module must hold no host reference, no lock and no open
    // instance once its objects are gone.
    void TearDown() override {
        expectNothingHeld();
        EXPECT_EQ(fake_korvadin::liveInstances(), 0);
    }

    static host::Host& host() { return host::Host::instance(); }
    host::Host& h = host::Host::instance();
    static const fake_korvadin::Record& library() { return fake_korvadin::record(); }
    static fake_korvadin::Script& script() { return fake_korvadin::script(); }

    template <class... Args>
    int32_t send(uint32_t msg, Args... args) {
        static_assert(((sizeof(Args) == 8) && ...), "every message argument fills a 64-bit slot");
        return m_dispatch(msg, args...);
    }

private:
    IOPlugin::PluginDispatchFn m_dispatch = nullptr;
};

} // namespace korvadin_test
