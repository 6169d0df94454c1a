// Scratch folders, whole files, their little-endian fields, pseudo-random bytes and the output
// of other programs, for tests that check what was written.
#pragma once

#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace korvadin_test {

// A file name of its own for the running test, in a folder of the process removed at its end.
inline std::filesystem::path scratch(const std::string& name) {
    static const ScratchDir run;
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string owner = std::string(test->test_suite_name()) + "." + test->name();
    for (char& c : owner) {
        if (c == '/') {
            c = '_';
        }
    }
    const auto dir = run.path() / owner;
    std::filesystem::create_directories(dir);
    return dir / name;
}

inline std::vector<uint8_t> readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// Bytes that differ from seed to seed and compress badly.
inline std::vector<uint8_t> noiseBytes(size_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    uint32_t state = 0x9e3779b9u * (seed + 1);
    for (uint8_t& b : bytes) {
        state = state * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(state >> 24);
    }
    return bytes;
}

// The little-endian field of `size` bytes at `at`, and four characters: what file formats hold.
inline uint32_t le(const std::vector<uint8_t>& bytes, size_t at, size_t size = 4) {
    uint32_t value = 0;
    for (size_t i = 0; i < size; ++i) {
        value |= uint32_t{bytes.at(at + i)} << (8 * i);
    }
    return value;
}
inline std::string fourccAt(const std::vector<uint8_t>& bytes, size_t at) {
    std::string text;
    for (size_t i = 0; i < 4; ++i) {
        text += static_cast<char>(bytes.at(at + i));
    }
    return text;
}

// What the command prints on its standard output; empty when it cannot be started.
inline std::string commandOutput(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return output;
    }
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        output.append(buffer, n);
    }
    pclose(pipe);
    return output;
}

} // namespace korvadin_test
