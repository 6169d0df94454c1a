// Loads a plug-in file the way the editor does: open the shared library, find pluginInit,
// hand it the host's record and talk to the plug-in only through the dispatcher it returns.
#pragma once

#include "davinci/encoder/wrapper/plugin_protocol.h"

#include <filesystem>
#include <memory>
#include <string>

namespace host {

// The platform's dynamic loader; its two implementations live in loader_posix.cpp and
// loader_windows.cpp.
class SharedLibrary {
public:
    // Throws std::runtime_error with the loader's own reason when the file cannot be loaded.
    explicit SharedLibrary(const std::filesystem::path& path);
    ~SharedLibrary();
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    // Null when the library does not export the name.
    void* symbol(const char* name) const;

private:
    void* m_handle = nullptr;
};

class PluginModule {
public:
    using InitFn = int32_t (*)(const IOPlugin::HostApi*, IOPlugin::PluginApi*);

    explicit PluginModule(const std::filesystem::path& path);

    // Calls pluginInit with the given record; the dispatcher is kept when it succeeds.
    int32_t init(const IOPlugin::HostApi& api, IOPlugin::PluginApi* out = nullptr);
    bool initialised() const { return m_dispatch != nullptr; }

    // Sends one message; every argument must already have its 64-bit slot type.
    template <class... Args>
    int32_t send(uint32_t msg, Args... args) const {
        static_assert(((sizeof(Args) == 8) && ...), "every message argument fills a 64-bit slot");
        return m_dispatch(msg, args...);
    }

private:
    SharedLibrary m_library;
    InitFn m_init = nullptr;
    IOPlugin::PluginDispatchFn m_dispatch = nullptr;
};

// The plug-in file next to the running program, where the build and the install put it.
std::filesystem::path defaultPluginPath();

} // namespace host
