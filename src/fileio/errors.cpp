#include "fileio/errors.h"

namespace fileio {

namespace {

std::string sizeAndWritten(uint64_t size, uint64_t written) {
    return "size: " + std::to_string(size) + ", written: " + std::to_string(written);
}

} // namespace

WriteError::WriteError(uint64_t size, uint64_t written)
    : WriteError("Write error: " + sizeAndWritten(size, written), size, written) {}

WriteError::WriteError(const std::string& message, uint64_t size, uint64_t written)
    : Error(message), m_size(size), m_written(written) {}

WriteAtError::WriteAtError(int64_t offset, uint64_t size, uint64_t written)
    : WriteError("Write at error: offset: " + std::to_string(offset) + ", " +
                     sizeAndWritten(size, written),
                 size, written),
      m_offset(offset) {}

} // namespace fileio
