// Host references: the reference discipline, typed reads, error texts and the fatal checks.
#include "davinci/encoder/plugin_entry.h"
#include "davinci/encoder/wrapper/host_api.h"
#include "host/host.h"
#include "support/host_checks.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

using namespace IOPlugin;
using host::Host;

namespace {

class HostRefs : public ::testing::Test {
protected:
    void SetUp() override {
        Host::instance().reset();
        const HostApi api = Host::api();
        PluginApi plugin{};
        ASSERT_EQ(pluginInit(&api, &plugin), errNone);
    }
    void TearDown() override { korvadin_test::expectNothingHeld(); }

    // The messages sent for one handle, in order.
    static std::vector<uint32_t> messagesFor(host::Handle handle) {
        std::vector<uint32_t> result;
        for (const auto& e : Host::instance().probe().trace()) {
            if (e.handle == handle) {
                result.push_back(e.msg);
            }
        }
        return result;
    }
    Host& h = Host::instance();
};

TEST_F(HostRefs, NullHandleSendsNothingAndRefusesProperties) {
    {
        HostPropertyCollectionRef ref(0);
        uint32_t type = 0;
        const void* value = nullptr;
        int32_t count = 0;
        EXPECT_EQ(ref.getProperty("width", &type, &value, &count), errNoHandle);
        EXPECT_EQ(ref.setUInt32("width", 5), errNoHandle);
        HostBufferRef buffer(0);
        EXPECT_FALSE(buffer.unlock());
    }
    EXPECT_TRUE(h.probe().trace().empty());
}

TEST_F(HostRefs, OneReferenceTakenAndGivenBackAlsoWhenUnwinding) {
    const auto bag = h.createBag();
    {
        HostPropertyCollectionRef ref(bag);
        EXPECT_EQ(messagesFor(bag), (std::vector<uint32_t>{msgAddRef}));
    }
    EXPECT_EQ(messagesFor(bag), (std::vector<uint32_t>{msgAddRef, msgRelease}));

    h.probe().clearTrace();
    EXPECT_THROW(
        {
            HostBufferRef ref(bag);
            throw std::runtime_error("operation failed");
        },
        std::runtime_error);
    EXPECT_EQ(messagesFor(bag), (std::vector<uint32_t>{msgAddRef, msgRelease}));
    h.release(bag);
}

TEST_F(HostRefs, AdoptedReferenceIsGivenBackOnce) {
    HostHandle created = 0;
    ASSERT_EQ(createHostObject(classIdBuffer, created), errNone);
    ASSERT_NE(created, 0u);
    { HostBufferRef ref(IHostObjRef::Adopt{}, created); }
    EXPECT_EQ(messagesFor(created), (std::vector<uint32_t>{msgCreateObject, msgRelease}));
    EXPECT_FALSE(h.alive(created));
}

TEST_F(HostRefs, StringPropertyReads) {
    const auto bag = h.createBag();
    h.setUInt32(bag, "number", 7);
    h.setString(bag, "empty", "");
    h.setProperty(bag, "five", propString, "abc\0efgh", 5);
    HostPropertyCollectionRef ref(bag);

    std::string text = "kept";
    EXPECT_FALSE(ref.getStringProperty("number", text));
    EXPECT_FALSE(ref.getStringProperty("missing", text));
    EXPECT_EQ(text, "kept");
    EXPECT_TRUE(ref.getStringProperty("empty", text));
    EXPECT_EQ(text, "");
    EXPECT_TRUE(ref.getStringProperty("five", text));
    EXPECT_EQ(text, std::string("abc\0e", 5));
    h.release(bag);
}

TEST_F(HostRefs, TypedReadsKeepDefaultsOnWrongTypeOrCount) {
    const auto bag = h.createBag();
    h.setUInt8(bag, "narrow", 3);
    h.setUInt32s(bag, "pair", {30000, 1001});
    h.setUInt32(bag, "width", 1920);
    h.setInt64(bag, "pts", -42);
    h.setUInt8(bag, "flag", 2);
    HostPropertyCollectionRef ref(bag);

    uint32_t value = 99;
    EXPECT_FALSE(ref.readProperty("narrow", value)); // propUInt8 where 32 bits are expected
    EXPECT_FALSE(ref.readProperty("pair", value));   // count 2 where 1 is expected
    EXPECT_FALSE(ref.readProperty("missing", value));
    EXPECT_EQ(value, 99u);
    EXPECT_TRUE(ref.readProperty("width", value));
    EXPECT_EQ(value, 1920u);

    uint32_t rate[2] = {0, 0};
    EXPECT_TRUE(ref.readProperty("pair", rate, 2));
    EXPECT_EQ(rate[0], 30000u);
    EXPECT_EQ(rate[1], 1001u);

    int64_t pts = 0;
    EXPECT_TRUE(ref.readProperty("pts", pts));
    EXPECT_EQ(pts, -42);
    bool flag = false;
    EXPECT_TRUE(ref.readProperty("flag", flag));
    EXPECT_TRUE(flag);
    h.release(bag);
}

TEST_F(HostRefs, ErrorTextIsCutAt4094Characters) {
    const std::string longText(5000, 'x');
    reportHostError(0, "%s", longText.c_str());
    reportHostError(0, "Korvadin Plugin :: %s: %d", "short", -3);
    const auto texts = h.probe().errorTexts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], std::string(4094, 'x'));
    EXPECT_EQ(texts[1], "Korvadin Plugin :: short: -3");
}

TEST_F(HostRefs, FailedReferenceCountCallIsFatal) {
    const auto bag = h.createBag();
    EXPECT_DEATH(
        {
            h.probe().setInterceptor([](const host::TraceEntry& e) -> std::optional<int32_t> {
                if (e.msg == msgAddRef) {
                    return errFailed;
                }
                return std::nullopt;
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
