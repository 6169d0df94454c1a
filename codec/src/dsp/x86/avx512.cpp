// The x86-64 table for processors with AVX-512: the AVX2 table with the range coder on sixteen
// lanes a vector, whose words go out by compression and come in by expansion instead of
// looked-up permutations, and the analysis of 8-bit rows 64 samples a vector.
#include "dsp/x86/target.h"

#include <algorithm>

#include "dsp/coding_loops.h"
#include "dsp/kernels.h"
#include "dsp/x86/avx2_kernels.h"

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

constexpr unsigned kVectors = kRansLanes / 16;

KVCODEC_TARGET_X86_AVX512 size_t ransEncodeAvx512(const uint16_t* sym, size_t n,
                                                  const RansEncSymbol* table, uint32_t* states,
                                                  uint16_t* end) {
    static_assert(sizeof(RansEncSymbol) == 8 && kRansLanes % 16 == 0);
    const long long* entries = reinterpret_cast<const long long*>(table);
    __m512i x[kVectors];
    for (__m512i& v : x) {
        v = _mm512_set1_epi32(static_cast<int>(kRansLow));
    }
    uint16_t* p = end;
    size_t whole = n / kRansLanes * kRansLanes;
    // A short last block is copied where a whole one can be read; its missing lanes stand still.
    if (whole < n) {
        alignas(64) uint16_t tail[kRansLanes] = {};
        std::copy(sym + whole, sym + n, tail);
        const unsigned count = static_cast<unsigned>(n - whole);
        for (int v = kVectors - 1; v >= 0; --v) {
            const unsigned lanes = count > 16u * v ? std::min(count - 16 * v, 16u) : 0;
            x[v] = encodeStep512(x[v], tail + 16 * v, entries,
                                 static_cast<__mmask16>((1u << lanes) - 1), p);
        }
    }
    // The last lane of each block down to the first, as the symbols run backwards.
    while (whole > 0) {
        whole -= kRansLanes;
        for (int v = kVectors - 1; v >= 0; --v) {
            x[v] = encodeStep512(x[v], sym + whole + 16 * v, entries, 0xFFFF, p);
        }
    }
    for (unsigned v = 0; v < kVectors; ++v) {
        _mm512_storeu_si512(states + 16 * v, x[v]);
    }
    return static_cast<size_t>(end - p);
}

// T is the token's type: bytes for 8-bit planes, words for deeper ones.
template <typename T>
KVCODEC_TARGET_X86_AVX512 void ransDecodeRowAvx512(RansReader& in, const RansDecTable* tables,
                                                   const uint8_t* contexts, uint8_t cap,
                                                   uint8_t* act, T* tokens, uint32_t w) {
    const auto blocks = [&](uint32_t* states, const uint8_t*& words,
                            uint32_t& least) KVCODEC_TARGET_X86_AVX512 {
        // Vector v, lane j holds the state of samples 16v + j, kRansLanes apart, of this row.
        __m512i state[kVectors];
        for (unsigned v = 0; v < kVectors; ++v) {
            state[v] = _mm512_load_si512(states + 16 * v);
        }
        const int* entries = reinterpret_cast<const int*>(tables);
        __m512i smallest = _mm512_set1_epi32(static_cast<int>(least));
        const __m512i slotMask = _mm512_set1_epi32(static_cast<int>(kProbScale - 1));
        const __m512i freqMask = _mm512_set1_epi32(0xFFF);
        const __m512i tokenMask = _mm512_set1_epi32(0xFF);
        const __m512i low = _mm512_set1_epi32(static_cast<int>(kRansLow));
        const __m512i caps = _mm512_set1_epi8(static_cast<char>(cap));
        // Packing works within 128-bit lanes: these put the packed tokens back in sample order.
        const __m512i wordOrder = _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7);
        const __m512i byteOrder =
            _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
        uint32_t x = 0;
        for (; x + kRansLanes <= w && words <= in.end; x += kRansLanes) {
            static_assert(kRansLanes == 64, "a block's tokens are one vector of bytes");
            __m512i token[kVectors];
            for (unsigned v = 0; v < kVectors; ++v) {
                const __m512i ctx = _mm512_cvtepu8_epi32(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(contexts + x + 16 * v)));
                const __m512i index = _mm512_or_si512(_mm512_slli_epi32(ctx, kProbBits),
                                                      _mm512_and_si512(state[v], slotMask));
                const __m512i e = _mm512_i32gather_epi32(index, entries, 4);
                smallest = _mm512_min_epu32(smallest, e);
                const __m512i freq = _mm512_and_si512(_mm512_srli_epi32(e, 8), freqMask);
                const __m512i next = _mm512_add_epi32(
                    _mm512_mullo_epi32(freq, _mm512_srli_epi32(state[v], kProbBits)),
                    _mm512_srli_epi32(e, 20));
                const __mmask16 under = _mm512_cmplt_epu32_mask(next, low);
                // The lanes that take a word get the next ones in turn; loaded whether any lane
                // takes one or not, so that no branch waits on the data.
                const __m512i loaded = _mm512_cvtepu16_epi32(
                    _mm256_loadu_si256(reinterpret_cast<const __m256i*>(words)));
                state[v] = _mm512_mask_or_epi32(next, under, _mm512_slli_epi32(next, 16),
                                                _mm512_maskz_expand_epi32(under, loaded));
                words += 2 * __builtin_popcount(under);
                token[v] = _mm512_and_si512(e, tokenMask);
            }
            // The block's tokens as words or bytes, and their activities as bytes, packed once.
            const __m512i first = _mm512_packus_epi32(token[0], token[1]);
            const __m512i second = _mm512_packus_epi32(token[2], token[3]);
            if constexpr (sizeof(T) == 2) {
                _mm512_storeu_si512(tokens + x, _mm512_permutexvar_epi64(wordOrder, first));
                _mm512_storeu_si512(tokens + x + 32, _mm512_permutexvar_epi64(wordOrder, second));
            }
            const __m512i bytes =
                _mm512_permutexvar_epi32(byteOrder, _mm512_packus_epi16(first, second));
            if constexpr (sizeof(T) == 1) {
                _mm512_storeu_si512(tokens + x, bytes);
            }
            _mm512_storeu_si512(act + x, _mm512_min_epu8(bytes, caps));
        }
        for (unsigned v = 0; v < kVectors; ++v) {
            _mm512_store_si512(states + 16 * v, state[v]);
        }
        least = static_cast<uint32_t>(_mm512_reduce_min_epu32(smallest));
        return x;
    };
    loops::ransDecodeRowInBlocks(in, tables, contexts, cap, act, tokens, w, blocks);
}

// An 8-bit row as the AVX2 table analyses it (every value fits a byte, the median is min + max -
// clamp(topLeft, min, max), the average the rounded mean), 64 samples a vector.
template <code::Predictor P>
KVCODEC_AVX512_HELPER void analyseRow8(const uint8_t* cur, const uint8_t* top, const uint8_t* ctx,
                                       uint32_t w, uint16_t* z, uint8_t* own, uint16_t* sym) {
    // Interleaving works within 128-bit lanes: eight samples a 64-bit lane put in the order
    // 0, 4, 1, 5, 2, 6, 3, 7 come out of it in order.
    const __m512i interleaved = _mm512_setr_epi64(0, 4, 1, 5, 2, 6, 3, 7);
    const __m512i cap = _mm512_set1_epi8(static_cast<char>(code::kActivityCap));
    // The 64 columns from x on.
    const auto block = [&](uint32_t x) KVCODEC_TARGET_X86_AVX512 {
        const __m512i c = _mm512_loadu_si512(cur + x);
        const __m512i l = _mm512_loadu_si512(cur + x - 1);
        __m512i r = _mm512_sub_epi8(c, l);
        if (top != nullptr) {
            const __m512i t = _mm512_loadu_si512(top + x);
            const __m512i tl = _mm512_loadu_si512(top + x - 1);
            __m512i pred = _mm512_avg_epu8(l, t);
            if constexpr (P == code::Predictor::Median) {
                const __m512i lo = _mm512_min_epu8(l, t);
                const __m512i hi = _mm512_max_epu8(l, t);
                pred = _mm512_sub_epi8(_mm512_add_epi8(lo, hi),
                                       _mm512_min_epu8(_mm512_max_epu8(tl, lo), hi));
            }
            // Mirrored where the top is below the top-left (code::mirrors): pred - c.
            r = _mm512_mask_sub_epi8(_mm512_sub_epi8(c, pred), _mm512_cmplt_epu8_mask(t, tl), pred,
                                     c);
        }
        const __m512i twice = _mm512_add_epi8(r, r);
        // A negative residual's zigzag is -2r - 1, all ones less 2r.
        const __m512i zz =
            _mm512_mask_sub_epi8(twice, _mm512_movepi8_mask(r), _mm512_set1_epi8(-1), twice);
        // At 8 bits the residual is its token.
        _mm512_storeu_si512(own + x, _mm512_min_epu8(zz, cap));
        const __m512i token = _mm512_permutexvar_epi64(interleaved, zz);
        const __m512i cx = _mm512_permutexvar_epi64(interleaved, _mm512_loadu_si512(ctx + x));
        _mm512_storeu_si512(sym + x, _mm512_unpacklo_epi8(token, cx));
        _mm512_storeu_si512(sym + x + 32, _mm512_unpackhi_epi8(token, cx));
    };
    loops::analyseRowInBlocks<64, P>(cur, top, ctx, w, 8, z, own, sym, block);
}

KVCODEC_AVX512_HELPER __m512i lanesOf(const uint8_t* p) {
    return _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// 64 contexts from the activities above as the AVX2 table takes them.
KVCODEC_AVX512_HELPER __m512i contexts64(const uint8_t* a, const uint8_t* aa) {
    const __m512i t = _mm512_loadu_si512(a);
    const __m512i further =
        _mm512_avg_epu8(_mm512_avg_epu8(_mm512_loadu_si512(a - 2), _mm512_loadu_si512(a + 2)),
                        _mm512_avg_epu8(_mm512_loadu_si512(aa - 1), _mm512_loadu_si512(aa + 1)));
    const __m512i sum = _mm512_add_epi8(
        _mm512_add_epi8(_mm512_add_epi8(t, t),
                        _mm512_add_epi8(_mm512_loadu_si512(a - 1), _mm512_loadu_si512(a + 1))),
        _mm512_add_epi8(_mm512_loadu_si512(aa), _mm512_add_epi8(further, further)));
    const __m512i nibble = _mm512_set1_epi8(0x0F);
    return _mm512_max_epu8(
        _mm512_shuffle_epi8(lanesOf(code::kContextsByNibble.low), _mm512_and_si512(sum, nibble)),
        _mm512_shuffle_epi8(lanesOf(code::kContextsByNibble.high),
                            _mm512_and_si512(_mm512_srli_epi16(sum, 4), nibble)));
}

KVCODEC_TARGET_X86_AVX512 void contextRowAvx512(const uint8_t* above, const uint8_t* twoAbove,
                                                uint32_t w, uint8_t* ctx) {
    uint32_t x = 0;
    for (; x + 64 <= w; x += 64) {
        _mm512_storeu_si512(ctx + x, contexts64(above + x, twoAbove + x));
    }
    // The last vector ends at the row's end, over the one before.
    if (x < w && x > 0) {
        x = w - 64;
        _mm512_storeu_si512(ctx + x, contexts64(above + x, twoAbove + x));
        x = w;
    }
    loops::contextSpan(above, twoAbove, ctx, x, w);
}

// Tokens of sixteen residuals from 128 on: a float's exponent field and top mantissa bit, read
// as one number, are 2 (n - 1 + 127) + the bit below the top one, and less 140 that is
// kLiteralTokens + 2 (n - 8) + that bit.
KVCODEC_AVX512_HELPER __m512i escapeTokens16(__m256i v) {
    const __m512i bits = _mm512_castps_si512(_mm512_cvtepi32_ps(_mm512_cvtepu16_epi32(v)));
    return _mm512_sub_epi32(_mm512_srli_epi32(bits, 22), _mm512_set1_epi32(140));
}

KVCODEC_AVX512_HELPER __m256i loadBytes256(const uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// A row of more than 8 bits as the AVX2 table analyses it, 32 samples a vector.
template <code::Predictor P>
KVCODEC_AVX512_HELPER void analyseRowDeep(const uint16_t* cur, const uint16_t* top,
                                          const uint8_t* ctx, uint32_t w, unsigned depth,
                                          uint16_t* z, uint8_t* own, uint16_t* sym) {
    const __m512i mask = _mm512_set1_epi16(static_cast<short>((1u << depth) - 1));
    const __m512i signBit = _mm512_set1_epi16(static_cast<short>(1u << (depth - 1)));
    const __m512i allOnes = _mm512_set1_epi16(-1);
    const __m512i literals = _mm512_set1_epi16(static_cast<short>(code::kLiteralTokens));
    const __m512i order = _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7);
    const __m512i cap = _mm512_set1_epi16(static_cast<short>(code::kActivityCap));
    // The 32 columns from x on.
    const auto block = [&](uint32_t x) KVCODEC_TARGET_X86_AVX512 {
        const __m512i c = _mm512_loadu_si512(cur + x);
        const __m512i l = _mm512_loadu_si512(cur + x - 1);
        __m512i r = _mm512_sub_epi16(c, l);
        if (top != nullptr) {
            const __m512i t = _mm512_loadu_si512(top + x);
            const __m512i tl = _mm512_loadu_si512(top + x - 1);
            __m512i pred = _mm512_avg_epu16(l, t);
            if constexpr (P == code::Predictor::Median) {
                // left + top - topLeft stays within 16 signed bits for samples of 14 bits.
                const __m512i g = _mm512_sub_epi16(_mm512_add_epi16(l, t), tl);
                pred = _mm512_min_epi16(_mm512_max_epi16(g, _mm512_min_epi16(l, t)),
                                        _mm512_max_epi16(l, t));
            }
            // Mirrored where the top is below the top-left (code::mirrors): pred - c.
            r = _mm512_mask_sub_epi16(_mm512_sub_epi16(c, pred), _mm512_cmplt_epu16_mask(t, tl),
                                      pred, c);
        }
        r = _mm512_and_si512(r, mask);
        const __m512i twice = _mm512_add_epi16(r, r);
        // A negative residual's zigzag is -2r - 1, all ones less 2r, within the depth.
        const __m512i zz = _mm512_and_si512(
            _mm512_mask_sub_epi16(twice, _mm512_test_epi16_mask(r, signBit), allOnes, twice), mask);
        _mm512_storeu_si512(z + x, zz);
        const __m512i escaped = _mm512_permutexvar_epi64(
            order, _mm512_packus_epi32(escapeTokens16(_mm512_castsi512_si256(zz)),
                                       escapeTokens16(_mm512_extracti64x4_epi64(zz, 1))));
        const __m512i tokens =
            _mm512_mask_blend_epi16(_mm512_cmplt_epu16_mask(zz, literals), escaped, zz);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(own + x),
                            _mm512_cvtepi16_epi8(_mm512_min_epu16(tokens, cap)));
        const __m512i cx = _mm512_cvtepu8_epi16(loadBytes256(ctx + x));
        _mm512_storeu_si512(sym + x, _mm512_or_si512(_mm512_slli_epi16(cx, 8), tokens));
    };
    loops::analyseRowInBlocks<32, P>(cur, top, ctx, w, depth, z, own, sym, block);
}

// The AVX2 table's scan for symbols at or above their contexts' floors, 32 a vector: the
// comparison gives its mask directly, and the symbols that reach them go out compressed.
struct RareScanAvx512 {
    template <typename Count>
    KVCODEC_TARGET_X86_AVX512 uint32_t operator()(const uint16_t* sym, uint32_t w,
                                                  const uint8_t* floor, Count&& count) const {
        constexpr uint32_t kChunk = 256;
        const __m512i floors =
            _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(floor)));
        constexpr uint64_t kLowBytes = 0x5555555555555555u;
        uint32_t x = 0;
        while (x + 32 <= w) {
            alignas(64) uint32_t rare[kChunk + 16];
            uint32_t n = 0;
            for (const uint32_t end = std::min(w, x + kChunk); x + 32 <= end; x += 32) {
                const __m512i s = _mm512_loadu_si512(sym + x);
                // The context in the high byte picks its floor, which the token in the low byte
                // is compared with.
                const __mmask64 reached = _mm512_mask_cmpge_epu8_mask(
                    kLowBytes, s, _mm512_shuffle_epi8(floors, _mm512_srli_epi16(s, 8)));
                if (reached == 0) {
                    continue;
                }
                const auto mask = static_cast<uint32_t>(_pext_u64(reached, kLowBytes));
                for (unsigned half = 0; half < 2; ++half) {
                    const auto lanes = static_cast<__mmask16>(mask >> (16 * half));
                    const __m512i wide = _mm512_cvtepu16_epi32(
                        half == 0 ? _mm512_castsi512_si256(s) : _mm512_extracti64x4_epi64(s, 1));
                    _mm512_storeu_si512(rare + n, _mm512_maskz_compress_epi32(lanes, wide));
                    n += static_cast<uint32_t>(__builtin_popcount(lanes));
                }
            }
            for (uint32_t i = 0; i < n; ++i) {
                count(static_cast<uint16_t>(rare[i]));
            }
        }
        return x;
    }
};

// A plane's analysis under the predictor, rows of bytes or of words.
template <typename Sample>
KVCODEC_AVX512_HELPER void analysePlane(const Sample* s, uint32_t w, uint32_t rows, unsigned depth,
                                        code::Predictor predictor, uint16_t* z,
                                        uint8_t* activityRows, uint16_t* sym, uint32_t* counts) {
    loops::withPredictor(predictor, [&](auto p) KVCODEC_TARGET_X86_AVX512 {
        loops::analyseRows(
            s, w, rows, depth, z, activityRows, sym, counts,
            [&](const uint8_t* above, const uint8_t* twoAbove, uint8_t* ctx)
                KVCODEC_TARGET_X86_AVX512 { contextRowAvx512(above, twoAbove, w, ctx); },
            [&](const Sample* cur, const Sample* top, uint16_t* zr, const uint8_t* ctx,
                uint8_t* own, uint16_t* symr) KVCODEC_TARGET_X86_AVX512 {
                if constexpr (sizeof(Sample) == 1) {
                    analyseRow8<p()>(cur, top, ctx, w, zr, own, symr);
                } else {
                    analyseRowDeep<p()>(cur, top, ctx, w, depth, zr, own, symr);
                }
            },
            RareScanAvx512{});
    });
}

KVCODEC_TARGET_X86_AVX512 void analyseAvx512(const uint16_t* s, uint32_t w, uint32_t rows,
                                             unsigned depth, code::Predictor predictor, uint16_t* z,
                                             uint8_t* activityRows, uint16_t* sym,
                                             uint32_t* counts) {
    analysePlane(s, w, rows, depth, predictor, z, activityRows, sym, counts);
}

KVCODEC_TARGET_X86_AVX512 void analyse8Avx512(const uint8_t* s, uint32_t w, uint32_t rows,
                                              code::Predictor predictor, uint16_t* z,
                                              uint8_t* activityRows, uint16_t* sym,
                                              uint32_t* counts) {
    analysePlane(s, w, rows, 8, predictor, z, activityRows, sym, counts);
}

} // namespace
} // namespace x86

const Kernels* x86Avx512Kernels() {
    static const Kernels table = [] {
        Kernels k = *x86Avx2Kernels();
        k.name = "x86-64 AVX-512";
        k.analyse = x86::analyseAvx512;
        k.analyse8 = x86::analyse8Avx512;
        k.ransEncode = x86::ransEncodeAvx512;
        k.contextRow = x86::contextRowAvx512;
        k.ransDecodeRow = x86::ransDecodeRowAvx512<uint16_t>;
        k.ransDecodeRow8 = x86::ransDecodeRowAvx512<uint8_t>;
        return k;
    }();
    return &table;
}

} // namespace kvcodec
