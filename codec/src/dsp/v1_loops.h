// The bodies of version 1's decoding kernels, compiled for each table like the others.
#pragma once

#include "core/v1/contexts.h"
#include "dsp/kernels.h"

namespace kvcodec::loops::v1 {

using namespace kvcodec::v1;

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

} // namespace kvcodec::loops::v1
