// Scratch files and the independent reader (Debian's ffmpeg) for the media tests.
#pragma once

#include "support/files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <string>

namespace media_test {

using korvadin_test::readBytes;
using korvadin_test::scratch;
using korvadin_test::writeBytes;

inline bool haveFfmpeg() {
    static const bool have = std::system("ffmpeg -version >/dev/null 2>&1") == 0;
    return have;
}

// Runs "ffmpeg -v error -y <args>"; true on success.
inline bool ffmpeg(const std::string& args) {
    return std::system(("ffmpeg -nostdin -v error -y " + args).c_str()) == 0;
}

// The call throws std::runtime_error whose text holds every one of the parts.
inline void expectFailure(const std::function<void()>& f,
                          std::initializer_list<std::string> parts) {
    try {
        f();
        ADD_FAILURE() << "no std::runtime_error";
    } catch (const std::runtime_error& e) {
        for (const std::string& part : parts) {
            EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what();
        }
    }
}

} // namespace media_test

#define SKIP_WITHOUT_FFMPEG()                                                                      \
    do {                                                                                           \
        if (!media_test::haveFfmpeg())                                                             \
            GTEST_SKIP() << "ffmpeg cannot be run from here: not installed (scripts/"              \
                            "install-deps.sh test installs it), or a Windows build under Wine";    \
    } while (0)
