#include "log/logger.h"

#include "log/log_platform.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <vector>

namespace IOPlugin {

namespace {

constexpr int kLogNames = 1000; // counters _00 to _999 within one second

} // namespace

Logger& Logger::instance() {
    static Logger s_logger;
    return s_logger;
}

Logger::Logger(LoggerSettings settings)
    : m_console(settings.console), m_enabled(settings.enabled),
      m_profileFolder(std::move(settings.profileFolder)), m_clock(settings.clock) {}

Logger::~Logger() {
    log("Log closed");
    if (m_logFile != nullptr) {
        std::fclose(m_logFile);
        m_logFile = nullptr;
    }
}

void Logger::setSwitches(bool enabled, bool console) {
    m_enabled = enabled;
    m_console = console;
}

std::time_t Logger::now() const {
    return m_clock != nullptr ? m_clock() : std::time(nullptr);
}

void Logger::open() {
    if (!m_enabled) {
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        if (!m_consoleOpen && m_console) {
            logplatform::openConsole();
            m_consoleOpen = true;
        }
        if (m_logFile != nullptr) {
            return;
        }
        const std::tm local = logplatform::localTime(now());
        char stamp[64];
        std::strftime(stamp, sizeof stamp, "%Y%m%d_%H%M%S", &local);
        char base[128];
        std::snprintf(base, sizeof base, "korvadin_resolve_%s", stamp);

        logplatform::NativePath folder;
        if (!logplatform::profileFolder(m_profileFolder, folder)) {
            return;
        }
        folder = logplatform::makeLogFolder(folder);
        for (int n = 0; n < kLogNames && m_logFile == nullptr; ++n) {
            char name[160];
            std::snprintf(name, sizeof name, "%s_%02d.log", base, n);
            if (!logplatform::fileExists(folder, name)) {
                m_logFile = logplatform::createFile(folder, name);
            }
        }
        // Unbuffered, so that the file is complete up to the last line even if the host dies.
        if (m_logFile != nullptr) {
            std::setvbuf(m_logFile, nullptr, _IONBF, 0);
        }
    }
    log("Log opened");
    log("Application: %s", logplatform::executablePath().c_str());
}

void Logger::log(const char* format, ...) {
    if (!m_enabled) {
        return;
    }
    std::va_list args;
    va_start(args, format);
    std::va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length < 0) {
        va_end(args);
        return;
    }
    std::string text(static_cast<size_t>(length), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);
    write(text.c_str());
}

void Logger::write(const char* text) {
    if (!m_enabled) {
        return;
    }
    std::lock_guard lock(m_mutex);
    const std::tm local = logplatform::localTime(now());
    char time[64];
    std::strftime(time, sizeof time, "%Y-%m-%d %H:%M:%S", &local);
    const uint32_t thread = logplatform::currentThreadId();
    const int32_t level = m_levels.try_emplace(thread, 0).first->second;
    const std::string indentation(static_cast<size_t>(4 * level), ' ');
    std::vector<char> prefix(indentation.size() + 128);
    const int prefixLength =
        std::snprintf(prefix.data(), prefix.size(), "[%s] [%5s] [%10llx] %s", time,
                      std::to_string(thread).c_str(), 0ULL, indentation.c_str());
    const size_t prefixSize =
        std::min(static_cast<size_t>(std::max(prefixLength, 0)), prefix.size() - 1);

    // Every line gets the prefix; a final line feed does not open another line.
    const char* piece = text;
    for (bool first = true;; first = false) {
        const char* lineFeed = std::strchr(piece, '\n');
        const char* end = lineFeed != nullptr ? lineFeed + 1 : piece + std::strlen(piece);
        if (end == piece && !first) {
            break;
        }
        emit(prefix.data(), prefixSize);
        emit(piece, static_cast<size_t>(end - piece));
        if (lineFeed == nullptr) {
            break;
        }
        piece = end;
    }
    const size_t length = std::strlen(text);
    if (length == 0 || text[length - 1] != '\n') {
        emit("\n", 1);
    }
}

void Logger::emit(const char* data, size_t size) {
    if (!m_enabled) {
        return;
    }
    if (m_consoleOpen) {
        logplatform::writeConsole(data, size);
    }
    if (m_logFile != nullptr) {
        std::fwrite(data, 1, size, m_logFile);
    }
}

} // namespace IOPlugin
