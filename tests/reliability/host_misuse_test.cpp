// A host that breaks the protocol in the ways a real editor can: missing or empty objects,
// properties of the wrong type or count, messages out of order, objects released early. Through
// the built plug-in file each must get its fixed answer, and once the objects are released the
// plug-in may hold no reference and no lock on anything of the host's. The sanitizer builds run
// this too, which turns any use after free or overrun behind these answers into a failure.
#include "file_contents.h"
#include "host/avi_reader.h"
#include "host/session.h"
#include "host/variants.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace IOPlugin;
using host::Handle;
using host::Host;
using korvadin_test::fileBytes;

namespace {

constexpr Handle kNull = 0;
constexpr uint32_t kWidth = 32;
constexpr uint32_t kHeight = 16;
constexpr size_t kFrameBytes = size_t{kWidth} * kHeight * 3; // the 8-bit RGB variant's layout

const std::string kHeaderNotWritten = "Korvadin Plugin :: Failed to write AVI video chunk: "
                                      "AviWriter::writeChunk: header is not written, "
                                      "writeHeader() must be called first";

// Public, so that the table's cases can build their objects through a reference to it.
class HostMisuse : public ::testing::Test {
public:
    void SetUp() override {
        h.reset();
        m_session = std::make_unique<host::PluginSession>(KORVADIN_PLUGIN_PATH);
        m_codecs = m_session->registerCodecs();
        m_containers = m_session->registerContainers();
        m_codec = host::findVariant(m_codecs, "K8RG");
        ASSERT_NE(m_codec, nullptr);
        ASSERT_FALSE(m_containers.empty());
    }
    void TearDown() override {
        releaseAll();
        m_session.reset();
        expectNothingHeld();
    }

    template <class... Args>
    int32_t send(uint32_t msg, Args... args) {
        return m_session->plugin().send(msg, args...);
    }

    // Plug-in objects are given back by releaseAll, in the order they were made.
    void* keep(void* object) {
        m_objects.push_back(object);
        return object;
    }
    // A container holds its tracks until it is closed, and each track holds its container, so
    // the host closes every container before it lets go of it, as the editor does.
    void releaseAll() {
        for (void* container : m_containersToClose) {
            send(msgContainerClose, container);
        }
        m_containersToClose.clear();
        for (void* object : m_objects) {
            uint32_t count = 0;
            EXPECT_EQ(send(msgRelease, object, &count), errNone);
        }
        m_objects.clear();
    }
    // Nothing of the host's may stay referenced or locked by the plug-in.
    void expectNothingHeld() {
        for (const host::Leak& leak : h.leaks()) {
            ADD_FAILURE() << "the plug-in still holds " << leak.moduleReferences
                          << " reference(s) on " << host::kindName(leak.kind) << " " << leak.handle;
        }
        std::map<Handle, int> locks;
        for (const host::TraceEntry& e : h.trace()) {
            if (e.result == errNone && (e.msg == msgBufferLock || e.msg == msgBufferUnlock)) {
                locks[e.handle] += e.msg == msgBufferLock ? 1 : -1;
            }
        }
        for (const auto& [handle, open] : locks) {
            EXPECT_EQ(open, 0) << "buffer " << handle << " left locked";
        }
    }

    void* encoder(Handle callback) {
        void* object = nullptr;
        EXPECT_EQ(send(msgCreateObject, m_codec->uuid.data(), &object), errNone);
        keep(object);
        EXPECT_EQ(send(msgCodecSetCallback, object, callback), errNone);
        return object;
    }
    Handle settings() {
        const Handle s = h.createBuffer();
        h.setUInt32(s, "width", kWidth);
        h.setUInt32(s, "height", kHeight);
        h.setUInt8(s, "dataRange", 1);
        return s;
    }
    // An encoder whose job is open, delivering to a callback that keeps what it gets.
    void* openEncoder() {
        void* object = encoder(h.createCallback());
        EXPECT_EQ(send(msgCodecOpen, object, settings()), errNone);
        return object;
    }
    Handle frame(int64_t pts = 0) {
        const Handle f = h.createBuffer(std::vector<uint8_t>(kFrameBytes, uint8_t(pts)));
        h.setUInt32(f, "width", kWidth);
        h.setUInt32(f, "height", kHeight);
        h.setInt64(f, "pts", pts);
        return f;
    }

    void* container() {
        void* object = nullptr;
        EXPECT_EQ(send(msgCreateObject, m_containers.front().uuid.data(), &object), errNone);
        m_containersToClose.push_back(object);
        return keep(object);
    }
    Handle videoTrackBag() {
        const Handle bag = h.createBag();
        h.setUInt32(bag, "mediaType", 2);
        h.setUInt32(bag, "width", kWidth);
        h.setUInt32(bag, "height", kHeight);
        h.setUInt32s(bag, "frameRate", {25, 1});
        return bag;
    }
    Handle codecBag() {
        const Handle bag = h.createBag();
        h.setUInt32(bag, "4cc", m_codec->fourcc);
        return bag;
    }
    void* addTrack(void* cont, Handle bag, Handle codec) {
        void* track = nullptr;
        EXPECT_EQ(send(msgContainerAddTrack, cont, bag, codec, &track), errNone);
        return keep(track);
    }
    Handle pathBag(const std::string& path) {
        const Handle bag = h.createBag();
        h.setString(bag, "path", path);
        return bag;
    }
    // A container with its video track, writing `name` in the scratch folder.
    struct Writing {
        void* container = nullptr;
        void* track = nullptr;
        std::string path;
    };
    Writing writing(const std::string& name) {
        Writing w;
        w.container = container();
        w.track = addTrack(w.container, videoTrackBag(), codecBag());
        w.path = m_dir.file(name);
        EXPECT_EQ(send(msgContainerOpen, w.container, pathBag(w.path)), errNone);
        return w;
    }
    int32_t packet(void* track, uint8_t fill = 7) {
        return send(msgTrackWritePacket, track, h.createBuffer(std::vector<uint8_t>(100, fill)));
    }

    std::string lastText() const {
        const auto texts = h.errorTexts();
        return texts.empty() ? "" : texts.back();
    }

    Host& h = Host::instance();
    std::unique_ptr<host::PluginSession> m_session;
    std::vector<host::Registration> m_codecs;
    std::vector<host::Registration> m_containers;
    const host::Registration* m_codec = nullptr;
    std::vector<void*> m_objects;
    std::vector<void*> m_containersToClose;
    korvadin_test::ScratchDir m_dir;
};

// One message the host gets wrong, on fresh objects, with the answer and the last text it must
// bring ("" when the plug-in must stay silent).
struct Case {
    const char* name;
    std::function<int32_t(HostMisuse&)> act;
    int32_t expected;
    std::string text;
};

TEST_F(HostMisuse, MissingEmptyAndMistypedObjectsGetTheirAnswers) {
    const std::string compressBeginFailed = "Korvadin Plugin :: compressBegin failed: ";
    const std::string noSize = "Korvadin Plugin :: Width/Height not set when encoding the frame";
    const std::string noPts = "Korvadin Plugin :: PTS not set when encoding the frame";
    const std::string noFile = "Korvadin Plugin :: Failed to open output file: ";
    using M = HostMisuse;
    const std::vector<Case> cases = {
        // Null handles, and objects that exist but hold nothing.
        {"codec properties without a collection",
         [](M& t) { return t.send(msgCodecProperties, t.openEncoder(), kNull); },
         errInvalidArgument, ""},
        {"frame without a buffer",
         [](M& t) { return t.send(msgCodecBuffer, t.openEncoder(), kNull); }, 1, ""},
        {"frame without bytes",
         [](M& t) {
             const Handle f = t.frame();
             t.h.setBufferData(f, {});
             return t.send(msgCodecBuffer, t.openEncoder(), f);
         },
         errUnsupported, "Korvadin Plugin :: No data to encode"},
        {"frame to a null callback",
         [](M& t) {
             void* e = t.encoder(kNull);
             EXPECT_EQ(t.send(msgCodecOpen, e, t.settings()), errNone);
             return t.send(msgCodecBuffer, e, t.frame());
         },
         errNoHandle, ""},
        {"container init without a collection",
         [](M& t) { return t.send(msgContainerInit, t.container(), kNull); }, errInvalidArgument,
         ""},
        {"container open without a collection",
         [](M& t) { return t.send(msgContainerOpen, t.container(), kNull); }, errInvalidArgument,
         ""},
        {"container open with an empty collection",
         [](M& t) { return t.send(msgContainerOpen, t.container(), t.h.createBag()); }, errFailed,
         noFile},
        {"track without a description",
         [](M& t) {
             auto* marker = reinterpret_cast<void*>(0x5a);
             void* track = marker;
             const int32_t r =
                 t.send(msgContainerAddTrack, t.container(), kNull, t.codecBag(), &track);
             EXPECT_EQ(track, marker);
             return r;
         },
         errInvalidArgument, ""},
        {"track with an empty description",
         [](M& t) {
             void* track = reinterpret_cast<void*>(0x5a);
             const int32_t r =
                 t.send(msgContainerAddTrack, t.container(), t.h.createBag(), kNull, &track);
             EXPECT_EQ(track, nullptr);
             return r;
         },
         errInvalidArgument, ""},
        {"video track without a codec collection",
         [](M& t) {
             void* track = nullptr;
             const int32_t r =
                 t.send(msgContainerAddTrack, t.container(), t.videoTrackBag(), kNull, &track);
             t.keep(track);
             return r;
         },
         errNone, ""},
        {"packet without a buffer",
         [](M& t) { return t.send(msgTrackWritePacket, t.writing("null.avi").track, kNull); },
         errNone, ""},
        {"codecs registered into no list", [](M& t) { return t.send(msgRegisterCodecs, kNull); },
         errFailed, ""},
        {"containers registered into no list",
         [](M& t) { return t.send(msgRegisterContainers, kNull); }, errFailed, ""},

        // Properties of the wrong type or count count as missing.
        {"frame width as a string",
         [](M& t) {
             const Handle f = t.frame();
             t.h.setString(f, "width", "32");
             return t.send(msgCodecBuffer, t.openEncoder(), f);
         },
         errMissingData, noSize},
        {"frame height with count 2",
         [](M& t) {
             const Handle f = t.frame();
             t.h.setUInt32s(f, "height", {kHeight, kHeight});
             return t.send(msgCodecBuffer, t.openEncoder(), f);
         },
         errMissingData, noSize},
        {"frame pts as 32 bits",
         [](M& t) {
             const Handle f = t.frame();
             t.h.setUInt32(f, "pts", 0);
             return t.send(msgCodecBuffer, t.openEncoder(), f);
         },
         errMissingData, noPts},
        {"media type with count 2",
         [](M& t) {
             const Handle bag = t.videoTrackBag();
             t.h.setUInt32s(bag, "mediaType", {2, 2});
             void* track = nullptr;
             return t.send(msgContainerAddTrack, t.container(), bag, t.codecBag(), &track);
         },
         errInvalidArgument, ""},
        {"media type as one byte",
         [](M& t) {
             const Handle bag = t.videoTrackBag();
             t.h.setUInt8(bag, "mediaType", 2);
             void* track = nullptr;
             return t.send(msgContainerAddTrack, t.container(), bag, t.codecBag(), &track);
         },
         errInvalidArgument, ""},
        {"path as a number",
         [](M& t) {
             const Handle bag = t.h.createBag();
             t.h.setUInt32(bag, "path", 0x2f);
             return t.send(msgContainerOpen, t.container(), bag);
         },
         errFailed, noFile},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        h.clearTrace();
        EXPECT_EQ(c.act(*this), c.expected);
        EXPECT_EQ(lastText(), c.text);
        releaseAll();
        expectNothingHeld();
    }
}

// Settings the library cannot use leave the encoder without a job; its frames are refused at
// once, and nothing of the failed start is left open or held.
TEST_F(HostMisuse, OpenWithoutUsableSettingsRefusesEveryFrame) {
    const std::vector<std::pair<const char*, std::function<Handle()>>> settingsCases = {
        {"no settings object", [] { return kNull; }},
        {"an empty settings object", [this] { return h.createBuffer(); }},
        {"width as a string",
         [this] {
             const Handle s = settings();
             h.setString(s, "width", "32");
             return s;
         }},
    };
    for (const auto& [name, make] : settingsCases) {
        SCOPED_TRACE(name);
        h.clearTrace();
        void* e = encoder(h.createCallback());
        EXPECT_EQ(send(msgCodecOpen, e, make()), errFailed);
        EXPECT_TRUE(lastText().starts_with("Korvadin Plugin :: compressBegin failed: "))
            << lastText();
        h.clearTrace();
        EXPECT_EQ(send(msgCodecBuffer, e, frame()), errFailed);
        EXPECT_TRUE(h.errorTexts().empty());
        releaseAll();
        expectNothingHeld();
    }
}

TEST_F(HostMisuse, EncoderMessagesOutOfOrder) {
    // A frame before the job is open is refused, before the frame is even locked.
    void* early = encoder(h.createCallback());
    h.clearTrace();
    EXPECT_EQ(send(msgCodecBuffer, early, frame()), errFailed);
    EXPECT_EQ(lastText(), "Korvadin Plugin :: Frame received before the codec was opened");
    for (const host::TraceEntry& e : h.trace()) {
        EXPECT_NE(e.msg, msgBufferLock);
    }
    // Opening it afterwards starts the job as usual.
    EXPECT_EQ(send(msgCodecOpen, early, settings()), errNone);
    EXPECT_EQ(send(msgCodecBuffer, early, frame()), errNone);

    // A second open is refused and the running job goes on with its own cookie.
    const Handle callback = h.createCallback();
    void* twice = encoder(callback);
    const Handle first = settings();
    ASSERT_EQ(send(msgCodecOpen, twice, first), errNone);
    const Handle second = settings();
    h.setUInt32(second, "width", 2 * kWidth);
    EXPECT_EQ(send(msgCodecOpen, twice, second), errFailed);
    EXPECT_EQ(lastText(), "Korvadin Plugin :: The codec is already open");
    EXPECT_FALSE(h.property(second, "magicCookie"));
    EXPECT_EQ(send(msgCodecBuffer, twice, frame(1)), errNone);
    EXPECT_EQ(h.receivedBuffers(callback).size(), 1u);
}

TEST_F(HostMisuse, RepeatedCloseLeavesTheFileAsTheFirstCloseMadeIt) {
    const Writing w = writing("closed twice.avi");
    ASSERT_EQ(packet(w.track), errNone);
    ASSERT_EQ(send(msgContainerClose, w.container), errNone);
    const std::vector<uint8_t> closed = fileBytes(w.path);
    h.clearTrace();
    EXPECT_EQ(send(msgContainerClose, w.container), errNone);
    EXPECT_EQ(send(msgContainerClose, w.container), errNone);
    EXPECT_TRUE(h.errorTexts().empty());
    EXPECT_EQ(fileBytes(w.path), closed);
}

// Init in the middle of a file starts over: the file so far is ended as a complete AVI, and
// the tracks, whose streams the fresh writer does not have, are refused from then on, also
// after a new file was opened.
TEST_F(HostMisuse, InitInTheMiddleOfAFileEndsIt) {
    const Writing w = writing("interrupted.avi");
    for (uint8_t n = 0; n < 3; ++n) {
        ASSERT_EQ(packet(w.track, n), errNone);
    }
    EXPECT_EQ(send(msgContainerInit, w.container, h.createBag()), errNone);
    {
        host::AviReader avi(w.path);
        EXPECT_TRUE(avi.problems().empty()) << avi.problems().front();
        ASSERT_EQ(avi.streams().size(), 1u);
        EXPECT_EQ(avi.streams()[0].chunks.size(), 3u);
        EXPECT_EQ(avi.streams()[0].length, 3u);
        EXPECT_EQ(avi.dmlhTotalFrames(), std::optional<uint32_t>(3));
    }
    const std::vector<uint8_t> ended = fileBytes(w.path);

    h.clearTrace();
    EXPECT_EQ(packet(w.track), errFailed);
    EXPECT_EQ(lastText(), kHeaderNotWritten);
    EXPECT_EQ(send(msgContainerClose, w.container), errNone);
    EXPECT_EQ(fileBytes(w.path), ended);

    const std::string next = m_dir.file("after init.avi");
    ASSERT_EQ(send(msgContainerOpen, w.container, pathBag(next)), errNone);
    h.clearTrace();
    EXPECT_EQ(packet(w.track), errFailed);
    EXPECT_TRUE(lastText().starts_with("Korvadin Plugin :: Failed to write AVI video chunk: "))
        << lastText();
    EXPECT_EQ(send(msgContainerClose, w.container), errNone);
}

// The host may give up a closed container before its tracks: the tracks keep it alive, their
// packets reach its fresh writer and are refused, and the last track's release takes the
// container with it without touching the finished file.
TEST_F(HostMisuse, TracksOutliveTheirClosedAndReleasedContainer) {
    Writing w = writing("released.avi");
    ASSERT_EQ(packet(w.track, 1), errNone);
    ASSERT_EQ(send(msgContainerClose, w.container), errNone);
    const std::vector<uint8_t> closed = fileBytes(w.path);
    uint32_t count = 99;
    ASSERT_EQ(send(msgRelease, w.container, &count), errNone);
    EXPECT_EQ(count, 1u) << "the track's reference keeps the container";
    std::erase(m_objects, w.container);
    std::erase(m_containersToClose, w.container);

    h.clearTrace();
    EXPECT_EQ(packet(w.track, 2), errFailed);
    EXPECT_EQ(lastText(), kHeaderNotWritten);
    EXPECT_EQ(send(msgTrackWritePacket, w.track, kNull), errNone);
    ASSERT_EQ(send(msgRelease, w.track, &count), errNone);
    EXPECT_EQ(count, 0u);
    std::erase(m_objects, w.track);
    EXPECT_EQ(fileBytes(w.path), closed);
}

} // namespace
