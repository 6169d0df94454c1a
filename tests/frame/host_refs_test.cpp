// Host references: the reference discipline, typed reads, error texts and the fatal checks.
#include "davinci/encoder/wrapper/host_api.h"
#include "encoder/plugin_fixture.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <tuple>

using namespace IOPlugin;

namespace {

class HostRefs : public korvadin_test::PluginFixture {};

// An empty reference never calls the host; every other reference the module makes is checked
// by every test's teardown, on every path.
TEST_F(HostRefs, EmptyReferencesSendNothing) {
    HostPropertyCollectionRef ref(0);
    uint32_t type = 0;
    const void* value = nullptr;
    int32_t count = 0;
    EXPECT_EQ(std::tuple(ref.getProperty("width", &type, &value, &count), ref.setUInt32("w", 5),
                         HostBufferRef(0).unlock()),
              std::tuple(errNoHandle, errNoHandle, false));
    EXPECT_TRUE(h.probe().trace().empty());
}

// Typed reads of the wrong type or count are refused where the encoder and container read them;
// what only shows here: a flag is set by any value but 0, and a string is its whole count.
TEST_F(HostRefs, FlagsAndStringsReadAsTheHostMeansThem) {
    const auto bag = h.createBag();
    h.setUInt8(bag, "flag", 2);
    h.setUInt32(bag, "width", 1920);
    h.setString(bag, "empty", "");
    h.setProperty(bag, "five", propString, "abc\0efgh", 5);
    HostPropertyCollectionRef ref(bag);
    bool flag = false;
    EXPECT_TRUE(ref.readProperty("flag", flag) && flag);
    std::string text = "kept";
    EXPECT_FALSE(ref.getStringProperty("width", text) || ref.getStringProperty("missing", text));
    EXPECT_EQ(text, "kept");
    EXPECT_TRUE(ref.getStringProperty("empty", text));
    EXPECT_EQ(text, "");
    EXPECT_TRUE(ref.getStringProperty("five", text));
    EXPECT_EQ(text, std::string("abc\0e", 5));
    h.release(bag);
}

TEST_F(HostRefs, ErrorTextIsCutAt4094Characters) {
    reportHostError(0, "%s", std::string(5000, 'x').c_str());
    reportHostError(0, "Korvadin Plugin :: %s: %d", "short", -3);
    EXPECT_EQ(h.probe().errorTexts(),
              (std::vector<std::string>{std::string(4094, 'x'), "Korvadin Plugin :: short: -3"}));
}

TEST_F(HostRefs, FailedReferenceCountCallIsFatal) {
    const auto bag = h.createBag();
    EXPECT_DEATH(
        {
            h.probe().setInterceptor([](const host::TraceEntry& e) -> std::optional<int32_t> {
                return e.msg == msgAddRef ? std::optional(errFailed) : std::nullopt;
            });
            HostPropertyCollectionRef ref(bag);
        },
        "err == errNone.*davinci/encoder/wrapper/host_api");
    h.release(bag);
}

// Runs in a fresh process: nothing has called pluginInit there.
TEST(HostRefsBeforeInit, HostCallBeforePluginInitIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(reportHostError(0, "too early"),
                 "s_HostAPI.version != 0.*davinci/encoder/wrapper/host_api");
}

} // namespace
