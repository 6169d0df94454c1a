// Object bases: reference counts, self-deletion and the routing of every message.
#include "davinci/encoder/plugin_entry.h"
#include "davinci/encoder/wrapper/plugin_api.h"
#include "host/host.h"
#include "support/host_checks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace IOPlugin;
using host::Host;

namespace {

std::vector<std::string> g_events;

class TestCodec : public IPluginCodecRef {
public:
    ~TestCodec() override { g_events.push_back("codec destroyed"); }
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
    ~TestContainer() override { g_events.push_back("container destroyed"); }
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
    ~TestTrack() override { g_events.push_back("track destroyed"); }
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

class PluginObjects : public ::testing::Test {
protected:
    void SetUp() override {
        Host::instance().reset();
        g_events.clear();
        const HostApi api = Host::api();
        PluginApi plugin{};
        ASSERT_EQ(pluginInit(&api, &plugin), errNone);
    }
    void TearDown() override { korvadin_test::expectNothingHeld(); }
    Host& h = Host::instance();
};

TEST_F(PluginObjects, CountsAndSelfDeletion) {
    auto* codec = new TestCodec;
    EXPECT_EQ(codec->addRef(), 2u);
    EXPECT_EQ(codec->release(), 1u);
    uint32_t count = 99;
    EXPECT_EQ(send(codec, msgRelease, &count), errNone);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(g_events, (std::vector<std::string>{"codec destroyed"}));
}

TEST_F(PluginObjects, CodecMessagesReachTheirOperations) {
    auto codec = PluginObjPtr<TestCodec>::adopt(new TestCodec);
    const auto bag = h.createBag();

    EXPECT_EQ(send(codec.get(), msgCodecProperties, host::Handle{0}), errInvalidArgument);
    EXPECT_EQ(send(codec.get(), msgCodecProperties, bag), 11);
    EXPECT_EQ(send(codec.get(), msgCodecOpen, host::Handle{0}), 12);
    EXPECT_EQ(send(codec.get(), msgCodecOpen, bag), 12);
    EXPECT_EQ(send(codec.get(), msgCodecSignal), errNone);
    bool answer = true;
    EXPECT_EQ(send(codec.get(), msgCodecQuery, &answer), errNone);
    EXPECT_FALSE(answer);
    answer = false;
    EXPECT_EQ(send(codec.get(), msgCodecQueryValue, uint64_t{5}, &answer), errNone);
    EXPECT_TRUE(answer);
    // A frame without a callback is refused by the base behaviour.
    EXPECT_EQ(send(codec.get(), msgCodecBuffer, host::Handle{0}), errNoHandle);
    for (uint32_t foreign : {uint32_t(msgContainerInit), uint32_t(msgTrackWritePacket),
                             uint32_t(msgCodecQuery + 1), uint32_t(msgPluginInfo)}) {
        EXPECT_EQ(send(codec.get(), foreign, host::Handle{0}), errUnsupported) << foreign;
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
    EXPECT_EQ(send(container.get(), msgContainerInit, host::Handle{0}), errInvalidArgument);
    EXPECT_EQ(send(container.get(), msgContainerInit, bag), 21);
    EXPECT_EQ(send(container.get(), msgContainerOpen, bag), 22);
    EXPECT_EQ(send(container.get(), msgContainerClose), 23);
    uint32_t count = 0;
    EXPECT_EQ(send(container.get(), msgAddRef, &count), errUnsupported);
    EXPECT_EQ(send(container.get(), msgCodecOpen, bag), errUnsupported);

    auto* marker = reinterpret_cast<IPluginObjRef*>(0x1234);
    IPluginObjRef* track = marker;
    EXPECT_EQ(send(container.get(), msgContainerAddTrack, host::Handle{0}, bag, &track),
              errInvalidArgument);
    EXPECT_EQ(track, marker);

    container->addTrackResult = errUnsupported;
    EXPECT_EQ(send(container.get(), msgContainerAddTrack, bag, host::Handle{0}, &track),
              errUnsupported);
    EXPECT_EQ(track, nullptr);

    container->addTrackResult = errNone;
    EXPECT_EQ(send(container.get(), msgContainerAddTrack, bag, bag, &track), errNone);
    ASSERT_NE(track, nullptr);
    const auto packet = h.createBuffer();
    EXPECT_EQ(send(track, msgTrackWritePacket, packet), 31);
    EXPECT_EQ(send(track, msgTrackWritePacket, host::Handle{0}), 31);
    EXPECT_EQ(send(track, msgContainerClose), errUnsupported);
    EXPECT_EQ(g_events, (std::vector<std::string>{"track without codec", "track with codec",
                                                  "packet", "packet null"}));
    // The container's lifetime under its tracks is checked with the real ones.
    track->release();
    h.release(packet);
    h.release(bag);
}

TEST_F(PluginObjects, TrackThatCannotWriteRefusesPackets) {
    auto container = PluginObjPtr<TestContainer>::adopt(new TestContainer);
    auto track = PluginObjPtr<SilentTrack>::adopt(new SilentTrack(container.get()));
    const auto packet = h.createBuffer();
    EXPECT_EQ(send(track.get(), msgTrackWritePacket, packet), errUnsupported);
    h.release(packet);
}

} // namespace
