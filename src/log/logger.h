// The module's diagnostic log: timestamped lines in a file under the user's profile folder
// and, on Windows, in a console window of its own. The module's start switches it off, so as
// shipped it creates and writes nothing; the switches exist for diagnosis builds and tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <string>

namespace IOPlugin {

struct LoggerSettings {
    bool enabled = false; // the master switch
    bool console = false;
    // The folder in which korvadin/resolve is made; empty: the user's profile folder.
    std::string profileFolder;
    // The clock of file names and line prefixes; null: the system clock.
    std::time_t (*clock)() = nullptr;
};

class Logger {
public:
    // The module's one log, built on first use with both switches off.
    static Logger& instance();

    explicit Logger(LoggerSettings settings = {});
    // Writes "Log closed" and closes the file. A console stays for the life of the process.
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    void setSwitches(bool enabled, bool console);
    bool enabled() const { return m_enabled; }
    bool hasFile() const { return m_logFile != nullptr; }

    // Opens the console and the log file as far as the switches ask; a second call opens
    // nothing new but a console that was not asked for before. Failures are silent.
    void open();
    // printf-style; the message has no length limit.
    void log(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // One message, possibly of several lines, each line with the same prefix.
    void write(const char* text);

private:
    std::time_t now() const;
    void emit(const char* data, size_t size);

    std::FILE* m_logFile = nullptr;
    bool m_consoleOpen = false;
    bool m_console = false;
    bool m_enabled = false;
    std::mutex m_mutex;
    std::map<uint32_t, int32_t> m_levels; // nesting level by thread id
    std::string m_profileFolder;
    std::time_t (*m_clock)() = nullptr;
};

} // namespace IOPlugin
