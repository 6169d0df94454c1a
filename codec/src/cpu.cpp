#include "cpu.h"

#include <atomic>

namespace kvcodec {

namespace {

std::atomic<bool> s_forcePortable{false};

Isa detect() {
#if KVCODEC_HAVE_X86V3
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2") &&
        __builtin_cpu_supports("popcnt")) {
        return Isa::X86V3;
    }
#endif
    return Isa::Portable;
}

} // namespace

Isa activeIsa() {
    static const Isa detected = detect();
    return s_forcePortable.load(std::memory_order_relaxed) ? Isa::Portable : detected;
}

void forcePortable(bool on) {
    s_forcePortable.store(on, std::memory_order_relaxed);
}

} // namespace kvcodec
