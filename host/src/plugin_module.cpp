#include "host/plugin_module.h"

#include <stdexcept>

namespace host {

PluginModule::PluginModule(const std::filesystem::path& path) : m_library(path) {
    m_init = reinterpret_cast<InitFn>(m_library.symbol("pluginInit"));
    if (m_init == nullptr) {
        throw std::runtime_error(path.string() + ": not a plug-in (no pluginInit export)");
    }
}

int32_t PluginModule::init(const IOPlugin::HostApi& api, IOPlugin::PluginApi* out) {
    IOPlugin::PluginApi plugin{0, nullptr};
    const int32_t result = m_init(&api, &plugin);
    if (result == IOPlugin::errNone) {
        m_dispatch = plugin.dispatch;
    }
    if (out != nullptr) {
        *out = plugin;
    }
    return result;
}

} // namespace host
