// What the host sees of the module: the messages it sent, the texts it reported, and whether it
// let go of everything it took.
#pragma once

#include "host/host.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace korvadin_test {

// Whatever a test did, once the module's objects are gone it may hold no reference on anything
// of the host's and may have left no buffer locked.
inline void expectNothingHeld(const host::Host& h = host::Host::instance()) {
    for (const host::Leak& leak : h.leaks()) {
        ADD_FAILURE() << "the module still holds " << leak.moduleReferences << " reference(s) on "
                      << host::kindName(leak.kind) << " " << leak.handle;
    }
    std::map<host::Handle, int> locks;
    for (const host::TraceEntry& e : h.trace()) {
        if (e.result == IOPlugin::errNone &&
            (e.msg == IOPlugin::msgBufferLock || e.msg == IOPlugin::msgBufferUnlock)) {
            locks[e.handle] += e.msg == IOPlugin::msgBufferLock ? 1 : -1;
        }
    }
    for (const auto& [handle, open] : locks) {
        EXPECT_EQ(open, 0) << "buffer " << handle << " left locked";
    }
}

// The messages of one kind the module sent since the trace was last cleared, in order.
inline std::vector<host::TraceEntry> sent(uint32_t msg) {
    std::vector<host::TraceEntry> found;
    for (const host::TraceEntry& entry : host::Host::instance().trace()) {
        if (entry.msg == msg) {
            found.push_back(entry);
        }
    }
    return found;
}

// The last error text the module reported, "" when there is none.
inline std::string lastText() {
    const auto texts = host::Host::instance().errorTexts();
    return texts.empty() ? "" : texts.back();
}

} // namespace korvadin_test
