// The message protocol between the host and the module: records exchanged by pluginInit,
// message identifiers, result codes, property value types and the host's class identifiers.
// Both message functions are variadic; every argument after the identifier occupies one
// 64-bit slot (pointers and handles whole, 32-bit integers in the low half).
#pragma once

#include <cstdint>

namespace IOPlugin {

// Host objects are opaque 64-bit handles; 0 stands for no object.
using HostHandle = uint64_t;

using HostMessageFn = int32_t (*)(uint32_t msg, ...);
using PluginDispatchFn = int32_t (*)(uint32_t msg, ...);

#pragma pack(push, 1)
struct HostApi {
    uint32_t version;          // 0 is refused
    HostMessageFn hostMessage; // at offset 4, deliberately unaligned
};
struct PluginApi {
    uint32_t version;
    PluginDispatchFn dispatch;
};
#pragma pack(pop)
static_assert(sizeof(HostApi) == 12);
static_assert(sizeof(PluginApi) == 12);

enum MessageId : uint32_t {
    msgCreateObject = 0x00000001,
    msgAddRef = 0x00000002,
    msgRelease = 0x00000003,
    msgCodecSettings = 0x00000004,
    msgErrorText = 0x00010001,
    msgSetProperty = 0x00020001,
    msgGetProperty = 0x00020002,
    msgListAppend = 0x00030001,
    msgBufferResize = 0x00040001,
    msgBufferLock = 0x00040002,
    msgBufferUnlock = 0x00040003,
    msgPluginSignal1 = 0x10000001,
    msgPluginSignal2 = 0x10000002,
    msgRegisterCodecs = 0x10000003,
    msgRegisterContainers = 0x10000004,
    msgPluginInfo = 0x10000005,
    msgCodecProperties = 0x10010001,
    msgCodecOpen = 0x10010002,
    msgCodecSignal = 0x10010003,
    msgCodecSetCallback = 0x10010004,
    msgCodecBuffer = 0x10010005,
    msgCodecQueryValue = 0x10010006,
    msgCodecQuery = 0x10010007,
    msgContainerInit = 0x10020001,
    msgContainerOpen = 0x10020002,
    msgContainerAddTrack = 0x100200A1,
    msgContainerClose = 0x100200F1,
    msgTrackWritePacket = 0x10021001,
};

enum ResultCode : int32_t {
    errNone = 0,
    errFailed = -1,
    errVersion = -2,
    errInvalidArgument = -3,
    errCreateFailed = -4,
    errNotFound = -5,
    errMissingData = -6,
    errUnsupported = -7,
    errNoHandle = -8,
};

// The encoder's answer to a frame message that carries no frame.
constexpr int32_t resultNoFrame = 1;

enum PropertyType : uint32_t {
    propUInt8 = 2,
    propUInt32 = 6,
    propInt64 = 7,
    propString = 10,
};

// Values of the "mediaType" property.
enum MediaType : uint32_t {
    mediaAudio = 1,
    mediaVideo = 2,
    mediaContainer = 3,
};

using ClassId = uint8_t[16];

// An empty property collection (registrations).
inline constexpr ClassId classIdPropertyBag = {0x35, 0x97, 0x35, 0x26, 0x5c, 0x1b, 0x41, 0x77,
                                               0xac, 0x79, 0xe5, 0xca, 0x72, 0xe0, 0x80, 0xd3};
// An empty buffer with properties (encoded frames).
inline constexpr ClassId classIdBuffer = {0x54, 0xcf, 0xc0, 0x86, 0x5f, 0xe2, 0x11, 0xe7,
                                          0x8c, 0x3f, 0x9a, 0x21, 0x4c, 0xf0, 0x93, 0xae};

} // namespace IOPlugin
