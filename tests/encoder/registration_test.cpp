#include "davinci/encoder/codec_formats.h"
#include "davinci/encoder/plugin_identity.h"
#include "plugin_fixture.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

using namespace IOPlugin;
using korvadin_test::PluginFixture;
using korvadin_test::sent;

namespace {

class RegistrationTest : public PluginFixture {
protected:
    std::vector<host::Handle> registerCodecs(int32_t expected = errNone) {
        const host::Handle list = host().createList();
        EXPECT_EQ(send(msgRegisterCodecs, list), expected);
        return host().listItems(list);
    }

    std::vector<std::string> namesOf(const std::vector<host::Handle>& bags) {
        std::vector<std::string> names;
        for (const host::Handle bag : bags) {
            names.push_back(host().property(bag, "name")->text());
        }
        return names;
    }

    static std::vector<std::string> namesExcept(const std::vector<uint32_t>& refusedIds) {
        std::vector<std::string> names;
        for (const CodecFormat& format : s_codecFormats) {
            if (std::find(refusedIds.begin(), refusedIds.end(), format.id) == refusedIds.end()) {
                names.push_back(format.name);
            }
        }
        return names;
    }

    // The one instance of a registration was opened and closed again.
    void expectOneInstanceClosed() {
        EXPECT_EQ(library().opened.size(), 1u);
        EXPECT_EQ(library().closed, library().opened);
        EXPECT_EQ(library().libraryCloses, library().libraryInits);
    }
};

struct Expected {
    std::string key;
    uint32_t type;
    int32_t count;
    std::vector<uint8_t> bytes;
};

std::vector<uint8_t> bytesOf(const void* data, size_t size) {
    const auto* first = static_cast<const uint8_t*>(data);
    return {first, first + size};
}
std::vector<uint8_t> u32(uint32_t v) {
    return bytesOf(&v, 4);
}
std::vector<uint8_t> text(const std::string& s) {
    return bytesOf(s.data(), s.size());
}

std::string hexOf(const std::vector<uint8_t>& bytes) {
    std::string hex;
    char digits[3];
    for (const uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        hex += digits;
    }
    return hex;
}

std::vector<Expected> expectedCodecBag(const CodecFormat& f) {
    std::string containers = hexOf(bytesOf(kContainerUuid.data(), 16));
    containers.push_back('\0');
    return {
        {"uuid", propUInt8, 16, bytesOf(f.uuid.data(), 16)},
        {"group", propString, 8, text("Korvadin")},
        {"name", propString, static_cast<int32_t>(f.name.size()), text(f.name)},
        {"4cc", propUInt32, 1, u32(f.fourcc)},
        {"mediaType", propUInt32, 1, u32(2)},
        {"codecDirection", propUInt32, 1, u32(2)},
        {"colorModel", propUInt32, 1, u32(f.colorModel)},
        {"dataRange", propUInt8, static_cast<int32_t>(f.dataRanges.size()), f.dataRanges},
        {"hSubsampling", propUInt8, 1, {f.hSubsampling}},
        {"vSubsampling", propUInt8, 1, {f.vSubsampling}},
        {"bitDepth", propUInt32, 1, u32(f.bitDepth)},
        {"sampleBits", propUInt32, 1, u32(f.sampleBits)},
        {"fieldOrder", propUInt8, 1, {7}},
        {"codecContainers", propString, 33, text(containers)},
        {"isThreadSafe", propUInt8, 1, {1}},
    };
}

void expectBag(host::Handle bag, const std::vector<Expected>& expected, const std::string& what) {
    std::vector<std::string> keys;
    for (const Expected& e : expected) {
        keys.push_back(e.key);
    }
    EXPECT_EQ(host::Host::instance().propertyKeys(bag), keys) << what;
    for (const Expected& e : expected) {
        const auto value = host::Host::instance().property(bag, e.key);
        ASSERT_TRUE(value) << what << " " << e.key;
        EXPECT_EQ(std::tie(value->type, value->count, value->bytes),
                  std::tie(e.type, e.count, e.bytes))
            << what << " " << e.key;
    }
}

TEST_F(RegistrationTest, EveryAcceptedVariantGetsItsFullBagInTableOrder) {
    const auto bags = registerCodecs();
    ASSERT_EQ(bags.size(), s_codecFormats.size());
    for (size_t i = 0; i < bags.size(); ++i) {
        expectBag(bags[i], expectedCodecBag(s_codecFormats[i]), s_codecFormats[i].name);
    }
    // Each variant was asked about as a 128 by 128 frame of its raw layout.
    ASSERT_EQ(library().queryIn.size(), s_codecFormats.size());
    for (size_t i = 0; i < s_codecFormats.size(); ++i) {
        const korvadin_format in = library().queryIn[i];
        const korvadin_format out = library().queryOut[i];
        EXPECT_EQ(
            std::tuple(in.width, in.height, in.format, out.width, out.height, out.format),
            std::tuple(128u, 128u, s_codecFormats[i].rawFormat, 0u, 0u, s_codecFormats[i].id));
    }
    expectOneInstanceClosed();
    for (const uint32_t instance : library().instancesUsed) {
        EXPECT_EQ(instance, library().opened.at(0));
    }
    EXPECT_TRUE(host().probe().errorTexts().empty());
}

TEST_F(RegistrationTest, RefusedVariantsAreLeftOutSilently) {
    const std::vector<std::vector<uint32_t>> refusals = {
        {},
        {102, 118, 114},
        {101},
        {114},
        {101, 102, 103, 104, 105, 107, 109, 110, 118, 108, 123, 115, 111, 112, 113, 114}};
    for (const auto& refused : refusals) {
        fake_korvadin::reset();
        host().probe().clearTrace();
        script().refusedFormats = {refused.begin(), refused.end()};
        EXPECT_EQ(namesOf(registerCodecs()), namesExcept(refused));
        EXPECT_EQ(library().queryIn.size(), s_codecFormats.size());
        EXPECT_TRUE(host().probe().errorTexts().empty());
        expectOneInstanceClosed();
    }
}

TEST_F(RegistrationTest, ContainerBag) {
    const host::Handle list = host().createList();
    ASSERT_EQ(send(msgRegisterContainers, list), errNone);
    const auto bags = host().listItems(list);
    ASSERT_EQ(bags.size(), 1u);
    expectBag(bags[0],
              {{"uuid", propUInt8, 16, bytesOf(kContainerUuid.data(), 16)},
               {"name", propString, 12, text("Korvadin AVI")},
               {"mediaType", propUInt32, 1, u32(3)},
               {"contExt", propString, 3, text("avi")}},
              "container");
    // The container needs no codec library.
    EXPECT_TRUE(library().calls.empty());
}

TEST_F(RegistrationTest, BagTheHostCannotCreate) {
    struct Case {
        std::string name;
        int32_t createResult; // what the host answers
        bool handleComesBack; // whether it made the bag all the same
        int32_t expected;
        std::vector<std::string> texts;
        size_t bagsPerRegistration; // codecs, container
    };
    const std::string failed = "Plugin Failed to create a property bag";
    const std::vector<Case> cases = {
        {"refused, no handle", errCreateFailed, false, errCreateFailed, {failed}, 0},
        {"success without a handle", errNone, false, errCreateFailed, {}, 0},
        {"failure with a handle", errFailed, true, errNone, {failed}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const uint32_t msg : {msgRegisterCodecs, msgRegisterContainers}) {
            host().reset();
            fake_korvadin::reset();
            const host::Interceptor bagCreation = [&](const host::TraceEntry& e) {
                const bool bag = e.msg == msgCreateObject && e.key == "bag";
                return bag ? std::optional(c.createResult) : std::nullopt;
            };
            if (c.handleComesBack) {
                host().probe().setResultFilter(bagCreation);
            } else {
                host().probe().setInterceptor(bagCreation);
            }
            const host::Handle list = host().createList();
            EXPECT_EQ(send(msg, list), c.expected);
            const auto texts = host().probe().errorTexts();
            const size_t bags = host().listItems(list).size();
            if (msg == msgRegisterCodecs) {
                // Registration stops at the first bag that cannot be made.
                const size_t queries = c.expected == errNone ? s_codecFormats.size() : 1;
                EXPECT_EQ(library().queryIn.size(), queries);
                EXPECT_EQ(bags, c.bagsPerRegistration * s_codecFormats.size());
                EXPECT_EQ(texts.size(), c.texts.size() * queries);
                expectOneInstanceClosed();
            } else {
                EXPECT_EQ(bags, c.bagsPerRegistration);
                EXPECT_EQ(texts, c.texts);
            }
            for (const std::string& t : texts) {
                EXPECT_EQ(t, failed);
            }
            host().probe().setInterceptor(nullptr);
            host().probe().setResultFilter(nullptr);
            // Each bag made was given back: the list holds the only references.
            EXPECT_TRUE(host().probe().leaks().empty());
        }
    }
}

TEST_F(RegistrationTest, MissingOrRefusingListStopsAtTheFirstAcceptedVariant) {
    // The first two variants are refused, so the third is the first bag to be appended.
    script().refusedFormats = {s_codecFormats[0].id, s_codecFormats[1].id};
    EXPECT_EQ(send(msgRegisterCodecs, host::Handle{0}), errFailed);
    EXPECT_EQ(library().queryIn.size(), 3u);
    expectOneInstanceClosed();
    EXPECT_EQ(sent(msgCreateObject).size(), 1u);
    EXPECT_TRUE(sent(msgListAppend).empty());

    EXPECT_EQ(send(msgRegisterContainers, host::Handle{0}), errFailed);

    host().probe().setInterceptor([](const host::TraceEntry& e) -> std::optional<int32_t> {
        return e.msg == msgListAppend ? std::optional(errFailed) : std::nullopt;
    });
    fake_korvadin::reset();
    const host::Handle list = host().createList();
    EXPECT_EQ(send(msgRegisterCodecs, list), errFailed);
    EXPECT_EQ(library().queryIn.size(), 1u);
    EXPECT_EQ(send(msgRegisterContainers, list), errFailed);
    EXPECT_TRUE(host().listItems(list).empty());
    EXPECT_TRUE(host().probe().errorTexts().empty());
}

TEST_F(RegistrationTest, RefusedPropertiesDoNotStopTheBag) {
    host().probe().setInterceptor([](const host::TraceEntry& e) -> std::optional<int32_t> {
        return e.msg == msgSetProperty && e.key == "group" ? std::optional(errFailed)
                                                           : std::nullopt;
    });
    const auto bags = registerCodecs();
    ASSERT_EQ(bags.size(), s_codecFormats.size());
    EXPECT_EQ(host().propertyKeys(bags[0]).size(), 14u);
    EXPECT_FALSE(host().property(bags[0], "group"));
}

TEST_F(RegistrationTest, UnusableLibraryIsReportedAsAFailureNotAnException) {
    struct Case {
        int32_t initResult;
        int32_t openResult;
        std::string text;
    };
    const std::vector<Case> cases = {
        {-2, 0,
         "Korvadin Plugin :: Failed to register the codecs: Korvadin error (-2): Result -2: "
         "KorvadinCodec(): korvadin_library_init()"},
        {0, -3,
         "Korvadin Plugin :: Failed to register the codecs: Korvadin error (-3): Result -3: "
         "KorvadinCodec(): korvadin_open()"},
    };
    for (const Case& c : cases) {
        host().reset();
        fake_korvadin::reset();
        script().libraryInitResult = c.initResult;
        script().openResult = c.openResult;
        EXPECT_TRUE(registerCodecs(errFailed).empty());
        EXPECT_EQ(host().probe().errorTexts(), std::vector<std::string>{c.text});
        EXPECT_TRUE(library().queryIn.empty());
        EXPECT_TRUE(host().probe().leaks().empty());
    }
}

} // namespace
