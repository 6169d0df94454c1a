#include "fileio/posix_file.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fileio {

namespace {

int openFlags(uint32_t mode) {
    int flags = O_CLOEXEC;
    if ((mode & Read) && (mode & Write)) {
        flags |= O_RDWR | O_CREAT;
    } else if (mode & Write) {
        flags |= O_WRONLY | O_CREAT;
    } else {
        flags |= O_RDONLY;
    }
#ifdef O_DIRECT
    if (mode & NoBuffering) {
        flags |= O_DIRECT;
    }
#endif
    return flags;
}

bool lockLikeShareMode(int fd, uint32_t mode) {
    const bool shared = (mode & ShareRead) && !(mode & Write);
    return flock(fd, (shared ? LOCK_SH : LOCK_EX) | LOCK_NB) == 0;
}

bool bypassCache([[maybe_unused]] int fd, [[maybe_unused]] uint32_t mode) {
#ifdef F_NOCACHE
    if (mode & NoBuffering) {
        return fcntl(fd, F_NOCACHE, 1) != -1;
    }
#endif
    return true;
}

// Moves the 32-bit share of count, resuming after interruptions and partial transfers, so that
// a short result means what it means on Windows: end of file or a failure.
template <typename Buffer, typename Transfer>
uint64_t transferAll(Buffer* buffer, uint64_t count, Transfer transfer) {
    const uint64_t wanted = static_cast<uint32_t>(count);
    uint64_t done = 0;
    while (done < wanted) {
        const ssize_t n = transfer(buffer + done, wanted - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<uint64_t>(n);
    }
    return done;
}

} // namespace

PosixFile::~PosixFile() {
    if (m_open) {
        close();
    }
}

bool PosixFile::open(const char* path, uint32_t mode) {
    if (m_open) {
        close();
    }
    if (!(mode & (Read | Write))) {
        return false;
    }
    // Truncation waits for the lock, so that a refused open leaves another opener's file alone.
    const int fd = ::open(path, openFlags(mode), 0666);
    if (fd < 0) {
        return false;
    }
    if (!lockLikeShareMode(fd, mode) || !bypassCache(fd, mode) ||
        ((mode & Write) && ftruncate(fd, 0) != 0)) {
        ::close(fd);
        return false;
    }
    m_fd = fd;
    m_open = true;
    return true;
}

void PosixFile::close() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
    m_open = false;
    m_fd = -1;
}

int64_t PosixFile::size() {
    struct stat status {};
    if (fstat(m_fd, &status) != 0) {
        return 0;
    }
    return status.st_size;
}

int64_t PosixFile::tell() {
    const off_t position = lseek(m_fd, 0, SEEK_CUR);
    return position < 0 ? 0 : position;
}

bool PosixFile::seek(int64_t position) {
    return lseek(m_fd, static_cast<off_t>(position), SEEK_SET) >= 0;
}

uint64_t PosixFile::read(void* buffer, uint64_t count) {
    return transferAll(static_cast<char*>(buffer), count,
                       [this](char* at, uint64_t n) { return ::read(m_fd, at, n); });
}

uint64_t PosixFile::write(const void* buffer, uint64_t count) {
    return transferAll(static_cast<const char*>(buffer), count,
                       [this](const char* at, uint64_t n) { return ::write(m_fd, at, n); });
}

} // namespace fileio
