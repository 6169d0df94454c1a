#include "host/platform.h"
#include "host/plugin_module.h"

#include <io.h>
#include <windows.h>

#include <stdexcept>
#include <string>

namespace host {

SharedLibrary::SharedLibrary(const std::filesystem::path& path) {
    m_handle = reinterpret_cast<void*>(LoadLibraryW(path.wstring().c_str()));
    if (m_handle == nullptr) {
        throw std::runtime_error("cannot load " + path.string() + ": Windows error " +
                                 std::to_string(GetLastError()));
    }
}

SharedLibrary::~SharedLibrary() {
    if (m_handle != nullptr) {
        FreeLibrary(reinterpret_cast<HMODULE>(m_handle));
    }
}

void* SharedLibrary::symbol(const char* name) const {
    return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(m_handle), name));
}

std::filesystem::path defaultPluginPath() {
    wchar_t buffer[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    const std::filesystem::path self(std::wstring(buffer, length));
    return self.parent_path() / "korvadin_encoder_plugin.dvcp";
}

bool isTerminal(std::FILE* stream) {
    return _isatty(_fileno(stream)) != 0;
}

} // namespace host
