#include "fileio/scratch_dir.h"
#include "log/logger.h"
#include "log/module_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
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
    std::tm local{};
    const std::time_t now = kNow;
    localtime_r(&now, &local);
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
        result.push_back(line);
    }
    return result;
}

// The prefix of a line, and the text after it.
const std::regex kLine(R"(\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\] \[( *\d+)\] \[ {9}0\] (.*))");

std::string textOf(const std::string& line) {
    std::smatch m;
    return std::regex_match(line, m, kLine) ? m[3].str() : "(no prefix: " + line + ")";
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
    const std::vector<std::string> expected = {"Log opened",
                                               "Application: " +
                                                   fs::read_symlink("/proc/self/exe").string(),
                                               "two",
                                               "lines",
                                               "ends with a line feed",
                                               "",
                                               "blank",
                                               "",
                                               "in between",
                                               "42-" + std::string(3000, 'x'),
                                               "Log closed"};
    ASSERT_EQ(found.size(), expected.size());
    for (size_t i = 0; i < found.size(); ++i) {
        EXPECT_EQ(textOf(found[i]), expected[i]) << "line " << i;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(found[i], m, kLine));
        EXPECT_EQ(m[1].str(), localText("%Y-%m-%d %H:%M:%S"));
        EXPECT_GE(m[2].length(), 5) << "thread ids are right-aligned in five characters";
    }
}

TEST(Logger, TakesTheNextFreeName) {
    ScratchDir dir;
    fs::create_directories(logFolder(dir));
    for (int n : {0, 1, 2, 4}) {
        std::ofstream(logFolder(dir) / logName(n)) << "taken\n";
    }
    {
        Logger logger(switchedOn(dir));
        logger.open();
        logger.open();
        logger.write("once");
    }
    EXPECT_EQ(textOf(lines(logFolder(dir) / logName(3)).at(2)), "once");
    EXPECT_EQ(lines(logFolder(dir) / logName(4)), std::vector<std::string>{"taken"});
    EXPECT_EQ(std::distance(fs::directory_iterator(logFolder(dir)), fs::directory_iterator()), 5)
        << "a second open makes no second file";
}

TEST(Logger, RunsWithoutAFileWhenEveryNameIsTaken) {
    ScratchDir dir;
    fs::create_directories(logFolder(dir));
    for (int n = 0; n < 1000; ++n) {
        std::ofstream(logFolder(dir) / logName(n));
    }
    EXPECT_TRUE(fs::exists(logFolder(dir) / logName(999))) << "three digits from 100 on";
    {
        Logger logger(switchedOn(dir));
        logger.open();
        logger.write("lost");
        EXPECT_FALSE(logger.hasFile());
    }
    for (const auto& entry : fs::directory_iterator(logFolder(dir))) {
        EXPECT_EQ(fs::file_size(entry.path()), 0u) << entry.path();
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(logFolder(dir)), fs::directory_iterator()),
              1000);
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
        std::smatch first, second;
        ASSERT_TRUE(std::regex_match(found[i], first, kLine)) << found[i];
        ASSERT_TRUE(std::regex_match(found[i + 1], second, kLine)) << found[i + 1];
        EXPECT_EQ(first[2].str(), second[2].str()) << "both lines of a message from one thread";
        EXPECT_TRUE(second[3].str().starts_with("second line"));
    }
}

} // namespace
