#include "dsp/kernels.h"

#include <atomic>

#include "korvadin_common64.h"

namespace kvcodec {

namespace {

const Kernels& choose(uint32_t features) {
    if ((features & KORVADIN_CPU_X86_AVX2) == 0 || x86Avx2Kernels() == nullptr) {
        return portableKernels();
    }
    if ((features & KORVADIN_CPU_X86_AVX512) != 0 && x86Avx512Kernels() != nullptr) {
        return *x86Avx512Kernels();
    }
    return *x86Avx2Kernels();
}

// Chosen once from the processor, and again only when the mask changes.
std::atomic<const Kernels*>& active() {
    static std::atomic<const Kernels*> table{&choose(cpuFeatures())};
    return table;
}

} // namespace

uint32_t cpuFeatures() {
    static const uint32_t features = detectCpuFeatures();
    return features;
}

void setCpuMask(uint32_t mask) {
    active().store(&choose(cpuFeatures() & mask));
}

const Kernels& activeKernels() {
    return *active().load(std::memory_order_acquire);
}

} // namespace kvcodec
