// Byte files for the media readers and writers: a path or "-" for the standard
// streams, 64-bit positions, and errors that name the file. The platform's seek and binary-mode
// calls are host platform services (host/platform.h).
#pragma once

#include "host/media/byte_source.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace host::media {

// A file or standard input as a byte source.
class InputFile final : public ByteSource {
public:
    // "-" reads standard input. Throws std::runtime_error when the file cannot be opened.
    explicit InputFile(const std::string& path);
    ~InputFile() override;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    size_t read(void* dst, size_t n) override;
    void seek(uint64_t position) override;

private:
    std::FILE* m_file = nullptr;
    bool m_owned = false;
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
