#include "davinci/encoder/plugin_entry.h"

#include "davinci/encoder/codec_formats.h"
#include "davinci/encoder/korvadin_avi_container.h"
#include "davinci/encoder/korvadin_encoder.h"
#include "davinci/encoder/plugin_identity.h"
#include "davinci/encoder/registration.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>

using namespace IOPlugin;

extern "C" int32_t pluginInit(const HostApi* host, PluginApi* plugin) {
    // The version goes out first so that the host reads 1 even from a refused call.
    plugin->version = 1;
    if (host->version == 0) {
        return errVersion;
    }
    std::memcpy(&s_HostAPI, host, sizeof(HostApi));
    plugin->dispatch = &pluginDispatch;
    return errNone;
}

namespace {

bool isObjectMessage(uint32_t msg) {
    switch (msg) {
    case msgCodecProperties:
    case msgCodecOpen:
    case msgCodecSignal:
    case msgCodecSetCallback:
    case msgCodecBuffer:
    case msgCodecQueryValue:
    case msgCodecQuery:
    case msgContainerInit:
    case msgContainerOpen:
    case msgContainerAddTrack:
    case msgContainerClose:
    case msgTrackWritePacket:
        return true;
    default:
        return false;
    }
}

int32_t countMessage(uint32_t msg, va_list* args) {
    auto* object = va_arg(*args, IPluginObjRef*);
    auto* result = va_arg(*args, uint32_t*);
    if (object == nullptr || result == nullptr) {
        return errInvalidArgument;
    }
    *result = msg == msgAddRef ? object->addRef() : object->release();
    return errNone;
}

// Without a usable codec library the module can offer nothing; the host hears why and goes on
// without our codecs instead of meeting an exception it cannot handle.
int32_t registerCodecsReporting(HostListRef& list) {
    try {
        return registerCodecs(list);
    } catch (const std::exception& e) {
        reportHostError(0, "Korvadin Plugin :: Failed to register the codecs: %s", e.what());
        return errFailed;
    }
}

int32_t dispatch(uint32_t msg, va_list* args) {
    switch (msg) {
    case msgCreateObject: {
        const auto* uuid = va_arg(*args, const uint8_t*);
        auto** out = va_arg(*args, IPluginObjRef**);
        return createObject(uuid, out);
    }
    case msgAddRef:
    case msgRelease:
        return countMessage(msg, args);
    case msgCodecSettings: {
        const auto* uuid = va_arg(*args, const uint8_t*);
        const auto properties = va_arg(*args, HostHandle);
        const auto list = va_arg(*args, HostHandle);
        return checkCodecSettings(uuid, properties, list);
    }
    case msgPluginSignal1:
    case msgPluginSignal2:
        return errNone;
    case msgRegisterCodecs: {
        HostListRef list(va_arg(*args, HostHandle));
        return registerCodecsReporting(list);
    }
    case msgRegisterContainers: {
        HostListRef list(va_arg(*args, HostHandle));
        return registerContainers(list);
    }
    case msgPluginInfo: {
        const auto handle = va_arg(*args, HostHandle);
        if (handle == 0) {
            return errInvalidArgument;
        }
        HostPropertyCollectionRef properties(handle);
        return describePlugin(properties);
    }
    default:
        break;
    }
    if (!isObjectMessage(msg)) {
        return errUnsupported;
    }
    auto* object = va_arg(*args, IPluginObjRef*);
    if (object == nullptr) {
        return errInvalidArgument;
    }
    return object->handleMessage(msg, args);
}

} // namespace

// The host runs us inside its own process: nothing thrown below may unwind into it. The
// objects turn their expected failures into codes and texts themselves; what still arrives
// here is unexpected and becomes a plain failure with a text the user can report.
extern "C" int32_t pluginDispatch(uint32_t msg, ...) {
    va_list args;
    va_start(args, msg);
    int32_t result = errFailed;
    try {
        result = dispatch(msg, &args);
    } catch (const std::bad_alloc&) {
        reportHostError(0, "Korvadin Plugin :: Out of memory");
        result = errCreateFailed;
    } catch (const std::exception& e) {
        reportHostError(0, "Korvadin Plugin :: Internal failure: %s", e.what());
        result = errFailed;
    } catch (...) {
        reportHostError(0, "Korvadin Plugin :: Internal failure");
        result = errFailed;
    }
    va_end(args);
    return result;
}

namespace IOPlugin {

int32_t createObject(const uint8_t* uuid, IPluginObjRef** out) {
    if (const CodecFormat* format = findCodecFormatByUuid(uuid)) {
        *out = new KorvadinEncoder(*format);
        return errNone;
    }
    if (std::equal(kContainerUuid.begin(), kContainerUuid.end(), uuid)) {
        *out = new KorvadinAviContainer();
        return errNone;
    }
    return errUnsupported;
}

int32_t checkCodecSettings(const uint8_t* uuid, HostHandle properties, HostHandle list) {
    if (properties == 0) {
        return errInvalidArgument;
    }
    // The references mark the objects as in use for the message, as for every handle we get.
    HostPropertyCollectionRef collection(properties);
    HostListRef settingsList(list);
    return findCodecFormatByUuid(uuid) == nullptr ? errNotFound : errNone;
}

int32_t describePlugin(HostPropertyCollectionRef& properties) {
    const int32_t err = properties.setBytes("uuid", kPluginUuid.data(), 16);
    if (err != errNone) {
        return err;
    }
    return properties.setString("name", kPluginName);
}

} // namespace IOPlugin
