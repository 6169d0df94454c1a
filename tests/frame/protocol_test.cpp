// The dispatcher's table, exercised through the built plug-in file as the editor loads it.
#include "host/host.h"
#include "host/plugin_module.h"
#include "host/render_job.h"
#include "support/plugin_file.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <tuple>

using namespace IOPlugin;
using host::Handle;
using host::Host;

namespace {

constexpr Handle kNoHandle = 0;
constexpr uint32_t kForwarded[] = {msgCodecProperties,   msgCodecOpen,      msgCodecSignal,
                                   msgCodecSetCallback,  msgCodecBuffer,    msgCodecQueryValue,
                                   msgCodecQuery,        msgContainerInit,  msgContainerOpen,
                                   msgContainerAddTrack, msgContainerClose, msgTrackWritePacket};
// The 8-bit RGB variant's identifier, as the editor learns it at registration.
constexpr std::array<uint8_t, 16> kRgb8 = {0x6b, 0x76, 0x64, 0x6e, 0x2e, 0x63, 0x6f, 0x64,
                                           0x65, 0x63, 0x00, 101,  0x4a, 0x91, 0x3c, 1};

class Protocol : public korvadin_test::PluginFileTest {};

TEST_F(Protocol, InitRefusesVersionZeroButStillAnnouncesItsOwn) {
    const HostApi refused = Host::api(0);
    PluginApi plugin{0, nullptr};
    {
        host::PluginModule module(KORVADIN_PLUGIN_PATH);
        EXPECT_EQ(module.init(refused, &plugin), errVersion);
        // Copies: the record is packed, its fields cannot be bound to references.
        const uint32_t version = plugin.version;
        PluginDispatchFn dispatch = plugin.dispatch;
        EXPECT_EQ(version, 1u);
        EXPECT_EQ(dispatch, nullptr);
        EXPECT_EQ(module.init(Host::api(1234), &plugin), errNone);
        dispatch = plugin.dispatch;
        EXPECT_NE(dispatch, nullptr);
    }
}

TEST_F(Protocol, UnlistedIdentifiersAreUnsupported) {
    for (uint32_t msg :
         {0u, 5u, uint32_t(msgErrorText), uint32_t(msgSetProperty), uint32_t(msgGetProperty),
          uint32_t(msgListAppend), uint32_t(msgBufferResize), uint32_t(msgBufferLock),
          uint32_t(msgBufferUnlock), uint32_t(msgPluginInfo + 1), uint32_t(msgCodecQuery + 1),
          uint32_t(msgContainerOpen + 1), uint32_t(msgContainerAddTrack + 1),
          uint32_t(msgTrackWritePacket + 1), 0xFFFFFFFFu}) {
        EXPECT_EQ(send(msg, kNoHandle, kNoHandle), errUnsupported) << std::hex << msg;
    }
    EXPECT_EQ(send(msgPluginSignal1), errNone);
    EXPECT_EQ(send(msgPluginSignal2, kNoHandle), errNone);
    EXPECT_TRUE(h.probe().trace().empty());
}

TEST_F(Protocol, NullArgumentsAreRefused) {
    uint32_t count = 0;
    void* noObject = nullptr;
    uint32_t* noResult = nullptr;
    auto* someObject = reinterpret_cast<void*>(0x10);
    EXPECT_EQ(send(msgAddRef, noObject, &count), errInvalidArgument);
    EXPECT_EQ(send(msgRelease, noObject, &count), errInvalidArgument);
    EXPECT_EQ(send(msgAddRef, someObject, noResult), errInvalidArgument);
    EXPECT_EQ(send(msgRelease, someObject, noResult), errInvalidArgument);
    EXPECT_EQ(send(msgPluginInfo, kNoHandle), errInvalidArgument);
    // Every message the dispatcher forwards to an object needs one.
    for (const uint32_t msg : kForwarded) {
        EXPECT_EQ(send(msg, noObject, kNoHandle, kNoHandle, kNoHandle), errInvalidArgument)
            << std::hex << msg;
    }
    EXPECT_TRUE(h.probe().trace().empty());
}

// A real encoder counts the host's references and gets the codec messages that a host may send
// it at any time; each object refuses the messages of the others, and those that need a
// collection refuse to go without.
TEST_F(Protocol, ReferencesAndQuestionsReachARealEncoder) {
    void* encoder = nullptr;
    ASSERT_EQ(send(msgCreateObject, kRgb8.data(), &encoder), errNone);
    void* container = create(m_session->registerContainers().at(0).uuid);
    void* track = reinterpret_cast<void*>(0x77);
    for (void* object : {encoder, container}) {
        EXPECT_EQ(
            send(object == encoder ? msgCodecProperties : msgContainerInit, object, kNoHandle),
            errInvalidArgument);
    }
    EXPECT_EQ(send(msgContainerAddTrack, container, kNoHandle, kNoHandle, &track),
              errInvalidArgument);
    EXPECT_EQ(track, reinterpret_cast<void*>(0x77));
    const Handle description = host::videoTrackBag(h, job(8, 8));
    ASSERT_EQ(send(msgContainerAddTrack, container, description, kNoHandle, &track), errNone);
    for (const auto& [object, foreign] : {std::pair<void*, uint32_t>{encoder, msgContainerInit},
                                          {encoder, msgCodecQuery + 1},
                                          {container, msgCodecOpen},
                                          {track, msgContainerClose}}) {
        EXPECT_EQ(send(foreign, object, kNoHandle, kNoHandle), errUnsupported) << foreign;
    }
    EXPECT_EQ(send(msgContainerClose, container), errNone);
    EXPECT_EQ(release(track), 0u);
    EXPECT_EQ(release(container), 0u);
    h.release(description);
    uint32_t added = 0, released = 0, gone = 99;
    EXPECT_EQ(send(msgAddRef, encoder, &added), errNone);
    EXPECT_EQ(send(msgRelease, encoder, &released), errNone);
    EXPECT_EQ(send(msgCodecSignal, encoder), errNone);
    bool query = true, value = false;
    EXPECT_EQ(send(msgCodecQuery, encoder, &query), errNone);
    EXPECT_EQ(send(msgCodecQueryValue, encoder, uint64_t{7}, &value), errNone);
    EXPECT_EQ(send(msgRelease, encoder, &gone), errNone);
    EXPECT_EQ(std::tuple(added, released, gone, query, value), std::tuple(2u, 1u, 0u, false, true));
}

// An identifier the plug-in did not register creates nothing and leaves the place alone, and
// gets no settings.
TEST_F(Protocol, UnknownIdentifiersCreateNothingAndKnownCodecsAcceptSettings) {
    const std::array<uint8_t, 16> unknown{9};
    auto* marker = reinterpret_cast<void*>(0x77);
    void* created = marker;
    EXPECT_EQ(send(msgCreateObject, unknown.data(), &created), errUnsupported);
    EXPECT_EQ(created, marker);
    const auto settings = h.createBag();
    const auto list = h.createList();
    h.setUInt32(settings, "width", 640);
    EXPECT_EQ(send(msgCodecSettings, unknown.data(), kNoHandle, list), errInvalidArgument);
    EXPECT_EQ(send(msgCodecSettings, unknown.data(), settings, list), errNotFound);

    h.probe().clearTrace();
    EXPECT_EQ(send(msgCodecSettings, kRgb8.data(), settings, list), errNone);
    EXPECT_TRUE(h.listItems(list).empty());
    EXPECT_EQ(h.propertyKeys(settings), std::vector<std::string>{"width"});
    for (const auto& e : h.probe().trace()) {
        EXPECT_TRUE(e.msg == msgAddRef || e.msg == msgRelease) << host::messageName(e.msg);
    }
    h.release(settings);
    h.release(list);
}

// The plug-in's identity: its identifier, then its name; the first refusal ends it.
TEST_F(Protocol, PluginInfoSetsIdentifierThenNameAndStopsAtARefusal) {
    const auto info = h.createBag();
    EXPECT_EQ(send(msgPluginInfo, info), errNone);
    EXPECT_EQ(h.propertyKeys(info), (std::vector<std::string>{"uuid", "name"}));
    const auto uuid = h.property(info, "uuid"), name = h.property(info, "name");
    EXPECT_EQ(std::tuple(uuid->type, uuid->count, name->type, name->count, name->text()),
              std::tuple(propUInt8, 16, propString, 8, "Korvadin"));
    const auto refused = h.createBag();
    h.probe().setInterceptor([](const host::TraceEntry& e) -> std::optional<int32_t> {
        return e.msg == msgSetProperty && e.key == "uuid" ? std::optional(errMissingData)
                                                          : std::nullopt;
    });
    EXPECT_EQ(send(msgPluginInfo, refused), errMissingData);
    h.probe().setInterceptor(nullptr);
    EXPECT_TRUE(h.propertyKeys(refused).empty());
    h.release(info);
    h.release(refused);
}

} // namespace
