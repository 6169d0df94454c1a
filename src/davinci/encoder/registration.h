// What the module offers the host: one property bag per codec variant the installed library
// accepts, and one for the container.
#pragma once

#include "davinci/encoder/codec_formats.h"
#include "davinci/encoder/wrapper/host_api.h"

#include <cstdint>

namespace IOPlugin {

// Opens one library instance for the call and throws KorvadinError when it cannot; variants
// that the library refuses are left out silently. Stops at the first bag that fails.
int32_t registerCodecs(HostListRef& list);

// Builds one codec bag and appends it: 0, errCreateFailed without a bag, errFailed when the
// list is missing or refuses it.
int32_t registerCodec(const CodecFormat& format, HostListRef& list);

int32_t registerContainers(HostListRef& list);

} // namespace IOPlugin
