// The hand-written kernels of the x86-64 table, each beside the shared loop it stands in for.
#pragma once

#include "dsp/kernels.h"
#include "dsp/x86/target.h"

namespace kvcodec::x86 {

// Residuals negated where code::mirrors holds, the top sample below the top-left one: bytes,
// whose order is unsigned, and words of at most 14 bits. The negation needs the residual alone,
// so in the rebuilding's chain from step to step only the comparison and the blend wait on the
// top samples.
KVCODEC_AVX2_HELPER __m256i mirrorBytes(__m256i r, __m256i top, __m256i topLeft) {
    const __m256i notBelow =
        _mm256_cmpeq_epi8(_mm256_subs_epu8(topLeft, top), _mm256_setzero_si256());
    return _mm256_blendv_epi8(_mm256_sub_epi8(_mm256_setzero_si256(), r), r, notBelow);
}

KVCODEC_AVX2_HELPER __m256i mirrorWords(__m256i r, __m256i top, __m256i topLeft) {
    return _mm256_blendv_epi8(r, _mm256_sub_epi16(_mm256_setzero_si256(), r),
                              _mm256_cmpgt_epi16(topLeft, top));
}

// The predictions of bytes and of words of at most 14 bits. The median is lo + hi less the
// top-left clamped between them, which stays within the samples' width as the gradient would
// not; the average is the rounded mean, one instruction.
template <code::Predictor P>
KVCODEC_AVX2_HELPER __m256i predictBytes(__m256i left, __m256i top, __m256i topLeft) {
    if constexpr (P == code::Predictor::Median) {
        const __m256i lo = _mm256_min_epu8(left, top);
        const __m256i hi = _mm256_max_epu8(left, top);
        return _mm256_sub_epi8(_mm256_add_epi8(lo, hi),
                               _mm256_min_epu8(_mm256_max_epu8(topLeft, lo), hi));
    } else {
        return _mm256_avg_epu8(left, top);
    }
}

template <code::Predictor P>
KVCODEC_AVX2_HELPER __m256i predictWords(__m256i left, __m256i top, __m256i topLeft) {
    if constexpr (P == code::Predictor::Median) {
        const __m256i lo = _mm256_min_epi16(left, top);
        const __m256i hi = _mm256_max_epi16(left, top);
        return _mm256_sub_epi16(_mm256_add_epi16(lo, hi),
                                _mm256_min_epi16(_mm256_max_epi16(topLeft, lo), hi));
    } else {
        return _mm256_avg_epu16(left, top);
    }
}

void analyseAvx2(const uint16_t* s, uint32_t w, uint32_t rows, unsigned depth,
                 code::Predictor predictor, uint16_t* z, uint8_t* activityRows, uint16_t* sym,
                 uint32_t* counts);
void analyse8Avx2(const uint8_t* s, uint32_t w, uint32_t rows, code::Predictor predictor,
                  uint16_t* z, uint8_t* activityRows, uint16_t* sym, uint32_t* counts);
void contextRowAvx2(const uint8_t* above, const uint8_t* twoAbove, uint32_t w, uint8_t* ctx);
size_t ransEncodeAvx2(const uint16_t* sym, size_t n, const RansEncSymbol* table, uint32_t* states,
                      uint16_t* end);
void ransDecodeRowAvx2(RansReader& in, const RansDecTable* tables, const uint8_t* contexts,
                       uint8_t cap, uint8_t* act, uint16_t* tokens, uint32_t w);
void ransDecodeRow8Avx2(RansReader& in, const RansDecTable* tables, const uint8_t* contexts,
                        uint8_t cap, uint8_t* act, uint8_t* tokens, uint32_t w);

void rebuildAvx2(const uint16_t* above, const uint16_t* z, uint16_t* out, uint32_t w, uint32_t rows,
                 unsigned depth, code::Predictor predictor, bool mirror, uint16_t* scratch);
void rebuild8Avx2(const uint8_t* above, const uint8_t* z, uint8_t* out, uint32_t w, uint32_t rows,
                  code::Predictor predictor, bool mirror, uint16_t* scratch);

} // namespace kvcodec::x86
