#include "log/log_platform.h"
#include "log/logger.h"
#include "log/module_log.h"
#include "support/files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

using namespace IOPlugin;
using korvadin_test::ScratchDir;
namespace fs = std::filesystem;

namespace {

constexpr std::time_t kNow = 1796343302; // a fixed second, so that file names are known

std::time_t fixedClock() {
    return kNow;
}

std::string localText(const char* format) {
    const std::tm local = logplatform::localTime(kNow);
    char text[64];
    std::strftime(text, sizeof text, format, &local);
    return text;
}

fs::path logFolder(const ScratchDir& dir) {
    return dir.path() / "korvadin" / "resolve";
}

std::string logName(int n) {
    char counter[16];
    std::snprintf(counter, sizeof counter, "_%02d.log", n);
    return "korvadin_resolve_" + localText("%Y%m%d_%H%M%S") + counter;
}

std::vector<std::string> lines(const fs::path& path) {
    std::ifstream in(path);
    std::vector<std::string> result;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back(); // log files are text files, CR LF on Windows
        }
        result.push_back(line);
    }
    return result;
}

// A line as the log writes it: "[time] [thread id] [         0] text".
struct LogLine {
    bool valid = false;
    std::string time;
    std::string thread; // right-aligned
    std::string text;
};

LogLine parseLine(const std::string& line) {
    LogLine parsed;
    const std::string marker = "] [         0] ";
    if (line.size() < 24 || line[0] != '[' || line.compare(20, 3, "] [") != 0) {
        return parsed;
    }
    const size_t threadEnd = line.find(marker, 23);
    if (threadEnd == std::string::npos) {
        return parsed;
    }
    parsed.time = line.substr(1, 19);
    parsed.thread = line.substr(23, threadEnd - 23);
    parsed.text = line.substr(threadEnd + marker.size());
    const size_t digits = parsed.thread.find_first_not_of(' ');
    parsed.valid = digits != std::string::npos &&
                   parsed.thread.find_first_not_of("0123456789", digits) == std::string::npos;
    return parsed;
}

std::string textOf(const std::string& line) {
    const LogLine parsed = parseLine(line);
    return parsed.valid ? parsed.text : "(no prefix: " + line + ")";
}

LoggerSettings switchedOn(const ScratchDir& dir) {
    return {true, false, dir.path().string(), &fixedClock};
}

TEST(Logger, SwitchedOffCreatesNothing) {
    ScratchDir dir;
    {
        Logger logger({false, true, dir.path().string(), &fixedClock});
        logger.open();
        logger.log("%s", "nothing");
        logger.write("nothing\n");
        EXPECT_FALSE(logger.hasFile());
    }
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(Logger, ModuleStartLeavesTheLogOff) {
    startModuleLog();
    startModuleLog();
    EXPECT_FALSE(Logger::instance().enabled());
    EXPECT_FALSE(Logger::instance().hasFile());
}

TEST(Logger, PrefixesEveryLine) {
    ScratchDir dir;
    {
        Logger logger(switchedOn(dir));
        logger.open();
        logger.write("two\nlines");
        logger.write("ends with a line feed\n");
        logger.write("");
        logger.write("blank\n\nin between");
        logger.log("%d-%s", 42, std::string(3000, 'x').c_str());
    }
    const auto found = lines(logFolder(dir) / logName(0));
    const std::vector<std::string> expected = {
        "Log opened", "(the program)", "two", "lines",      "ends with a line feed",
        "",           "blank",         "",    "in between", "42-" + std::string(3000, 'x'),
        "Log closed"};
    ASSERT_EQ(found.size(), expected.size());
    const std::string application = textOf(found[1]);
    EXPECT_TRUE(application.starts_with("Application: ") &&
                (application.ends_with("log_tests") || application.ends_with("log_tests.exe")))
        << application;
    for (size_t i = 0; i < found.size(); ++i) {
        if (i != 1) {
            EXPECT_EQ(textOf(found[i]), expected[i]) << "line " << i;
        }
        const LogLine parsed = parseLine(found[i]);
        ASSERT_TRUE(parsed.valid) << found[i];
        EXPECT_EQ(parsed.time, localText("%Y-%m-%d %H:%M:%S"));
        EXPECT_GE(parsed.thread.size(), 5u) << "thread ids are right-aligned in five characters";
    }
}

TEST(Logger, FileNamesCountToTheFirstFreeOne) {
    ScratchDir dir;
    const fs::path folder = logFolder(dir);
    const auto files = [&] {
        return std::distance(fs::directory_iterator(folder), fs::directory_iterator());
    };
    fs::create_directories(folder);
    for (int n : {0, 1, 2, 4}) {
        std::ofstream(folder / logName(n)) << "taken\n";
    }
    {
        Logger logger(switchedOn(dir));
        logger.open();
        logger.open();
        logger.write("once");
    }
    EXPECT_EQ(textOf(lines(folder / logName(3)).at(2)), "once");
    EXPECT_EQ(lines(folder / logName(4)), std::vector<std::string>{"taken"});
    EXPECT_EQ(files(), 5) << "a second open makes no second file";

    for (int n = 5; n < 1000; ++n) {
        std::ofstream(folder / logName(n)); // three digits from 100 on
    }
    {
        Logger logger(switchedOn(dir));
        logger.open();
        logger.write("lost");
        EXPECT_FALSE(logger.hasFile());
    }
    EXPECT_EQ(files(), 1000);
}

TEST(Logger, LinesOfThreadsDoNotInterleave) {
    ScratchDir dir;
    constexpr int kThreads = 4;
    constexpr int kMessages = 200;
    {
        Logger logger(switchedOn(dir));
        logger.open();
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&logger, t] {
                for (int i = 0; i < kMessages; ++i) {
                    logger.log("thread %d message %d\nsecond line %d", t, i, i);
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
    }
    const auto found = lines(logFolder(dir) / logName(0));
    ASSERT_EQ(found.size(), 3u + 2 * kThreads * kMessages);
    for (size_t i = 2; i + 1 < found.size(); i += 2) {
        const LogLine first = parseLine(found[i]);
        const LogLine second = parseLine(found[i + 1]);
        ASSERT_TRUE(first.valid && second.valid) << found[i] << "\n" << found[i + 1];
        EXPECT_EQ(first.thread, second.thread) << "both lines of a message from one thread";
        EXPECT_TRUE(second.text.starts_with("second line"));
    }
}

} // namespace
