#include "davinci/encoder/codec_formats.h"
#include "plugin_fixture.h"
#include "support/expected_variants.h"

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

using namespace IOPlugin;
using korvadin_test::kExpectedVariants;
using korvadin_test::PluginFixture;
using korvadin_test::sent;

namespace {

class RegistrationTest : public PluginFixture {
protected:
    std::vector<host::Handle> registerInto(uint32_t msg, int32_t expected = errNone) {
        const host::Handle list = host().createList();
        EXPECT_EQ(send(msg, list), expected);
        return host().listItems(list);
    }
    std::vector<std::string> names(const std::vector<host::Handle>& bags) {
        std::vector<std::string> result;
        for (const host::Handle bag : bags) {
            result.push_back(host().property(bag, "name")->text());
        }
        return result;
    }
    // The one instance of a registration was opened and closed again.
    void expectOneInstanceClosed() {
        EXPECT_EQ(library().opened.size(), 1u);
        EXPECT_EQ(library().closed, library().opened);
        EXPECT_EQ(library().libraryCloses, library().libraryInits);
    }
    // Each property of the bag, in the order set, with its type and count.
    std::vector<std::tuple<std::string, uint32_t, int32_t>> layoutOf(host::Handle bag) {
        std::vector<std::tuple<std::string, uint32_t, int32_t>> layout;
        for (const std::string& key : host().propertyKeys(bag)) {
            const auto value = host().property(bag, key);
            layout.emplace_back(key, value->type, value->count);
        }
        return layout;
    }
};

// Two hexadecimal digits per byte, lower case, as the host matches "codecContainers".
std::vector<uint8_t> parseHex(const std::string& text) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        EXPECT_TRUE(std::all_of(text.begin() + long(i), text.begin() + long(i) + 2, [](char c) {
            return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
        })) << text;
        bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

TEST_F(RegistrationTest, EveryAcceptedVariantGetsItsFullBagInTableOrder) {
    const auto containers = registerInto(msgRegisterContainers);
    const auto bags = registerInto(msgRegisterCodecs);
    ASSERT_EQ(bags.size(), kExpectedVariants.size());
    ASSERT_EQ(containers.size(), 1u);
    const std::vector<uint8_t> containerId = host().property(containers[0], "uuid")->bytes;
    for (size_t i = 0; i < bags.size(); ++i) {
        const korvadin_test::ExpectedVariant& v = kExpectedVariants[i];
        SCOPED_TRACE(v.name);
        const auto ranges = static_cast<int32_t>(v.dataRanges.size());
        const auto nameLength = static_cast<int32_t>(std::string(v.name).size());
        EXPECT_EQ(layoutOf(bags[i]), (std::vector<std::tuple<std::string, uint32_t, int32_t>>{
                                         {"uuid", propUInt8, 16},
                                         {"group", propString, 8},
                                         {"name", propString, nameLength},
                                         {"4cc", propUInt32, 1},
                                         {"mediaType", propUInt32, 1},
                                         {"codecDirection", propUInt32, 1},
                                         {"colorModel", propUInt32, 1},
                                         {"dataRange", propUInt8, ranges},
                                         {"hSubsampling", propUInt8, 1},
                                         {"vSubsampling", propUInt8, 1},
                                         {"bitDepth", propUInt32, 1},
                                         {"sampleBits", propUInt32, 1},
                                         {"fieldOrder", propUInt8, 1},
                                         {"codecContainers", propString, 33},
                                         {"isThreadSafe", propUInt8, 1}}));
        const auto value = [&](const char* key) { return *host().property(bags[i], key); };
        EXPECT_EQ(std::tuple(value("group").text(), value("name").text(), value("4cc").u32(),
                             value("mediaType").u32(), value("codecDirection").u32(),
                             value("colorModel").u32(), value("dataRange").bytes),
                  std::tuple("Korvadin", v.name, korvadin_test::fourccNumber(v.fourcc), 2u, 2u,
                             v.colorModel, v.dataRanges));
        EXPECT_EQ(std::tuple(value("hSubsampling").u8(), value("vSubsampling").u8(),
                             value("bitDepth").u32(), value("sampleBits").u32(),
                             value("fieldOrder").u8(), value("isThreadSafe").u8()),
                  std::tuple(v.hSubsampling, v.vSubsampling, v.bitDepth, v.sampleBits, 7, 1));
        const std::string containersText = value("codecContainers").text();
        EXPECT_EQ(containersText.back(), '\0');
        EXPECT_EQ(parseHex(containersText.substr(0, 32)), containerId);
        // The host asks for an encoder by the identifier it was given.
        const CodecFormat* row = findCodecFormatByUuid(value("uuid").bytes.data());
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->name, v.name);
        // Each variant was asked about as a 128 by 128 frame of its raw layout.
        const korvadin_format in = library().queryIn.at(i), out = library().queryOut.at(i);
        EXPECT_EQ(std::tuple(in.width, in.height, in.format, out.width, out.height, out.format),
                  std::tuple(128u, 128u, v.raw, 0u, 0u, v.id));
    }
    EXPECT_EQ(layoutOf(containers[0]), (std::vector<std::tuple<std::string, uint32_t, int32_t>>{
                                           {"uuid", propUInt8, 16},
                                           {"name", propString, 12},
                                           {"mediaType", propUInt32, 1},
                                           {"contExt", propString, 3}}));
    EXPECT_EQ(std::tuple(host().property(containers[0], "name")->text(),
                         host().property(containers[0], "mediaType")->u32(),
                         host().property(containers[0], "contExt")->text()),
              std::tuple("Korvadin AVI", 3u, "avi"));
    expectOneInstanceClosed();
    for (const uint32_t instance : library().instancesUsed) {
        EXPECT_EQ(instance, library().opened.at(0));
    }
    EXPECT_TRUE(host().probe().errorTexts().empty());
}

TEST_F(RegistrationTest, RefusedVariantsAreLeftOutSilently) {
    const std::vector<std::vector<uint32_t>> refusals = {
        {102, 118, 114},
        {101},
        {114},
        {101, 102, 103, 104, 105, 107, 109, 110, 118, 108, 123, 115, 111, 112, 113, 114}};
    for (const auto& refused : refusals) {
        fake_korvadin::reset();
        host().probe().clearTrace();
        script().refusedFormats = {refused.begin(), refused.end()};
        std::vector<std::string> accepted;
        for (const auto& v : kExpectedVariants) {
            if (std::find(refused.begin(), refused.end(), v.id) == refused.end()) {
                accepted.push_back(v.name);
            }
        }
        EXPECT_EQ(names(registerInto(msgRegisterCodecs)), accepted);
        EXPECT_EQ(library().queryIn.size(), kExpectedVariants.size());
        EXPECT_TRUE(host().probe().errorTexts().empty());
        expectOneInstanceClosed();
    }
}

TEST_F(RegistrationTest, BagTheHostCannotCreate) {
    struct Case {
        int32_t createResult; // what the host answers
        bool handleComesBack; // whether it made the bag all the same
        int32_t expected;
        size_t texts, bags; // per registration
    };
    const Case cases[] = {{errCreateFailed, false, errCreateFailed, 1, 0},
                          {errNone, false, errCreateFailed, 0, 0},
                          {errFailed, true, errNone, 1, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.createResult);
        for (const uint32_t msg : {msgRegisterCodecs, msgRegisterContainers}) {
            host().reset();
            fake_korvadin::reset();
            const host::Interceptor bagCreation = [&](const host::TraceEntry& e) {
                const bool bag = e.msg == msgCreateObject && e.key == "bag";
                return bag ? std::optional(c.createResult) : std::nullopt;
            };
            c.handleComesBack ? host().probe().setResultFilter(bagCreation)
                              : host().probe().setInterceptor(bagCreation);
            const size_t bags = registerInto(msg, c.expected).size();
            const auto texts = host().probe().errorTexts();
            // Codec registration stops at the first bag that cannot be made.
            const size_t rows = msg == msgRegisterContainers ? 1
                                : c.expected == errNone      ? kExpectedVariants.size()
                                                             : 1;
            EXPECT_EQ(std::tuple(bags, texts.size()), std::tuple(c.bags * rows, c.texts * rows));
            for (const std::string& t : texts) {
                EXPECT_EQ(t, "Plugin Failed to create a property bag");
            }
            if (msg == msgRegisterCodecs) {
                EXPECT_EQ(library().queryIn.size(), rows);
                expectOneInstanceClosed();
            }
            host().probe().setInterceptor(nullptr);
            host().probe().setResultFilter(nullptr);
        }
    }
}

TEST_F(RegistrationTest, MissingOrRefusingListStopsAtTheFirstAcceptedVariant) {
    // The first two variants are refused, so the third is the first bag to be appended.
    script().refusedFormats = {kExpectedVariants[0].id, kExpectedVariants[1].id};
    EXPECT_EQ(send(msgRegisterCodecs, host::Handle{0}), errFailed);
    EXPECT_EQ(library().queryIn.size(), 3u);
    expectOneInstanceClosed();
    EXPECT_EQ(std::tuple(sent(msgCreateObject).size(), sent(msgListAppend).size()),
              std::tuple(1u, 0u));
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
    const auto bags = registerInto(msgRegisterCodecs);
    ASSERT_EQ(bags.size(), kExpectedVariants.size());
    EXPECT_EQ(host().propertyKeys(bags[0]).size(), 14u);
    EXPECT_FALSE(host().property(bags[0], "group"));
}

TEST_F(RegistrationTest, UnusableLibraryIsReportedAsAFailureNotAnException) {
    const fake_korvadin::Call kStart[] = {fake_korvadin::Call::LibraryInit,
                                          fake_korvadin::Call::Open};
    const std::tuple<int32_t, int32_t, std::string> cases[] = {{-2, 0, "korvadin_library_init()"},
                                                               {0, -3, "korvadin_open()"}};
    for (const auto& [init, open, call] : cases) {
        host().reset();
        fake_korvadin::reset();
        script().libraryInitResult = init;
        script().openResult = open;
        EXPECT_TRUE(registerInto(msgRegisterCodecs, errFailed).empty());
        const int32_t code = init != 0 ? init : open;
        EXPECT_EQ(host().probe().errorTexts(),
                  std::vector<std::string>{
                      "Korvadin Plugin :: Failed to register the codecs: Korvadin error (" +
                      std::to_string(code) + "): Result " + std::to_string(code) +
                      ": KorvadinCodec(): " + call});
        // A failed start closes nothing: a library closed after a failed open could undo the
        // start of an instance another render is using.
        std::vector<fake_korvadin::Call> made = library().calls;
        std::erase(made, fake_korvadin::Call::GetString);
        EXPECT_EQ(made, std::vector(kStart, kStart + (init != 0 ? 1 : 2)));
    }
}

} // namespace
