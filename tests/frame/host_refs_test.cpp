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

TEST_F(HostRefs, TypedAndStringReadsTakeOnlyWhatMatches) {
    const auto bag = h.createBag();
    h.setUInt8(bag, "narrow", 3);
    h.setUInt32s(bag, "pair", {30000, 1001});
    h.setUInt32(bag, "width", 1920);
    h.setInt64(bag, "pts", -42);
    h.setUInt8(bag, "flag", 2);
    h.setString(bag, "empty", "");
    h.setProperty(bag, "five", propString, "abc\0efgh", 5);
    HostPropertyCollectionRef ref(bag);

    uint32_t value = 99;
    EXPECT_FALSE(ref.readProperty("narrow", value)); // propUInt8 where 32 bits are expected
    EXPECT_FALSE(ref.readProperty("pair", value));   // count 2 where 1 is expected
    EXPECT_FALSE(ref.readProperty("missing", value));
    EXPECT_EQ(value, 99u);
    uint32_t rate[2] = {0, 0};
    int64_t pts = 0;
    bool flag = false;
    EXPECT_TRUE(ref.readProperty("width", value) && ref.readProperty("pair", rate, 2) &&
                ref.readProperty("pts", pts) && ref.readProperty("flag", flag));
    EXPECT_EQ(std::tuple(value, rate[0], rate[1], pts, flag),
              std::tuple(1920u, 30000u, 1001u, -42, true));

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
