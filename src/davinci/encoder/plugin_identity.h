// Fixed identifiers by which the host names the module and its container. They must never
// change: projects saved by the host refer to them.
#pragma once

#include "davinci/encoder/codec_formats.h"

namespace IOPlugin {

inline constexpr Uuid kPluginUuid = {0x6b, 0x76, 0x64, 0x6e, 0x2e, 0x70, 0x6c, 0x75,
                                     0x67, 0x69, 0x6e, 0x00, 0x4a, 0x91, 0x3c, 0x01};
inline constexpr Uuid kContainerUuid = {0x6b, 0x76, 0x64, 0x6e, 0x2e, 0x61, 0x76, 0x69,
                                        0x00, 0x00, 0x7e, 0x15, 0xb2, 0x60, 0xd8, 0x02};

inline constexpr const char* kPluginName = "Korvadin";
inline constexpr const char* kContainerName = "Korvadin AVI";
inline constexpr const char* kContainerExtension = "avi";

} // namespace IOPlugin
