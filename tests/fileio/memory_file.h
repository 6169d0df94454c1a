// A fileio::File in memory whose k-th write can be made to fail or to come up short, so that
// the writers above the file layer can be driven through every failure point.
#pragma once

#include "fileio/file.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace korvadin_test {

class MemoryFile : public fileio::File {
public:
    enum class Fault { None, Fail, Short };

    std::vector<uint8_t> bytes;
    int64_t position = 0;
    // Counts every write, also the one inside each writeAt.
    uint64_t writes = 0;
    uint64_t writeAts = 0;

    // The write numbered k (from 1) moves nothing (Fail) or half of its bytes (Short).
    void injectFault(uint64_t k, Fault fault) {
        m_faultAt = k;
        m_fault = fault;
    }

    bool open(const char*, uint32_t) override {
        bytes.clear();
        position = 0;
        return true;
    }
    void close() override {}
    int64_t size() override { return static_cast<int64_t>(bytes.size()); }
    int64_t tell() override { return position; }
    bool seek(int64_t to) override {
        if (to < 0) {
            return false;
        }
        position = to;
        return true;
    }
    uint64_t read(void*, uint64_t) override { return 0; } // nothing here reads back
    uint64_t write(const void* buffer, uint64_t count) override {
        ++writes;
        uint64_t n = count;
        if (writes == m_faultAt) {
            n = m_fault == Fault::Short ? count / 2 : 0;
        }
        const auto at = static_cast<size_t>(position);
        if (bytes.size() < at + n) {
            bytes.resize(at + n);
        }
        if (n != 0) {
            std::memcpy(bytes.data() + at, buffer, n);
        }
        position += static_cast<int64_t>(n);
        return n;
    }
    uint64_t writeAt(const void* buffer, uint64_t count, int64_t offset) override {
        ++writeAts;
        return File::writeAt(buffer, count, offset);
    }

private:
    uint64_t m_faultAt = 0;
    Fault m_fault = Fault::None;
};

} // namespace korvadin_test
