// Bytes that a reader takes front to back, with 64-bit positions: a file, standard input, or
// bytes in memory. The media readers and the AVI reader read through it, so that tests and fuzz
// targets hand them memory, and errors name where the bytes came from.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace host {

class ByteSource {
public:
    virtual ~ByteSource() = default;

    // For messages: "'path'", "standard input", or the name given to bytes in memory.
    const std::string& name() const { return m_name; }
    // Reads up to n bytes; fewer only at the end. Throws std::runtime_error on a read error.
    virtual size_t read(void* dst, size_t n) = 0;
    // Reads exactly n bytes or returns false having read fewer (the count lands in *got).
    bool readExact(void* dst, size_t n, size_t* got = nullptr);
    // Skips n bytes, seeking when the source allows it; returns false at a premature end.
    bool skip(uint64_t n);
    // Throws std::runtime_error where the source cannot seek.
    virtual void seek(uint64_t position) = 0;
    uint64_t tell() const { return m_position; }
    // The whole size where it is known (files and memory); empty for pipes and terminals.
    std::optional<uint64_t> size() const { return m_size; }

protected:
    ByteSource(std::string name, std::optional<uint64_t> size)
        : m_name(std::move(name)), m_size(size) {}
    std::string m_name;
    std::optional<uint64_t> m_size;
    uint64_t m_position = 0;
};

// The file at `path`, or standard input for "-". Throws std::runtime_error when it cannot be
// opened.
std::unique_ptr<ByteSource> openInput(const std::string& path);
// The bytes themselves, named for messages.
std::unique_ptr<ByteSource> memoryInput(std::vector<uint8_t> bytes, std::string name = "memory");

} // namespace host
