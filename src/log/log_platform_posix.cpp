// The log on Linux and macOS. There is no console to allocate, so console output goes
// nowhere; the profile folder is the user's home directory from the password database (not
// from the environment, which the module does not read); files have no text mode, so lines
// end with a bare line feed.
#include "log/log_platform.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#ifdef __APPLE__
#include <mach-o/dyld.h>
#include <pthread.h>
#else
#include <sys/syscall.h>
#endif

namespace IOPlugin::logplatform {

void openConsole() {}

void writeConsole(const char*, size_t) {}

bool profileFolder(const std::string& override, NativePath& folder) {
    if (!override.empty()) {
        folder = override;
        return true;
    }
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] == '\0') {
        return false;
    }
    folder = found->pw_dir;
    return true;
}

NativePath makeLogFolder(const NativePath& profile) {
    NativePath folder = profile + "/korvadin";
    mkdir(folder.c_str(), 0777);
    folder += "/resolve";
    mkdir(folder.c_str(), 0777);
    return folder;
}

bool fileExists(const NativePath& folder, const std::string& name) {
    std::FILE* file = std::fopen((folder + "/" + name).c_str(), "r");
    if (file == nullptr) {
        return false;
    }
    std::fclose(file);
    return true;
}

std::FILE* createFile(const NativePath& folder, const std::string& name) {
    return std::fopen((folder + "/" + name).c_str(), "w");
}

std::tm localTime(std::time_t time) {
    std::tm local{};
    localtime_r(&time, &local);
    return local;
}

uint32_t currentThreadId() {
#ifdef __APPLE__
    uint64_t id = 0;
    pthread_threadid_np(nullptr, &id);
    return static_cast<uint32_t>(id);
#else
    return static_cast<uint32_t>(syscall(SYS_gettid));
#endif
}

std::string executablePath() {
    char path[4096] = {};
#ifdef __APPLE__
    uint32_t size = sizeof path;
    if (_NSGetExecutablePath(path, &size) != 0) {
        return {};
    }
    return path;
#else
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
#endif
}

} // namespace IOPlugin::logplatform
