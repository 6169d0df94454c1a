#include "davinci/encoder/registration.h"

#include "davinci/encoder/korvadin_codec.h"
#include "davinci/encoder/plugin_identity.h"

#include <exception>
#include <string>
#include <string_view>

namespace IOPlugin {

namespace {

constexpr uint32_t kCodecDirectionEncode = 2;
constexpr uint8_t kFieldOrderAny = 7;
constexpr uint32_t kQuerySize = 128;
constexpr std::string_view kCodecGroup = "Korvadin";

// The container's identifier as the host matches it: 32 lowercase hex digits in stored byte
// order, and the NUL, which the host counts as part of the value.
std::string containerIdText() {
    static constexpr std::string_view digits = "0123456789abcdef";
    std::string text;
    for (const uint8_t byte : kContainerUuid) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0f];
    }
    text += '\0';
    return text;
}

// Creates a bag, lets fill describe the offer, appends it to the list and gives the module's
// reference back on every path.
template <class Fill>
int32_t appendBag(HostListRef& list, Fill&& fill) {
    const HostHandle handle =
        createHostObject(classIdPropertyBag, "Plugin Failed to create a property bag");
    if (handle == 0) {
        return errCreateFailed;
    }
    HostPropertyCollectionRef bag(IHostObjRef::Adopt{}, handle);
    // A refused property is not fatal: the host gets whatever it accepted.
    fill(bag);
    if (list.empty()) {
        return errFailed;
    }
    return sendToHost(msgListAppend, list.handle(), bag.handle()) == errNone ? errNone : errFailed;
}

} // namespace

int32_t registerCodecs(HostListRef& list) {
    KorvadinCodec codec;
    for (const CodecFormat& format : s_codecFormats) {
        try {
            codec.compressQuery({kQuerySize, kQuerySize, format.rawFormat}, {0, 0, format.id});
        } catch (const std::exception&) {
            // A variant the installed library cannot encode is simply not offered.
            continue;
        }
        const int32_t result = registerCodec(format, list);
        if (result != errNone) {
            return result;
        }
    }
    return errNone;
}

int32_t registerCodec(const CodecFormat& format, HostListRef& list) {
    return appendBag(list, [&](HostPropertyCollectionRef& bag) {
        bag.setBytes("uuid", format.uuid.data(), static_cast<uint32_t>(format.uuid.size()));
        bag.setString("group", kCodecGroup);
        bag.setString("name", format.name);
        bag.setUInt32("4cc", format.fourcc);
        bag.setUInt32("mediaType", mediaVideo);
        bag.setUInt32("codecDirection", kCodecDirectionEncode);
        bag.setUInt32("colorModel", format.colorModel);
        bag.setBytes("dataRange", format.dataRanges.data(),
                     static_cast<uint32_t>(format.dataRanges.size()));
        bag.setUInt8("hSubsampling", format.hSubsampling);
        bag.setUInt8("vSubsampling", format.vSubsampling);
        bag.setUInt32("bitDepth", format.bitDepth);
        bag.setUInt32("sampleBits", format.sampleBits);
        bag.setUInt8("fieldOrder", kFieldOrderAny);
        bag.setString("codecContainers", containerIdText());
        bag.setUInt8("isThreadSafe", 1);
    });
}

int32_t registerContainers(HostListRef& list) {
    return appendBag(list, [](HostPropertyCollectionRef& bag) {
        bag.setBytes("uuid", kContainerUuid.data(), static_cast<uint32_t>(kContainerUuid.size()));
        bag.setString("name", kContainerName);
        bag.setUInt32("mediaType", mediaContainer);
        bag.setString("contExt", kContainerExtension);
    });
}

} // namespace IOPlugin
