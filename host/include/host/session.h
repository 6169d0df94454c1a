// A plug-in loaded and initialised against the process-wide substitute host, with the small
// conversations every front end needs (registration, plug-in information).
#pragma once

#include "host/host.h"
#include "host/plugin_module.h"

#include <cstdint>
#include <string>
#include <vector>

namespace host {

// One registration bag as the plug-in filled it.
struct Registration {
    Handle bag = 0;
    std::string name;
    uint32_t fourcc = 0; // first character in the most significant byte
    std::vector<uint8_t> uuid;
    // What a codec variant asks the host to deliver.
    uint32_t colorModel = 0;
    uint8_t hSubsampling = 0;
    uint8_t vSubsampling = 0;
    uint32_t sampleBits = 0;
};

class PluginSession {
public:
    explicit PluginSession(const std::filesystem::path& pluginPath = defaultPluginPath());
    ~PluginSession();

    const PluginModule& plugin() const { return m_plugin; }
    Host& host() const { return Host::instance(); }

    // msgRegisterCodecs or msgRegisterContainers into a fresh list; the result code is kept.
    std::vector<Registration> registerCodecs(int32_t* result = nullptr);
    std::vector<Registration> registerContainers(int32_t* result = nullptr);

private:
    std::vector<Registration> collect(uint32_t msg, int32_t* result);
    PluginModule m_plugin;
    std::vector<Handle> m_lists;
};

// A FourCC as the host's "4cc" property holds it, first character in the most significant byte,
// as text.
std::string propertyFourccText(uint32_t fourcc);

} // namespace host
