// Object bases: the routing of every message to its operation, and the dispatcher's last resort
// when creating an object fails for want of memory.
#include "davinci/encoder/codec_formats.h"
#include "davinci/encoder/plugin_identity.h"
#include "davinci/encoder/wrapper/plugin_api.h"
#include "module_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

// The next allocation of the process fails once, when armed; the module's are among them, as it
// is linked into this program.
namespace {
std::atomic<bool> s_failNextAllocation{false};
} // namespace

[[gnu::noinline]] void* operator new(size_t size) {
    if (s_failNextAllocation.exchange(false)) {
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}

[[gnu::noinline]] void operator delete(void* p) noexcept {
    std::free(p);
}

[[gnu::noinline]] void operator delete(void* p, size_t) noexcept {
    std::free(p);
}

using namespace IOPlugin;

namespace {

std::vector<std::string> g_events;

class TestCodec : public IPluginCodecRef {
public:
    void onSignal() override { g_events.push_back("signal"); }
    int32_t onProperties(HostPropertyCollectionRef& p) override {
        g_events.push_back("properties " + std::to_string(p.handle()));
        return 11;
    }
    int32_t open(HostBufferRef& settings) override {
        g_events.push_back(settings.empty() ? "open empty" : "open");
        return 12;
    }
    int32_t processFrame(HostBufferRef* frame) override {
        g_events.push_back(frame->empty() ? "frame empty" : "frame");
        return IPluginCodecRef::processFrame(frame);
    }
};

class TestContainer : public IPluginContainerRef {
public:
    int32_t init(HostPropertyCollectionRef&) override { return 21; }
    int32_t open(HostPropertyCollectionRef&) override { return 22; }
    int32_t addTrack(HostPropertyCollectionRef&, HostPropertyCollectionRef& codec,
                     IPluginObjRef** out) override;
    int32_t close() override { return 23; }
    int32_t addTrackResult = errNone;
};

class TestTrack : public IPluginTrackBase, public IPluginTrackWriter {
public:
    using IPluginTrackBase::IPluginTrackBase;
    int32_t writePacket(HostBufferRef* packet) override {
        g_events.push_back(packet == nullptr ? "packet null" : "packet");
        return 31;
    }
};

class SilentTrack : public IPluginTrackBase {
public:
    using IPluginTrackBase::IPluginTrackBase;
};

int32_t TestContainer::addTrack(HostPropertyCollectionRef&, HostPropertyCollectionRef& codec,
                                IPluginObjRef** out) {
    g_events.push_back(codec.empty() ? "track without codec" : "track with codec");
    if (addTrackResult == errNone) {
        *out = new TestTrack(this);
    }
    return addTrackResult;
}

// Sends a message to an object the way the dispatcher forwards it.
int32_t send(IPluginObjRef* object, uint32_t msg, ...) {
    va_list args;
    va_start(args, msg);
    const int32_t result = object->handleMessage(msg, &args);
    va_end(args);
    return result;
}

class PluginObjects : public korvadin_test::ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        g_events.clear();
    }
    const host::Handle none = 0;
};

TEST_F(PluginObjects, CodecMessagesReachTheirOperations) {
    auto codec = PluginObjPtr<TestCodec>::adopt(new TestCodec);
    const auto bag = h.createBag();
    EXPECT_EQ(send(codec.get(), msgCodecProperties, none), errInvalidArgument);
    EXPECT_EQ(send(codec.get(), msgCodecProperties, bag), 11);
    EXPECT_EQ(send(codec.get(), msgCodecOpen, none), 12);
    EXPECT_EQ(send(codec.get(), msgCodecOpen, bag), 12);
    EXPECT_EQ(send(codec.get(), msgCodecSignal), errNone);
    bool answer = true;
    EXPECT_EQ(send(codec.get(), msgCodecQuery, &answer), errNone);
    EXPECT_FALSE(answer);
    EXPECT_EQ(send(codec.get(), msgCodecQueryValue, uint64_t{5}, &answer), errNone);
    EXPECT_TRUE(answer);
    // A frame without a callback is refused by the base behaviour.
    EXPECT_EQ(send(codec.get(), msgCodecBuffer, none), errNoHandle);
    for (uint32_t foreign : {uint32_t(msgContainerInit), uint32_t(msgTrackWritePacket),
                             uint32_t(msgCodecQuery + 1), uint32_t(msgPluginInfo)}) {
        EXPECT_EQ(send(codec.get(), foreign, none), errUnsupported) << foreign;
    }
    EXPECT_EQ(g_events, (std::vector<std::string>{"properties " + std::to_string(bag), "open empty",
                                                  "open", "signal", "frame empty"}));
    h.release(bag);
}

TEST_F(PluginObjects, CallbackCarriesFramesAndQueries) {
    auto codec = PluginObjPtr<TestCodec>::adopt(new TestCodec);
    EXPECT_TRUE(codec->forwardQueryValue(1)); // no callback: true without asking
    const auto frame = h.createBuffer();
    HostBufferRef frameRef(frame);
    EXPECT_EQ(codec->sendOutput(frameRef), errInvalidArgument);

    const auto callback = h.createCallback();
    EXPECT_EQ(send(codec.get(), msgCodecSetCallback, callback), errNone);
    h.setQueryAnswer(false);
    EXPECT_FALSE(codec->forwardQueryValue(1));
    EXPECT_EQ(send(codec.get(), msgCodecBuffer, frame), errNone);
    EXPECT_EQ(codec->sendOutput(frameRef), errNone);
    EXPECT_EQ(h.receivedBuffers(callback), (std::vector<host::Handle>{frame, frame}));
    EXPECT_DEATH(codec->setCallback(callback),
                 "m_pCallback == NULL.*davinci/encoder/wrapper/plugin_api");
    codec.reset(); // gives the callback back
    h.release(frame);
    h.release(callback);
}

TEST_F(PluginObjects, ContainerMessagesAndTrackCreation) {
    auto container = PluginObjPtr<TestContainer>::adopt(new TestContainer);
    const auto bag = h.createBag();
    EXPECT_EQ(send(container.get(), msgContainerInit, none), errInvalidArgument);
    EXPECT_EQ(send(container.get(), msgContainerInit, bag), 21);
    EXPECT_EQ(send(container.get(), msgContainerOpen, bag), 22);
    EXPECT_EQ(send(container.get(), msgContainerClose), 23);
    uint32_t count = 0;
    EXPECT_EQ(send(container.get(), msgAddRef, &count), errUnsupported);
    EXPECT_EQ(send(container.get(), msgCodecOpen, bag), errUnsupported);

    auto* marker = reinterpret_cast<IPluginObjRef*>(0x1234);
    IPluginObjRef* track = marker;
    EXPECT_EQ(send(container.get(), msgContainerAddTrack, none, bag, &track), errInvalidArgument);
    EXPECT_EQ(track, marker);
    container->addTrackResult = errUnsupported;
    EXPECT_EQ(send(container.get(), msgContainerAddTrack, bag, none, &track), errUnsupported);
    EXPECT_EQ(track, nullptr);
    container->addTrackResult = errNone;
    EXPECT_EQ(send(container.get(), msgContainerAddTrack, bag, bag, &track), errNone);
    ASSERT_NE(track, nullptr);

    const auto packet = h.createBuffer();
    EXPECT_EQ(send(track, msgTrackWritePacket, packet), 31);
    EXPECT_EQ(send(track, msgTrackWritePacket, none), 31);
    EXPECT_EQ(send(track, msgContainerClose), errUnsupported);
    const auto silent = PluginObjPtr<SilentTrack>::adopt(new SilentTrack(container.get()));
    EXPECT_EQ(send(silent.get(), msgTrackWritePacket, packet), errUnsupported);
    EXPECT_EQ(g_events, (std::vector<std::string>{"track without codec", "track with codec",
                                                  "packet", "packet null"}));
    // The container's lifetime under its tracks is checked with the real ones.
    track->release();
    h.release(packet);
    h.release(bag);
}

// Creating an object that the process has no memory for is refused with the text that says so;
// the place for the object is left alone.
TEST_F(PluginObjects, CreationWithoutMemoryIsRefusedWithItsText) {
    for (const Uuid& id : {s_codecFormats[3].uuid, kContainerUuid}) {
        auto* marker = reinterpret_cast<IPluginObjRef*>(0x77);
        IPluginObjRef* created = marker;
        h.probe().clearTrace();
        s_failNextAllocation = true;
        EXPECT_EQ(pluginDispatch(msgCreateObject, id.data(), &created), errCreateFailed);
        s_failNextAllocation = false;
        EXPECT_EQ(created, marker);
        EXPECT_EQ(h.probe().errorTexts(),
                  std::vector<std::string>{"Korvadin Plugin :: Out of memory"});
    }
}

} // namespace
