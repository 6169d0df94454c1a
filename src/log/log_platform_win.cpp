// The log on Windows: its own console window, the profile folder from the shell, wide paths.
// Files are opened in the runtime's text mode, so each line feed is stored as CR LF.
#include "log/log_platform.h"

#include <windows.h>

#include <direct.h>
#include <shlobj.h>
#include <shlwapi.h>

namespace IOPlugin::logplatform {

namespace {

constexpr size_t kPathUnits = MAX_PATH; // 260, terminator included

// folder\name in the buffer size the shell calls use; empty when it would not fit.
NativePath joined(const NativePath& folder, const std::string& name) {
    if (folder.size() + 1 + name.size() + 1 > kPathUnits) {
        return {};
    }
    wchar_t path[kPathUnits];
    wsprintfW(path, L"%s\\%S", folder.c_str(), name.c_str());
    return path;
}

} // namespace

void openConsole() {
    AllocConsole();
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    SetConsoleScreenBufferSize(output, COORD{120, 500});
}

void writeConsole(const char* data, size_t size) {
    DWORD written = 0;
    WriteConsoleA(GetStdHandle(STD_OUTPUT_HANDLE), data, static_cast<DWORD>(size), &written,
                  nullptr);
}

bool profileFolder(const std::string& override, NativePath& folder) {
    if (!override.empty()) {
        const int length = static_cast<int>(override.size());
        const int units = MultiByteToWideChar(CP_UTF8, 0, override.data(), length, nullptr, 0);
        folder.assign(static_cast<size_t>(units), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, override.data(), length, folder.data(), units);
        return true;
    }
    wchar_t path[kPathUnits] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, 0, path))) {
        return false;
    }
    folder = path;
    return true;
}

NativePath makeLogFolder(const NativePath& profile) {
    wchar_t path[kPathUnits] = {};
    if (profile.size() >= kPathUnits) {
        return {};
    }
    profile.copy(path, profile.size());
    PathAppendW(path, L"korvadin");
    _wmkdir(path);
    PathAppendW(path, L"resolve");
    _wmkdir(path);
    return path;
}

bool fileExists(const NativePath& folder, const std::string& name) {
    const NativePath path = joined(folder, name);
    std::FILE* file = path.empty() ? nullptr : _wfopen(path.c_str(), L"r");
    if (file == nullptr) {
        return false;
    }
    std::fclose(file);
    return true;
}

std::FILE* createFile(const NativePath& folder, const std::string& name) {
    const NativePath path = joined(folder, name);
    return path.empty() ? nullptr : _wfopen(path.c_str(), L"w");
}

std::tm localTime(std::time_t time) {
    std::tm local{};
    localtime_s(&local, &time);
    return local;
}

uint32_t currentThreadId() {
    return GetCurrentThreadId();
}

std::string executablePath() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}

} // namespace IOPlugin::logplatform
