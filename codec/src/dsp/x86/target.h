// The instruction sets of the x86-64 tables: the function attributes their kernels are compiled
// with. The processor features cpu_features.cpp requires before a table is used name the same
// extensions.
#pragma once

#include <immintrin.h>

#define KVCODEC_TARGET_X86_AVX2 __attribute__((target("avx2,bmi,bmi2,lzcnt,popcnt")))
#define KVCODEC_TARGET_X86_AVX512                                                                  \
    __attribute__((target("avx512f,avx512bw,avx512vl,avx2,bmi,bmi2,lzcnt,popcnt")))

// Helpers of those kernels, inlined into them.
#define KVCODEC_AVX2_HELPER [[gnu::always_inline]] inline KVCODEC_TARGET_X86_AVX2
#define KVCODEC_AVX512_HELPER [[gnu::always_inline]] inline KVCODEC_TARGET_X86_AVX512
