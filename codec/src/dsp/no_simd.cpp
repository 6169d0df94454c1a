// Processors the library has no faster loops for: the portable table alone.
#include "dsp/kernels.h"

namespace kvcodec {

uint32_t detectCpuFeatures() {
    return 0;
}

const Kernels* x86Avx2Kernels() {
    return nullptr;
}

const Kernels* x86Avx512Kernels() {
    return nullptr;
}

} // namespace kvcodec
