// The failures of file output as the writers above the file layer report them.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace fileio {

class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message) : std::runtime_error(message) {}
};

// A sequential write that moved fewer bytes than asked.
class WriteError : public Error {
public:
    WriteError(uint64_t size, uint64_t written);

    uint64_t size() const { return m_size; }
    uint64_t written() const { return m_written; }

protected:
    WriteError(const std::string& message, uint64_t size, uint64_t written);

private:
    uint64_t m_size;
    uint64_t m_written;
};

// A positioned write that moved fewer bytes than asked.
class WriteAtError : public WriteError {
public:
    WriteAtError(int64_t offset, uint64_t size, uint64_t written);

    int64_t offset() const { return m_offset; }

private:
    int64_t m_offset;
};

} // namespace fileio
