// The module's diagnostic log. As the module starts it, it is off and writes nothing anywhere,
// which is all a user ever meets of it; switched on for a diagnosis, it writes each line of a
// message with the same prefix into a file of its own.
#include "log/log_platform.h"
#include "log/logger.h"
#include "log/module_log.h"
#include "support/files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

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

TEST(Logger, TheModulesLogIsOffAndAnOffLogCreatesNothing) {
    startModuleLog();
    startModuleLog();
    EXPECT_FALSE(Logger::instance().enabled() || Logger::instance().hasFile());
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

TEST(Logger, SwitchedOnItPrefixesEveryLineOfAFileOfItsOwn) {
    ScratchDir dir;
    const fs::path folder = dir.path() / "korvadin" / "resolve";
    const std::string name = "korvadin_resolve_" + localText("%Y%m%d_%H%M%S");
    fs::create_directories(folder);
    std::ofstream(folder / (name + "_00.log")) << "taken\n";
    {
        Logger logger({true, false, dir.path().string(), &fixedClock});
        logger.open();
        logger.open();
        logger.write("two\nlines");
        logger.log("%d-%s", 42, std::string(3000, 'x').c_str());
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 2)
        << "the first free name, and one file for two opens";
    std::ifstream in(folder / (name + "_01.log"));
    std::vector<std::string> texts;
    const std::string prefix = "[" + localText("%Y-%m-%d %H:%M:%S") + "] [";
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back(); // log files are text files, CR LF on Windows
        }
        // "[time] [thread id, right-aligned in five] [         0] text"
        const size_t text = line.find("] [         0] ");
        ASSERT_TRUE(line.starts_with(prefix) && text != std::string::npos && text >= 28) << line;
        texts.push_back(line.substr(text + 15));
    }
    ASSERT_EQ(texts.size(), 6u);
    EXPECT_TRUE(texts[1].starts_with("Application: ")) << texts[1];
    texts.erase(texts.begin() + 1);
    EXPECT_EQ(texts, (std::vector<std::string>{"Log opened", "two", "lines",
                                               "42-" + std::string(3000, 'x'), "Log closed"}));
}

} // namespace
