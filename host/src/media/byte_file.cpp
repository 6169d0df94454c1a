#include "byte_file.h"

#include "host/platform.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace host {
namespace media {

namespace {

std::string systemError() {
    return std::strerror(errno);
}

} // namespace

std::string describePath(const std::string& path, bool output) {
    if (path == "-")
        return output ? "standard output" : "standard input";
    return "'" + path + "'";
}

InputFile::InputFile(const std::string& path) : ByteSource(describePath(path), std::nullopt) {
    if (path == "-") {
        m_file = stdin;
        setBinaryMode(m_file);
        return;
    }
    m_file = std::fopen(path.c_str(), "rb");
    if (!m_file)
        throw std::runtime_error("cannot open " + m_name + ": " + systemError());
    m_owned = true;
    m_size = seekableFileSize(m_file);
}

InputFile::~InputFile() {
    if (m_owned)
        std::fclose(m_file);
}

size_t InputFile::read(void* dst, size_t n) {
    size_t got = std::fread(dst, 1, n, m_file);
    m_position += got;
    if (got < n && std::ferror(m_file))
        throw std::runtime_error("cannot read " + m_name + ": " + systemError());
    return got;
}

void InputFile::seek(uint64_t position) {
    if (!seekFile(m_file, position))
        throw std::runtime_error("cannot seek in " + m_name + ": " + systemError());
    m_position = position;
}

} // namespace media

namespace {

class MemoryInput final : public ByteSource {
public:
    MemoryInput(std::vector<uint8_t> bytes, std::string name)
        : ByteSource(std::move(name), bytes.size()), m_bytes(std::move(bytes)) {}

    size_t read(void* dst, size_t n) override {
        const size_t at = static_cast<size_t>(std::min<uint64_t>(m_position, m_bytes.size()));
        const size_t got = std::min(n, m_bytes.size() - at);
        std::copy_n(m_bytes.data() + at, got, static_cast<uint8_t*>(dst));
        m_position += got;
        return got;
    }
    void seek(uint64_t position) override { m_position = position; }

private:
    std::vector<uint8_t> m_bytes;
};

} // namespace

bool ByteSource::readExact(void* dst, size_t n, size_t* got) {
    size_t r = read(dst, n);
    if (got)
        *got = r;
    return r == n;
}

bool ByteSource::skip(uint64_t n) {
    if (m_size) {
        if (n > *m_size - std::min(m_position, *m_size)) {
            seek(*m_size);
            return false;
        }
        seek(m_position + n);
        return true;
    }
    char scratch[4096];
    while (n > 0) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(n, sizeof scratch));
        if (read(scratch, want) != want)
            return false;
        n -= want;
    }
    return true;
}

std::unique_ptr<ByteSource> openInput(const std::string& path) {
    return std::make_unique<media::InputFile>(path);
}

std::unique_ptr<ByteSource> memoryInput(std::vector<uint8_t> bytes, std::string name) {
    return std::make_unique<MemoryInput>(std::move(bytes), std::move(name));
}

namespace media {

OutputFile::OutputFile(const std::string& path) : m_name(describePath(path, true)) {
    if (path == "-") {
        m_file = stdout;
        setBinaryMode(m_file);
        return;
    }
    m_file = std::fopen(path.c_str(), "wb");
    if (!m_file)
        throw std::runtime_error("cannot create " + m_name + ": " + systemError());
    m_owned = true;
}

OutputFile::~OutputFile() {
    if (m_owned)
        std::fclose(m_file);
    else
        std::fflush(m_file);
}

void OutputFile::write(const void* src, size_t n) {
    if (n != 0 && std::fwrite(src, 1, n, m_file) != n)
        throw std::runtime_error("cannot write " + m_name + ": " + systemError());
}

void OutputFile::flush() {
    if (std::fflush(m_file) != 0)
        throw std::runtime_error("cannot write " + m_name + ": " + systemError());
}

UpdateFile::UpdateFile(const std::string& path, bool create) : m_name(describePath(path, true)) {
    m_file = std::fopen(path.c_str(), create ? "w+b" : "r+b");
    if (!m_file)
        throw std::runtime_error("cannot open " + m_name + " for writing: " + systemError());
}

UpdateFile::~UpdateFile() {
    std::fclose(m_file);
}

void UpdateFile::writeAt(uint64_t offset, const void* src, size_t n) {
    if (!seekFile(m_file, offset) || (n != 0 && std::fwrite(src, 1, n, m_file) != n))
        throw std::runtime_error("cannot write " + m_name + ": " + systemError());
}

void UpdateFile::resize(uint64_t size) {
    // Buffered writes land before the size changes under them.
    if (std::fflush(m_file) != 0 || !resizeFile(m_file, size))
        throw std::runtime_error("cannot resize " + m_name + ": " + systemError());
}

void UpdateFile::flush() {
    if (std::fflush(m_file) != 0)
        throw std::runtime_error("cannot write " + m_name + ": " + systemError());
}

} // namespace media
} // namespace host
