// A host that breaks the protocol in the ways a real editor can: missing objects, messages out
// of order, objects used after their file ended. Through the built plug-in file each must get
// its fixed answer, and once the objects are released the plug-in may hold no reference and no
// lock on anything of the host's. The sanitizer builds run this too, which turns any use after
// free or overrun behind these answers into a failure. (Frames, tracks and packets the host
// describes wrongly are refused by the encoder and container suites.)
#include "host/avi_reader.h"
#include "host/variants.h"
#include "support/files.h"
#include "support/plugin_file.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using namespace IOPlugin;
using host::Handle;
using korvadin_test::lastText;
using korvadin_test::readBytes;

namespace {

constexpr Handle kNull = 0;
constexpr uint32_t kWidth = 32;
constexpr uint32_t kHeight = 16;
constexpr size_t kFrameBytes = size_t{kWidth} * kHeight * 3; // the 8-bit RGB variant's layout

const std::string kHeaderNotWritten = "Korvadin Plugin :: Failed to write AVI video chunk: "
                                      "AviWriter::writeChunk: header is not written, "
                                      "writeHeader() must be called first";

class HostMisuse : public korvadin_test::PluginFileTest {
protected:
    void SetUp() override {
        PluginFileTest::SetUp();
        m_codec = *host::findVariant(m_session->registerCodecs(), "K8RG");
        m_container = m_session->registerContainers().at(0);
    }
    void TearDown() override {
        releaseAll();
        PluginFileTest::TearDown();
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
            release(object);
        }
        m_objects.clear();
    }

    void* encoder(Handle callback) {
        void* object = keep(create(m_codec.uuid));
        EXPECT_EQ(send(msgCodecSetCallback, object, callback), errNone);
        return object;
    }
    Handle frame() const {
        return PluginFileTest::frame(std::vector<uint8_t>(kFrameBytes, 7), kWidth, kHeight, 0);
    }
    void* container() {
        void* object = keep(create(m_container.uuid));
        m_containersToClose.push_back(object);
        return object;
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
        EXPECT_EQ(send(msgContainerAddTrack, w.container,
                       host::videoTrackBag(h, job(kWidth, kHeight)),
                       host::videoCodecBag(h, m_codec.fourcc), &w.track),
                  errNone);
        keep(w.track);
        w.path = m_dir.file(name);
        EXPECT_EQ(send(msgContainerOpen, w.container, host::outputPathBag(h, w.path)), errNone);
        return w;
    }
    int32_t packet(void* track, uint8_t fill = 7) {
        return send(msgTrackWritePacket, track, h.createBuffer(std::vector<uint8_t>(100, fill)));
    }

    host::Registration m_codec;
    host::Registration m_container;
    std::vector<void*> m_objects;
    std::vector<void*> m_containersToClose;
    korvadin_test::ScratchDir m_dir;
};

TEST_F(HostMisuse, MissingCollectionsGetTheirAnswers) {
    EXPECT_EQ(send(msgContainerOpen, container(), kNull), errInvalidArgument);
    // A video track needs no codec collection.
    void* track = nullptr;
    EXPECT_EQ(send(msgContainerAddTrack, container(), host::videoTrackBag(h, job(kWidth, kHeight)),
                   kNull, &track),
              errNone);
    keep(track);
    EXPECT_TRUE(h.probe().errorTexts().empty());
}

// Settings the library cannot use leave the encoder without a job; its frames are refused at
// once, and nothing of the failed start is left open or held.
TEST_F(HostMisuse, OpenWithoutUsableSettingsRefusesEveryFrame) {
    const std::vector<std::pair<const char*, std::function<Handle()>>> settingsCases = {
        {"no settings object", [] { return kNull; }},
        {"an empty settings object", [this] { return h.createBuffer(); }},
        {"width as a string",
         [this] {
             const Handle s = encoderSettings(kWidth, kHeight);
             h.setString(s, "width", "32");
             return s;
         }},
    };
    for (const auto& [name, make] : settingsCases) {
        SCOPED_TRACE(name);
        h.probe().clearTrace();
        void* e = encoder(h.createCallback());
        EXPECT_EQ(send(msgCodecOpen, e, make()), errFailed);
        EXPECT_TRUE(lastText().starts_with("Korvadin Plugin :: compressBegin failed: "))
            << lastText();
        h.probe().clearTrace();
        EXPECT_EQ(send(msgCodecBuffer, e, frame()), errFailed);
        EXPECT_TRUE(h.probe().errorTexts().empty());
        releaseAll();
        korvadin_test::expectNothingHeld();
    }
}

TEST_F(HostMisuse, RepeatedCloseLeavesTheFileAsTheFirstCloseMadeIt) {
    const Writing w = writing("closed twice.avi");
    ASSERT_EQ(packet(w.track), errNone);
    ASSERT_EQ(send(msgContainerClose, w.container), errNone);
    const std::vector<uint8_t> closed = readBytes(w.path);
    h.probe().clearTrace();
    EXPECT_EQ(send(msgContainerClose, w.container), errNone);
    EXPECT_EQ(send(msgContainerClose, w.container), errNone);
    EXPECT_TRUE(h.probe().errorTexts().empty());
    EXPECT_EQ(readBytes(w.path), closed);
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
    const std::vector<uint8_t> ended = readBytes(w.path);

    h.probe().clearTrace();
    EXPECT_EQ(packet(w.track), errFailed);
    EXPECT_EQ(lastText(), kHeaderNotWritten);
    EXPECT_EQ(send(msgContainerClose, w.container), errNone);
    EXPECT_EQ(readBytes(w.path), ended);

    const std::string next = m_dir.file("after init.avi");
    ASSERT_EQ(send(msgContainerOpen, w.container, host::outputPathBag(h, next)), errNone);
    h.probe().clearTrace();
    EXPECT_EQ(packet(w.track), errFailed);
    EXPECT_TRUE(lastText().starts_with("Korvadin Plugin :: Failed to write AVI video chunk: "))
        << lastText();
    EXPECT_EQ(send(msgContainerClose, w.container), errNone);
}

} // namespace
