// What the host sees of the module: the messages it sent, the texts it reported, and whether it
// let go of everything it took.
#pragma once

#include "host/host.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace korvadin_test {

// The shared teardown of every test that drives the module: once its objects are gone it may hold
// no reference on anything of the host's and may have left no buffer locked, and its last-resort
// handler may have caught nothing, whatever the test did.
inline void expectNothingHeld(host::Host& h = host::Host::instance()) {
    for (const std::string& leak : h.probe().leakReport()) {
        ADD_FAILURE() << leak;
    }
    for (const std::string& failure : h.probe().takeInternalFailures()) {
        ADD_FAILURE() << "the module failed where it should not: " << failure;
    }
}

// The messages of one kind the module sent since the trace was last cleared, in order.
inline std::vector<host::TraceEntry> sent(uint32_t msg) {
    std::vector<host::TraceEntry> found;
    for (const host::TraceEntry& entry : host::Host::instance().probe().trace()) {
        if (entry.msg == msg) {
            found.push_back(entry);
        }
    }
    return found;
}

// The last error text the module reported, "" when there is none.
inline std::string lastText() {
    const auto texts = host::Host::instance().probe().errorTexts();
    return texts.empty() ? "" : texts.back();
}

} // namespace korvadin_test
