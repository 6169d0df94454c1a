#include "byte_file.h"

#include "host/platform.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace host::media {

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

InputFile::InputFile(const std::string& path) : m_name(describePath(path)) {
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
    m_pos += got;
    if (got < n && std::ferror(m_file))
        throw std::runtime_error("cannot read " + m_name + ": " + systemError());
    return got;
}

bool InputFile::readExact(void* dst, size_t n, size_t* got) {
    size_t r = read(dst, n);
    if (got)
        *got = r;
    return r == n;
}

bool InputFile::skip(uint64_t n) {
    if (m_size) {
        if (n > *m_size - std::min(m_pos, *m_size)) {
            seek(*m_size);
            return false;
        }
        seek(m_pos + n);
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

void InputFile::seek(uint64_t pos) {
    if (!seekFile(m_file, pos))
        throw std::runtime_error("cannot seek in " + m_name + ": " + systemError());
    m_pos = pos;
}

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

} // namespace host::media
