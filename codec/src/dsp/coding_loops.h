// The bodies of the generic kernels, written once in portable C++. Each table compiles them for
// its own instruction set (kernel_set.h), so they are inlined into the kernel that calls them
// and never exist as functions of their own that another table could pick up.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/contexts.h"
#include "dsp/kernels.h"

#define KVCODEC_INLINE [[gnu::always_inline]] inline

namespace kvcodec::loops {

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
KVCODEC_INLINE void contexts(const uint16_t* z, uint32_t w, uint32_t rows, unsigned depth,
                             uint8_t* cls, uint8_t* ctx) {
    const unsigned shift = depth - 8;
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

// The zigzag value of a residual as the decoder keeps it beside its class.
template <bool Deep>
KVCODEC_INLINE uint32_t keptZigzag(uint32_t word) {
    return Deep ? word & kValueBits : (word >> kTokenShift) & 255;
}

// With the gradient, a sample minus the one above it is the running sum of the row's residuals.
template <bool Deep>
KVCODEC_INLINE void rebuildRow(const uint16_t* above, const uint16_t* residuals, uint16_t* out,
                               uint32_t w, uint32_t mask, uint32_t sum = 0) {
    for (uint32_t x = 0; x < w; ++x) {
        sum += unzigzag(keptZigzag<Deep>(residuals[x]));
        out[x] = static_cast<uint16_t>(((above[x] + sum) & mask) | (residuals[x] & kClassBits));
    }
}

// Decodes the residuals of one plane of a slice. Even and odd rows come from two code streams,
// decoded in step (the odd row one sample behind the even row above it), so that the two
// chains of dependent table look-ups overlap. The tables of all contexts lie one after another
// and the context picks one by an index shift.
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

// The readers are copied in and out, so that the register allocator sees only the loop's own
// state.
template <bool Deep>
KVCODEC_INLINE void decodeRows(BitReader& s0, BitReader& s1, const DecodeTable* tables,
                               uint16_t* window, uint32_t w, bool both) {
    BitReader r0 = s0;
    BitReader r1 = s1;
    PlaneDecoder<Deep>(tables).rows(r0, r1, window, w, both);
    s0 = r0;
    s1 = r1;
}

KVCODEC_INLINE void packRgb8(const uint16_t* g, const uint16_t* rg, const uint16_t* bg,
                             uint8_t* row, uint32_t w, uint32_t x = 0) {
    for (; x < w; ++x) {
        row[3 * size_t{x}] = static_cast<uint8_t>(rg[x] + g[x]);
        row[3 * size_t{x} + 1] = static_cast<uint8_t>(g[x]);
        row[3 * size_t{x} + 2] = static_cast<uint8_t>(bg[x] + g[x]);
    }
}

KVCODEC_INLINE void packUyvy8(const uint16_t* y, const uint16_t* u, const uint16_t* v, uint8_t* row,
                              uint32_t groups, uint32_t i = 0) {
    for (; i < groups; ++i) {
        row[4 * size_t{i}] = static_cast<uint8_t>(u[i]);
        row[4 * size_t{i} + 1] = static_cast<uint8_t>(y[2 * size_t{i}]);
        row[4 * size_t{i} + 2] = static_cast<uint8_t>(v[i]);
        row[4 * size_t{i} + 3] = static_cast<uint8_t>(y[2 * size_t{i} + 1]);
    }
}

} // namespace kvcodec::loops
