#include "host/platform.h"
#include "host/plugin_module.h"

#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <iterator>
#include <stdexcept>

namespace host {

namespace {

constexpr int kInterrupts[] = {SIGINT, SIGTERM};
std::atomic<int> g_interrupts{0};
static_assert(std::atomic<int>::is_always_lock_free, "touched by a signal handler");
pthread_t g_guardThread;
struct sigaction g_previous[std::size(kInterrupts)];

void onInterrupt(int signal) {
    // Any thread may take the signal, the codec's workers too; the guarding thread is the one
    // whose waiting read must fail.
    if (!pthread_equal(pthread_self(), g_guardThread)) {
        pthread_kill(g_guardThread, signal);
        return;
    }
    if (g_interrupts.fetch_add(1) > 0) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
}

} // namespace

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

InterruptGuard::InterruptGuard() {
    g_interrupts = 0;
    g_guardThread = pthread_self();
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    // Without SA_RESTART, so that a read the signal interrupts returns.
    action.sa_flags = 0;
    for (size_t i = 0; i < std::size(kInterrupts); ++i) {
        sigaction(kInterrupts[i], &action, &g_previous[i]);
    }
}

InterruptGuard::~InterruptGuard() {
    for (size_t i = 0; i < std::size(kInterrupts); ++i) {
        sigaction(kInterrupts[i], &g_previous[i], nullptr);
    }
}

bool InterruptGuard::requested() const {
    return g_interrupts.load() > 0;
}

} // namespace host
