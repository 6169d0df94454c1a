// The portable table: the shared loops as the compiler builds them for the target's baseline.
#include "dsp/coding_loops.h"
#include "dsp/kernels.h"

namespace kvcodec {

namespace portable {
namespace {
#define KVCODEC_KERNEL_TARGET
#include "dsp/kernel_set.h"
#undef KVCODEC_KERNEL_TARGET
} // namespace
} // namespace portable

const Kernels& portableKernels() {
    static constexpr Kernels table = portable::genericKernels("portable");
    return table;
}

} // namespace kvcodec
