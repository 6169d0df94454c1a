// The module linked into the test program, initialised against the substitute host, with the
// shared teardown of every test that drives it.
#pragma once

#include "davinci/encoder/plugin_entry.h"
#include "host/host.h"
#include "support/host_checks.h"

#include <gtest/gtest.h>

namespace korvadin_test {

class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override {
        h.reset();
        const IOPlugin::HostApi api = host::Host::api();
        IOPlugin::PluginApi plugin{};
        ASSERT_EQ(pluginInit(&api, &plugin), IOPlugin::errNone);
    }
    void TearDown() override { expectNothingHeld(); }
    host::Host& h = host::Host::instance();
};

} // namespace korvadin_test
