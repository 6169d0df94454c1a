// Which of the library's instruction sets this x86-64 processor and its system support.
#include <cpuid.h>

#include "dsp/kernels.h"
#include "korvadin_common64.h"

namespace kvcodec {

namespace {

bool hasAvx2Set() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0 || (c & bit_OSXSAVE) == 0 || (c & bit_AVX) == 0 ||
        (c & bit_POPCNT) == 0) {
        return false;
    }
    // The system must save the 256-bit registers across task switches.
    unsigned low = 0, high = 0;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    if ((low & 6) != 6) {
        return false;
    }
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0 || (b & bit_AVX2) == 0 || (b & bit_BMI) == 0 ||
        (b & bit_BMI2) == 0) {
        return false;
    }
    return __get_cpuid(0x80000001, &a, &b, &c, &d) != 0 && (c & bit_LZCNT) != 0;
}

// AVX-512 F, BW and VL, with the system saving the mask and 512-bit registers as well.
bool hasAvx512Set() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    unsigned low = 0, high = 0;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    constexpr unsigned kZmmState = 0xE6;
    return (low & kZmmState) == kZmmState && __get_cpuid_count(7, 0, &a, &b, &c, &d) != 0 &&
           (b & bit_AVX512F) != 0 && (b & bit_AVX512BW) != 0 && (b & bit_AVX512VL) != 0;
}

} // namespace

uint32_t detectCpuFeatures() {
    if (!hasAvx2Set()) {
        return 0;
    }
    return KORVADIN_CPU_X86_AVX2 | (hasAvx512Set() ? KORVADIN_CPU_X86_AVX512 : 0);
}

} // namespace kvcodec
