// The instruction set of the x86-64 table: the function attributes its kernels are compiled
// with, and the processor features that must all be present before it is used. The two lists
// name the same extensions.
#pragma once

#include <immintrin.h>

#define KVCODEC_TARGET_X86_AVX2 __attribute__((target("avx2,bmi,bmi2,lzcnt,popcnt")))
