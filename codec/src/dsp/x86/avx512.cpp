// The x86-64 table for processors with AVX-512: the AVX2 table with the range encoder on
// sixteen lanes a vector, whose words go out by compression instead of looked-up permutations.
#include "dsp/x86/target.h"

#include <algorithm>

#include "dsp/coding_loops.h"
#include "dsp/kernels.h"

namespace kvcodec {

namespace x86 {
namespace {

// The high 32 bits of the products of sixteen pairs.
KVCODEC_AVX512_HELPER __m512i mulHigh512(__m512i a, __m512i b) {
    const __m512i even = _mm512_srli_epi64(_mm512_mul_epu32(a, b), 32);
    const __m512i odd = _mm512_mul_epu32(_mm512_srli_epi64(a, 32), _mm512_srli_epi64(b, 32));
    return _mm512_mask_blend_epi32(0xAAAA, even, odd);
}

// One step of sixteen lanes: the `active` ones move by their symbols, whose table indexes are
// at s; their words go below p in lane order.
KVCODEC_AVX512_HELPER __m512i encodeStep512(__m512i state, const uint16_t* s,
                                            const long long* table, __mmask16 active,
                                            uint16_t*& p) {
    const __m512i index =
        _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(s)));
    const __m512i lo = _mm512_i32gather_epi64(_mm512_castsi512_si256(index), table, 8);
    const __m512i hi = _mm512_i32gather_epi64(_mm512_extracti64x4_epi64(index, 1), table, 8);
    const __m512i even =
        _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
    const __m512i odd = _mm512_add_epi32(even, _mm512_set1_epi32(1));
    const __m512i rcp = _mm512_permutex2var_epi32(lo, even, hi);
    const __m512i packed = _mm512_permutex2var_epi32(lo, odd, hi);
    const __m512i bias = _mm512_and_si512(packed, _mm512_set1_epi32(0x1FFF));
    const __m512i cmpl = _mm512_and_si512(_mm512_srli_epi32(packed, 13), _mm512_set1_epi32(0xFFF));
    const __m512i shift = _mm512_srli_epi32(packed, 25);
    // xMax = frequency << 19, below 2^31.
    const __m512i xMax = _mm512_slli_epi32(
        _mm512_sub_epi32(_mm512_set1_epi32(static_cast<int>(kProbScale)), cmpl), 19);
    const __mmask16 over = _mm512_mask_cmpge_epu32_mask(active, state, xMax);
    const unsigned count = static_cast<unsigned>(__builtin_popcount(over));
    const __m256i words = _mm512_cvtepi32_epi16(_mm512_maskz_compress_epi32(over, state));
    p -= count;
    _mm256_mask_storeu_epi16(p, static_cast<__mmask16>((1u << count) - 1), words);
    state = _mm512_mask_srli_epi32(state, over, state, 16);
    const __m512i q = _mm512_srlv_epi32(mulHigh512(state, rcp), shift);
    const __m512i next =
        _mm512_add_epi32(_mm512_add_epi32(state, bias), _mm512_mullo_epi32(q, cmpl));
    return _mm512_mask_mov_epi32(state, active, next);
}

KVCODEC_TARGET_X86_AVX512 size_t ransEncodeAvx512(const uint16_t* sym, size_t n,
                                                  const RansEncSymbol* table, uint32_t* states,
                                                  uint16_t* end) {
    static_assert(sizeof(RansEncSymbol) == 8 && kRansLanes == 32);
    const long long* entries = reinterpret_cast<const long long*>(table);
    __m512i x[2] = {_mm512_set1_epi32(static_cast<int>(kRansLow)),
                    _mm512_set1_epi32(static_cast<int>(kRansLow))};
    uint16_t* p = end;
    size_t whole = n / kRansLanes * kRansLanes;
    // A short last block is copied where a whole one can be read; its missing lanes stand still.
    if (whole < n) {
        alignas(64) uint16_t tail[kRansLanes] = {};
        std::copy(sym + whole, sym + n, tail);
        const unsigned count = static_cast<unsigned>(n - whole);
        for (int v = 1; v >= 0; --v) {
            const unsigned lanes = count > 16u * v ? std::min(count - 16 * v, 16u) : 0;
            x[v] = encodeStep512(x[v], tail + 16 * v, entries,
                                 static_cast<__mmask16>((1u << lanes) - 1), p);
        }
    }
    // Lanes 31 down to 0 of each block, as the symbols run backwards.
    while (whole > 0) {
        whole -= kRansLanes;
        x[1] = encodeStep512(x[1], sym + whole + 16, entries, 0xFFFF, p);
        x[0] = encodeStep512(x[0], sym + whole, entries, 0xFFFF, p);
    }
    _mm512_storeu_si512(states, x[0]);
    _mm512_storeu_si512(states + 16, x[1]);
    return static_cast<size_t>(end - p);
}

} // namespace
} // namespace x86

const Kernels* x86Avx512Kernels() {
    static const Kernels table = [] {
        Kernels k = *x86Avx2Kernels();
        k.name = "x86-64 AVX-512";
        k.ransEncode = x86::ransEncodeAvx512;
        return k;
    }();
    return &table;
}

} // namespace kvcodec
