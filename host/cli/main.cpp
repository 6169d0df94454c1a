// korvadin: drives the built plug-in through its exported entry, as the editor does.
#include "host/session.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>

namespace {

constexpr const char* kUsage = R"(usage: korvadin <command> [options]

Drives korvadin_encoder_plugin.dvcp (found next to this program, or given with
--plugin PATH) through its pluginInit entry exactly as the editor loads it.

commands:
  codecs      list the codec variants and containers the plug-in registers
  help        show this text

options:
  --plugin PATH   load the plug-in file at PATH
)";

int listCodecs(host::PluginSession& session) {
    int32_t codecsResult = 0;
    int32_t containersResult = 0;
    const auto codecs = session.registerCodecs(&codecsResult);
    const auto containers = session.registerContainers(&containersResult);
    std::printf("%-16s %-6s\n", "codec", "fourcc");
    for (const auto& codec : codecs) {
        std::printf("%-16s %-6s\n", codec.name.c_str(), host::fourccText(codec.fourcc).c_str());
    }
    for (const auto& container : containers) {
        std::printf("container: %s\n", container.name.c_str());
    }
    for (const auto& text : session.host().errorTexts()) {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    if (codecsResult != 0 || containersResult != 0) {
        std::fprintf(stderr, "korvadin: registration answered %d (codecs) and %d (containers)\n",
                     codecsResult, containersResult);
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::string command;
    std::filesystem::path pluginPath = host::defaultPluginPath();
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--plugin" && i + 1 < argc) {
            pluginPath = argv[++i];
        } else if (arg == "-h" || arg == "--help" || arg == "help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (command.empty()) {
            command = arg;
        } else {
            std::fprintf(stderr, "korvadin: unexpected argument '%s'\n\n%s", argv[i], kUsage);
            return 2;
        }
    }
    if (command.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    try {
        host::PluginSession session(pluginPath);
        if (command == "codecs") {
            return listCodecs(session);
        }
        std::fprintf(stderr, "korvadin: unknown command '%s'\n\n%s", command.c_str(), kUsage);
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "korvadin: %s\n", e.what());
        return 1;
    }
}
