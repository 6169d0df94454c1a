#include "host/platform.h"
#include "host/plugin_module.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <stdexcept>
#include <string>

namespace host {

namespace {

std::atomic<int> g_interrupts{0};

BOOL WINAPI onConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
        return FALSE;
    }
    // Declining the second hands it to the default handler, which ends the process.
    return g_interrupts.fetch_add(1) == 0 ? TRUE : FALSE;
}

} // namespace

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

bool seekFile(std::FILE* stream, uint64_t position) {
    return _fseeki64(stream, static_cast<__int64>(position), SEEK_SET) == 0;
}

std::optional<uint64_t> seekableFileSize(std::FILE* stream) {
    // A pipe or console has no size, even where seeking it happens to succeed.
    if (GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)))) != FILE_TYPE_DISK)
        return std::nullopt;
    if (_fseeki64(stream, 0, SEEK_END) != 0)
        return std::nullopt;
    const __int64 end = _ftelli64(stream);
    if (end < 0 || _fseeki64(stream, 0, SEEK_SET) != 0)
        return std::nullopt;
    return static_cast<uint64_t>(end);
}

void setBinaryMode(std::FILE* stream) {
    _setmode(_fileno(stream), _O_BINARY);
}

bool resizeFile(std::FILE* stream, uint64_t size) {
    return _chsize_s(_fileno(stream), static_cast<__int64>(size)) == 0;
}

// A console's handler runs on a thread of its own, so a read the job waits in is not
// interrupted: the job sees the request when that read returns.
InterruptGuard::InterruptGuard() {
    g_interrupts = 0;
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

InterruptGuard::~InterruptGuard() {
    SetConsoleCtrlHandler(onConsoleControl, FALSE);
}

bool InterruptGuard::requested() const {
    return g_interrupts.load() > 0;
}

} // namespace host
