#include "log/module_log.h"

#include "log/logger.h"

namespace IOPlugin {

namespace {

class ModuleLog {
public:
    ModuleLog() {
        Logger& logger = Logger::instance();
        logger.setSwitches(false, false);
        logger.open();
        logger.log("Module init");
    }
    ~ModuleLog() { Logger::instance().log("Module destroy"); }
    ModuleLog(const ModuleLog&) = delete;
    ModuleLog& operator=(const ModuleLog&) = delete;
};

} // namespace

void startModuleLog() {
    // Built after the Logger it takes, so destroyed before it.
    static ModuleLog s_moduleLog;
}

} // namespace IOPlugin
