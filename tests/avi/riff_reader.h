// An independent reader of RIFF bytes for the tests: walks the chunk tree by the sizes on
// file, so that the writers' output is checked by what a reader would find.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvadin_test {

inline uint32_t u32At(const std::vector<uint8_t>& bytes, uint64_t at) {
    if (at + 4 > bytes.size()) {
        throw std::out_of_range("read past the end of the file");
    }
    return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 |
           uint32_t(bytes[at + 3]) << 24;
}

inline uint16_t u16At(const std::vector<uint8_t>& bytes, uint64_t at) {
    if (at + 2 > bytes.size()) {
        throw std::out_of_range("read past the end of the file");
    }
    return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

inline uint64_t u64At(const std::vector<uint8_t>& bytes, uint64_t at) {
    return u32At(bytes, at) | uint64_t(u32At(bytes, at + 4)) << 32;
}

inline std::string textAt(const std::vector<uint8_t>& bytes, uint64_t at) {
    u32At(bytes, at);
    return std::string(reinterpret_cast<const char*>(bytes.data() + at), 4);
}

struct Chunk {
    std::string id;       // "RIFF", "LIST", "00dc", ...
    std::string listType; // for RIFF and LIST
    uint64_t offset = 0;  // of the id field
    uint32_t size = 0;    // as on file
    std::vector<Chunk> children;

    uint64_t dataOffset() const { return offset + 8; }
    // Offset just past the chunk and its pad byte.
    uint64_t end() const { return offset + 8 + size + size % 2; }
    std::string name() const { return listType.empty() ? id : id + ":" + listType; }
    const Chunk& child(const std::string& wanted, int nth = 0) const {
        for (const Chunk& c : children) {
            if (c.name() == wanted && nth-- == 0) {
                return c;
            }
        }
        throw std::runtime_error("no chunk " + wanted + " in " + name());
    }
    std::vector<std::string> childNames() const {
        std::vector<std::string> names;
        for (const Chunk& c : children) {
            names.push_back(c.name());
        }
        return names;
    }
};

inline std::vector<Chunk> readChunks(const std::vector<uint8_t>& bytes, uint64_t from,
                                     uint64_t to) {
    std::vector<Chunk> chunks;
    uint64_t at = from;
    while (at < to) {
        Chunk c;
        c.offset = at;
        c.id = textAt(bytes, at);
        c.size = u32At(bytes, at + 4);
        if (c.id == "RIFF" || c.id == "LIST") {
            c.listType = textAt(bytes, at + 8);
            c.children = readChunks(bytes, at + 12, at + 8 + c.size);
        }
        if (c.end() > to) {
            throw std::runtime_error("chunk " + c.name() + " runs past its parent");
        }
        at = c.end();
        chunks.push_back(std::move(c));
    }
    return chunks;
}

inline std::vector<Chunk> readRiffFile(const std::vector<uint8_t>& bytes) {
    return readChunks(bytes, 0, bytes.size());
}

} // namespace korvadin_test
