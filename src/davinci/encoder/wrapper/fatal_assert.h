// Checks of the host's side of the contract. They stay active in every build: a host that
// breaks the protocol has already corrupted state the module cannot repair.
#pragma once

#include <string_view>

namespace IOPlugin {

[[noreturn]] void fatalAssertion(const char* expression, std::string_view sourcePath, int line);

// The source path relative to the module's root folder, without extension, so that messages
// read the same whichever folder the module was built in ("davinci/encoder/wrapper/host_api").
consteval std::string_view moduleSourcePath(std::string_view file) {
    const auto root = file.rfind("/src/");
    if (root != std::string_view::npos) {
        file.remove_prefix(root + 5);
    } else if (file.starts_with("src/")) {
        file.remove_prefix(4);
    }
    const auto dot = file.rfind('.');
    return dot == std::string_view::npos ? file : file.substr(0, dot);
}

} // namespace IOPlugin

#define PLUGIN_FATAL_ASSERT(expr)                                                                  \
    ((expr) ? static_cast<void>(0)                                                                 \
            : ::IOPlugin::fatalAssertion(#expr, ::IOPlugin::moduleSourcePath(__FILE__), __LINE__))
