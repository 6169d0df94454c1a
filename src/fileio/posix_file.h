// The file layer over POSIX descriptors, with the open modes of the Windows implementation:
//
// - Write creates or truncates, Read alone needs an existing file, neither fails.
// - Sharing: POSIX has no mandatory share modes, so they are kept with advisory flock locks
//   that every PosixFile honours; other programs can still open the file. Since the only share
//   flag is ShareRead, two openers can coexist only when both read, neither writes and both
//   share: such an open takes a shared lock, every other open an exclusive one, and an open
//   that cannot have its lock at once fails, as a sharing violation does.
// - NoBuffering: O_DIRECT on Linux, which like the Windows flag wants aligned transfers (and
//   on file systems without direct I/O the open fails); F_NOCACHE on macOS, which has no
//   alignment rule.
#pragma once

#include "fileio/file.h"

namespace fileio {

class PosixFile : public File {
public:
    PosixFile() = default;
    ~PosixFile() override;
    PosixFile(const PosixFile&) = delete;
    PosixFile& operator=(const PosixFile&) = delete;

    // Closes an open file first, also when the new open then fails.
    bool open(const char* path, uint32_t mode) override;
    void close() override;
    int64_t size() override;
    int64_t tell() override;
    bool seek(int64_t position) override;
    uint64_t read(void* buffer, uint64_t count) override;
    uint64_t write(const void* buffer, uint64_t count) override;

private:
    int m_fd = -1; // -1 whenever no file is open
    bool m_open = false;
};

} // namespace fileio
