// The x86-64 table: the shared loops compiled for AVX2 with BMI and LZCNT, and hand-written
// kernels where the compiler does not find the vector form itself. Each hand-written kernel does
// as many samples as its vectors hold and leaves the rest to the shared loop.
#include "dsp/x86/target.h"

#include "dsp/coding_loops.h"
#include "dsp/kernels.h"

namespace kvcodec {

namespace x86 {
namespace {

#define KVCODEC_KERNEL_TARGET KVCODEC_TARGET_X86_AVX2
#include "dsp/kernel_set.h"

// Sixteen samples at a time: a running sum within each half by three shifted adds, the low
// half's total added to the high half, and the total so far to both.
template <bool Deep>
KVCODEC_KERNEL_TARGET void rebuildRowAvx2(const uint16_t* above, const uint16_t* residuals,
                                          uint16_t* out, uint32_t w, uint32_t mask) {
    const __m256i values = _mm256_set1_epi16(static_cast<short>(Deep ? kValueBits : 255));
    const __m256i classes = _mm256_set1_epi16(static_cast<short>(kClassBits));
    const __m256i one = _mm256_set1_epi16(1);
    const __m256i sampleMask = _mm256_set1_epi16(static_cast<short>(mask));
    const __m256i lastOfLow = _mm256_set1_epi16(7 * 2 | ((7 * 2 + 1) << 8));
    __m256i carry = _mm256_setzero_si256();
    uint32_t x = 0;
    for (; x + 16 <= w; x += 16) {
        const __m256i word = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(residuals + x));
        const __m256i z =
            _mm256_and_si256(Deep ? word : _mm256_srli_epi16(word, kTokenShift), values);
        __m256i r =
            _mm256_xor_si256(_mm256_srli_epi16(z, 1),
                             _mm256_sub_epi16(_mm256_setzero_si256(), _mm256_and_si256(z, one)));
        r = _mm256_add_epi16(r, _mm256_slli_si256(r, 2));
        r = _mm256_add_epi16(r, _mm256_slli_si256(r, 4));
        r = _mm256_add_epi16(r, _mm256_slli_si256(r, 8));
        // The low half's last sum, in every sample of the high half.
        const __m256i low = _mm256_shuffle_epi8(r, lastOfLow);
        r = _mm256_add_epi16(r, _mm256_permute2x128_si256(low, low, 0x08));
        r = _mm256_add_epi16(r, carry);
        carry = _mm256_permute4x64_epi64(_mm256_shufflehi_epi16(r, 0xFF), 0xFF);
        const __m256i top = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(above + x));
        const __m256i sample = _mm256_and_si256(_mm256_add_epi16(top, r), sampleMask);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x),
                            _mm256_or_si256(sample, _mm256_and_si256(word, classes)));
    }
    const uint32_t sum = static_cast<uint16_t>(_mm256_extract_epi16(carry, 0));
    loops::rebuildRow<Deep>(above + x, residuals + x, out + x, w - x, mask, sum);
}

// Sixteen pixels at a time from green and the two differences: each channel packed to bytes,
// then every 16-byte block of the row picks its bytes from the three.
KVCODEC_KERNEL_TARGET void packRgb8Avx2(const uint16_t* p0, const uint16_t* p1, const uint16_t* p2,
                                        uint8_t* row, uint32_t w) {
    alignas(16) uint8_t pick[3][3][16];
    for (unsigned block = 0; block < 3; ++block) {
        for (unsigned k = 0; k < 16; ++k) {
            const unsigned i = 16 * block + k;
            for (unsigned c = 0; c < 3; ++c) {
                pick[block][c][k] = i % 3 == c ? static_cast<uint8_t>(i / 3) : 0x80;
            }
        }
    }
    __m128i picks[3][3];
    for (unsigned block = 0; block < 3; ++block) {
        for (unsigned c = 0; c < 3; ++c) {
            picks[block][c] = _mm_load_si128(reinterpret_cast<const __m128i*>(pick[block][c]));
        }
    }
    const __m128i low = _mm_set1_epi16(0xFF);
    uint32_t x = 0;
    for (; x + 16 <= w; x += 16) {
        __m128i half[3][2];
        for (unsigned h = 0; h < 2; ++h) {
            const __m128i g = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p0 + x + 8 * h));
            const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p1 + x + 8 * h));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p2 + x + 8 * h));
            half[0][h] = _mm_and_si128(_mm_add_epi16(r, g), low);
            half[1][h] = _mm_and_si128(g, low);
            half[2][h] = _mm_and_si128(_mm_add_epi16(b, g), low);
        }
        __m128i channel[3];
        for (unsigned c = 0; c < 3; ++c) {
            channel[c] = _mm_packus_epi16(half[c][0], half[c][1]);
        }
        for (unsigned block = 0; block < 3; ++block) {
            const __m128i bytes =
                _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(channel[0], picks[block][0]),
                                          _mm_shuffle_epi8(channel[1], picks[block][1])),
                             _mm_shuffle_epi8(channel[2], picks[block][2]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(row + 3 * size_t{x} + 16 * block), bytes);
        }
    }
    loops::packRgb8(p0, p1, p2, row, w, x);
}

// Eight U Y V Y groups at a time, one to a 32-bit lane.
KVCODEC_KERNEL_TARGET void packUyvy8Avx2(const uint16_t* py, const uint16_t* pu, const uint16_t* pv,
                                         uint8_t* row, uint32_t groups) {
    const __m256i low = _mm256_set1_epi32(0xFF);
    const __m256i lowPair = _mm256_set1_epi32(0x00FF00FF);
    uint32_t i = 0;
    for (; i + 8 <= groups; i += 8) {
        const __m256i u =
            _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(pu + i)));
        const __m256i v =
            _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(pv + i)));
        // Each lane holds a group's two luma samples, the first in its low half.
        const __m256i y = _mm256_and_si256(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(py + 2 * i)), lowPair);
        const __m256i uv = _mm256_or_si256(_mm256_and_si256(u, low),
                                           _mm256_slli_epi32(_mm256_and_si256(v, low), 16));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(row + 4 * i),
                            _mm256_or_si256(uv, _mm256_slli_epi32(y, 8)));
    }
    loops::packUyvy8(py, pu, pv, row, groups, i);
}

constexpr Kernels table() {
    Kernels k = genericKernels("x86-64 AVX2");
    k.rebuildRow[0] = rebuildRowAvx2<false>;
    k.rebuildRow[1] = rebuildRowAvx2<true>;
    k.packRgb8 = packRgb8Avx2;
    k.packUyvy8 = packUyvy8Avx2;
    return k;
}

} // namespace
} // namespace x86

const Kernels* x86Avx2Kernels() {
    static constexpr Kernels table = x86::table();
    return &table;
}

} // namespace kvcodec
