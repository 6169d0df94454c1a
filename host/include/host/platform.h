// The host's few platform services; each platform implements them in one file
// (platform_posix.cpp, platform_windows.cpp), together with the plug-in loader.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>

namespace host {

// Whether the stream is an interactive terminal (progress lines are drawn only there).
bool isTerminal(std::FILE* stream);

// 64-bit positioning of C streams, for media files beyond 2 GiB.
bool seekFile(std::FILE* stream, uint64_t position);
// The size of a seekable file (left positioned at its start); empty for pipes and terminals.
std::optional<uint64_t> seekableFileSize(std::FILE* stream);
// Standard input and output carry media bytes unchanged.
void setBinaryMode(std::FILE* stream);
// Cuts a file open for writing to `size` bytes, or lengthens it with zeros.
bool resizeFile(std::FILE* stream, uint64_t size);

// While one lives, the first interrupt (Ctrl-C or SIGTERM; on Windows the console's Ctrl-C,
// Ctrl-Break or close) only raises requested(), so that a long job can end its work properly;
// the second ends the process at once. On POSIX systems a read from a pipe that the first
// interrupts fails, so that a job waiting for input notices it at once too.
class InterruptGuard {
public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

    bool requested() const;
};

} // namespace host
