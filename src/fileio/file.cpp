#include "fileio/file.h"

namespace fileio {

uint64_t File::writeAt(const void* buffer, uint64_t count, int64_t offset) {
    const int64_t back = tell();
    if (!seek(offset)) {
        return 0;
    }
    const uint64_t written = write(buffer, count);
    seek(back);
    return written;
}

} // namespace fileio
