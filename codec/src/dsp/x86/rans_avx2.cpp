// The range coder with AVX2: the lanes as vectors of eight states, each step a gather of table
// entries and a multiplication for eight symbols. The words that states give out or
// take in travel in lane order, as the portable loops move them one symbol at a time: a lane's
// word goes where its symbol's place in the sequence puts it, whichever loop wrote it.
#include "dsp/x86/target.h"

#include <array>

#include "dsp/coding_loops.h"
#include "dsp/x86/avx2_kernels.h"

namespace kvcodec::x86 {

namespace {

constexpr unsigned kVectors = kRansLanes / 8;
static_assert(kVectors % 2 == 0, "the kernels hold the lanes as pairs of vectors of eight");

// Permutations by the mask of lanes that move a word: `gather` takes the words of those lanes of
// the encoder's vectors, in lane order, to the top of a vector; `spread` gives each lane of the
// decoder's vectors the next word in turn.
struct LanePermutations {
    alignas(32) uint32_t gather[256][8];
    alignas(32) uint32_t spread[256][8];
};

// The encoder keeps the lanes of a vector in the order its gathers give them: vector position
// j holds lane kEncoderLane[j]. Its words still go out in lane order.
constexpr unsigned kEncoderLane[8] = {0, 1, 4, 5, 2, 3, 6, 7};

constexpr LanePermutations makeLanePermutations() {
    LanePermutations p{};
    for (unsigned m = 0; m < 256; ++m) {
        const unsigned count = static_cast<unsigned>(__builtin_popcount(m));
        unsigned next = 0;
        for (unsigned lane = 0; lane < 8; ++lane) {
            if ((m >> lane & 1) != 0) {
                p.spread[m][lane] = next++;
            }
        }
        next = 0;
        for (unsigned lane = 0; lane < 8; ++lane) {
            for (unsigned position = 0; position < 8; ++position) {
                if (kEncoderLane[position] == lane && (m >> position & 1) != 0) {
                    p.gather[m][8 - count + next++] = position;
                }
            }
        }
    }
    return p;
}

constexpr LanePermutations kPermutations = makeLanePermutations();

KVCODEC_AVX2_HELPER __m256i loadPermutation(const uint32_t (&table)[256][8], unsigned mask) {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(table[mask]));
}

// The low 16 bits of eight lanes as eight words.
KVCODEC_AVX2_HELPER __m128i lowWords(__m256i v) {
    const __m256i picked = _mm256_shuffle_epi8(
        v, _mm256_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1, 0, 1, 4, 5, 8,
                            9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1));
    return _mm256_castsi256_si128(_mm256_permute4x64_epi64(picked, 0x08));
}

// The high 32 bits of the products of eight pairs.
KVCODEC_AVX2_HELPER __m256i mulHigh(__m256i a, __m256i b) {
    const __m256i even = _mm256_srli_epi64(_mm256_mul_epu32(a, b), 32);
    const __m256i odd = _mm256_mul_epu32(_mm256_srli_epi64(a, 32), _mm256_srli_epi64(b, 32));
    return _mm256_blend_epi32(even, odd, 0xAA);
}

// One step of eight lanes: `active` lanes (a mask of -1 and 0) move by their symbols, whose
// 16-bit table indexes are at s. Words go below p, which moves down by their count.
KVCODEC_AVX2_HELPER __m256i encodeStep(__m256i state, const uint16_t* s, const long long* table,
                                       __m256i active, uint16_t*& p) {
    // Two loads of four 8-byte symbols, split into their reciprocals and their other fields in
    // the order kEncoderLane.
    const __m256i index =
        _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s)));
    const __m256i lo = _mm256_i32gather_epi64(table, _mm256_castsi256_si128(index), 8);
    const __m256i hi = _mm256_i32gather_epi64(table, _mm256_extracti128_si256(index, 1), 8);
    const __m256i rcp = _mm256_castps_si256(_mm256_shuffle_ps(
        _mm256_castsi256_ps(lo), _mm256_castsi256_ps(hi), _MM_SHUFFLE(2, 0, 2, 0)));
    const __m256i packed = _mm256_castps_si256(_mm256_shuffle_ps(
        _mm256_castsi256_ps(lo), _mm256_castsi256_ps(hi), _MM_SHUFFLE(3, 1, 3, 1)));
    const __m256i bias = _mm256_and_si256(packed, _mm256_set1_epi32(0x1FFF));
    const __m256i cmpl = _mm256_and_si256(_mm256_srli_epi32(packed, 13), _mm256_set1_epi32(0xFFF));
    const __m256i shift = _mm256_srli_epi32(packed, 25);
    // xMax - 1 = (frequency << 19) - 1, below 2^31, so signed comparisons hold.
    const __m256i xMaxLess = _mm256_sub_epi32(
        _mm256_slli_epi32(_mm256_sub_epi32(_mm256_set1_epi32(static_cast<int>(kProbScale)), cmpl),
                          19),
        _mm256_set1_epi32(1));
    const __m256i over = _mm256_and_si256(_mm256_cmpgt_epi32(state, xMaxLess), active);
    const unsigned out = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(over)));
    // Always stored, so that no branch waits on the data: lanes that give out nothing leave
    // their words below p, where the next words will go.
    const __m128i words =
        lowWords(_mm256_permutevar8x32_epi32(state, loadPermutation(kPermutations.gather, out)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p - 8), words);
    p -= __builtin_popcount(out);
    state = _mm256_blendv_epi8(state, _mm256_srli_epi32(state, 16), over);
    const __m256i q = _mm256_srlv_epi32(mulHigh(state, rcp), shift);
    const __m256i next =
        _mm256_add_epi32(_mm256_add_epi32(state, bias), _mm256_mullo_epi32(q, cmpl));
    return _mm256_blendv_epi8(state, next, active);
}

} // namespace

KVCODEC_TARGET_X86_AVX2 size_t ransEncodeAvx2(const uint16_t* sym, size_t n,
                                              const RansEncSymbol* table, uint32_t* states,
                                              uint16_t* end) {
    static_assert(sizeof(RansEncSymbol) == 8);
    const long long* fields = reinterpret_cast<const long long*>(table);
    __m256i x[kVectors];
    for (__m256i& v : x) {
        v = _mm256_set1_epi32(static_cast<int>(kRansLow));
    }
    uint16_t* p = end;
    const __m256i all = _mm256_set1_epi32(-1);
    size_t whole = n / kRansLanes * kRansLanes;
    // The last block may be short: its symbols are copied where a whole block can be read and
    // the lanes beyond them stand still.
    if (whole < n) {
        alignas(32) uint16_t tail[kRansLanes] = {};
        std::copy(sym + whole, sym + n, tail);
        const __m256i lane = _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7);
        for (int v = kVectors - 1; v >= 0; --v) {
            const __m256i active =
                _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n - whole) - 8 * v), lane);
            x[v] = encodeStep(x[v], tail + 8 * v, fields, active, p);
        }
    }
    // The last lane of each block down to the first, as the symbols run backwards.
    while (whole > 0) {
        whole -= kRansLanes;
        for (int v = kVectors - 1; v >= 0; --v) {
            x[v] = encodeStep(x[v], sym + whole + 8 * v, fields, all, p);
        }
    }
    const __m256i inLaneOrder = _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7);
    for (unsigned v = 0; v < kVectors; ++v) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(states + 8 * v),
                            _mm256_permutevar8x32_epi32(x[v], inLaneOrder));
    }
    return static_cast<size_t>(end - p);
}

namespace {

// T is the token's type: bytes for 8-bit planes, words for deeper ones.
template <typename T>
KVCODEC_TARGET_X86_AVX2 void decodeRow(RansReader& in, const RansDecTable* tables,
                                       const uint8_t* contexts, uint8_t cap, uint8_t* act,
                                       T* tokens, uint32_t w) {
    const auto blocks = [&](uint32_t* states, const uint8_t*& words,
                            uint32_t& least) KVCODEC_TARGET_X86_AVX2 {
        // Vector v, lane j holds the state of samples 8v + j, kRansLanes apart, of this row.
        __m256i state[kVectors];
        for (unsigned v = 0; v < kVectors; ++v) {
            state[v] = _mm256_load_si256(reinterpret_cast<const __m256i*>(states + 8 * v));
        }
        const int* entries = reinterpret_cast<const int*>(tables);
        __m256i smallest = _mm256_set1_epi32(static_cast<int>(least));
        const __m256i slotMask = _mm256_set1_epi32(static_cast<int>(kProbScale - 1));
        const __m256i freqMask = _mm256_set1_epi32(0xFFF);
        const __m256i low = _mm256_set1_epi32(static_cast<int>(kRansLow));
        const __m256i caps = _mm256_set1_epi8(static_cast<char>(cap));
        uint32_t x = 0;
        for (; x + kRansLanes <= w && words <= in.end; x += kRansLanes) {
            __m256i token[kVectors];
            for (unsigned v = 0; v < kVectors; ++v) {
                const __m256i ctx = _mm256_cvtepu8_epi32(
                    _mm_loadl_epi64(reinterpret_cast<const __m128i*>(contexts + x + 8 * v)));
                const __m256i index = _mm256_or_si256(_mm256_slli_epi32(ctx, kProbBits),
                                                      _mm256_and_si256(state[v], slotMask));
                const __m256i e = _mm256_i32gather_epi32(entries, index, 4);
                smallest = _mm256_min_epu32(smallest, e);
                const __m256i freq = _mm256_and_si256(_mm256_srli_epi32(e, 8), freqMask);
                __m256i next = _mm256_add_epi32(
                    _mm256_mullo_epi32(freq, _mm256_srli_epi32(state[v], kProbBits)),
                    _mm256_srli_epi32(e, 20));
                const __m256i under = _mm256_cmpgt_epi32(low, next);
                const unsigned taking =
                    static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(under)));
                // Loaded whether any lane takes a word or not, so that no branch waits on the
                // data.
                const __m256i loaded =
                    _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(words)));
                const __m256i spread = _mm256_permutevar8x32_epi32(
                    loaded, loadPermutation(kPermutations.spread, taking));
                state[v] = _mm256_blendv_epi8(
                    next, _mm256_or_si256(_mm256_slli_epi32(next, 16), spread), under);
                words += 2 * __builtin_popcount(taking);
                token[v] = _mm256_and_si256(e, _mm256_set1_epi32(0xFF));
            }
            __m256i t16[kVectors / 2];
            for (unsigned pair = 0; pair < kVectors / 2; ++pair) {
                t16[pair] = _mm256_permute4x64_epi64(
                    _mm256_packus_epi32(token[2 * pair], token[2 * pair + 1]), 0xD8);
                if constexpr (sizeof(T) == 2) {
                    _mm256_storeu_si256(reinterpret_cast<__m256i*>(tokens + x + 16 * pair),
                                        t16[pair]);
                }
            }
            for (unsigned half = 0; half < kVectors / 4; ++half) {
                const __m256i t8 = _mm256_permute4x64_epi64(
                    _mm256_packus_epi16(t16[2 * half], t16[2 * half + 1]), 0xD8);
                if constexpr (sizeof(T) == 1) {
                    _mm256_storeu_si256(reinterpret_cast<__m256i*>(tokens + x + 32 * half), t8);
                }
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(act + x + 32 * half),
                                    _mm256_min_epu8(t8, caps));
            }
        }
        for (unsigned v = 0; v < kVectors; ++v) {
            _mm256_store_si256(reinterpret_cast<__m256i*>(states + 8 * v), state[v]);
        }
        alignas(32) uint32_t lanes[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), smallest);
        least = *std::min_element(lanes, lanes + 8);
        return x;
    };
    loops::ransDecodeRowInBlocks(in, tables, contexts, cap, act, tokens, w, blocks);
}

} // namespace

KVCODEC_TARGET_X86_AVX2 void ransDecodeRowAvx2(RansReader& in, const RansDecTable* tables,
                                               const uint8_t* contexts, uint8_t cap, uint8_t* act,
                                               uint16_t* tokens, uint32_t w) {
    decodeRow(in, tables, contexts, cap, act, tokens, w);
}

KVCODEC_TARGET_X86_AVX2 void ransDecodeRow8Avx2(RansReader& in, const RansDecTable* tables,
                                                const uint8_t* contexts, uint8_t cap, uint8_t* act,
                                                uint8_t* tokens, uint32_t w) {
    decodeRow(in, tables, contexts, cap, act, tokens, w);
}

} // namespace kvcodec::x86
