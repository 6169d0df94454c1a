#include "davinci/encoder/codec_formats.h"
#include "plugin_fixture.h"

#include <algorithm>
#include <functional>
#include <map>
#include <numeric>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

using namespace IOPlugin;
using korvadin_test::PluginFixture;
using korvadin_test::sent;

namespace {

// A description's fields, which test output can show.
auto fields(const korvadin_format_ex& f) {
    return std::tuple(f.base.width, f.base.height, f.base.format, f.param1, f.subFormat, f.param2,
                      f.param3, f.range, f.fieldOrder);
}

std::vector<uint8_t> pattern(size_t size, uint8_t first = 3) {
    std::vector<uint8_t> bytes(size);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

class EncoderTest : public PluginFixture {
protected:
    void SetUp() override {
        PluginFixture::SetUp();
        m_settings = host().createBag();
        m_callback = host().createCallback();
    }
    void TearDown() override {
        releaseEncoder();
        PluginFixture::TearDown();
    }

    void create(const CodecFormat& format = s_codecFormats[0]) {
        EXPECT_EQ(send(msgCreateObject, format.uuid.data(), &m_encoder), errNone);
    }
    void releaseEncoder() {
        uint32_t count = 99;
        if (m_encoder != nullptr) {
            EXPECT_EQ(send(msgRelease, std::exchange(m_encoder, nullptr), &count), errNone);
            EXPECT_EQ(count, 0u);
        }
    }
    int32_t open(uint32_t width = 8, uint32_t height = 4) {
        host().setUInt32(m_settings, "width", width);
        host().setUInt32(m_settings, "height", height);
        return send(msgCodecOpen, m_encoder, m_settings);
    }
    // An encoder for the first variant, with a callback, opened for 8 x 4 frames.
    void openEncoder() {
        create();
        ASSERT_EQ(send(msgCodecSetCallback, m_encoder, m_callback), errNone);
        ASSERT_EQ(open(), errNone);
        host().probe().clearTrace();
    }
    host::Handle frame(const std::vector<uint8_t>& data, int64_t pts = 0) {
        const host::Handle buffer = host().createBuffer(data);
        host().setUInt32(buffer, "width", 8);
        host().setUInt32(buffer, "height", 4);
        host().setInt64(buffer, "pts", pts);
        return buffer;
    }
    int32_t encode(host::Handle buffer) { return send(msgCodecBuffer, m_encoder, buffer); }
    std::vector<host::Handle> delivered() const { return host().receivedBuffers(m_callback); }

    IPluginObjRef* m_encoder = nullptr;
    host::Handle m_settings = 0;
    host::Handle m_callback = 0;
};

TEST_F(EncoderTest, OpenDescribesTheJobToTheLibraryAndPublishesTheCookie) {
    struct Case {
        std::optional<uint8_t> fieldOrder, dataRange;
        uint32_t libraryFieldOrder, libraryRange;
    };
    const Case cases[] = {{2, 1, 1, 2}, {4, 0, 2, 1}, {3, 2, 0, 1}, {0, 255, 0, 1}, {{}, {}, 0, 1}};
    const CodecFormat& format = *findCodecFormatByFourcc(fourccValue("K0Y0"));
    for (const Case& c : cases) {
        fake_korvadin::reset();
        m_settings = host().createBag();
        create(format);
        if (c.fieldOrder) {
            host().setUInt8(m_settings, "fieldOrder", *c.fieldOrder);
        }
        if (c.dataRange) {
            host().setUInt8(m_settings, "dataRange", *c.dataRange);
        }
        ASSERT_EQ(open(1920, 1080), errNone);
        ASSERT_EQ(library().beginIn.size(), 1u);
        EXPECT_EQ(fields(library().beginIn[0]), std::tuple(1920u, 1080u, 254u, 1u, 59u, 0u, 0u,
                                                           c.libraryRange, c.libraryFieldOrder));
        EXPECT_EQ(fields(library().beginOut[0]),
                  std::tuple(0u, 0u, 254u, 1u, 123u, 0u, 0u, 0u, 0u));
        const auto cookie = host().property(m_settings, "magicCookie");
        ASSERT_TRUE(cookie);
        EXPECT_EQ(std::tuple(cookie->type, cookie->count, cookie->bytes),
                  std::tuple(propUInt8, 4, script().cookie));
        releaseEncoder();
    }
}

TEST_F(EncoderTest, FailedOpenLeavesNoInstanceAndRefusesFramesSilently) {
    const std::vector<std::pair<std::function<void()>, std::string>> cases = {
        {[] { script().compressBeginResult = -9; },
         "Korvadin Plugin :: compressBegin failed: Korvadin error (-9): Result -9: compressBegin("},
        {[] { script().openResult = -3; },
         "Korvadin Plugin :: compressBegin failed: Korvadin error (-3): Result -3: "
         "KorvadinCodec(): korvadin_open()"},
    };
    for (const auto& [fault, text] : cases) {
        host().reset();
        fake_korvadin::reset();
        m_settings = host().createBag();
        create();
        fault();
        EXPECT_EQ(open(), errFailed);
        ASSERT_EQ(host().probe().errorTexts().size(), 1u);
        EXPECT_TRUE(host().probe().errorTexts()[0].starts_with(text));
        EXPECT_EQ(fake_korvadin::liveInstances(), 0);
        EXPECT_FALSE(host().property(m_settings, "magicCookie"));

        host().probe().clearTrace();
        const auto callsBefore = library().calls.size();
        EXPECT_EQ(encode(frame(pattern(32))), errFailed);
        EXPECT_TRUE(host().probe().errorTexts().empty());
        EXPECT_TRUE(sent(msgBufferLock).empty());
        EXPECT_EQ(library().calls.size(), callsBefore);
        // The host may try again once the library works.
        fake_korvadin::reset();
        EXPECT_EQ(open(), errNone);
        releaseEncoder();
    }
}

TEST_F(EncoderTest, FramesLeaveAsKeyFramesInOrderWithDtsEqualToPts) {
    openEncoder();
    const std::vector<int64_t> stamps = {0, 1001, 2002, -5, int64_t{1} << 40};
    for (size_t i = 0; i < stamps.size(); ++i) {
        ASSERT_EQ(encode(frame(pattern(32, uint8_t(i)), stamps[i])), errNone);
    }
    const auto buffers = delivered();
    ASSERT_EQ(buffers.size(), stamps.size());
    for (size_t i = 0; i < buffers.size(); ++i) {
        // The fake stores the planes as they are: the output is the frame, cut to its size.
        EXPECT_EQ(host().bufferData(buffers[i]), pattern(32, uint8_t(i)));
        EXPECT_EQ(host().propertyKeys(buffers[i]),
                  (std::vector<std::string>{"pts", "dts", "isKeyFrame"}));
        const auto pts = host().property(buffers[i], "pts");
        const auto dts = host().property(buffers[i], "dts");
        const auto key = host().property(buffers[i], "isKeyFrame");
        EXPECT_EQ(std::tuple(pts->type, pts->i64(), dts->type, dts->i64(), key->type, key->u8()),
                  std::tuple(propInt64, stamps[i], propInt64, stamps[i], propUInt8, 1));
    }
    // Each frame was laid out from the job's description, in a zeroed planes record, by the
    // instance that open made.
    for (size_t i = 0; i < library().planesDesc.size(); ++i) {
        EXPECT_EQ(fields(library().planesDesc[i]), fields(library().beginIn[0]));
        EXPECT_TRUE(library().planesZeroed[i]);
    }
    ASSERT_EQ(library().opened.size(), 1u);
    EXPECT_EQ(std::count(library().instancesUsed.begin(), library().instancesUsed.end(),
                         library().opened[0]),
              static_cast<std::ptrdiff_t>(library().instancesUsed.size()));
    EXPECT_TRUE(host().probe().errorTexts().empty());
}

// The frame must hold at least the planes' total, a sum that must not wrap around.
TEST_F(EncoderTest, SizeCheckAcceptsExactlyThePlanesTotalWithoutOverflow) {
    script().planeSizes = {{10, 20, 0, 5}};
    openEncoder();
    EXPECT_EQ(encode(frame(pattern(35))), errNone);
    EXPECT_EQ(encode(frame(pattern(36))), errNone);
    EXPECT_EQ(encode(frame(pattern(34))), errFailed);
    EXPECT_EQ(delivered().size(), 2u);
    EXPECT_EQ(host().bufferData(delivered()[1]), pattern(35));

    script().planeSizes = {{0xffffffffu, 0xffffffffu, 0xffffffffu, 0xffffffffu}};
    EXPECT_EQ(encode(frame(pattern(8))), errFailed);
    EXPECT_EQ(host().probe().errorTexts(),
              (std::vector<std::string>{
                  "Korvadin Plugin :: compress failed: rawSizeExpected(35) > inBufSize(34)",
                  "Korvadin Plugin :: compress failed: rawSizeExpected(17179869180) > "
                  "inBufSize(8)"}));
    EXPECT_EQ(
        std::count(library().calls.begin(), library().calls.end(), fake_korvadin::Call::Compress),
        2);
}

// What a frame's buffers went through, in order: F is the frame, O the output buffer. Property
// reads and writes and the frame's references, which every path has, are left out.
std::string bufferEvents(host::Handle frame) {
    const std::map<uint32_t, std::string> names = {
        {msgCreateObject, "create"}, {msgBufferResize, "resize"}, {msgBufferLock, "lock"},
        {msgBufferUnlock, "unlock"}, {msgErrorText, "text"},      {msgCodecBuffer, "deliver"},
        {msgRelease, "release"}};
    std::string events;
    for (const host::TraceEntry& e : host::Host::instance().probe().trace()) {
        if (names.contains(e.msg) && !(e.msg == msgRelease && e.handle == frame)) {
            const char* which = e.msg == msgErrorText || e.msg == msgCodecBuffer || e.handle == 0
                                    ? ""
                                : e.handle == frame ? " F"
                                                    : " O";
            events += (events.empty() ? "" : ", ") + names.at(e.msg) + which;
        }
    }
    return events;
}

// One row of the frame table: how to break the frame or the host, and what comes back.
using Prepare = std::function<host::Handle(host::Host&, host::Handle frame)>;
struct FrameCase {
    const char* name;
    Prepare prepare;
    int32_t result;
    std::vector<std::string> texts; // compared up to their length: some carry pointers
    std::string events;
};

void PrintTo(const FrameCase& c, std::ostream* os) {
    *os << c.name;
}

// Makes the host answer the messages that match with `result`: instead of carrying them out,
// or (after) having carried them out.
Prepare answers(std::function<bool(const host::TraceEntry&, host::Handle frame)> matches,
                int32_t result, bool after = false) {
    return [=](host::Host& h, host::Handle f) {
        auto answer = [=](const host::TraceEntry& e) {
            return matches(e, f) ? std::optional(result) : std::nullopt;
        };
        after ? h.probe().setResultFilter(answer) : h.probe().setInterceptor(answer);
        return f;
    };
}
Prepare answers(uint32_t msg, int32_t result, bool after = false) {
    return answers([msg](const host::TraceEntry& e, host::Handle) { return e.msg == msg; }, result,
                   after);
}
Prepare missing(const std::string& key) {
    return answers([key](const host::TraceEntry& e,
                         host::Handle) { return e.msg == msgGetProperty && e.key == key; },
                   errNotFound);
}
Prepare lockRefused(bool frame) {
    return answers(
        [frame](const host::TraceEntry& e, host::Handle f) {
            return e.msg == msgBufferLock && (e.handle == f) == frame;
        },
        errFailed);
}
Prepare change(std::function<void(host::Host&, host::Handle frame)> edit) {
    return [=](host::Host& h, host::Handle f) {
        edit(h, f);
        return f;
    };
}
// The host sizes the output buffer to `size` bytes whatever it was asked.
Prepare sizedTo(size_t size) {
    return answers(
        [size](const host::TraceEntry& e, host::Handle) {
            if (e.msg == msgBufferResize) {
                host::Host::instance().setBufferData(e.handle, std::vector<uint8_t>(size));
            }
            return e.msg == msgBufferResize;
        },
        errNone);
}
const Prepare kEmptied = change([](host::Host& h, host::Handle f) { h.setBufferData(f, {}); });
const Prepare kHeightAsByte =
    change([](host::Host& h, host::Handle f) { h.setUInt8(f, "height", 4); });
const Prepare kPtsAsWord = change([](host::Host& h, host::Handle f) { h.setUInt32(f, "pts", 4); });
const Prepare kPlanesRefused =
    change([](host::Host&, host::Handle) { fake_korvadin::script().initPlanesResult = -11; });
const Prepare kCompressRefused =
    change([](host::Host&, host::Handle) { fake_korvadin::script().compressResult = -12; });
const Prepare kNoFrame = [](host::Host&, host::Handle) -> host::Handle { return 0; };

const std::string kText = "Korvadin Plugin :: ";
const std::string kAlloc = kText + "Failed to allocate the output buffer";
const std::string kNoBuffer = "Plugin Failed to create a buffer";
const std::string kSize = kText + "Width/Height not set when encoding the frame";
const std::string kPts = kText + "PTS not set when encoding the frame";
const std::string kHolds = kText + "The output buffer holds ";
const std::string kLayOut =
    kText + "compress failed: Korvadin error (-11): Result -11: initPlanesCommon(";
const std::string kCompress =
    kText + "compress failed: Korvadin error (-12): Result -12: compress({{";
const std::string kInputLock = kText + "Failed to lock the input buffer";
const std::string kOutputLock = kText + "Failed to lock the output buffer";
const std::string kUnlocked = "lock F, text, unlock F";
const std::string kRefused = "lock F, create, text, text, unlock F";
const std::string kRefusedMade = "lock F, create O, text, text, release O, unlock F";
const std::string kDelivered =
    "lock F, create O, resize O, lock O, unlock F, unlock O, resize O, deliver, release O";
const std::string kNotMade = "lock F, create, text, unlock F";
const std::string kSizingFailed = "lock F, create O, resize O, text, release O, unlock F";
const std::string kLockFailed = "lock F, create O, resize O, lock O, text, release O, unlock F";
const std::string kWrongSize =
    "lock F, create O, resize O, lock O, text, unlock O, release O, unlock F";
// A failed compression unlocks the frame and gives the output buffer back, nothing else.
const std::string kCompressFailed = "lock F, create O, resize O, lock O, text, unlock F, release O";

const FrameCase kFrameCases[] = {
    {"NoFrameHandle", kNoFrame, 1, {}, ""},
    {"FrameCannotBeLocked", lockRefused(true), -1, {kInputLock}, "lock F, text"},
    {"EmptyFrame", kEmptied, -7, {kText + "No data to encode"}, kUnlocked},
    {"NoWidth", missing("width"), -6, {kSize}, kUnlocked},
    {"NoHeight", missing("height"), -6, {kSize}, kUnlocked},
    {"HeightMistyped", kHeightAsByte, -6, {kSize}, kUnlocked},
    {"NoPts", missing("pts"), -6, {kPts}, kUnlocked},
    {"PtsMistyped", kPtsAsWord, -6, {kPts}, kUnlocked},
    {"OutputBufferRefused", answers(msgCreateObject, -4), -4, {kNoBuffer, kAlloc}, kRefused},
    // A refusal that still hands a buffer over: the buffer counts as none and is given back.
    {"RefusedWithAHandle",
     answers(msgCreateObject, -1, true),
     -4,
     {kNoBuffer, kAlloc},
     kRefusedMade},
    {"OutputBufferWithoutHandle", answers(msgCreateObject, errNone), -4, {kAlloc}, kNotMade},
    {"OutputBufferCannotBeSized", answers(msgBufferResize, -1), -4, {kAlloc}, kSizingFailed},
    {"OutputBufferCannotBeLocked", lockRefused(false), -4, {kOutputLock}, kLockFailed},
    {"OutputBufferOfAnotherSize", sizedTo(0), -4, {kHolds + "0 bytes instead of 4096"}, kWrongSize},
    {"LargerThanAsked", sizedTo(5000), -4, {kHolds + "5000 bytes instead of 4096"}, kWrongSize},
    {"LibraryCannotLayOutThePlanes", kPlanesRefused, -1, {kLayOut}, kCompressFailed},
    {"LibraryCannotCompress", kCompressRefused, -1, {kCompress}, kCompressFailed},
    {"CallbackAnswersItsOwnResult", answers(msgCodecBuffer, 5), 5, {}, kDelivered},
};

class FrameFailureTest : public EncoderTest, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(FrameFailureTest, IsRefusedWithItsResultTextsAndBuffersInOrder) {
    const FrameCase& c = GetParam();
    openEncoder();
    const host::Handle f = c.prepare(host(), frame(pattern(32)));
    EXPECT_EQ(encode(f), c.result);
    const auto texts = host().probe().errorTexts();
    ASSERT_EQ(texts.size(), c.texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(texts[i].substr(0, c.texts[i].size()), c.texts[i]);
    }
    EXPECT_EQ(bufferEvents(f), c.events);
    EXPECT_TRUE(delivered().empty());
    // Only a frame that got as far as its output buffer's lock reaches the library's compress.
    const auto compressed =
        std::count(library().calls.begin(), library().calls.end(), fake_korvadin::Call::Compress);
    EXPECT_EQ(compressed, c.result == 5 || std::string(c.name) == "LibraryCannotCompress");
    host().probe().setInterceptor(nullptr);
    host().probe().setResultFilter(nullptr);
    for (const host::Leak& leak : host().probe().leaks()) {
        EXPECT_NE(leak.kind, host::ObjectKind::Buffer) << "buffer " << leak.handle << " held";
    }

    // A failed frame changes nothing: the next one is encoded.
    fake_korvadin::script().initPlanesResult = 0;
    fake_korvadin::script().compressResult = 0;
    EXPECT_EQ(encode(frame(pattern(32))), errNone);
}

INSTANTIATE_TEST_SUITE_P(Rows, FrameFailureTest, ::testing::ValuesIn(kFrameCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EncoderTest, WithoutAUsableCallbackTheEncodedFrameIsDropped) {
    for (const bool nullCallback : {false, true}) {
        fake_korvadin::reset();
        create();
        if (nullCallback) {
            ASSERT_EQ(send(msgCodecSetCallback, m_encoder, host::Handle{0}), errNone);
        }
        ASSERT_EQ(open(), errNone);
        host().probe().clearTrace();
        EXPECT_EQ(encode(frame(pattern(32))), errNoHandle);
        EXPECT_TRUE(host().probe().errorTexts().empty());
        EXPECT_EQ(std::count(library().calls.begin(), library().calls.end(),
                             fake_korvadin::Call::Compress),
                  1);
        releaseEncoder();
    }
}

TEST_F(EncoderTest, FrameBeforeOpenIsRefusedWithoutTouchingFrameOrLibrary) {
    create();
    ASSERT_EQ(send(msgCodecSetCallback, m_encoder, m_callback), errNone);
    EXPECT_EQ(encode(frame(pattern(32))), errFailed);
    EXPECT_EQ(
        host().probe().errorTexts(),
        std::vector<std::string>{"Korvadin Plugin :: Frame received before the codec was opened"});
    EXPECT_TRUE(sent(msgBufferLock).empty());
    EXPECT_TRUE(library().calls.empty());
    // Opening it afterwards starts the job as usual.
    ASSERT_EQ(open(), errNone);
    EXPECT_EQ(encode(frame(pattern(32))), errNone);
}

TEST_F(EncoderTest, SecondOpenIsRefusedAndTheRunningJobGoesOn) {
    openEncoder();
    m_settings = host().createBag();
    EXPECT_EQ(open(640, 480), errFailed);
    EXPECT_FALSE(host().property(m_settings, "magicCookie"));
    EXPECT_EQ(host().probe().errorTexts(),
              std::vector<std::string>{"Korvadin Plugin :: The codec is already open"});
    EXPECT_EQ(std::tuple(library().opened.size(), library().beginIn.size()), std::tuple(1u, 1u));
    EXPECT_EQ(fake_korvadin::liveInstances(), 1);
    EXPECT_EQ(encode(frame(pattern(32), 7)), errNone);
    ASSERT_EQ(delivered().size(), 1u);
    EXPECT_EQ(library().planesDesc.at(0).base.width, 8u);
}

} // namespace
