#include "codec_library.h"

#include <filesystem>
#include <stdexcept>

#include <dlfcn.h>

namespace bench {

namespace {

template <typename Function>
void resolve(void* handle, const std::string& path, const char* name, Function& function) {
    function = reinterpret_cast<Function>(dlsym(handle, name));
    if (function == nullptr) {
        throw std::runtime_error(path + " has no function " + name);
    }
}

} // namespace

CodecLibrary::CodecLibrary(const std::string& libraryPath) : path(libraryPath) {
    // Each file gets its own copy of the library's state (its thread pool, its instances), also
    // when two files of the same name are loaded; a path with a slash is never searched for.
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    m_handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) {
        throw std::runtime_error("cannot load " + path + ": " + dlerror());
    }
    try {
#define KORVADIN_BENCH_RESOLVE(member, function) resolve(m_handle, path, #function, member);
        KORVADIN_BENCH_FUNCTIONS(KORVADIN_BENCH_RESOLVE)
#undef KORVADIN_BENCH_RESOLVE
    } catch (...) {
        dlclose(m_handle);
        throw;
    }
}

CodecLibrary::~CodecLibrary() {
    dlclose(m_handle);
}

std::string CodecLibrary::besideProgram() {
    return (std::filesystem::read_symlink("/proc/self/exe").parent_path() /
            "libkorvadin_common64.so")
        .string();
}

void CodecLibrary::check(int32_t result, const char* what) const {
    if (result != KORVADIN_OK) {
        throw std::runtime_error(std::string(what) + ": " +
                                 getString(KORVADIN_STRING_RESULT, result) + " (" + path + ")");
    }
}

} // namespace bench
