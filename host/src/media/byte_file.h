// Sequential byte files for the media readers and writers: a path or "-" for the standard
// streams, 64-bit positions, and errors that name the file. The platform's seek and binary-mode
// calls are host platform services (host/platform.h).
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace host::media {

class InputFile {
public:
    // "-" reads standard input. Throws std::runtime_error when the file cannot be opened.
    explicit InputFile(const std::string& path);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    const std::string& name() const { return m_name; }
    // Reads up to n bytes; fewer only at the end of the file. Throws on a read error.
    size_t read(void* dst, size_t n);
    // Reads exactly n bytes or returns false having read fewer (the count lands in *got).
    bool readExact(void* dst, size_t n, size_t* got = nullptr);
    // Skips n bytes, seeking when the file allows it; returns false at a premature end.
    bool skip(uint64_t n);
    void seek(uint64_t pos);
    uint64_t tell() const { return m_pos; }
    // The size of a regular file; empty for pipes and terminals.
    std::optional<uint64_t> size() const { return m_size; }

private:
    std::string m_name;
    std::FILE* m_file = nullptr;
    bool m_owned = false;
    uint64_t m_pos = 0;
    std::optional<uint64_t> m_size;
};

class OutputFile {
public:
    // "-" writes standard output. Throws std::runtime_error when the file cannot be created.
    explicit OutputFile(const std::string& path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    const std::string& name() const { return m_name; }
    void write(const void* src, size_t n);
    void flush();

private:
    std::string m_name;
    std::FILE* m_file = nullptr;
    bool m_owned = false;
};

// A file written at any offset: an existing one patched in place, or a new one.
class UpdateFile {
public:
    // Throws std::runtime_error when the file cannot be opened (or created).
    UpdateFile(const std::string& path, bool create);
    ~UpdateFile();
    UpdateFile(const UpdateFile&) = delete;
    UpdateFile& operator=(const UpdateFile&) = delete;

    void writeAt(uint64_t offset, const void* src, size_t n);
    // Cuts the file, or lengthens it with zeros.
    void resize(uint64_t size);
    // Hands everything written to the system; throws when it cannot take it.
    void flush();

private:
    std::string m_name;
    std::FILE* m_file = nullptr;
};

// "'path'" or "standard input"/"standard output", for messages.
std::string describePath(const std::string& path, bool output = false);

} // namespace host::media
