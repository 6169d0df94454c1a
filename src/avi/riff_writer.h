// Nested RIFF chunks written front to back: each chunk's size is patched in place when it is
// closed and a chunk of odd length gets its pad byte. Knows nothing of AVI.
#pragma once

#include "fileio/file.h"

#include <cstdint>
#include <memory>
#include <string>

namespace IOPlugin {

// A FourCC as RIFF holds it in a 32-bit number: the first character in the lowest byte.
constexpr uint32_t riffFourcc(const char (&text)[5]) {
    return uint32_t(uint8_t(text[0])) | (uint32_t(uint8_t(text[1])) << 8) |
           (uint32_t(uint8_t(text[2])) << 16) | (uint32_t(uint8_t(text[3])) << 24);
}

inline constexpr uint32_t kRiffId = riffFourcc("RIFF");
inline constexpr uint32_t kListId = riffFourcc("LIST");

// Printable characters as they are, any other byte as [value]; for error messages.
std::string fourccText(uint32_t fourcc);

struct RiffChunk {
    uint32_t id = 0;
    uint32_t size = 0;     // as in the header on file
    uint32_t listType = 0; // 0 for a plain chunk
    uint64_t position = 0; // of the chunk's id field
    // Everything written since the chunk was opened: its header, its payload and the whole of
    // every nested chunk with its pad byte.
    uint32_t bytesWritten = 0;
    std::unique_ptr<RiffChunk> parent;

    bool isList(uint32_t type) const {
        return (id == kListId || id == kRiffId) && listType == type;
    }
};

struct RiffChunkInfo {
    uint32_t id = 0;
    uint32_t size = 0;
    uint32_t listType = 0;
    uint64_t position = 0;
};

class RiffWriter {
public:
    // The file is not owned; it must outlive the writer.
    explicit RiffWriter(fileio::File& file) : m_file(file) {}
    RiffWriter(const RiffWriter&) = delete;
    RiffWriter& operator=(const RiffWriter&) = delete;

    // Writes the header and pushes the chunk. Throws fileio::WriteError on a short header,
    // leaving the stack as it was. Keep the result in a ChunkGuard.
    RiffWriter& openChunk(uint32_t id, uint32_t size, bool isList, uint32_t listType);
    // Counts every byte that reached the file, then throws fileio::WriteError if not all did.
    void writeData(const void* data, uint32_t count);
    // Pops the innermost chunk, patches its size if it is wrong and pads it. The chunk is
    // popped also when that fails (fileio::Error naming the chunk). With nothing open,
    // returns all zeros.
    RiffChunkInfo closeChunk();
    // Closes everything that is open, innermost first, ignoring failures.
    void closeAll() noexcept;
    const RiffChunk* currentChunk() const { return m_current.get(); }

private:
    fileio::File& m_file;
    std::unique_ptr<RiffChunk> m_current;
};

// Keeps the stack of open chunks in step with the scopes that opened them: unless close() was
// called, the destructor closes the chunk and swallows any failure.
class ChunkGuard {
public:
    explicit ChunkGuard(RiffWriter& writer) : m_writer(writer) {}
    ~ChunkGuard() {
        if (!closed) {
            try {
                m_writer.closeChunk();
            } catch (...) {
                // The exception that is unwinding this scope is the one to report.
            }
        }
    }
    ChunkGuard(const ChunkGuard&) = delete;
    ChunkGuard& operator=(const ChunkGuard&) = delete;

    // The normal end of the scope: failures propagate.
    RiffChunkInfo close() {
        closed = true;
        return m_writer.closeChunk();
    }

    bool closed = false;

private:
    RiffWriter& m_writer;
};

} // namespace IOPlugin
