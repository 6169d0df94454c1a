// The encoder's analysis with AVX2, a row at a time: contexts, median residuals and tokens many
// samples at once (every neighbour of a sample is an input sample, so a row has no
// chain); whole rows are counted in scalar code, the rows between by vectors (RareScanAvx2).
#include "dsp/x86/target.h"

#include <array>

#include "dsp/coding_loops.h"
#include "dsp/x86/avx2_kernels.h"

namespace kvcodec::x86 {

namespace {

KVCODEC_AVX2_HELPER __m256i zigzag16(__m256i r, __m256i mask, __m128i signShift) {
    r = _mm256_and_si256(r, mask);
    const __m256i negative =
        _mm256_sub_epi16(_mm256_setzero_si256(),
                         _mm256_and_si256(_mm256_srl_epi16(r, signShift), _mm256_set1_epi16(1)));
    return _mm256_and_si256(_mm256_xor_si256(_mm256_slli_epi16(r, 1), negative), mask);
}

KVCODEC_AVX2_HELPER __m256i load16(const uint16_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// Tokens of sixteen residuals of more than 8 bits: below 128 the value itself, above it the
// bit length and the next bit, which a float's exponent and top mantissa bit hold.
KVCODEC_AVX2_HELPER __m256i escapeTokens8(__m128i v) {
    // Exponent field and top mantissa bit: 2 (n - 1 + 127) + bit, less 140, is
    // kLiteralTokens + 2 (n - 8) + bit.
    const __m256i bits = _mm256_castps_si256(_mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(v)));
    return _mm256_sub_epi32(_mm256_srli_epi32(bits, 22), _mm256_set1_epi32(140));
}

KVCODEC_AVX2_HELPER __m256i deepTokens16(__m256i z) {
    const __m256i escaped =
        _mm256_permute4x64_epi64(_mm256_packus_epi32(escapeTokens8(_mm256_castsi256_si128(z)),
                                                     escapeTokens8(_mm256_extracti128_si256(z, 1))),
                                 0xD8);
    const __m256i literal = _mm256_cmpgt_epi16(_mm256_set1_epi16(code::kLiteralTokens), z);
    return _mm256_blendv_epi8(escaped, z, literal);
}

KVCODEC_AVX2_HELPER __m256i load32(const uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// An 8-bit row: every value of the analysis fits a byte, so the whole of it runs on 32 samples
// a vector. The median is taken as min + max - clamp(topLeft, min, max), which never leaves the
// byte as the gradient would; the average is the bytes' rounded mean.
template <code::Predictor P>
KVCODEC_AVX2_HELPER void analyseRow8(const uint8_t* cur, const uint8_t* top, const uint8_t* ctx,
                                     uint32_t w, uint16_t* z, uint8_t* own, uint16_t* sym) {
    const __m256i cap = _mm256_set1_epi8(static_cast<char>(code::kActivityCap));
    // The 32 columns from x on.
    const auto block = [&](uint32_t x) KVCODEC_TARGET_X86_AVX2 {
        const __m256i c = load32(cur + x);
        const __m256i l = load32(cur + x - 1);
        __m256i r = _mm256_sub_epi8(c, l);
        if (top != nullptr) {
            const __m256i t = load32(top + x);
            const __m256i tl = load32(top + x - 1);
            r = mirrorBytes(_mm256_sub_epi8(c, predictBytes<P>(l, t, tl)), t, tl);
        }
        const __m256i zz =
            _mm256_xor_si256(_mm256_add_epi8(r, r), _mm256_cmpgt_epi8(_mm256_setzero_si256(), r));
        // At 8 bits the residual is its token. Interleaving works within 128-bit lanes, so the
        // tokens and contexts go in as 0-7, 16-23, 8-15, 24-31 to come out in order.
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(own + x), _mm256_min_epu8(zz, cap));
        const __m256i token = _mm256_permute4x64_epi64(zz, 0xD8);
        const __m256i cx = _mm256_permute4x64_epi64(load32(ctx + x), 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(sym + x), _mm256_unpacklo_epi8(token, cx));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(sym + x + 16),
                            _mm256_unpackhi_epi8(token, cx));
    };
    loops::analyseRowInBlocks<32, P>(cur, top, ctx, w, 8, z, own, sym, block);
}

// For each mask of eight lanes, the lanes it selects in order, three bits each.
constexpr std::array<uint32_t, 256> kSelectedLanes = [] {
    std::array<uint32_t, 256> lanes{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned n = 0;
        for (unsigned lane = 0; lane < 8; ++lane) {
            if ((mask >> lane & 1) != 0) {
                lanes[mask] |= lane << (4 * n++);
            }
        }
    }
    return lanes;
}();

// Finds the symbols whose tokens reach their contexts' floors sixteen at a time and packs them
// into a short list, which is then counted in one loop: the rare ones come at random places, and
// a loop over each vector's mask would mispredict its exit every time. Most vectors of a
// photograph have none and are passed over.
struct RareScanAvx2 {
    template <typename Count>
    KVCODEC_TARGET_X86_AVX2 uint32_t operator()(const uint16_t* sym, uint32_t w,
                                                const uint8_t* floor, Count&& count) const {
        constexpr uint32_t kChunk = 256;
        const __m256i floors =
            _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(floor)));
        const __m256i lowByte = _mm256_set1_epi16(0xFF);
        const __m256i nibbleShifts = _mm256_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28);
        const auto select = [&](__m128i eight, unsigned mask,
                                uint32_t* to) KVCODEC_TARGET_X86_AVX2 {
            const __m256i lanes = _mm256_and_si256(
                _mm256_srlv_epi32(_mm256_set1_epi32(static_cast<int>(kSelectedLanes[mask])),
                                  nibbleShifts),
                _mm256_set1_epi32(7));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(to),
                                _mm256_permutevar8x32_epi32(_mm256_cvtepu16_epi32(eight), lanes));
            return static_cast<uint32_t>(_mm_popcnt_u32(mask));
        };
        uint32_t x = 0;
        while (x + 16 <= w) {
            uint32_t rare[kChunk + 8];
            uint32_t n = 0;
            for (const uint32_t end = std::min(w, x + kChunk); x + 16 <= end; x += 16) {
                const __m256i s = load16(sym + x);
                // The context in the low byte picks its floor; the high byte's pick is masked.
                const __m256i f =
                    _mm256_and_si256(_mm256_shuffle_epi8(floors, _mm256_srli_epi16(s, 8)), lowByte);
                const auto below = static_cast<uint32_t>(
                    _mm256_movemask_epi8(_mm256_cmpgt_epi16(f, _mm256_and_si256(s, lowByte))));
                if (below == ~0u) {
                    continue;
                }
                const uint32_t mask = ~_pext_u32(below, 0x55555555u);
                n += select(_mm256_castsi256_si128(s), mask & 0xFF, rare + n);
                n += select(_mm256_extracti128_si256(s, 1), mask >> 8 & 0xFF, rare + n);
            }
            for (uint32_t i = 0; i < n; ++i) {
                count(static_cast<uint16_t>(rare[i]));
            }
        }
        return x;
    }
};

} // namespace

// Sixteen bytes in every 128-bit lane.
KVCODEC_AVX2_HELPER __m256i lanesOf(const uint8_t* p) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// 32 contexts from the activities above, as bytes: their weighted sum is at most 224, and its
// context is looked up by its two nibbles.
KVCODEC_AVX2_HELPER __m256i contexts32(const uint8_t* a, const uint8_t* aa) {
    const __m256i t = load32(a);
    const __m256i further = _mm256_avg_epu8(_mm256_avg_epu8(load32(a - 2), load32(a + 2)),
                                            _mm256_avg_epu8(load32(aa - 1), load32(aa + 1)));
    const __m256i sum = _mm256_add_epi8(
        _mm256_add_epi8(_mm256_add_epi8(t, t), _mm256_add_epi8(load32(a - 1), load32(a + 1))),
        _mm256_add_epi8(load32(aa), _mm256_add_epi8(further, further)));
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    return _mm256_max_epu8(
        _mm256_shuffle_epi8(lanesOf(code::kContextsByNibble.low), _mm256_and_si256(sum, nibble)),
        _mm256_shuffle_epi8(lanesOf(code::kContextsByNibble.high),
                            _mm256_and_si256(_mm256_srli_epi16(sum, 4), nibble)));
}

KVCODEC_TARGET_X86_AVX2 void contextRowAvx2(const uint8_t* above, const uint8_t* twoAbove,
                                            uint32_t w, uint8_t* ctx) {
    uint32_t x = 0;
    for (; x + 32 <= w; x += 32) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(ctx + x),
                            contexts32(above + x, twoAbove + x));
    }
    // The last vector ends at the row's end, over the one before.
    if (x < w && x > 0) {
        x = w - 32;
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(ctx + x),
                            contexts32(above + x, twoAbove + x));
        x = w;
    }
    loops::contextSpan(above, twoAbove, ctx, x, w);
}

// A deeper row: residuals, tokens and symbols of sixteen samples at a time in one pass, so that
// each residual is used while it is in a register.
template <code::Predictor P>
KVCODEC_AVX2_HELPER void analyseRowDeep(const uint16_t* cur, const uint16_t* top,
                                        const uint8_t* ctx, uint32_t w, unsigned depth, uint16_t* z,
                                        uint8_t* own, uint16_t* sym) {
    const __m256i mask = _mm256_set1_epi16(static_cast<short>((1u << depth) - 1));
    const __m128i signShift = _mm_cvtsi32_si128(static_cast<int>(depth) - 1);
    const __m256i cap = _mm256_set1_epi16(static_cast<short>(code::kActivityCap));
    // The 16 columns from x on.
    const auto block = [&](uint32_t x) KVCODEC_TARGET_X86_AVX2 {
        const __m256i c = load16(cur + x);
        const __m256i l = load16(cur + x - 1);
        __m256i r = _mm256_sub_epi16(c, l);
        if (top != nullptr) {
            const __m256i t = load16(top + x);
            const __m256i tl = load16(top + x - 1);
            r = mirrorWords(_mm256_sub_epi16(c, predictWords<P>(l, t, tl)), t, tl);
        }
        const __m256i zz = zigzag16(r, mask, signShift);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(z + x), zz);
        const __m256i tokens = deepTokens16(zz);
        const __m256i act = _mm256_min_epu16(tokens, cap);
        _mm_storeu_si128(
            reinterpret_cast<__m128i*>(own + x),
            _mm_packus_epi16(_mm256_castsi256_si128(act), _mm256_extracti128_si256(act, 1)));
        const __m256i cx =
            _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ctx + x)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(sym + x),
                            _mm256_or_si256(_mm256_slli_epi16(cx, 8), tokens));
    };
    loops::analyseRowInBlocks<16, P>(cur, top, ctx, w, depth, z, own, sym, block);
}

// A plane's analysis under the predictor, rows of bytes or of words.
template <typename Sample>
KVCODEC_AVX2_HELPER void analysePlane(const Sample* s, uint32_t w, uint32_t rows, unsigned depth,
                                      code::Predictor predictor, uint16_t* z, uint8_t* activityRows,
                                      uint16_t* sym, uint32_t* counts) {
    loops::withPredictor(predictor, [&](auto p) KVCODEC_TARGET_X86_AVX2 {
        loops::analyseRows(
            s, w, rows, depth, z, activityRows, sym, counts,
            [&](const uint8_t* above, const uint8_t* twoAbove, uint8_t* ctx)
                KVCODEC_TARGET_X86_AVX2 { contextRowAvx2(above, twoAbove, w, ctx); },
            [&](const Sample* cur, const Sample* top, uint16_t* zr, const uint8_t* ctx,
                uint8_t* own, uint16_t* symr) KVCODEC_TARGET_X86_AVX2 {
                if constexpr (sizeof(Sample) == 1) {
                    analyseRow8<p()>(cur, top, ctx, w, zr, own, symr);
                } else {
                    analyseRowDeep<p()>(cur, top, ctx, w, depth, zr, own, symr);
                }
            },
            RareScanAvx2{});
    });
}

KVCODEC_TARGET_X86_AVX2 void analyseAvx2(const uint16_t* s, uint32_t w, uint32_t rows,
                                         unsigned depth, code::Predictor predictor, uint16_t* z,
                                         uint8_t* activityRows, uint16_t* sym, uint32_t* counts) {
    analysePlane(s, w, rows, depth, predictor, z, activityRows, sym, counts);
}

KVCODEC_TARGET_X86_AVX2 void analyse8Avx2(const uint8_t* s, uint32_t w, uint32_t rows,
                                          code::Predictor predictor, uint16_t* z,
                                          uint8_t* activityRows, uint16_t* sym, uint32_t* counts) {
    analysePlane(s, w, rows, 8, predictor, z, activityRows, sym, counts);
}

} // namespace kvcodec::x86
