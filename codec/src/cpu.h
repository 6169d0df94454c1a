// Which instruction set the hot loops run with. The library builds every hot loop twice, once
// for the baseline of the target and, on x86-64, once for processors with AVX2 and BMI2,
// and picks one at run time.
#pragma once

namespace kvcodec {

enum class Isa { Portable, X86V3 };

Isa activeIsa();
// Forces the portable loops (true) or lets the processor decide again (false).
void forcePortable(bool on);

} // namespace kvcodec

#if defined(__x86_64__)
#include <immintrin.h>
#define KVCODEC_HAVE_X86V3 1
#define KVCODEC_TARGET_X86V3 __attribute__((target("avx2,bmi,bmi2,lzcnt,popcnt")))
#else
#define KVCODEC_HAVE_X86V3 0
#endif

// Helpers of the hot loops are inlined into both builds of each loop.
#define KVCODEC_INLINE [[gnu::always_inline]] inline
