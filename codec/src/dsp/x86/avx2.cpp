// The x86-64 table: the shared loops compiled for AVX2 with BMI and LZCNT, and hand-written
// kernels where the compiler does not find the vector form itself. Each hand-written kernel does
// as many samples as its vectors hold and leaves the rest to the shared loop.
#include "dsp/x86/target.h"

#include "dsp/coding_loops.h"
#include "dsp/kernels.h"
#include "dsp/x86/avx2_kernels.h"

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
    using namespace kvcodec::v1;
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
    loops::v1::rebuildRow<Deep>(above + x, residuals + x, out + x, w - x, mask, sum);
}

// Byte shuffles between the 16-byte blocks of a row of packed pixels and the 16-byte vectors of
// their channels, by block and channel, for pixels of N samples of `Unit` bytes: byte j of
// sample k of channel c is byte Unit * (N * k + c) + j of the row. A 2-byte sample never
// straddles two blocks, as blocks start at even bytes.
template <unsigned N>
struct RowShuffles {
    alignas(16) uint8_t toRow[N][N][16];      // block's byte from the channel's
    alignas(16) uint8_t toChannels[N][N][16]; // channel's byte from the block's
};

template <unsigned N, unsigned Unit>
constexpr RowShuffles<N> makeRowShuffles() {
    RowShuffles<N> s{};
    for (unsigned block = 0; block < N; ++block) {
        for (unsigned c = 0; c < N; ++c) {
            for (unsigned i = 0; i < 16; ++i) {
                const unsigned rowByte = 16 * block + i, unit = rowByte / Unit;
                s.toRow[block][c][i] =
                    unit % N == c ? static_cast<uint8_t>(Unit * (unit / N) + rowByte % Unit) : 0x80;
                const unsigned fromRow = Unit * (N * (i / Unit) + c) + i % Unit;
                s.toChannels[block][c][i] =
                    fromRow / 16 == block ? static_cast<uint8_t>(fromRow % 16) : 0x80;
            }
        }
    }
    return s;
}

constexpr RowShuffles<3> kRgbShuffles = makeRowShuffles<3, 1>();
template <unsigned N>
constexpr RowShuffles<N> kWideShuffles = makeRowShuffles<N, 2>();

template <unsigned N>
KVCODEC_KERNEL_TARGET void loadRgbShuffles(const uint8_t (&table)[N][N][16], __m128i (&out)[N][N]) {
    for (unsigned block = 0; block < N; ++block) {
        for (unsigned c = 0; c < N; ++c) {
            out[block][c] = _mm_load_si128(reinterpret_cast<const __m128i*>(table[block][c]));
        }
    }
}

// The same shuffles in both halves of 32-byte vectors.
template <unsigned N>
KVCODEC_KERNEL_TARGET void loadWideShuffles(const uint8_t (&table)[N][N][16],
                                            __m256i (&out)[N][N]) {
    __m128i half[N][N];
    loadRgbShuffles(table, half);
    for (unsigned block = 0; block < N; ++block) {
        for (unsigned c = 0; c < N; ++c) {
            out[block][c] = _mm256_broadcastsi128_si256(half[block][c]);
        }
    }
}

// Sixteen pixels at a time from green and the two differences: every 16-byte block of the row
// picks its bytes from the three channels.
KVCODEC_KERNEL_TARGET void packRgb8Avx2(const uint8_t* p0, const uint8_t* p1, const uint8_t* p2,
                                        uint8_t* row, uint32_t w) {
    __m128i picks[3][3];
    loadRgbShuffles(kRgbShuffles.toRow, picks);
    uint32_t x = 0;
    for (; x + 16 <= w; x += 16) {
        const __m128i g = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p0 + x));
        const __m128i channel[3] = {
            _mm_add_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p1 + x)), g), g,
            _mm_add_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p2 + x)), g)};
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

// Sixteen U Y V Y groups at a time: U and V interleaved, then with the luma pairs.
KVCODEC_KERNEL_TARGET void packUyvy8Avx2(const uint8_t* py, const uint8_t* pu, const uint8_t* pv,
                                         uint8_t* row, uint32_t groups) {
    uint32_t i = 0;
    for (; i + 16 <= groups; i += 16) {
        const __m128i u = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pu + i));
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pv + i));
        const __m128i uv[2] = {_mm_unpacklo_epi8(u, v), _mm_unpackhi_epi8(u, v)};
        for (unsigned h = 0; h < 2; ++h) {
            const __m128i y =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(py + 2 * size_t{i} + 16 * h));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(row + 4 * size_t{i} + 32 * h),
                             _mm_unpacklo_epi8(uv[h], y));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(row + 4 * size_t{i} + 32 * h + 16),
                             _mm_unpackhi_epi8(uv[h], y));
        }
    }
    loops::packUyvy8(py, pu, pv, row, groups, i);
}

// Sixteen groups of U Y V Y at a time: a shuffle gathers each 128-bit lane's luma in its low
// half and its U and V in the high half, and moves of 64 bits put the halves in order.
KVCODEC_KERNEL_TARGET void unpackUyvy8Avx2(const uint8_t* row, uint8_t* py, uint8_t* pu,
                                           uint8_t* pv, uint32_t groups) {
    const __m256i split = _mm256_setr_epi8(1, 3, 5, 7, 9, 11, 13, 15, 0, 4, 8, 12, 2, 6, 10, 14, 1,
                                           3, 5, 7, 9, 11, 13, 15, 0, 4, 8, 12, 2, 6, 10, 14);
    const __m256i chroma = _mm256_setr_epi8(0, 1, 2, 3, 8, 9, 10, 11, 4, 5, 6, 7, 12, 13, 14, 15, 0,
                                            1, 2, 3, 8, 9, 10, 11, 4, 5, 6, 7, 12, 13, 14, 15);
    uint32_t i = 0;
    for (; i + 16 <= groups; i += 16) {
        const __m256i a = _mm256_shuffle_epi8(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 4 * i)), split);
        const __m256i b = _mm256_shuffle_epi8(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 4 * i + 32)), split);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(py + 2 * i),
                            _mm256_permute4x64_epi64(_mm256_unpacklo_epi64(a, b), 0xD8));
        // Four U and four V of each quarter of the groups, then eight U and eight V of each half.
        const __m256i uv = _mm256_shuffle_epi8(
            _mm256_permute4x64_epi64(_mm256_unpackhi_epi64(a, b), 0xD8), chroma);
        const __m256i planes = _mm256_permute4x64_epi64(uv, 0xD8);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(pu + i), _mm256_castsi256_si128(planes));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(pv + i), _mm256_extracti128_si256(planes, 1));
    }
    loops::unpackUyvy8(row, py, pu, pv, groups, i);
}

// Sixteen pixels at a time: each 16-byte block of the row gives each channel the bytes it
// holds of it.
KVCODEC_KERNEL_TARGET void unpackRgb8Avx2(const uint8_t* row, uint8_t* pg, uint8_t* prg,
                                          uint8_t* pbg, uint32_t w) {
    __m128i picks[3][3];
    loadRgbShuffles(kRgbShuffles.toChannels, picks);
    uint32_t x = 0;
    for (; x + 16 <= w; x += 16) {
        __m128i bytes[3];
        for (unsigned block = 0; block < 3; ++block) {
            bytes[block] =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 3 * size_t{x} + 16 * block));
        }
        __m128i channel[3];
        for (unsigned c = 0; c < 3; ++c) {
            channel[c] = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(bytes[0], picks[0][c]),
                                                   _mm_shuffle_epi8(bytes[1], picks[1][c])),
                                      _mm_shuffle_epi8(bytes[2], picks[2][c]));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(pg + x), channel[1]);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(prg + x), _mm_sub_epi8(channel[0], channel[1]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(pbg + x), _mm_sub_epi8(channel[2], channel[1]));
    }
    loops::unpackRgb8(row, pg, prg, pbg, w, x);
}

// Eight pixels at a time, one to a 32-bit lane.
KVCODEC_KERNEL_TARGET void unpackRgba8Avx2(const uint8_t* row, uint8_t* pg, uint8_t* prg,
                                           uint8_t* pbg, uint8_t* pa, uint32_t w) {
    const __m256i low = _mm256_set1_epi32(0xFF);
    uint32_t x = 0;
    // Eight lanes of values below 256 as the eight bytes they are.
    auto put = [](uint8_t* to, __m256i v) KVCODEC_TARGET_X86_AVX2 {
        const __m128i words =
            _mm_packus_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(to), _mm_packus_epi16(words, words));
    };
    for (; x + 8 <= w; x += 8) {
        const __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 4 * size_t{x}));
        const __m256i r = _mm256_and_si256(p, low);
        const __m256i g = _mm256_and_si256(_mm256_srli_epi32(p, 8), low);
        const __m256i b = _mm256_and_si256(_mm256_srli_epi32(p, 16), low);
        put(pg + x, g);
        put(prg + x, _mm256_and_si256(_mm256_sub_epi32(r, g), low));
        put(pbg + x, _mm256_and_si256(_mm256_sub_epi32(b, g), low));
        put(pa + x, _mm256_srli_epi32(p, 24));
    }
    loops::unpackRgba8(row, pg, prg, pbg, pa, w, x);
}

// Eight samples at a time, one to a 32-bit lane: each field's bit count from the exponent of
// the sample as a float, the fields joined in pairs in 64-bit lanes and the pairs in fours, so
// that the writer only takes each four's bits in one put, as the shared loop does.
KVCODEC_KERNEL_TARGET void putRawBitsAvx2(const uint16_t* z, size_t n, BitWriter& writer) {
    BitWriter out = writer;
    const __m256i literals = _mm256_set1_epi32(static_cast<int>(code::kLiteralTokens - 1));
    const __m256i bias = _mm256_set1_epi32(127 + 1);
    const __m256i one = _mm256_set1_epi32(1);
    const __m256i low = _mm256_set1_epi64x(0xFFFFFFFF);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        // Flat and quiet pictures have long runs without a raw bit, which cost only a look.
        while (i + 24 <= n &&
               _mm256_testz_si256(
                   _mm256_loadu_si256(reinterpret_cast<const __m256i*>(z + i)),
                   _mm256_set1_epi16(static_cast<short>(0x10000 - code::kLiteralTokens))) != 0) {
            i += 16;
        }
        const __m256i v =
            _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(z + i)));
        // log2(v) - 1 for an escaped sample, whose float is exact; a literal has no field.
        const __m256i exponent = _mm256_sub_epi32(
            _mm256_srli_epi32(_mm256_castps_si256(_mm256_cvtepi32_ps(v)), 23), bias);
        const __m256i bits = _mm256_and_si256(exponent, _mm256_cmpgt_epi32(v, literals));
        const __m256i field =
            _mm256_and_si256(v, _mm256_sub_epi32(_mm256_sllv_epi32(one, bits), one));
        // Sample 2k's field above sample 2k+1's, then pair 2k's above pair 2k+1's.
        const __m256i secondBits = _mm256_srli_epi64(bits, 32);
        const __m256i pairs =
            _mm256_or_si256(_mm256_sllv_epi64(_mm256_and_si256(field, low), secondBits),
                            _mm256_srli_epi64(field, 32));
        const __m256i pairBits = _mm256_add_epi64(_mm256_and_si256(bits, low), secondBits);
        const __m256i fours =
            _mm256_or_si256(_mm256_sllv_epi64(pairs, _mm256_unpackhi_epi64(pairBits, pairBits)),
                            _mm256_unpackhi_epi64(pairs, pairs));
        const __m256i fourBits =
            _mm256_add_epi64(pairBits, _mm256_unpackhi_epi64(pairBits, pairBits));
        alignas(32) uint64_t values[4], counts[4];
        _mm256_store_si256(reinterpret_cast<__m256i*>(values), fours);
        _mm256_store_si256(reinterpret_cast<__m256i*>(counts), fourBits);
        out.put(values[0], static_cast<unsigned>(counts[0]));
        out.put(values[2], static_cast<unsigned>(counts[2]));
    }
    writer = out;
    loops::putRawBits(z + i, n - i, writer);
}

KVCODEC_KERNEL_TARGET __m256i load(const uint16_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// Sixteen pixels at a time: R with G and B with A interleaved, then the pairs.
KVCODEC_KERNEL_TARGET void packRgba8Avx2(const uint8_t* pg, const uint8_t* prg, const uint8_t* pbg,
                                         const uint8_t* pa, uint8_t* row, uint32_t w) {
    uint32_t x = 0;
    for (; x + 16 <= w; x += 16) {
        const auto load = [x](const uint8_t* p) KVCODEC_KERNEL_TARGET {
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + x));
        };
        const __m128i g = load(pg);
        const __m128i r = _mm_add_epi8(load(prg), g);
        const __m128i b = _mm_add_epi8(load(pbg), g);
        const __m128i a = load(pa);
        const __m128i rg[2] = {_mm_unpacklo_epi8(r, g), _mm_unpackhi_epi8(r, g)};
        const __m128i ba[2] = {_mm_unpacklo_epi8(b, a), _mm_unpackhi_epi8(b, a)};
        for (unsigned h = 0; h < 2; ++h) {
            uint8_t* to = row + 4 * size_t{x} + 32 * h;
            _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_unpacklo_epi16(rg[h], ba[h]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 16), _mm_unpackhi_epi16(rg[h], ba[h]));
        }
    }
    loops::packRgba8(pg, prg, pbg, pa, row, w, x);
}

// Sixteen pixels at a time, eight to each half of the vectors: every channel's samples are
// picked from the row's blocks, shifted down to the coded bits, and green taken from the others.
template <unsigned N>
KVCODEC_KERNEL_TARGET void unpackRgb16Avx2(const uint8_t* row, uint16_t* const* planes, uint32_t w,
                                           unsigned depth) {
    __m256i picks[N][N];
    loadWideShuffles(kWideShuffles<N>.toChannels, picks);
    const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(16 - depth));
    const __m256i mask = _mm256_set1_epi16(static_cast<short>((1u << depth) - 1));
    uint32_t x = 0;
    for (; x + 16 <= w; x += 16) {
        const uint8_t* p = row + 2 * N * size_t{x};
        __m256i blocks[N];
        for (unsigned b = 0; b < N; ++b) {
            const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * b));
            const __m128i second =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * (N + b)));
            blocks[b] = _mm256_inserti128_si256(_mm256_castsi128_si256(first), second, 1);
        }
        __m256i channel[N];
        for (unsigned c = 0; c < N; ++c) {
            __m256i v = _mm256_shuffle_epi8(blocks[0], picks[0][c]);
            for (unsigned b = 1; b < N; ++b) {
                v = _mm256_or_si256(v, _mm256_shuffle_epi8(blocks[b], picks[b][c]));
            }
            channel[c] = _mm256_srl_epi16(v, shift);
        }
        const __m256i g = channel[1];
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(planes[0] + x), g);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(planes[1] + x),
                            _mm256_and_si256(_mm256_sub_epi16(channel[0], g), mask));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(planes[2] + x),
                            _mm256_and_si256(_mm256_sub_epi16(channel[2], g), mask));
        if constexpr (N == 4) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(planes[3] + x), channel[3]);
        }
    }
    loops::unpackRgb16(row, planes, w, N, depth, x);
}

// The way back: every channel's samples rebuilt and widened, then every block of the row picks
// its bytes from them.
template <unsigned N>
KVCODEC_KERNEL_TARGET void packRgb16Avx2(const uint16_t* const* planes, uint8_t* row, uint32_t w,
                                         unsigned depth) {
    __m256i picks[N][N];
    loadWideShuffles(kWideShuffles<N>.toRow, picks);
    const __m256i mask = _mm256_set1_epi16(static_cast<short>((1u << depth) - 1));
    const __m128i up = _mm_cvtsi32_si128(static_cast<int>(16 - depth));
    const __m128i down = _mm_cvtsi32_si128(static_cast<int>(2 * depth - 16));
    uint32_t x = 0;
    for (; x + 16 <= w; x += 16) {
        const __m256i g = load(planes[0] + x);
        __m256i channel[N];
        channel[0] = _mm256_add_epi16(load(planes[1] + x), g);
        channel[1] = g;
        channel[2] = _mm256_add_epi16(load(planes[2] + x), g);
        if constexpr (N == 4) {
            channel[3] = load(planes[3] + x);
        }
        for (unsigned c = 0; c < N; ++c) {
            const __m256i v = _mm256_and_si256(channel[c], mask);
            channel[c] = _mm256_or_si256(_mm256_sll_epi16(v, up), _mm256_srl_epi16(v, down));
        }
        uint8_t* p = row + 2 * N * size_t{x};
        for (unsigned b = 0; b < N; ++b) {
            __m256i v = _mm256_shuffle_epi8(channel[0], picks[b][0]);
            for (unsigned c = 1; c < N; ++c) {
                v = _mm256_or_si256(v, _mm256_shuffle_epi8(channel[c], picks[b][c]));
            }
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 16 * b), _mm256_castsi256_si128(v));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 16 * (N + b)),
                             _mm256_extracti128_si256(v, 1));
        }
    }
    loops::packRgb16(planes, row, w, N, depth, x);
}

KVCODEC_KERNEL_TARGET void unpackRgb16Avx2(const uint8_t* row, uint16_t* const* planes, uint32_t w,
                                           unsigned components, unsigned depth) {
    components == 4 ? unpackRgb16Avx2<4>(row, planes, w, depth)
                    : unpackRgb16Avx2<3>(row, planes, w, depth);
}

KVCODEC_KERNEL_TARGET void packRgb16Avx2(const uint16_t* const* planes, uint8_t* row, uint32_t w,
                                         unsigned components, unsigned depth) {
    components == 4 ? packRgb16Avx2<4>(planes, row, w, depth)
                    : packRgb16Avx2<3>(planes, row, w, depth);
}

// Sixteen samples at a time; x86 is little-endian, as the rows are.
KVCODEC_KERNEL_TARGET void narrowRow16Avx2(const uint8_t* row, uint16_t* out, uint32_t w,
                                           unsigned depth) {
    const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(16 - depth));
    uint32_t x = 0;
    for (; x + 16 <= w; x += 16) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 2 * size_t{x}));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), _mm256_srl_epi16(v, shift));
    }
    loops::narrowRow16(row, out, w, depth, x);
}

KVCODEC_KERNEL_TARGET void widenRow16Avx2(const uint16_t* in, uint8_t* row, uint32_t w,
                                          unsigned depth) {
    const __m256i mask = _mm256_set1_epi16(static_cast<short>((1u << depth) - 1));
    const __m128i up = _mm_cvtsi32_si128(static_cast<int>(16 - depth));
    const __m128i down = _mm_cvtsi32_si128(static_cast<int>(2 * depth - 16));
    uint32_t x = 0;
    for (; x + 16 <= w; x += 16) {
        const __m256i v =
            _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + x)), mask);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(row + 2 * size_t{x}),
                            _mm256_or_si256(_mm256_sll_epi16(v, up), _mm256_srl_epi16(v, down)));
    }
    loops::widenRow16(in, row, w, depth, x);
}

constexpr Kernels table() {
    Kernels k = genericKernels("x86-64 AVX2");
    k.analyse = analyseAvx2;
    k.analyse8 = analyse8Avx2;
    k.ransEncode = ransEncodeAvx2;
    k.contextRow = contextRowAvx2;
    k.ransDecodeRow = ransDecodeRowAvx2;
    k.ransDecodeRow8 = ransDecodeRow8Avx2;
    k.rebuild = rebuildAvx2;
    k.rebuild8 = rebuild8Avx2;
    k.putRawBits = putRawBitsAvx2;
    k.v1RebuildRow[0] = rebuildRowAvx2<false>;
    k.v1RebuildRow[1] = rebuildRowAvx2<true>;
    k.unpackRgb8 = unpackRgb8Avx2;
    k.unpackRgba8 = unpackRgba8Avx2;
    k.unpackUyvy8 = unpackUyvy8Avx2;
    k.packRgb8 = packRgb8Avx2;
    k.packRgba8 = packRgba8Avx2;
    k.packUyvy8 = packUyvy8Avx2;
    k.unpackRgb16 = unpackRgb16Avx2;
    k.packRgb16 = packRgb16Avx2;
    k.narrowRow16 = narrowRow16Avx2;
    k.widenRow16 = widenRow16Avx2;
    return k;
}

} // namespace
} // namespace x86

const Kernels* x86Avx2Kernels() {
    static constexpr Kernels table = x86::table();
    return &table;
}

} // namespace kvcodec
