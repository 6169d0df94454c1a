// The module's entry point and the dispatcher of every host message.
#pragma once

#include "davinci/encoder/wrapper/plugin_api.h"

#include <cstdint>

#if defined(_WIN32)
#define KORVADIN_PLUGIN_EXPORT __declspec(dllexport)
#else
#define KORVADIN_PLUGIN_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {
KORVADIN_PLUGIN_EXPORT int32_t pluginInit(const IOPlugin::HostApi* host,
                                          IOPlugin::PluginApi* plugin);
int32_t pluginDispatch(uint32_t msg, ...);
}

namespace IOPlugin {

// Creates the plug-in object named by a 16-byte identifier: 0 and the new object (count 1,
// owned by the caller), or errUnsupported and *out untouched.
int32_t createObject(const uint8_t* uuid, IPluginObjRef** out);

// The module accepts whatever settings the host offers for one of its codecs.
int32_t checkCodecSettings(const uint8_t* uuid, HostHandle properties, HostHandle list);

int32_t describePlugin(HostPropertyCollectionRef& properties);

} // namespace IOPlugin
