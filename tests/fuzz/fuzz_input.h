// What every fuzz target needs around its entry point: the input taken apart piece by piece, and
// a scratch folder for the files that the plug-in target has the plug-in write.
#pragma once

#include "support/scratch_dir.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace korvadin_fuzz {

// Hands out the input front to back; once it is used up every read gives zeros, so a
// short input is still a complete (if dull) case.
class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size) : m_rest(data, size) {}

    bool empty() const { return m_rest.empty(); }
    size_t size() const { return m_rest.size(); }

    uint8_t byte() {
        if (m_rest.empty()) {
            return 0;
        }
        const uint8_t b = m_rest.front();
        m_rest = m_rest.subspan(1);
        return b;
    }
    uint32_t u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            v |= uint32_t{byte()} << (8 * i);
        }
        return v;
    }
    // One of `count` choices (count > 0).
    size_t pick(size_t count) { return byte() % count; }
    template <class T, size_t N>
    const T& pick(const T (&choices)[N]) {
        return choices[pick(N)];
    }
    // Up to `limit` bytes, the count read first.
    std::span<const uint8_t> bytes(size_t limit) { return take(std::min<size_t>(byte(), limit)); }
    std::span<const uint8_t> take(size_t n) {
        const std::span<const uint8_t> part = m_rest.first(std::min(n, m_rest.size()));
        m_rest = m_rest.subspan(part.size());
        return part;
    }
    std::span<const uint8_t> rest() { return take(m_rest.size()); }

private:
    std::span<const uint8_t> m_rest;
};

// The scratch folder of this fuzzing process, removed when it ends.
inline const korvadin_test::ScratchDir& scratch() {
    static const korvadin_test::ScratchDir dir;
    return dir;
}

} // namespace korvadin_fuzz
