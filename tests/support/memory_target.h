// A repaired file in memory. It stops a repair (throws Stopped) once `budget` bytes have gone
// through, as a kill would.
#pragma once

#include "host/avi_repair.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace korvadin_test {

struct MemoryTarget : host::RepairTarget {
    struct Stopped {};
    std::vector<uint8_t> bytes;
    uint64_t budget = UINT64_MAX;

    void write(uint64_t offset, std::span<const uint8_t> data) override {
        const auto n = static_cast<size_t>(std::min<uint64_t>(budget, data.size()));
        bytes.resize(std::max<uint64_t>(bytes.size(), offset + n));
        std::copy_n(data.begin(), n, bytes.begin() + long(offset));
        budget -= n;
        if (n < data.size()) {
            throw Stopped{};
        }
    }
    void resize(uint64_t size) override {
        if (budget-- == 0) {
            throw Stopped{};
        }
        bytes.resize(size);
    }
};

} // namespace korvadin_test
