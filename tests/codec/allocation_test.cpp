#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "codec_harness.h"

// Counts every allocation of the process, the library's included: its calls to operator new
// bind to these. Kept out of line so that the compiler does not pair malloc and free with
// new and delete at the call sites.
namespace {
std::atomic<bool> s_counting{false};
std::atomic<size_t> s_allocations{0};
} // namespace

[[gnu::noinline]] void* operator new(size_t size) {
    if (s_counting.load()) {
        ++s_allocations;
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}

[[gnu::noinline]] void operator delete(void* p) noexcept {
    std::free(p);
}

[[gnu::noinline]] void operator delete(void* p, size_t) noexcept {
    std::free(p);
}

using namespace codec_test;

namespace {

TEST(Allocation, FramesAllocateNothingAfterBegin) {
#ifdef _WIN32
    GTEST_SKIP() << "a DLL binds operator new inside itself: the program cannot count the "
                    "library's allocations";
#endif
    for (const size_t row : {0u, 3u, 9u, 15u}) {
        const FormatPair& v = kFormatPairs[row];
        Encoder enc(v, 320, 200, 3);
        std::vector<uint8_t> frame = makeFrame(v, 320, 200, Content::Photo);
        std::vector<uint8_t> packed(enc.job().bound);
        std::vector<uint8_t> decoded(frame.size());
        korvadin_decoder* d = nullptr;
        // Opening allocates inside the library: proof that the counter sees its allocations.
        s_allocations = 0;
        s_counting = true;
        ASSERT_EQ(korvadin_decoder_open(enc.job().config.data(), enc.job().config.size(), 3, &d),
                  0);
        s_counting = false;
        ASSERT_GT(s_allocations.load(), 0u);

        s_allocations = 0;
        s_counting = true;
        int32_t decodedResult = 0;
        for (int repeat = 0; repeat < 2; ++repeat) {
            const korvadin_planes planes = enc.codec().planes(enc.input(), frame.data());
            const uint32_t size = enc.codec().compress(planes, packed.data());
            decodedResult |=
                korvadin_decode(d, packed.data(), size, decoded.data(), decoded.size());
        }
        s_counting = false;

        EXPECT_EQ(decodedResult, 0);
        EXPECT_EQ(s_allocations.load(), 0u) << "format " << v.id;
        EXPECT_TRUE(decoded == frame);
        korvadin_decoder_close(d);
    }
}

} // namespace
