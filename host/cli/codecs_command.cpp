#include "commands.h"

#include "host/media/raw_layout.h"
#include "host/session.h"
#include "host/variants.h"

#include <cstdio>

namespace cli {

int runCodecs(const Context& context) {
    if (!context.args.empty()) {
        throw UsageError{"takes no arguments"};
    }
    host::PluginSession session(context.pluginPath);
    int32_t codecsResult = 0;
    int32_t containersResult = 0;
    const auto codecs = session.registerCodecs(&codecsResult);
    const auto containers = session.registerContainers(&containersResult);
    std::printf("%-16s %-6s %-13s %s\n", "variant", "fourcc", "input layout", "bits kept");
    for (const auto& codec : codecs) {
        std::printf("%-16s %-6s %-13s %d\n", codec.name.c_str(),
                    host::propertyFourccText(codec.fourcc).c_str(),
                    host::rawLayoutName(host::rawCodeOf(codec)).c_str(),
                    host::keptBitsOf(codec.fourcc));
    }
    for (const auto& container : containers) {
        std::printf("container: %s\n", container.name.c_str());
    }
    for (const auto& text : session.host().probe().errorTexts()) {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    if (codecsResult != 0 || containersResult != 0) {
        std::fprintf(stderr, "korvadin: registration answered %d (codecs) and %d (containers)\n",
                     codecsResult, containersResult);
        return 1;
    }
    return 0;
}

} // namespace cli
