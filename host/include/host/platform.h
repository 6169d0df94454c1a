// The host's few platform services; each platform implements them in one file
// (platform_posix.cpp, platform_windows.cpp), together with the plug-in loader.
#pragma once

#include <cstdio>

namespace host {

// Whether the stream is an interactive terminal (progress lines are drawn only there).
bool isTerminal(std::FILE* stream);

} // namespace host
