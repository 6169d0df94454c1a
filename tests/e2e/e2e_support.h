// What the end-to-end tests share: running the korvadin program and ffmpeg as child processes
// with their output captured, making inputs from a photograph, and MD5 sums of byte strings.
#pragma once

#include "media_files.h"

#include <gtest/gtest.h>

#include <cstdint>
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

// One MD5 per frame (video) or packet, as ffmpeg's framemd5 muxer lists them: the sixth
// field of each line (side data, such as the palette ffmpeg reads into an 8-bit video stream's
// first packet, may follow with sums of its own).
inline std::vector<std::string> frameMd5s(const std::string& ffmpegArgs) {
    std::istringstream lines(tool("ffmpeg", ffmpegArgs + " -f framemd5 -"));
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

// MD5 (RFC 1321) as lower-case hex.
inline std::string md5Hex(std::span<const uint8_t> data) {
    // floor(abs(sin(i + 1)) * 2^32)
    static constexpr uint32_t k[64] = {
        0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
        0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
        0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
        0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
        0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
        0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
        0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
        0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
        0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
        0xeb86d391};
    static constexpr uint8_t shift[64] = {
        7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22, 5,  9,  14, 20, 5,  9,
        14, 20, 5,  9,  14, 20, 5,  9,  14, 20, 4,  11, 16, 23, 4,  11, 16, 23, 4,  11, 16, 23,
        4,  11, 16, 23, 6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21};
    std::vector<uint8_t> message(data.begin(), data.end());
    const uint64_t bits = uint64_t(data.size()) * 8;
    message.push_back(0x80);
    while (message.size() % 64 != 56)
        message.push_back(0);
    for (int i = 0; i < 8; ++i)
        message.push_back(uint8_t(bits >> (8 * i)));

    uint32_t h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    for (size_t block = 0; block < message.size(); block += 64) {
        uint32_t m[16];
        for (int i = 0; i < 16; ++i) {
            const uint8_t* p = &message[block + 4 * i];
            m[i] =
                uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
        }
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
        for (uint32_t i = 0; i < 64; ++i) {
            uint32_t f, g;
            if (i < 16) {
                f = (b & c) | (~b & d);
                g = i;
            } else if (i < 32) {
                f = (d & b) | (~d & c);
                g = (5 * i + 1) % 16;
            } else if (i < 48) {
                f = b ^ c ^ d;
                g = (3 * i + 5) % 16;
            } else {
                f = c ^ (b | ~d);
                g = (7 * i) % 16;
            }
            const uint32_t sum = a + f + k[i] + m[g];
            a = d;
            d = c;
            c = b;
            b += (sum << shift[i]) | (sum >> (32 - shift[i]));
        }
        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
    }
    static const char* digits = "0123456789abcdef";
    std::string hex;
    for (const uint32_t word : h)
        for (int i = 0; i < 4; ++i) {
            const uint8_t byte = uint8_t(word >> (8 * i));
            hex += digits[byte >> 4];
            hex += digits[byte & 15];
        }
    return hex;
}

} // namespace e2e

#define SKIP_WITHOUT_FFMPEG_OR_PHOTOGRAPH()                                                        \
    do {                                                                                           \
        SKIP_WITHOUT_FFMPEG();                                                                     \
        if (!std::filesystem::exists(e2e::kPhotograph))                                            \
            GTEST_SKIP() << e2e::kPhotograph << " is missing (scripts/install-deps.sh test)";      \
    } while (0)
