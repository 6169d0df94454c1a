#include "davinci/encoder/codec_formats.h"
#include "plugin_fixture.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <numeric>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

using namespace IOPlugin;
using korvadin_test::PluginFixture;
using korvadin_test::sent;

// The library's structures live in the global namespace; so must their comparisons.
bool operator==(const korvadin_format_ex& a, const korvadin_format_ex& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

std::ostream& operator<<(std::ostream& os, const korvadin_format_ex& f) {
    return os << "{{" << f.base.width << "," << f.base.height << "," << f.base.format << "},"
              << f.param1 << "," << f.subFormat << "," << f.param2 << "," << f.param3 << ","
              << f.range << "," << f.fieldOrder << "}";
}

namespace {

std::vector<uint8_t> pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    std::iota(bytes.begin(), bytes.end(), uint8_t{3});
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
        if (m_encoder != nullptr) {
            uint32_t count = 99;
            EXPECT_EQ(send(msgRelease, m_encoder, &count), errNone);
            EXPECT_EQ(count, 0u);
            m_encoder = nullptr;
        }
    }

    int32_t setCallback(host::Handle callback) {
        return send(msgCodecSetCallback, m_encoder, callback);
    }

    void setSettings(uint32_t width, uint32_t height) {
        host().setUInt32(m_settings, "width", width);
        host().setUInt32(m_settings, "height", height);
        host().setUInt8(m_settings, "fieldOrder", 0);
        host().setUInt8(m_settings, "dataRange", 0);
    }

    int32_t open() { return send(msgCodecOpen, m_encoder, m_settings); }

    // An encoder for the first variant, with a callback, opened for 8 x 4 frames.
    void openEncoder() {
        create();
        ASSERT_EQ(setCallback(m_callback), errNone);
        setSettings(8, 4);
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

    // Frames and output buffers are given back within the call; only the callback stays held
    // while the encoder lives (TearDown checks that nothing at all is held afterwards).
    void expectNoBufferHeld() const {
        for (const host::Leak& leak : host().probe().leaks()) {
            EXPECT_NE(leak.kind, host::ObjectKind::Buffer) << "buffer " << leak.handle << " held";
        }
    }

    std::vector<host::Handle> delivered() const { return host().receivedBuffers(m_callback); }

    IPluginObjRef* m_encoder = nullptr;
    host::Handle m_settings = 0;
    host::Handle m_callback = 0;
};

TEST_F(EncoderTest, OpenDescribesTheJobToTheLibraryAndPublishesTheCookie) {
    struct Case {
        std::optional<uint8_t> fieldOrder;
        std::optional<uint8_t> dataRange;
        uint32_t libraryFieldOrder;
        uint32_t libraryRange;
    };
    const std::vector<Case> cases = {{2, 1, 1, 2},
                                     {4, 0, 2, 1},
                                     {3, 2, 0, 1},
                                     {0, 255, 0, 1},
                                     {std::nullopt, std::nullopt, 0, 1}};
    const CodecFormat& format = *findCodecFormatByFourcc(fourccValue("K0Y0"));
    for (const Case& c : cases) {
        fake_korvadin::reset();
        m_settings = host().createBag();
        create(format);
        host().setUInt32(m_settings, "width", 1920);
        host().setUInt32(m_settings, "height", 1080);
        if (c.fieldOrder) {
            host().setUInt8(m_settings, "fieldOrder", *c.fieldOrder);
        }
        if (c.dataRange) {
            host().setUInt8(m_settings, "dataRange", *c.dataRange);
        }
        ASSERT_EQ(open(), errNone);
        ASSERT_EQ(library().beginIn.size(), 1u);
        const korvadin_format_ex in = {{1920, 1080, 254},  1, 59, 0, 0, c.libraryRange,
                                       c.libraryFieldOrder};
        const korvadin_format_ex out = {{0, 0, 254}, 1, 123, 0, 0, 0, 0};
        EXPECT_EQ(library().beginIn[0], in);
        EXPECT_EQ(library().beginOut[0], out);

        const auto cookie = host().property(m_settings, "magicCookie");
        ASSERT_TRUE(cookie);
        EXPECT_EQ(std::tuple(cookie->type, cookie->count, cookie->bytes),
                  std::tuple(propUInt8, 4, script().cookie));
        releaseEncoder();
    }
}

TEST_F(EncoderTest, FailedOpenLeavesNoInstanceAndRefusesFramesSilently) {
    struct Case {
        std::string name;
        std::function<void()> script;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"begin", [] { script().compressBeginResult = -9; },
         "Korvadin Plugin :: compressBegin failed: Korvadin error (-9): Result -9: compressBegin("},
        {"open", [] { script().openResult = -3; },
         "Korvadin Plugin :: compressBegin failed: Korvadin error (-3): Result -3: "
         "KorvadinCodec(): korvadin_open()"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host().reset();
        fake_korvadin::reset();
        m_settings = host().createBag();
        create();
        setSettings(8, 4);
        c.script();
        EXPECT_EQ(open(), errFailed);
        ASSERT_EQ(host().probe().errorTexts().size(), 1u);
        EXPECT_EQ(host().probe().errorTexts()[0].rfind(c.text, 0), 0u)
            << host().probe().errorTexts()[0];
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
    std::vector<std::vector<uint8_t>> sentFrames;
    for (size_t i = 0; i < stamps.size(); ++i) {
        auto data = pattern(32);
        data[0] = static_cast<uint8_t>(i);
        sentFrames.push_back(data);
        ASSERT_EQ(encode(frame(data, stamps[i])), errNone);
    }
    const auto buffers = delivered();
    ASSERT_EQ(buffers.size(), stamps.size());
    for (size_t i = 0; i < buffers.size(); ++i) {
        // The fake stores the planes as they are, so the output is the frame itself, cut to
        // the compressed size.
        EXPECT_EQ(host().bufferData(buffers[i]), sentFrames[i]);
        EXPECT_EQ(host().propertyKeys(buffers[i]),
                  (std::vector<std::string>{"pts", "dts", "isKeyFrame"}));
        const auto pts = host().property(buffers[i], "pts");
        const auto dts = host().property(buffers[i], "dts");
        const auto key = host().property(buffers[i], "isKeyFrame");
        EXPECT_EQ(std::tuple(pts->type, pts->i64(), dts->type, dts->i64(), key->type, key->u8()),
                  std::tuple(propInt64, stamps[i], propInt64, stamps[i], propUInt8, 1));
    }
    // Each frame was laid out from the job's description, in a zeroed planes record.
    for (size_t i = 0; i < library().planesDesc.size(); ++i) {
        EXPECT_EQ(library().planesDesc[i], library().beginIn[0]);
        EXPECT_TRUE(library().planesZeroed[i]);
    }
    // Every call went to the instance that open made.
    ASSERT_EQ(library().opened.size(), 1u);
    for (const uint32_t instance : library().instancesUsed) {
        EXPECT_EQ(instance, library().opened[0]);
    }
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

// One row of the frame failure table: how to break the frame or the host, what comes back.
struct FrameCase {
    std::string name;
    std::function<host::Handle(host::Handle frame)> prepare;
    int32_t result;
    std::vector<std::string> texts;
    bool compressed; // whether the library got to compress the frame
};

void PrintTo(const FrameCase& c, std::ostream* os) {
    *os << c.name;
}

class FrameFailureTest : public EncoderTest, public ::testing::WithParamInterface<FrameCase> {};

using Prepare = std::function<host::Handle(host::Handle frame)>;

// Makes the host answer the messages that match with result, without carrying them out.
Prepare hostAnswers(std::function<bool(const host::TraceEntry&, host::Handle frame)> matches,
                    int32_t result) {
    return [=](host::Handle f) {
        host::Host::instance().probe().setInterceptor(
            [=](const host::TraceEntry& e) -> std::optional<int32_t> {
                return matches(e, f) ? std::optional(result) : std::nullopt;
            });
        return f;
    };
}

Prepare hostAnswers(uint32_t msg, int32_t result) {
    return hostAnswers([msg](const host::TraceEntry& e, host::Handle) { return e.msg == msg; },
                       result);
}

Prepare propertyMissing(const std::string& key) {
    return hostAnswers([key](const host::TraceEntry& e,
                             host::Handle) { return e.msg == msgGetProperty && e.key == key; },
                       errNotFound);
}

Prepare change(std::function<void(host::Host&, host::Handle frame)> edit) {
    return [=](host::Handle f) {
        edit(host::Host::instance(), f);
        return f;
    };
}

const std::string kAlloc = "Korvadin Plugin :: Failed to allocate the output buffer";
const std::string kSize = "Korvadin Plugin :: Width/Height not set when encoding the frame";
const std::string kPts = "Korvadin Plugin :: PTS not set when encoding the frame";

const std::vector<FrameCase> kFrameCases = {
    {"NoFrameHandle", [](host::Handle) -> host::Handle { return 0; }, 1, {}, false},
    {"FrameCannotBeLocked",
     hostAnswers([](const host::TraceEntry& e,
                    host::Handle f) { return e.msg == msgBufferLock && e.handle == f; },
                 errFailed),
     -1,
     {"Korvadin Plugin :: Failed to lock the input buffer"},
     false},
    {"EmptyFrame",
     change([](host::Host& h, host::Handle f) { h.setBufferData(f, {}); }),
     -7,
     {"Korvadin Plugin :: No data to encode"},
     false},
    {"NoWidth", propertyMissing("width"), -6, {kSize}, false},
    {"NoHeight", propertyMissing("height"), -6, {kSize}, false},
    {"HeightMistyped",
     change([](host::Host& h, host::Handle f) { h.setUInt8(f, "height", 4); }),
     -6,
     {kSize},
     false},
    {"NoPts", propertyMissing("pts"), -6, {kPts}, false},
    {"PtsMistyped",
     change([](host::Host& h, host::Handle f) { h.setUInt32(f, "pts", 4); }),
     -6,
     {kPts},
     false},
    {"OutputBufferRefused",
     hostAnswers(msgCreateObject, errCreateFailed),
     -4,
     {"Plugin Failed to create a buffer", kAlloc},
     false},
    {"OutputBufferWithoutHandle", hostAnswers(msgCreateObject, errNone), -4, {kAlloc}, false},
    {"OutputBufferCannotBeSized", hostAnswers(msgBufferResize, errFailed), -4, {kAlloc}, false},
    {"OutputBufferCannotBeLocked",
     hostAnswers([](const host::TraceEntry& e,
                    host::Handle f) { return e.msg == msgBufferLock && e.handle != f; },
                 errFailed),
     -4,
     {"Korvadin Plugin :: Failed to lock the output buffer"},
     false},
    // The host claims to have sized the buffer but left it empty.
    {"OutputBufferOfAnotherSize",
     hostAnswers(msgBufferResize, errNone),
     -4,
     {"Korvadin Plugin :: The output buffer holds 0 bytes instead of 4096"},
     false},
    {"OutputBufferLargerThanAsked",
     hostAnswers(
         [](const host::TraceEntry& e, host::Handle) {
             if (e.msg != msgBufferResize) {
                 return false;
             }
             host::Host::instance().setBufferData(e.handle, std::vector<uint8_t>(5000));
             return true;
         },
         errNone),
     -4,
     {"Korvadin Plugin :: The output buffer holds 5000 bytes instead of 4096"},
     false},
    {"LibraryCannotLayOutThePlanes",
     change([](host::Host&, host::Handle) { fake_korvadin::script().initPlanesResult = -11; }),
     -1,
     {"Korvadin Plugin :: compress failed: Korvadin error (-11): Result -11: initPlanesCommon("},
     false},
    {"LibraryCannotCompress",
     change([](host::Host&, host::Handle) { fake_korvadin::script().compressResult = -12; }),
     -1,
     {"Korvadin Plugin :: compress failed: Korvadin error (-12): Result -12: compress({{0x"},
     true},
    {"CallbackAnswersItsOwnResult", hostAnswers(msgCodecBuffer, 5), 5, {}, true},
};

TEST_P(FrameFailureTest, IsRefusedWithItsResultAndTextAndLeavesNothingLockedOrHeld) {
    const FrameCase& c = GetParam();
    openEncoder();
    const host::Handle f = c.prepare(frame(pattern(32)));
    EXPECT_EQ(encode(f), c.result);

    const auto texts = host().probe().errorTexts();
    ASSERT_EQ(texts.size(), c.texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
        // Texts that carry pointers are compared up to the first of them.
        EXPECT_EQ(texts[i].substr(0, c.texts[i].size()), c.texts[i]);
    }
    const bool compressed = std::find(library().calls.begin(), library().calls.end(),
                                      fake_korvadin::Call::Compress) != library().calls.end();
    EXPECT_EQ(compressed, c.compressed);
    if (c.result != errNone && c.result != 5) {
        EXPECT_TRUE(delivered().empty());
        EXPECT_TRUE(sent(msgCodecBuffer).empty());
    }
    host().probe().setInterceptor(nullptr);
    if (f != 0) {
        EXPECT_FALSE(host().bufferLocked(f));
    }
    expectNoBufferHeld();

    // A failed frame changes nothing: the next one is encoded.
    fake_korvadin::script().initPlanesResult = 0;
    fake_korvadin::script().compressResult = 0;
    EXPECT_EQ(encode(frame(pattern(32))), errNone);
}

INSTANTIATE_TEST_SUITE_P(Rows, FrameFailureTest, ::testing::ValuesIn(kFrameCases),
                         [](const auto& info) { return info.param.name; });

TEST_F(EncoderTest, WithoutAUsableCallbackTheEncodedFrameIsDropped) {
    for (const bool nullCallback : {false, true}) {
        fake_korvadin::reset();
        create();
        if (nullCallback) {
            ASSERT_EQ(setCallback(0), errNone);
        }
        setSettings(8, 4);
        ASSERT_EQ(open(), errNone);
        host().probe().clearTrace();
        EXPECT_EQ(encode(frame(pattern(32))), errNoHandle);
        EXPECT_TRUE(host().probe().errorTexts().empty());
        EXPECT_EQ(library().compressOutputs.size(), 1u);
        expectNoBufferHeld();
        releaseEncoder();
    }
}

TEST_F(EncoderTest, FrameBeforeOpenIsRefusedWithoutTouchingFrameOrLibrary) {
    create();
    ASSERT_EQ(setCallback(m_callback), errNone);
    EXPECT_EQ(encode(frame(pattern(32))), errFailed);
    EXPECT_EQ(
        host().probe().errorTexts(),
        std::vector<std::string>{"Korvadin Plugin :: Frame received before the codec was opened"});
    EXPECT_TRUE(sent(msgBufferLock).empty());
    EXPECT_TRUE(library().calls.empty());
    // Opening it afterwards starts the job as usual.
    setSettings(8, 4);
    ASSERT_EQ(open(), errNone);
    EXPECT_EQ(encode(frame(pattern(32))), errNone);
}

TEST_F(EncoderTest, SecondOpenIsRefusedAndTheRunningJobGoesOn) {
    openEncoder();
    m_settings = host().createBag();
    setSettings(640, 480);
    EXPECT_EQ(open(), errFailed);
    EXPECT_FALSE(host().property(m_settings, "magicCookie"));
    EXPECT_EQ(host().probe().errorTexts(),
              std::vector<std::string>{"Korvadin Plugin :: The codec is already open"});
    EXPECT_EQ(library().opened.size(), 1u);
    EXPECT_EQ(library().beginIn.size(), 1u);
    EXPECT_EQ(fake_korvadin::liveInstances(), 1);

    EXPECT_EQ(encode(frame(pattern(32), 7)), errNone);
    ASSERT_EQ(delivered().size(), 1u);
    EXPECT_EQ(library().planesDesc.at(0).base.width, 8u);
}

} // namespace
