#include "host/platform.h"
#include "host/plugin_module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <stdexcept>

namespace host {

SharedLibrary::SharedLibrary(const std::filesystem::path& path) {
    m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) {
        const char* reason = dlerror();
        throw std::runtime_error("cannot load " + path.string() + ": " +
                                 (reason ? reason : "unknown reason"));
    }
}

SharedLibrary::~SharedLibrary() {
    if (m_handle != nullptr) {
        dlclose(m_handle);
    }
}

void* SharedLibrary::symbol(const char* name) const {
    return dlsym(m_handle, name);
}

std::filesystem::path defaultPluginPath() {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    const auto folder = error ? std::filesystem::current_path() : self.parent_path();
    return folder / "korvadin_encoder_plugin.dvcp";
}

bool isTerminal(std::FILE* stream) {
    return isatty(fileno(stream)) != 0;
}

bool seekFile(std::FILE* stream, uint64_t position) {
    return fseeko(stream, static_cast<off_t>(position), SEEK_SET) == 0;
}

std::optional<uint64_t> seekableFileSize(std::FILE* stream) {
    if (fseeko(stream, 0, SEEK_END) != 0)
        return std::nullopt;
    const off_t end = ftello(stream);
    if (end < 0 || fseeko(stream, 0, SEEK_SET) != 0)
        return std::nullopt;
    return static_cast<uint64_t>(end);
}

void setBinaryMode(std::FILE*) {}

bool resizeFile(std::FILE* stream, uint64_t size) {
    return ftruncate(fileno(stream), static_cast<off_t>(size)) == 0;
}

} // namespace host
