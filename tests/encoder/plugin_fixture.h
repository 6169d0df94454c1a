// Drives the module linked into the test program through pluginInit and its dispatcher,
// against the substitute host and the scriptable fake codec library.
#pragma once

#include "davinci/encoder/plugin_entry.h"
#include "fake_korvadin.h"
#include "host/host.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

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

    // Whatever a test did, the module must hold no host reference and no open instance
    // once its objects are gone.
    void TearDown() override {
        for (const host::Leak& leak : host().leaks()) {
            ADD_FAILURE() << "the module still holds " << leak.moduleReferences
                          << " reference(s) on " << host::kindName(leak.kind) << " " << leak.handle;
        }
        EXPECT_EQ(fake_korvadin::liveInstances(), 0);
    }

    static host::Host& host() { return host::Host::instance(); }
    static const fake_korvadin::Record& library() { return fake_korvadin::record(); }
    static fake_korvadin::Script& script() { return fake_korvadin::script(); }

    template <class... Args>
    int32_t send(uint32_t msg, Args... args) {
        static_assert(((sizeof(Args) == 8) && ...), "every message argument fills a 64-bit slot");
        return m_dispatch(msg, args...);
    }

    // Messages the module sent, by name, in order; only those that match keep.
    std::vector<host::TraceEntry> sent(uint32_t msg) const {
        std::vector<host::TraceEntry> found;
        for (const host::TraceEntry& entry : host().trace()) {
            if (entry.msg == msg) {
                found.push_back(entry);
            }
        }
        return found;
    }

    // Every buffer the module locked successfully it also unlocked, as often.
    void expectLocksBalanced() const {
        std::map<host::Handle, int> open;
        for (const host::TraceEntry& entry : host().trace()) {
            if (entry.result != IOPlugin::errNone) {
                continue;
            }
            if (entry.msg == IOPlugin::msgBufferLock) {
                ++open[entry.handle];
            } else if (entry.msg == IOPlugin::msgBufferUnlock) {
                --open[entry.handle];
            }
        }
        for (const auto& [handle, count] : open) {
            EXPECT_EQ(count, 0) << "buffer " << handle << " left locked";
        }
    }

private:
    IOPlugin::PluginDispatchFn m_dispatch = nullptr;
};

} // namespace korvadin_test
