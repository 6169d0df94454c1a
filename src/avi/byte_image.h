// Fixed-size records held exactly as they lie in the file: byte arrays with little-endian
// fields at named offsets, so that what is written is visibly what the format says.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace IOPlugin {

template <size_t N>
using ByteImage = std::array<uint8_t, N>;

// A field of type T (an unsigned or signed integer of 1 to 8 bytes) at a byte offset.
template <typename T>
struct Field {
    size_t offset;
};

inline void putLE(uint8_t* at, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) {
        at[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

inline uint64_t getLE(const uint8_t* at, size_t bytes) {
    uint64_t value = 0;
    for (size_t i = 0; i < bytes; ++i) {
        value |= uint64_t(at[i]) << (8 * i);
    }
    return value;
}

template <typename T>
void checkField(Field<T> field, size_t imageSize) {
    if (field.offset + sizeof(T) > imageSize) {
        throw std::out_of_range("field beyond the end of its record");
    }
}

template <typename T, size_t N>
void set(ByteImage<N>& image, Field<T> field, T value) {
    checkField(field, N);
    putLE(image.data() + field.offset, static_cast<uint64_t>(value), sizeof(T));
}

template <typename T, size_t N>
T get(const ByteImage<N>& image, Field<T> field) {
    checkField(field, N);
    return static_cast<T>(getLE(image.data() + field.offset, sizeof(T)));
}

template <typename T>
void set(std::vector<uint8_t>& bytes, Field<T> field, T value) {
    checkField(field, bytes.size());
    putLE(bytes.data() + field.offset, static_cast<uint64_t>(value), sizeof(T));
}

template <typename T>
T get(const std::vector<uint8_t>& bytes, Field<T> field) {
    checkField(field, bytes.size());
    return static_cast<T>(getLE(bytes.data() + field.offset, sizeof(T)));
}

// Appends a little-endian value to a growing record.
template <typename T>
void append(std::vector<uint8_t>& bytes, T value) {
    const size_t at = bytes.size();
    bytes.resize(at + sizeof(T));
    putLE(bytes.data() + at, static_cast<uint64_t>(value), sizeof(T));
}

} // namespace IOPlugin
