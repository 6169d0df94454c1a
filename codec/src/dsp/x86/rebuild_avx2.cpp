// Rebuilding with AVX2, under either predictor. Every sample waits on the one to its left, so a
// row has no parallelism of its own; sixteen rows have. They run as a wavefront, row k sixteen
// lanes of a vector and k samples behind row 0: at step t lane k rebuilds column t - k, whose left
// neighbour is its own lane's previous result and whose top neighbour is the lane before's.
// The residuals come in, and the samples go out, through 16 x 16 transposes of rows shifted
// by their lane number. 8-bit samples run 32 rows at once as bytes.
#include "dsp/x86/target.h"

#include "dsp/coding_loops.h"
#include "dsp/x86/avx2_kernels.h"

namespace kvcodec::x86 {

namespace {

constexpr uint32_t kLanes = 16;

KVCODEC_AVX2_HELPER void transpose16(__m256i* r) {
    __m256i a[16];
    for (unsigned i = 0; i < 8; ++i) {
        a[2 * i] = _mm256_unpacklo_epi16(r[2 * i], r[2 * i + 1]);
        a[2 * i + 1] = _mm256_unpackhi_epi16(r[2 * i], r[2 * i + 1]);
    }
    __m256i b[16];
    for (unsigned i = 0; i < 4; ++i) {
        b[4 * i] = _mm256_unpacklo_epi32(a[4 * i], a[4 * i + 2]);
        b[4 * i + 1] = _mm256_unpackhi_epi32(a[4 * i], a[4 * i + 2]);
        b[4 * i + 2] = _mm256_unpacklo_epi32(a[4 * i + 1], a[4 * i + 3]);
        b[4 * i + 3] = _mm256_unpackhi_epi32(a[4 * i + 1], a[4 * i + 3]);
    }
    __m256i c[16];
    for (unsigned i = 0; i < 2; ++i) {
        for (unsigned j = 0; j < 4; ++j) {
            c[8 * i + 2 * j] = _mm256_unpacklo_epi64(b[8 * i + j], b[8 * i + 4 + j]);
            c[8 * i + 2 * j + 1] = _mm256_unpackhi_epi64(b[8 * i + j], b[8 * i + 4 + j]);
        }
    }
    // c[i] holds, per 128-bit half, column i of the rows 0-7 (first operand set) or 8-15.
    for (unsigned i = 0; i < 8; ++i) {
        r[i] = _mm256_permute2x128_si256(c[i], c[8 + i], 0x20);
        r[8 + i] = _mm256_permute2x128_si256(c[i], c[8 + i], 0x31);
    }
}

KVCODEC_AVX2_HELPER __m256i load16(const uint16_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// 32 rows of 32 bytes into 32 columns: each 128-bit half transposes its 16 x 16 bytes of rows
// 0-15 and of rows 16-31, and the halves are then joined.
KVCODEC_AVX2_HELPER void transpose32(__m256i* r) {
    const auto inHalves = [](__m256i* x) KVCODEC_TARGET_X86_AVX2 {
        __m256i a[16], b[16], c[16];
        for (unsigned i = 0; i < 8; ++i) {
            a[i] = _mm256_unpacklo_epi8(x[2 * i], x[2 * i + 1]);
            a[i + 8] = _mm256_unpackhi_epi8(x[2 * i], x[2 * i + 1]);
        }
        for (unsigned h = 0; h < 2; ++h) {
            for (unsigned i = 0; i < 4; ++i) {
                b[8 * h + i] = _mm256_unpacklo_epi16(a[8 * h + 2 * i], a[8 * h + 2 * i + 1]);
                b[8 * h + i + 4] = _mm256_unpackhi_epi16(a[8 * h + 2 * i], a[8 * h + 2 * i + 1]);
            }
        }
        // b[4g + j]: rows 4j to 4j + 3 of columns 4g to 4g + 3.
        for (unsigned g = 0; g < 4; ++g) {
            for (unsigned i = 0; i < 2; ++i) {
                c[4 * g + i] = _mm256_unpacklo_epi32(b[4 * g + 2 * i], b[4 * g + 2 * i + 1]);
                c[4 * g + i + 2] = _mm256_unpackhi_epi32(b[4 * g + 2 * i], b[4 * g + 2 * i + 1]);
            }
        }
        // c[4g + 2p + i]: rows 8i to 8i + 7 of columns 4g + 2p and 4g + 2p + 1.
        for (unsigned g = 0; g < 4; ++g) {
            for (unsigned p = 0; p < 2; ++p) {
                x[4 * g + 2 * p] = _mm256_unpacklo_epi64(c[4 * g + 2 * p], c[4 * g + 2 * p + 1]);
                x[4 * g + 2 * p + 1] =
                    _mm256_unpackhi_epi64(c[4 * g + 2 * p], c[4 * g + 2 * p + 1]);
            }
        }
    };
    inHalves(r);
    inHalves(r + 16);
    __m256i out[32];
    for (unsigned i = 0; i < 16; ++i) {
        out[i] = _mm256_permute2x128_si256(r[i], r[16 + i], 0x20);
        out[16 + i] = _mm256_permute2x128_si256(r[i], r[16 + i], 0x31);
    }
    std::copy(out, out + 32, r);
}

// 8-bit samples: 32 rows of residuals (bytes) from z, w apart, into the byte rows of the band,
// `stride` apart with room for 32 bytes before and 64 after each row; `above` is the row above
// the band as bytes with the same room. Every value fits a byte and the median never leaves it
// (taken as lo + hi less clamp(topLeft, lo, hi), it wraps back), so a vector holds 32 rows and
// no step masks. With Mirror, residuals below a top-left above them were coded negated (the
// first column's top-left is its top, so its residual never is).
template <code::Predictor P, bool Mirror>
KVCODEC_AVX2_HELPER void rebuildBand8(const uint8_t* above, const uint8_t* z, uint8_t* band,
                                      uint32_t w, uint32_t stride) {
    const __m256i one = _mm256_set1_epi8(1);
    const __m256i low7 = _mm256_set1_epi8(0x7F);
    const __m256i lane =
        _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20,
                         21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31);
    __m256i prev = _mm256_setzero_si256();
    __m256i topLeft = _mm256_setzero_si256();
    const uint32_t steps = w + 31;
    for (uint32_t t0 = 0; t0 < steps; t0 += 32) {
        __m256i r[32];
        for (unsigned k = 0; k < 32; ++k) {
            r[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(z + size_t{k} * w + t0 - k));
        }
        transpose32(r);
        for (unsigned j = 0; j < 32; ++j) {
            const uint32_t t = t0 + j;
            const __m256i zz = r[j];
            const __m256i residual = _mm256_xor_si256(
                _mm256_and_si256(_mm256_srli_epi16(zz, 1), low7),
                _mm256_sub_epi8(_mm256_setzero_si256(), _mm256_and_si256(zz, one)));
            // Lane 0's top is the byte above, the last of 32 loaded; every other lane's is the
            // lane before's previous result.
            const __m256i aboveRun =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(above + ptrdiff_t{t} - 31));
            const __m256i top =
                _mm256_alignr_epi8(prev, _mm256_permute2x128_si256(aboveRun, prev, 0x21), 15);
            const __m256i steered = Mirror ? mirrorBytes(residual, top, topLeft) : residual;
            __m256i sample = _mm256_add_epi8(predictBytes<P>(prev, top, topLeft), steered);
            if (t < 32) {
                // Lane t is at its row's first column, which predicts from the top.
                sample = _mm256_blendv_epi8(
                    sample, _mm256_add_epi8(top, residual),
                    _mm256_cmpeq_epi8(lane, _mm256_set1_epi8(static_cast<char>(t))));
            }
            topLeft = top;
            prev = sample;
            r[j] = sample;
        }
        transpose32(r);
        for (unsigned k = 0; k < 32; ++k) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(band + size_t{k} * stride + t0 - k),
                                r[k]);
        }
    }
}

// Sixteen rows of residuals starting at z, w apart, into the scratch band's rows, `stride`
// apart with room for 16 samples before and 32 after each row. `above` is the row above the
// band with 16 samples of room before it and 32 after. Mirror as for bytes.
template <code::Predictor P, bool Mirror>
KVCODEC_AVX2_HELPER void rebuildBand(const uint16_t* above, const uint16_t* z, uint16_t* band,
                                     uint32_t w, uint32_t stride, unsigned depth) {
    const __m256i mask = _mm256_set1_epi16(static_cast<short>((1u << depth) - 1));
    const __m256i one = _mm256_set1_epi16(1);
    const __m256i lane = _mm256_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    __m256i prev = _mm256_setzero_si256();
    // A step's top-left neighbours are the previous step's top ones.
    __m256i topLeft = _mm256_setzero_si256();
    const uint32_t steps = w + kLanes - 1;
    for (uint32_t t0 = 0; t0 < steps; t0 += kLanes) {
        // The residuals of steps t0 .. t0 + 15: row k from column t0 - k on, transposed.
        __m256i r[16];
        for (unsigned k = 0; k < kLanes; ++k) {
            r[k] = load16(z + size_t{k} * w + t0 - k);
        }
        transpose16(r);
        for (unsigned j = 0; j < kLanes; ++j) {
            const uint32_t t = t0 + j;
            // Every lane's top is the lane before's previous result; lane 0's is the sample
            // above, the last of sixteen loaded so that one permutation moves it in.
            const __m256i aboveRun = load16(above + ptrdiff_t{t} - 15);
            const __m256i top =
                _mm256_alignr_epi8(prev, _mm256_permute2x128_si256(aboveRun, prev, 0x21), 14);
            const __m256i zz = r[j];
            const __m256i residual = _mm256_xor_si256(
                _mm256_srli_epi16(zz, 1),
                _mm256_sub_epi16(_mm256_setzero_si256(), _mm256_and_si256(zz, one)));
            const __m256i steered = Mirror ? mirrorWords(residual, top, topLeft) : residual;
            __m256i sample = _mm256_add_epi16(predictWords<P>(prev, top, topLeft), steered);
            if (t < kLanes) {
                // Lane t is at its row's first column, which predicts from the top.
                sample = _mm256_blendv_epi8(
                    sample, _mm256_add_epi16(top, residual),
                    _mm256_cmpeq_epi16(lane, _mm256_set1_epi16(static_cast<short>(t))));
            }
            topLeft = top;
            prev = _mm256_and_si256(sample, mask);
            r[j] = prev;
        }
        // Back to rows: row k gets columns t0 - k .. t0 - k + 15.
        transpose16(r);
        for (unsigned k = 0; k < kLanes; ++k) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(band + size_t{k} * stride + t0 - k),
                                r[k]);
        }
    }
}

} // namespace

// Bands of whole vectors of rows. The last band, when fewer rows are left, starts early over
// rows already done: rebuilt again from the same row above and residuals they come out the same,
// and a vector's band costs less than the scalar loop's few rows (a slice of 136 rows left 8 of
// them to it, a third of the time rebuilding took).
KVCODEC_TARGET_X86_AVX2 void rebuildAvx2(const uint16_t* above, const uint16_t* z, uint16_t* out,
                                         uint32_t w, uint32_t rows, unsigned depth,
                                         code::Predictor predictor, bool mirror,
                                         uint16_t* scratch) {
    using Band =
        void (*)(const uint16_t*, const uint16_t*, uint16_t*, uint32_t, uint32_t, unsigned);
    const Band rebuildRows = loops::withPredictor(predictor, [&](auto p) -> Band {
        return mirror ? rebuildBand<p(), true> : rebuildBand<p(), false>;
    });
    uint32_t y = 0;
    const auto rowAbove = [&](uint32_t from) {
        return from == 0 ? above : out + size_t{from - 1} * w;
    };
    if (w >= kLanes && rows >= kLanes) {
        // The row above each band, then the band, each row with room on both sides.
        const uint32_t stride = w + 3 * kLanes;
        uint16_t* top = scratch + kLanes;
        uint16_t* band = top + stride;
        std::fill(scratch, top, uint16_t{0});
        std::fill(top + w, top + w + 2 * kLanes, uint16_t{0});
        while (y < rows) {
            const uint32_t from = std::min(y, rows - kLanes);
            // The residual rows are read from 15 samples before each row to 30 past it, which
            // stays inside the rows given (or the row before an early band) and the slack after
            // them that the caller keeps.
            std::copy(rowAbove(from), rowAbove(from) + w, top);
            rebuildRows(top, z + size_t{from} * w, band, w, stride, depth);
            for (unsigned k = y - from; k < kLanes; ++k) {
                std::copy(band + size_t{k} * stride, band + size_t{k} * stride + w,
                          out + size_t{from + k} * w);
            }
            y = from + kLanes;
        }
    }
    loops::rebuild(rowAbove(y), z + size_t{y} * w, out + size_t{y} * w, w, rows - y, depth,
                   predictor, mirror);
}

KVCODEC_TARGET_X86_AVX2 void rebuild8Avx2(const uint8_t* above, const uint8_t* z, uint8_t* out,
                                          uint32_t w, uint32_t rows, code::Predictor predictor,
                                          bool mirror, uint16_t* scratch) {
    using Band = void (*)(const uint8_t*, const uint8_t*, uint8_t*, uint32_t, uint32_t);
    const Band rebuildRows = loops::withPredictor(predictor, [&](auto p) -> Band {
        return mirror ? rebuildBand8<p(), true> : rebuildBand8<p(), false>;
    });
    uint32_t y = 0;
    const auto rowAbove = [&](uint32_t from) {
        return from == 0 ? above : out + size_t{from - 1} * w;
    };
    if (w >= 32 && rows >= 32) {
        // The row above each band, then the band, each row with room on both sides.
        const uint32_t stride = w + 96;
        uint8_t* top = reinterpret_cast<uint8_t*>(scratch) + 32;
        uint8_t* band = top + stride;
        std::fill(top - 32, top, uint8_t{0});
        std::fill(top + w, top + w + 64, uint8_t{0});
        while (y < rows) {
            const uint32_t from = std::min(y, rows - 32);
            std::copy(rowAbove(from), rowAbove(from) + w, top);
            rebuildRows(top, z + size_t{from} * w, band, w, stride);
            for (unsigned k = y - from; k < 32; ++k) {
                std::copy(band + size_t{k} * stride, band + size_t{k} * stride + w,
                          out + size_t{from + k} * w);
            }
            y = from + 32;
        }
    }
    loops::rebuild(rowAbove(y), z + size_t{y} * w, out + size_t{y} * w, w, rows - y, 8u, predictor,
                   mirror);
}

} // namespace kvcodec::x86
