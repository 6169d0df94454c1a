// Scratch files and the independent reader (Debian's ffmpeg) for the media tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace media_test {

// A file name of its own for the running test. Test programs run side by side, also from
// other build trees on the same machine, so each process keeps its files in a folder of its own,
// removed when the process ends.
inline std::filesystem::path scratch(const std::string& name) {
    struct RunFolder {
        std::filesystem::path path = std::filesystem::path(::testing::TempDir()) /
                                     ("korvadin-media-" + std::to_string(std::random_device()()));
        ~RunFolder() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    };
    static const RunFolder run;
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string owner = std::string(test->test_suite_name()) + "." + test->name();
    for (char& c : owner)
        if (c == '/')
            c = '_';
    auto dir = run.path / owner;
    std::filesystem::create_directories(dir);
    return dir / name;
}

inline bool haveFfmpeg() {
    static const bool have = std::system("ffmpeg -version >/dev/null 2>&1") == 0;
    return have;
}

// Runs "ffmpeg -v error -y <args>"; true on success.
inline bool ffmpeg(const std::string& args) {
    return std::system(("ffmpeg -nostdin -v error -y " + args).c_str()) == 0;
}

inline std::vector<uint8_t> readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

} // namespace media_test

#define SKIP_WITHOUT_FFMPEG()                                                                      \
    do {                                                                                           \
        if (!media_test::haveFfmpeg())                                                             \
            GTEST_SKIP() << "ffmpeg cannot be run from here: not installed (scripts/"              \
                            "install-deps.sh test installs it), or a Windows build under Wine";    \
    } while (0)
