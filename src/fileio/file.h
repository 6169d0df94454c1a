// The file layer the AVI output writes through. Operations report by their results and never
// throw; the writers above compare the counts with what they asked for and throw the error
// types of errors.h.
#pragma once

#include <cstdint>

namespace fileio {

// Bits of the mode argument of File::open.
enum OpenMode : uint32_t {
    Read = 1,        // without Write, the file must already exist
    Write = 2,       // creates the file, or truncates it to length 0
    NoBuffering = 4, // bypasses the platform's cache
    ShareRead = 8,   // others may read while the file is open; without it nobody may open it
};

class File {
public:
    virtual ~File() = default;

    // path is NUL-terminated UTF-8; mode is a set of OpenMode bits. A mode with neither Read
    // nor Write fails.
    virtual bool open(const char* path, uint32_t mode) = 0;
    virtual void close() = 0;
    virtual int64_t size() = 0;
    // The current position, or 0 when it cannot be taken.
    virtual int64_t tell() = 0;
    // Moves to a position counted from the start of the file.
    virtual bool seek(int64_t position) = 0;
    // Each transfer moves at most 4 GiB - 1 bytes: counts are passed on as 32-bit values.
    virtual uint64_t read(void* buffer, uint64_t count) = 0;
    virtual uint64_t write(const void* buffer, uint64_t count) = 0;
    virtual uint64_t alignment() const { return 4096; }
    virtual uint64_t blockSize() const { return 4096; }
    // Writes at offset and moves back to where the file was, so that a sequential writer can
    // patch an earlier header and go on appending. Returns 0 without writing when the offset
    // cannot be reached.
    virtual uint64_t writeAt(const void* buffer, uint64_t count, int64_t offset);

protected:
    File() = default;
    File(const File&) = default;
    File& operator=(const File&) = default;
};

} // namespace fileio
