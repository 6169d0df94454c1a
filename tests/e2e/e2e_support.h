// What the end-to-end tests share: running the korvadin program and ffmpeg as child processes
// with their output captured, making inputs from a photograph, and ffmpeg's checksums.
#pragma once

#include "media_files.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#define E2E_NULL_DEVICE "NUL"
#else
#include <sys/wait.h>
#define E2E_NULL_DEVICE "/dev/null"
#endif

namespace e2e {

// A photograph the tests pan across to get frames of real content.
inline const char* const kPhotograph = "/usr/share/libjxl-testdata/jxl/flower/flower.pnm";

inline std::string quote(const std::string& text) {
    return "\"" + text + "\"";
}

struct Run {
    int exitCode = -1; // -1 when the program did not exit by itself (a crash, a signal)
    std::string out, err;
};

// Runs a shell command line (a pipeline too) with its standard output and error captured.
inline Run run(const std::string& command) {
    const auto outPath = media_test::scratch("stdout.txt");
    const auto errPath = media_test::scratch("stderr.txt");
    const int status = std::system(("(" + command + ") <" + quote(E2E_NULL_DEVICE) + " >" +
                                    quote(outPath.string()) + " 2>" + quote(errPath.string()))
                                       .c_str());
    Run result;
#ifdef _WIN32
    result.exitCode = status;
#else
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
    const auto out = media_test::readBytes(outPath);
    const auto err = media_test::readBytes(errPath);
    result.out.assign(out.begin(), out.end());
    result.err.assign(err.begin(), err.end());
    return result;
}

inline Run korvadin(const std::string& args) {
    return run(quote(KORVADIN_PROGRAM) + " " + args);
}

// The standard output of "ffmpeg/ffprobe -v error <args>"; a failure fails the test.
inline std::string tool(const std::string& name, const std::string& args) {
    const Run r = run(name + " -v error " + args);
    EXPECT_EQ(r.exitCode, 0) << name << " " << args << "\n" << r.err;
    return r.out;
}

// One checksum per frame (video) or packet, as ffmpeg's framecrc muxer lists them: the sixth
// field of each line (side data, such as the palette ffmpeg reads into an 8-bit video stream's
// first packet, may follow with sums of its own).
inline std::vector<std::string> frameCrcs(const std::string& ffmpegArgs) {
    std::istringstream lines(tool("ffmpeg", ffmpegArgs + " -f framecrc -"));
    std::vector<std::string> sums;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        std::string field;
        for (int i = 0; i < 6; ++i)
            std::getline(fields, field, ',');
        sums.push_back(field.substr(field.find_first_not_of(' ')));
    }
    return sums;
}

// Adler-32 in hex as ffmpeg prints it: its framecrc sums start from 0, its hashes from 1.
inline std::string adler32(std::span<const uint8_t> data, uint32_t start) {
    uint32_t a = start & 0xFFFF, b = start >> 16;
    for (const uint8_t x : data) {
        a = (a + x) % 65521;
        b = (b + a) % 65521;
    }
    char text[16];
    std::snprintf(text, sizeof text, "%08x", b << 16 | a);
    return text;
}

} // namespace e2e

#define SKIP_WITHOUT_FFMPEG_OR_PHOTOGRAPH()                                                        \
    do {                                                                                           \
        SKIP_WITHOUT_FFMPEG();                                                                     \
        if (!std::filesystem::exists(e2e::kPhotograph))                                            \
            GTEST_SKIP() << e2e::kPhotograph << " is missing (scripts/install-deps.sh test)";      \
    } while (0)
