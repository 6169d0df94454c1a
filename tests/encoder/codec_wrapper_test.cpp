#include "davinci/encoder/korvadin_codec.h"
#include "fake_korvadin.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

using namespace IOPlugin;
using fake_korvadin::Call;

namespace {

std::string p(const void* pointer) {
    char text[64];
    std::snprintf(text, sizeof text, "0x%p", pointer);
    return text;
}

const korvadin_format_ex kInput = {{1920, 1080, 254}, 1, 22, 0, 0, 2, 1};
const korvadin_format_ex kOutput = {{0, 0, 254}, 1, 101, 0, 0, 0, 0};
const std::string kInputText = "{{1920,1080,FMT_254(254)},1,FMT_22(22),0,P3_0(0),2,1}";
const std::string kOutputText = "{{0,0,FMT_254(254)},1,FMT_101(101),0,P3_0(0),0,0}";

class CodecWrapperTest : public ::testing::Test {
protected:
    void SetUp() override { fake_korvadin::reset(); }
    static fake_korvadin::Script& script() { return fake_korvadin::script(); }
    static const fake_korvadin::Record& library() { return fake_korvadin::record(); }
};

TEST_F(CodecWrapperTest, FailedStartThrowsWithTheCallNamedAndMakesNoFurtherCall) {
    struct Case {
        int32_t initResult;
        int32_t openResult;
        std::string message;
        std::vector<Call> calls;
    };
    const std::vector<Case> cases = {
        {-5,
         0,
         "Korvadin error (-5): Result -5: KorvadinCodec(): korvadin_library_init()",
         {Call::LibraryInit}},
        {0,
         -3,
         "Korvadin error (-3): Result -3: KorvadinCodec(): korvadin_open()",
         {Call::LibraryInit, Call::Open}},
        {0,
         12,
         "Korvadin error (12): Result 12: KorvadinCodec(): korvadin_open()",
         {Call::LibraryInit, Call::Open}},
    };
    for (const Case& c : cases) {
        fake_korvadin::reset();
        script().libraryInitResult = c.initResult;
        script().openResult = c.openResult;
        try {
            KorvadinCodec codec;
            ADD_FAILURE() << "no exception for " << c.message;
        } catch (const KorvadinError& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
            EXPECT_EQ(e.code(), c.initResult != 0 ? c.initResult : c.openResult);
        }
        // Without an instance there is nothing to close.
        std::vector<Call> calls = library().calls;
        std::erase(calls, Call::GetString);
        EXPECT_EQ(calls, c.calls) << c.message;
    }
}

TEST_F(CodecWrapperTest, DestructionClosesTheInstanceAndThenTheLibrary) {
    { KorvadinCodec codec; }
    EXPECT_EQ(library().calls,
              (std::vector<Call>{Call::LibraryInit, Call::Open, Call::Close, Call::LibraryClose}));
    EXPECT_EQ(library().closed, library().opened);
}

TEST_F(CodecWrapperTest, EachGuardedCallNamesItselfAndItsArgumentsWhenItFails) {
    korvadin_planes planes{};
    uint8_t frame[16] = {};
    uint8_t out[16] = {};
    planes.plane[0] = {frame, 4, 8};
    planes.plane[1] = {frame + 8, 2, 8};
    const std::string planesText = "{{" + p(frame) + ",4,8},{" + p(frame + 8) + ",2,8},{" +
                                   p(nullptr) + ",0,0},{" + p(nullptr) + ",0,0}}";

    struct Case {
        std::string name;
        std::function<void(KorvadinCodec&)> call;
        std::function<std::string()> expected; // read after the call: it may name a slot
    };
    uint32_t sizeSlot = 0;
    const std::vector<Case> cases = {
        {"query",
         [](KorvadinCodec& codec) {
             script().refuseAll = true;
             script().queryRefusal = -20;
             codec.compressQuery({128, 128, 22}, {0, 0, 101});
         },
         [] {
             return std::string("Korvadin error (-20): Result -20: compressQuery("
                                "{128,128,FMT_22(22)}, {0,0,FMT_101(101)}, null)");
         }},
        {"begin",
         [&](KorvadinCodec& codec) {
             script().compressBeginResult = -9;
             script().compBufferSizeOnFailure = 77;
             const uint8_t* cookie = nullptr;
             uint64_t cookieSize = 0;
             codec.compressBegin(kInput, kOutput, cookie, cookieSize, sizeSlot);
         },
         [&] {
             return "Korvadin error (-9): Result -9: compressBegin(" + kInputText + ", " +
                    kOutputText + ", {" + p(&sizeSlot) + ",77})";
         }},
        {"planes",
         [&](KorvadinCodec& codec) {
             script().initPlanesResult = -11;
             korvadin_planes filled{};
             codec.initPlanesCommon(kInput, filled, frame);
         },
         [&] {
             return "Korvadin error (-11): Result -11: initPlanesCommon(" + kInputText + ", " +
                    p(frame) + ")";
         }},
        {"planes without a frame",
         [](KorvadinCodec& codec) {
             script().initPlanesResult = -11;
             korvadin_planes filled{};
             codec.initPlanesCommon(kInput, filled, nullptr);
         },
         [] {
             return "Korvadin error (-11): Result -11: initPlanesCommon(" + kInputText + ", null)";
         }},
        {"compress",
         [&](KorvadinCodec& codec) {
             script().compressResult = -12;
             uint32_t compressed = 0;
             codec.compress(planes, out, compressed);
         },
         [&] {
             return "Korvadin error (-12): Result -12: compress(" + planesText + ", " + p(out) +
                    ")";
         }},
    };
    for (const Case& c : cases) {
        fake_korvadin::reset();
        KorvadinCodec codec;
        try {
            c.call(codec);
            ADD_FAILURE() << c.name << ": no exception";
        } catch (const KorvadinError& e) {
            EXPECT_EQ(std::string(e.what()), c.expected()) << c.name;
        }
    }
}

TEST_F(CodecWrapperTest, SuccessfulCallsBuildNoTextAndAskTheLibraryForNone) {
    {
        KorvadinCodec codec;
        codec.compressQuery({128, 128, 22}, {0, 0, 101});
        const uint8_t* cookie = nullptr;
        uint64_t cookieSize = 0;
        uint32_t compBufferSize = 0;
        codec.compressBegin(kInput, kOutput, cookie, cookieSize, compBufferSize);
        EXPECT_EQ(std::vector<uint8_t>(cookie, cookie + cookieSize), script().cookie);
        EXPECT_EQ(compBufferSize, script().compBufferSize);

        uint8_t frame[64] = {};
        uint8_t out[4096] = {};
        korvadin_planes planes{};
        script().planeSizes = {{40, 24, 0, 0}};
        codec.initPlanesCommon(kInput, planes, frame);
        uint32_t compressed = 0;
        codec.compress(planes, out, compressed);
        EXPECT_EQ(compressed, 64u);
    }
    EXPECT_EQ(library().getStringCalls, 0);
    // The query passes its scratch slot and a null fifth argument.
    EXPECT_FALSE(library().queryScratchMissing);
    EXPECT_FALSE(library().queryReservedPresent);
}

} // namespace
