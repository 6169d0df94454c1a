// The codec library's functions, taken from a library file loaded at run time rather than
// linked: one run can then measure another build's library beside this build's, as an A/B
// comparison in the same conditions.
#pragma once

#include "davinci/encoder/korvadin_library.h"
#include "korvadin_common64.h"

#include <string>

namespace bench {

// The functions the benchmarks call: the member of CodecLibrary that holds each, and its name.
#define KORVADIN_BENCH_FUNCTIONS(X)                                                                \
    X(libraryInit, korvadin_library_init)                                                          \
    X(libraryClose, korvadin_library_close)                                                        \
    X(open, korvadin_open)                                                                         \
    X(close, korvadin_close)                                                                       \
    X(setThreadCount, korvadin_set_thread_count)                                                   \
    X(cpuFeatures, korvadin_cpu_features)                                                          \
    X(setCpuMask, korvadin_set_cpu_mask)                                                           \
    X(compressBegin, korvadin_compress_begin)                                                      \
    X(initPlanes, korvadin_init_planes_common)                                                     \
    X(compress, korvadin_compress)                                                                 \
    X(getString, korvadin_get_string)                                                              \
    X(decoderOpen, korvadin_decoder_open)                                                          \
    X(decode, korvadin_decode)                                                                     \
    X(decoderClose, korvadin_decoder_close)

class CodecLibrary {
public:
    // Loads the file; throws when it cannot, or when a function is missing.
    explicit CodecLibrary(const std::string& path);
    ~CodecLibrary();
    CodecLibrary(const CodecLibrary&) = delete;
    CodecLibrary& operator=(const CodecLibrary&) = delete;

    // The library built beside this program.
    static std::string besideProgram();

    const std::string path;

#define KORVADIN_BENCH_MEMBER(member, function) decltype(&function) member = nullptr;
    KORVADIN_BENCH_FUNCTIONS(KORVADIN_BENCH_MEMBER)
#undef KORVADIN_BENCH_MEMBER

    // Throws with the library's text for a result code other than success.
    void check(int32_t result, const char* what) const;

private:
    void* m_handle = nullptr;
};

} // namespace bench
