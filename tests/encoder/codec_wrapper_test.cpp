#include "davinci/encoder/korvadin_codec.h"
#include "fake_korvadin.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

using namespace IOPlugin;
using fake_korvadin::Call;

namespace {

const korvadin_format_ex kInput = {{1920, 1080, 254}, 1, 22, 0, 0, 2, 1};
const korvadin_format_ex kOutput = {{0, 0, 254}, 1, 101, 0, 0, 0, 0};
const std::string kInputText = "{{1920,1080,FMT_254(254)},1,FMT_22(22),0,P3_0(0),2,1}";
const std::string kOutputText = "{{0,0,FMT_254(254)},1,FMT_101(101),0,P3_0(0),0,0}";

fake_korvadin::Script& script() {
    return fake_korvadin::script();
}

// The message with every pointer in it replaced by "P", and the pointers' values in order: a
// pointer is "0x" and the platform's own text for it, so that messages compare with the
// library's logs.
std::pair<std::string, std::vector<uintptr_t>> pointersOut(const std::string& message) {
    std::pair<std::string, std::vector<uintptr_t>> result;
    for (size_t at = 0; at < message.size();) {
        if (message.compare(at, 2, "0x") != 0) {
            result.first += message[at++];
            continue;
        }
        // The platform's text may carry its own "0x", or name a null pointer "(nil)".
        const size_t digits = message.compare(at + 2, 2, "0x") == 0 ? at + 4 : at + 2;
        size_t end = digits;
        result.second.push_back(std::strtoull(message.c_str() + digits, nullptr, 16));
        while (end < message.size() && std::isxdigit(static_cast<unsigned char>(message[end]))) {
            ++end;
        }
        if (message.compare(digits, 5, "(nil)") == 0) {
            end = digits + 5;
        }
        result.first += "P";
        at = end;
    }
    return result;
}

TEST(CodecWrapper, EachGuardedCallNamesItselfAndItsArgumentsWhenItFails) {
    uint8_t frame[16] = {};
    uint8_t out[16] = {};
    korvadin_planes planes{};
    planes.plane[0] = {frame, 4, 8};
    planes.plane[1] = {frame + 8, 2, 8};
    uint32_t sizeSlot = 0;
    const auto address = [](const void* p) { return reinterpret_cast<uintptr_t>(p); };
    struct Case {
        std::function<void(KorvadinCodec&)> call;
        std::string message;             // pointers as P
        std::vector<uintptr_t> pointers; // their values
    };
    const Case cases[] = {
        {[&](KorvadinCodec& codec) {
             script().compressBeginResult = -9;
             script().compBufferSizeOnFailure = 77;
             const uint8_t* cookie = nullptr;
             uint64_t cookieSize = 0;
             codec.compressBegin(kInput, kOutput, cookie, cookieSize, sizeSlot);
         },
         "Korvadin error (-9): Result -9: compressBegin(" + kInputText + ", " + kOutputText +
             ", {P,77})",
         {address(&sizeSlot)}},
        {[&](KorvadinCodec& codec) {
             script().initPlanesResult = -11;
             korvadin_planes filled{};
             codec.initPlanesCommon(kInput, filled, frame);
         },
         "Korvadin error (-11): Result -11: initPlanesCommon(" + kInputText + ", P)",
         {address(frame)}},
        {[](KorvadinCodec& codec) {
             script().initPlanesResult = -11;
             korvadin_planes filled{};
             codec.initPlanesCommon(kInput, filled, nullptr);
         },
         "Korvadin error (-11): Result -11: initPlanesCommon(" + kInputText + ", null)",
         {}},
        {[&](KorvadinCodec& codec) {
             script().compressResult = -12;
             uint32_t compressed = 0;
             codec.compress(planes, out, compressed);
         },
         "Korvadin error (-12): Result -12: compress({{P,4,8},{P,2,8},{P,0,0},{P,0,0}}, P)",
         {address(frame), address(frame + 8), 0, 0, address(out)}},
    };
    for (const Case& c : cases) {
        fake_korvadin::reset();
        KorvadinCodec codec;
        try {
            c.call(codec);
            ADD_FAILURE() << c.message << ": no exception";
        } catch (const KorvadinError& e) {
            EXPECT_EQ(pointersOut(e.what()), std::pair(c.message, c.pointers));
        }
    }
}

// A working library is asked for nothing but the calls themselves, and the instance is closed
// before the library.
TEST(CodecWrapper, SuccessfulCallsBuildNoTextAndDestructionClosesInstanceThenLibrary) {
    fake_korvadin::reset();
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
    const fake_korvadin::Record& library = fake_korvadin::record();
    EXPECT_EQ(library.calls, (std::vector<Call>{Call::LibraryInit, Call::Open, Call::CompressQuery,
                                                Call::CompressBegin, Call::InitPlanes,
                                                Call::Compress, Call::Close, Call::LibraryClose}));
    EXPECT_EQ(library.closed, library.opened);
    // The query passes its scratch slot and a null fifth argument.
    EXPECT_EQ(std::tuple(library.getStringCalls, library.queryScratchMissing,
                         library.queryReservedPresent),
              std::tuple(0, false, false));
}

} // namespace
