// The module's diagnostic log. As the module starts it, it is off and writes nothing anywhere,
// which is all a user ever meets of it: it has no switch outside the code.
#include "log/logger.h"
#include "log/module_log.h"
#include "support/files.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace IOPlugin;
using korvadin_test::ScratchDir;
namespace fs = std::filesystem;

namespace {

std::time_t fixedClock() {
    return 1796343302;
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

} // namespace
