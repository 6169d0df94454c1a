#include "plane_coder.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "bitio.h"
#include "cpu.h"
#include "formats.h"
#include "korvadin_codec.h"

namespace kvcodec {

namespace {

enum class Predictor : uint8_t { Gradient = 1 };

// Each residual falls in one of four activity classes by size; a sample is coded with the table
// of its context, the sum of the classes of the residuals to its left and above. Busy and flat
// areas have very different residuals, and the decoder knows both neighbours' classes before
// it reads the sample.
constexpr unsigned kContexts = 7;

inline unsigned activityClass(uint32_t z, unsigned shift) {
    const uint32_t v = std::min<uint32_t>(z, 255) >> shift;
    return (v > 0) + (v > 2) + (v > 6);
}

inline uint32_t unzigzag(uint32_t z) {
    return (z >> 1) ^ (0u - (z & 1));
}

// A decoding table entry: the code length in bits 0-3, the token in bits 4-12 and the token's
// activity class in bits 14-15. The decoder keeps each sample's class in the same two top bits
// beside it (coded samples have at most 14 bits): first beside the residual (at depth 8 the
// entry as it stands, deeper the residual's zigzag value), then beside the rebuilt sample. One
// load of the row above thus gives the class a context needs, and an entry's class is the next
// sample's left context as it stands.
constexpr unsigned kTokenShift = 4;
constexpr uint32_t kTokenBits = 511;
constexpr unsigned kClassShift = 14;
constexpr uint32_t kClassBits = 3u << kClassShift;
constexpr uint32_t kValueBits = (1u << kClassShift) - 1;
constexpr unsigned kMaxCodedDepth = 14;
// A table no token uses decodes as token 0 of class 0 with no bits, which keeps the loops
// simple; a segment whose samples reach one is refused once they are decoded.
constexpr uint16_t kUnusedEntry = 0;

uint16_t entryFor(unsigned token, unsigned depth) {
    return static_cast<uint16_t>((activityClass(token, depth - 8) << kClassShift) |
                                 (token << kTokenShift));
}

// The zigzag value of a residual as the decoder keeps it beside its class.
template <bool Deep>
KVCODEC_INLINE uint32_t keptZigzag(uint32_t word) {
    return Deep ? word & kValueBits : (word >> kTokenShift) & 255;
}

// Residuals in scan order, predicted by the gradient left + top - top-left modulo 2^depth. The
// first row sees a row of mid-grey above it, which makes its prediction the left neighbour and
// its first one mid-grey; the first column predicts from above. On photographs this predicts
// better than the median of left, top and gradient, and unlike the median it decodes without
// a chain of comparisons.
KVCODEC_INLINE void gradientResiduals(const uint16_t* s, uint32_t w, uint32_t rows, unsigned depth,
                                      uint16_t* z) {
    const uint16_t mask = static_cast<uint16_t>((1u << depth) - 1);
    const unsigned signShift = depth - 1;
    auto zigzag = [&](uint16_t r) -> uint16_t {
        const uint16_t sign = static_cast<uint16_t>(0u - ((r >> signShift) & 1u));
        return static_cast<uint16_t>(((r << 1) ^ sign) & mask);
    };
    uint16_t prev = static_cast<uint16_t>(1u << (depth - 1));
    for (uint32_t x = 0; x < w; ++x) {
        z[x] = zigzag(static_cast<uint16_t>((s[x] - prev) & mask));
        prev = s[x];
    }
    for (uint32_t y = 1; y < rows; ++y) {
        const uint16_t* cur = s + size_t{y} * w;
        const uint16_t* top = cur - w;
        uint16_t* out = z + size_t{y} * w;
        out[0] = zigzag(static_cast<uint16_t>((cur[0] - top[0]) & mask));
        for (uint32_t x = 1; x < w; ++x) {
            const uint16_t pred = static_cast<uint16_t>(cur[x - 1] + top[x] - top[x - 1]);
            out[x] = zigzag(static_cast<uint16_t>((cur[x] - pred) & mask));
        }
    }
}

// The context of every sample from its neighbours' residual classes.
KVCODEC_INLINE void contexts(const uint16_t* z, uint32_t w, uint32_t rows, unsigned shift,
                             uint8_t* cls, uint8_t* ctx) {
    const size_t n = size_t{w} * rows;
    for (size_t i = 0; i < n; ++i) {
        const uint16_t v = static_cast<uint16_t>(std::min<uint16_t>(z[i], 255) >> shift);
        cls[i] = static_cast<uint8_t>((v > 0) + (v > 2) + (v > 6));
    }
    // The first row sees a row of class 0 above it.
    ctx[0] = 0;
    for (uint32_t x = 1; x < w; ++x) {
        ctx[x] = cls[x - 1];
    }
    for (uint32_t y = 1; y < rows; ++y) {
        const uint8_t* cc = cls + size_t{y} * w;
        const uint8_t* ct = cc - w;
        uint8_t* out = ctx + size_t{y} * w;
        out[0] = static_cast<uint8_t>(2 * ct[0]);
        for (uint32_t x = 1; x < w; ++x) {
            out[x] = static_cast<uint8_t>(cc[x - 1] + ct[x]);
        }
    }
}

// Token counts per context, even rows and odd rows apart: they go to separate code streams.
// Even and odd samples use separate counters too, so that runs of one token do not wait on
// their own increments.
template <bool Deep>
KVCODEC_INLINE void countTokens(const uint16_t* z, const uint8_t* ctx, uint32_t w, uint32_t rows,
                                unsigned depthAlphabet, uint32_t* counts) {
    // At depth 8 the stride is a constant, which saves a multiplication per sample.
    const unsigned alphabet = Deep ? depthAlphabet : kLiteralTokens;
    constexpr size_t set = kContexts * kMaxAlphabet;
    std::memset(counts, 0, sizeof(uint32_t) * 4 * set);
    auto token = [](uint32_t v) {
        uint32_t extra;
        unsigned extraBits;
        return Deep ? tokenOf(v, &extra, &extraBits) : v;
    };
    for (uint32_t y = 0; y < rows; ++y) {
        uint32_t* even = counts + (y & 1) * set;
        uint32_t* odd = counts + (2 + (y & 1)) * set;
        const uint16_t* zr = z + size_t{y} * w;
        const uint8_t* cr = ctx + size_t{y} * w;
        uint32_t x = 0;
        for (; x + 1 < w; x += 2) {
            ++even[cr[x] * alphabet + token(zr[x])];
            ++odd[cr[x + 1] * alphabet + token(zr[x + 1])];
        }
        if (x < w) {
            ++even[cr[x] * alphabet + token(zr[x])];
        }
    }
    for (size_t k = 0; k < 2 * set; ++k) {
        counts[k] += counts[2 * set + k];
    }
}

KVCODEC_INLINE size_t writeStored(const uint16_t* s, size_t n, unsigned depth, uint8_t* out) {
    out[0] = static_cast<uint8_t>(SegmentMode::Stored);
    out[1] = out[2] = out[3] = 0;
    BitWriter bw(out + kSegmentHeaderBytes);
    for (size_t i = 0; i < n; ++i) {
        bw.put(s[i], depth);
    }
    const size_t payload = bw.finish();
    storeLe32(out + 4, static_cast<uint32_t>(payload));
    return kSegmentHeaderBytes + payload;
}

// The codes of rows firstRow, firstRow + 2, firstRow + 4, ...
template <bool Deep>
KVCODEC_INLINE void writeCodes(const uint16_t* z, const uint8_t* ctx, uint32_t w, uint32_t rows,
                               uint32_t firstRow, unsigned depthAlphabet, const Code* codes,
                               BitWriter& bw) {
    const unsigned alphabet = Deep ? depthAlphabet : kLiteralTokens;
    for (uint32_t y = firstRow; y < rows; y += 2) {
        const uint16_t* zr = z + size_t{y} * w;
        const uint8_t* cr = ctx + size_t{y} * w;
        uint32_t x = 0;
        if constexpr (Deep) {
            for (; x < w; ++x) {
                uint32_t extra;
                unsigned extraBits;
                const unsigned t = tokenOf(zr[x], &extra, &extraBits);
                const Code c = codes[cr[x] * alphabet + t];
                bw.put((uint32_t{c.bits} << extraBits) | extra, c.length + extraBits);
            }
        } else {
            // Two codes of at most 11 bits fit one write.
            for (; x + 1 < w; x += 2) {
                const Code a = codes[cr[x] * alphabet + zr[x]];
                const Code b = codes[cr[x + 1] * alphabet + zr[x + 1]];
                bw.put((uint32_t{a.bits} << b.length) | b.bits, a.length + b.length);
            }
            if (x < w) {
                const Code a = codes[cr[x] * alphabet + zr[x]];
                bw.put(a.bits, a.length);
            }
        }
    }
}

// Rebuilds a row from its residuals, keeping the classes: with the gradient, a sample minus the
// one above it is the running sum of the row's residuals.
template <bool Deep>
KVCODEC_INLINE void rebuildRowPortable(const uint16_t* above, const uint16_t* residuals,
                                       uint16_t* out, uint32_t w, uint32_t mask) {
    uint32_t sum = 0;
    for (uint32_t x = 0; x < w; ++x) {
        sum += unzigzag(keptZigzag<Deep>(residuals[x]));
        out[x] = static_cast<uint16_t>(((above[x] + sum) & mask) | (residuals[x] & kClassBits));
    }
}

#if KVCODEC_HAVE_X86V3
// The same sixteen samples at a time: a running sum within each half by three shifted adds,
// the low half's total added to the high half, and the total so far to both. Called once a row,
// so it need not be inlined, which the intrinsics would not allow into the shared templates.
template <bool Deep>
KVCODEC_TARGET_X86V3 void rebuildRowX86V3(const uint16_t* above, const uint16_t* residuals,
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
    // The rest goes on from the running sum so far.
    uint32_t sum = static_cast<uint16_t>(_mm256_extract_epi16(carry, 0));
    for (; x < w; ++x) {
        sum += unzigzag(keptZigzag<Deep>(residuals[x]));
        out[x] = static_cast<uint16_t>(((above[x] + sum) & mask) | (residuals[x] & kClassBits));
    }
}
#endif

// Rows of the decoder's window lie this many samples apart, so that the decoding loops reach
// the row above and the row below from one pointer by constant offsets and keep their state in
// registers.
constexpr size_t kWindowStride = kMaxSide + 64;

// Decodes the residuals of one plane of a slice. Even and odd rows come from two code streams,
// decoded in step (the odd row one sample behind the even row above it), so that the two
// chains of dependent table look-ups overlap. The tables of all contexts lie one after another
// and the context picks one by an index shift. The residuals of rows a and b go to window rows
// 1 and 2, below row 0, which holds the samples above them.
template <bool Deep>
class PlaneDecoder {
public:
    explicit PlaneDecoder(const DecodeTable* tables) : m_entries(tables[0].entry) {}

    // Rows a (from s0) and b (from s1), or a alone.
    KVCODEC_INLINE void rows(BitReader& s0, BitReader& s1, uint16_t* window, uint32_t w,
                             bool both) {
        // Longest code plus raw bits of one residual, in whole bytes, for a whole row ahead, and
        // what one refill loads beyond the bytes it moves past.
        const ptrdiff_t worst = ptrdiff_t{w} * (Deep ? 4 : 2) + 16;
        const bool fast = s0.room() >= worst && (!both || s1.room() >= worst);
        uint16_t* a = window + kWindowStride;
        if (!both) {
            fast ? single<true>(s0, a, w) : single<false>(s0, a, w);
        } else {
            fast ? twin<true>(s0, s1, a, w) : twin<false>(s0, s1, a, w);
        }
    }

private:
    static constexpr ptrdiff_t kUp = -static_cast<ptrdiff_t>(kWindowStride);
    static constexpr ptrdiff_t kDown = static_cast<ptrdiff_t>(kWindowStride);

    template <bool Fast>
    KVCODEC_INLINE static void refill(BitReader& br) {
        if constexpr (Fast) {
            br.refillFast();
        } else {
            br.refill();
        }
    }

    // The residual below `above`, as its zigzag value with its class on top; `left` is the
    // class to its left, in place, and becomes its own.
    KVCODEC_INLINE uint32_t residual(BitReader& br, uint32_t& left, uint32_t above) {
        const uint32_t ctx = (left + (above & kClassBits)) >> (kClassShift - kMaxCodeLength);
        const uint32_t e = m_entries[ctx | br.peek(kMaxCodeLength)];
        br.skip(e & 15);
        left = e & kClassBits;
        if constexpr (Deep) {
            uint32_t z = (e >> kTokenShift) & kTokenBits;
            if (z >= kLiteralTokens) [[unlikely]] {
                z = tokenBase(z) | br.read(tokenExtraBits(z));
            }
            return z | left;
        } else {
            return e;
        }
    }

    // In the first column the left class is taken to be the top class. A full buffer holds two
    // residuals of any depth (at most 2 x 25 bits), so the fast loops refill once per two
    // samples of a stream. The loops walk a pointer, which reaches all three rows by constant
    // offsets.
    template <bool Fast>
    KVCODEC_INLINE void single(BitReader& s0, uint16_t* a, uint32_t w) {
        uint32_t left = a[kUp] & kClassBits;
        uint16_t* p = a;
        uint16_t* const end = a + w;
        if constexpr (Fast) {
            for (; p + 1 < end; p += 2) {
                s0.refillFast();
                p[0] = static_cast<uint16_t>(residual(s0, left, p[kUp]));
                p[1] = static_cast<uint16_t>(residual(s0, left, p[1 + kUp]));
            }
        }
        for (; p < end; ++p) {
            refill<Fast>(s0);
            p[0] = static_cast<uint16_t>(residual(s0, left, p[kUp]));
        }
    }

    // Row b needs the class of row a above it, which the step before has just found.
    template <bool Fast>
    KVCODEC_INLINE void twin(BitReader& s0, BitReader& s1, uint16_t* a, uint32_t w) {
        uint32_t leftA = a[kUp] & kClassBits;
        refill<Fast>(s0);
        a[0] = static_cast<uint16_t>(residual(s0, leftA, a[kUp]));
        uint32_t leftB = a[0] & kClassBits;
        uint16_t* p = a + 1;
        uint16_t* const end = a + w;
        if constexpr (Fast) {
            for (; p + 1 < end; p += 2) {
                s0.refillFast();
                s1.refillFast();
                p[0] = static_cast<uint16_t>(residual(s0, leftA, p[kUp]));
                p[kDown - 1] = static_cast<uint16_t>(residual(s1, leftB, p[-1]));
                p[1] = static_cast<uint16_t>(residual(s0, leftA, p[1 + kUp]));
                p[kDown] = static_cast<uint16_t>(residual(s1, leftB, p[0]));
            }
        }
        for (; p < end; ++p) {
            refill<Fast>(s0);
            p[0] = static_cast<uint16_t>(residual(s0, leftA, p[kUp]));
            refill<Fast>(s1);
            p[kDown - 1] = static_cast<uint16_t>(residual(s1, leftB, p[-1]));
        }
        refill<Fast>(s1);
        p[kDown - 1] = static_cast<uint16_t>(residual(s1, leftB, p[-1]));
    }

    const uint16_t* m_entries;
};

// The rows in their own functions, one per instruction set: the register allocator then sees
// only the loop's own state.
template <bool Deep>
KVCODEC_INLINE void decodeRowsImpl(BitReader& s0, BitReader& s1, const DecodeTable* tables,
                                   uint16_t* window, uint32_t w, bool both) {
    BitReader r0 = s0;
    BitReader r1 = s1;
    PlaneDecoder<Deep>(tables).rows(r0, r1, window, w, both);
    s0 = r0;
    s1 = r1;
}

template <bool Deep>
[[gnu::noinline]] void decodeRowsPortable(BitReader& s0, BitReader& s1, const DecodeTable* tables,
                                          uint16_t* window, uint32_t w, bool both) {
    decodeRowsImpl<Deep>(s0, s1, tables, window, w, both);
}

#if KVCODEC_HAVE_X86V3
template <bool Deep>
[[gnu::noinline]] KVCODEC_TARGET_X86V3 void
decodeRowsX86V3(BitReader& s0, BitReader& s1, const DecodeTable* tables, uint16_t* window,
                uint32_t w, bool both) {
    decodeRowsImpl<Deep>(s0, s1, tables, window, w, both);
}
#endif

// Leaves each sample's class in its top two bits (see kClassShift).
template <Isa I, bool Deep>
KVCODEC_INLINE void decodePlane(BitReader* streams, const DecodeTable* tables, uint32_t w,
                                uint32_t rows, unsigned depth, uint16_t* samples,
                                PlaneScratch& scratch) {
    BitReader& s0 = streams[0];
    BitReader& s1 = streams[1];
    const uint32_t mask = (1u << depth) - 1;
    auto decodeRows = [&](uint16_t* window, bool both) {
#if KVCODEC_HAVE_X86V3
        if constexpr (I == Isa::X86V3) {
            decodeRowsX86V3<Deep>(s0, s1, tables, window, w, both);
            return;
        }
#endif
        decodeRowsPortable<Deep>(s0, s1, tables, window, w, both);
    };
    auto rebuild = [&](const uint16_t* above, const uint16_t* residuals, uint16_t* out) {
#if KVCODEC_HAVE_X86V3
        if constexpr (I == Isa::X86V3) {
            rebuildRowX86V3<Deep>(above, residuals, out, w, mask);
            return;
        }
#endif
        rebuildRowPortable<Deep>(above, residuals, out, w, mask);
    };
    // The first row predicts from a row of mid-grey samples of class 0 above it, which makes
    // the gradient the left neighbour and the first prediction mid-grey.
    uint16_t* window = scratch.window.data();
    std::fill(window, window + w, static_cast<uint16_t>(1u << (depth - 1)));
    for (uint32_t y = 0; y < rows; y += 2) {
        uint16_t* a = samples + size_t{y} * w;
        const bool both = y + 1 < rows;
        decodeRows(window, both);
        rebuild(window, window + kWindowStride, a);
        const uint16_t* last = a;
        if (both) {
            rebuild(a, window + 2 * kWindowStride, a + w);
            last = a + w;
        }
        std::copy(last, last + w, window);
        if (s0.overrun() || s1.overrun()) {
            break;
        }
    }
}

// Whether some sample of a decoded plane has a context whose table no token uses.
bool reachesUnusedTable(const uint16_t* samples, uint32_t w, uint32_t rows, unsigned unused) {
    uint32_t hits = 0;
    // The row above the first has class 0 throughout.
    const uint16_t* top = nullptr;
    for (uint32_t y = 0; y < rows; ++y) {
        const uint16_t* row = samples + size_t{y} * w;
        uint32_t left = top != nullptr ? top[0] >> kClassShift : 0;
        for (uint32_t x = 0; x < w; ++x) {
            const uint32_t t = top != nullptr ? top[x] >> kClassShift : 0;
            hits |= unused >> (left + t);
            left = row[x] >> kClassShift;
        }
        top = row;
    }
    return (hits & 1) != 0;
}

// A valid stream ends within its last byte, padded with zeros.
KVCODEC_INLINE bool endsCleanly(BitReader& br, uint64_t bytes) {
    const uint64_t bitsLeft = bytes * 8 - br.consumed();
    return bitsLeft < 8 && (bitsLeft == 0 || br.peek(static_cast<unsigned>(bitsLeft)) == 0);
}

KVCODEC_INLINE size_t encodeSegmentImpl(const uint16_t* samples, uint32_t width, uint32_t rows,
                                        unsigned depth, uint8_t* out, PlaneScratch& scratch) {
    const size_t n = size_t{width} * rows;
    const unsigned alphabet = alphabetSize(depth);
    const bool deep = depth > 8;
    uint16_t* z = scratch.residual.data();
    uint8_t* ctx = scratch.context.data();
    uint32_t* counts = scratch.counts.data();
    Code* codes = scratch.codes.data();
    gradientResiduals(samples, width, rows, depth, z);
    contexts(z, width, rows, depth - 8, scratch.classes.data(), ctx);
    deep ? countTokens<true>(z, ctx, width, rows, alphabet, counts)
         : countTokens<false>(z, ctx, width, rows, alphabet, counts);

    // The exact size of both streams is known before writing, so the stored fallback costs
    // nothing and the odd rows' stream can be written in its final place at once.
    uint8_t lengths[kContexts][kMaxAlphabet];
    uint64_t bits[2] = {0, 0};
    const uint32_t* odd = counts + kContexts * kMaxAlphabet;
    for (unsigned c = 0; c < kContexts; ++c) {
        uint32_t total[kMaxAlphabet];
        for (unsigned t = 0; t < alphabet; ++t) {
            total[t] = counts[c * alphabet + t] + odd[c * alphabet + t];
        }
        buildLengths(total, alphabet, lengths[c]);
        assignCodes(lengths[c], alphabet, codes + c * alphabet);
        bits[0] += tableBits(lengths[c], alphabet);
        for (unsigned t = 0; t < alphabet; ++t) {
            const unsigned cost = codes[c * alphabet + t].length + tokenExtraBits(t);
            bits[0] += uint64_t{counts[c * alphabet + t]} * cost;
            bits[1] += uint64_t{odd[c * alphabet + t]} * cost;
        }
    }
    const uint64_t firstBytes = (bits[0] + 7) / 8;
    const uint64_t payload = 4 + firstBytes + (bits[1] + 7) / 8;
    if (payload >= storedBytes(n, depth)) {
        return writeStored(samples, n, depth, out);
    }

    out[0] = static_cast<uint8_t>(SegmentMode::Coded);
    out[1] = static_cast<uint8_t>(Predictor::Gradient);
    out[2] = kContexts;
    out[3] = 0;
    storeLe32(out + 4, static_cast<uint32_t>(payload));
    uint8_t* first = out + kSegmentHeaderBytes + 4;
    storeLe32(first - 4, static_cast<uint32_t>(firstBytes));
    // One stream after the other: the writer's stores past its end land in the second stream's
    // place before that is written.
    for (unsigned parity = 0; parity < 2; ++parity) {
        BitWriter bw(parity == 0 ? first : first + firstBytes);
        if (parity == 0) {
            for (unsigned c = 0; c < kContexts; ++c) {
                writeTable(lengths[c], alphabet, bw);
            }
        }
        deep ? writeCodes<true>(z, ctx, width, rows, parity, alphabet, codes, bw)
             : writeCodes<false>(z, ctx, width, rows, parity, alphabet, codes, bw);
        bw.finish();
    }
    return kSegmentHeaderBytes + payload;
}

template <Isa I>
KVCODEC_INLINE int32_t decodeSegmentImpl(const uint8_t* in, size_t size, size_t readable,
                                         uint32_t width, uint32_t rows, unsigned depth,
                                         uint16_t* samples, size_t* used, PlaneScratch& scratch) {
    if (size < kSegmentHeaderBytes) {
        return KORVADIN_E_TRUNCATED;
    }
    const uint64_t payloadSize = loadLe32(in + 4);
    if (payloadSize > size - kSegmentHeaderBytes) {
        return KORVADIN_E_TRUNCATED;
    }
    if (in[3] != 0) {
        return KORVADIN_E_CORRUPT;
    }
    *used = kSegmentHeaderBytes + payloadSize;
    const uint8_t* payload = in + kSegmentHeaderBytes;
    const size_t n = size_t{width} * rows;

    if (in[0] == static_cast<uint8_t>(SegmentMode::Stored)) {
        if (in[1] != 0 || in[2] != 0 || payloadSize != storedBytes(n, depth)) {
            return KORVADIN_E_CORRUPT;
        }
        BitReader br(payload, payloadSize);
        for (size_t i = 0; i < n; ++i) {
            br.refill();
            samples[i] = static_cast<uint16_t>(br.read(depth));
        }
        return KORVADIN_OK;
    }
    if (in[0] != static_cast<uint8_t>(SegmentMode::Coded) ||
        in[1] != static_cast<uint8_t>(Predictor::Gradient) || in[2] != kContexts) {
        return KORVADIN_E_CORRUPT;
    }
    if (payloadSize < 4) {
        return KORVADIN_E_TRUNCATED;
    }
    const uint64_t firstBytes = loadLe32(payload);
    if (firstBytes > payloadSize - 4) {
        return KORVADIN_E_CORRUPT;
    }
    const uint64_t secondBytes = payloadSize - 4 - firstBytes;
    // Both streams may load ahead up to the end of what the caller can read, so that the fast
    // loops run to the last row.
    const size_t ahead = readable - kSegmentHeaderBytes - 4;
    BitReader streams[2] = {BitReader(payload + 4, firstBytes, ahead),
                            BitReader(payload + 4 + firstBytes, secondBytes, ahead - firstBytes)};
    const unsigned alphabet = alphabetSize(depth);
    uint16_t entryPayload[kMaxAlphabet];
    for (unsigned t = 0; t < alphabet; ++t) {
        entryPayload[t] = entryFor(t, depth);
    }
    unsigned unused = 0;
    for (unsigned c = 0; c < kContexts; ++c) {
        const TableRead r =
            readTable(streams[0], alphabet, entryPayload, kUnusedEntry, scratch.tables[c]);
        if (r == TableRead::Invalid) {
            return KORVADIN_E_CORRUPT;
        }
        if (streams[0].overrun()) {
            return KORVADIN_E_TRUNCATED;
        }
        unused |= r == TableRead::Unused ? 1u << c : 0u;
    }
    depth > 8
        ? decodePlane<I, true>(streams, scratch.tables.data(), width, rows, depth, samples, scratch)
        : decodePlane<I, false>(streams, scratch.tables.data(), width, rows, depth, samples,
                                scratch);
    if (streams[0].overrun() || streams[1].overrun()) {
        return KORVADIN_E_TRUNCATED;
    }
    if (!endsCleanly(streams[0], firstBytes) || !endsCleanly(streams[1], secondBytes) ||
        (unused != 0 && reachesUnusedTable(samples, width, rows, unused))) {
        return KORVADIN_E_CORRUPT;
    }
    return KORVADIN_OK;
}

size_t encodeSegmentPortable(const uint16_t* samples, uint32_t width, uint32_t rows, unsigned depth,
                             uint8_t* out, PlaneScratch& scratch) {
    return encodeSegmentImpl(samples, width, rows, depth, out, scratch);
}

int32_t decodeSegmentPortable(const uint8_t* in, size_t size, size_t readable, uint32_t width,
                              uint32_t rows, unsigned depth, uint16_t* samples, size_t* used,
                              PlaneScratch& scratch) {
    return decodeSegmentImpl<Isa::Portable>(in, size, readable, width, rows, depth, samples, used,
                                            scratch);
}

#if KVCODEC_HAVE_X86V3
KVCODEC_TARGET_X86V3 size_t encodeSegmentX86V3(const uint16_t* samples, uint32_t width,
                                               uint32_t rows, unsigned depth, uint8_t* out,
                                               PlaneScratch& scratch) {
    return encodeSegmentImpl(samples, width, rows, depth, out, scratch);
}

KVCODEC_TARGET_X86V3 int32_t decodeSegmentX86V3(const uint8_t* in, size_t size, size_t readable,
                                                uint32_t width, uint32_t rows, unsigned depth,
                                                uint16_t* samples, size_t* used,
                                                PlaneScratch& scratch) {
    return decodeSegmentImpl<Isa::X86V3>(in, size, readable, width, rows, depth, samples, used,
                                         scratch);
}
#endif

} // namespace

PlaneScratch::PlaneScratch(size_t samples, uint32_t width)
    : residual(samples), classes(samples), context(samples), window(2 * kWindowStride + width),
      counts(4 * kContexts * kMaxAlphabet), codes(kContexts * kMaxAlphabet), tables(kContexts) {}

size_t encodeSegment(const uint16_t* samples, uint32_t width, uint32_t rows, unsigned depth,
                     uint8_t* out, PlaneScratch& scratch) {
#if KVCODEC_HAVE_X86V3
    if (activeIsa() == Isa::X86V3) {
        return encodeSegmentX86V3(samples, width, rows, depth, out, scratch);
    }
#endif
    return encodeSegmentPortable(samples, width, rows, depth, out, scratch);
}

int32_t decodeSegment(const uint8_t* in, size_t size, size_t readable, uint32_t width,
                      uint32_t rows, unsigned depth, uint16_t* samples, size_t* used,
                      PlaneScratch& scratch) {
    static_assert(kMaxCodedDepth + 2 <= 16);
#if KVCODEC_HAVE_X86V3
    if (activeIsa() == Isa::X86V3) {
        return decodeSegmentX86V3(in, size, readable, width, rows, depth, samples, used, scratch);
    }
#endif
    return decodeSegmentPortable(in, size, readable, width, rows, depth, samples, used, scratch);
}

} // namespace kvcodec
