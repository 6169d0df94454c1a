#include "plane_coder.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "bitio.h"
#include "cpu.h"
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

// A decoding table entry: the code length in bits 0-3, the token's value in bits 4-13 and its
// activity class in bits 14-15. The value is at depth 8 the residual itself (modulo 256), deeper
// the token, whose raw bits must still be read. The decoder keeps each rebuilt sample's class in
// the same two top bits beside it (samples have at most 14 bits), so that one load of the row
// above gives both the sample and the class its context needs, and an entry's class is the
// next sample's left context as it stands.
constexpr unsigned kValueShift = 4;
constexpr unsigned kClassShift = 14;
constexpr uint32_t kClassBits = 3u << kClassShift;
constexpr unsigned kMaxCodedDepth = 14;
// A table no token uses: value 1023 is no token (deeper) and sets bit 13, which no residual of
// depth 8 reaches.
constexpr uint16_t kEmptyEntry = 1023u << kValueShift;
constexpr uint32_t kEmptyFlag = 1u << 13;

uint16_t entryFor(unsigned token, unsigned depth) {
    const unsigned value = depth == 8 ? unzigzag(token) & 255 : token;
    return static_cast<uint16_t>((activityClass(token, depth - 8) << kClassShift) |
                                 (value << kValueShift));
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

// Decodes the samples of one plane of a slice. Even and odd rows come from two code streams,
// decoded in step (the odd row one sample behind the even row above it), so that the two chains
// of dependent table look-ups overlap. The tables of all contexts lie one after another and the
// context picks one by an index shift. Each sample is rebuilt as soon as its residual is known:
// with the gradient, a sample minus the one above it is the running sum of the row's residuals.
template <bool Deep>
class PlaneDecoder {
public:
    PlaneDecoder(const DecodeTable* tables, unsigned alphabet, unsigned depth)
        : m_entries(tables[0].entry), m_alphabet(alphabet), m_mask((1u << depth) - 1) {}

    // Rows a (from s0) and b (from s1) below `top`, or a alone when b is null.
    KVCODEC_INLINE void rows(BitReader& s0, BitReader& s1, const uint16_t* top, uint16_t* a,
                             uint16_t* b, uint32_t w) {
        // Longest code plus raw bits of one residual, in whole bytes, for a whole row ahead, and
        // what one refill loads beyond the bytes it moves past.
        const ptrdiff_t worst = ptrdiff_t{w} * (Deep ? 4 : 2) + 16;
        const bool fast = s0.room() >= worst && (b == nullptr || s1.room() >= worst);
        if (b == nullptr) {
            fast ? single<true>(s0, top, a, w) : single<false>(s0, top, a, w);
        } else {
            fast ? twin<true>(s0, s1, top, a, b, w) : twin<false>(s0, s1, top, a, b, w);
        }
    }

    bool bad() const { return (m_bad & kEmptyFlag) != 0; }

private:
    // The state of one row in flight: the class of the residual to its left, in place, and the
    // running sum of its residuals.
    struct Lane {
        uint32_t left;
        uint32_t sum;
    };

    template <bool Fast>
    KVCODEC_INLINE static void refill(BitReader& br) {
        if constexpr (Fast) {
            br.refillFast();
        } else {
            br.refill();
        }
    }

    // The sample below `above` (sample and class of the row above), with its class on top.
    KVCODEC_INLINE uint32_t sample(BitReader& br, Lane& lane, uint32_t above) {
        const uint32_t ctx = (lane.left + (above & kClassBits)) >> (kClassShift - kMaxCodeLength);
        const uint32_t e = m_entries[ctx | br.peek(kMaxCodeLength)];
        br.skip(e & 15);
        lane.left = e & kClassBits;
        if constexpr (Deep) {
            uint32_t v = (e >> kValueShift) & 511;
            if (v >= kLiteralTokens) [[unlikely]] {
                if (v >= m_alphabet) {
                    m_bad |= kEmptyFlag;
                    v = 0;
                } else {
                    v = tokenBase(v) | br.read(tokenExtraBits(v));
                }
            }
            lane.sum += unzigzag(v);
        } else {
            // Bits above the eighth do not reach the sample; an empty table's flag is kept.
            m_bad |= e;
            lane.sum += e >> kValueShift;
        }
        return ((above + lane.sum) & m_mask) | lane.left;
    }

    // In the first column the left class is taken to be the top class. A full buffer holds two
    // residuals of any depth (at most 2 x 25 bits), so the fast loops refill once per two
    // samples of a stream.
    template <bool Fast>
    KVCODEC_INLINE void single(BitReader& s0, const uint16_t* top, uint16_t* a, uint32_t w) {
        Lane la{top[0] & kClassBits, 0};
        uint32_t x = 0;
        if constexpr (Fast) {
            for (; x + 1 < w; x += 2) {
                s0.refillFast();
                a[x] = static_cast<uint16_t>(sample(s0, la, top[x]));
                a[x + 1] = static_cast<uint16_t>(sample(s0, la, top[x + 1]));
            }
        }
        for (; x < w; ++x) {
            refill<Fast>(s0);
            a[x] = static_cast<uint16_t>(sample(s0, la, top[x]));
        }
    }

    // Row b needs the sample and class of row a above it, which the step before has just made.
    template <bool Fast>
    KVCODEC_INLINE void twin(BitReader& s0, BitReader& s1, const uint16_t* top, uint16_t* a,
                             uint16_t* b, uint32_t w) {
        Lane la{top[0] & kClassBits, 0};
        refill<Fast>(s0);
        uint32_t prevA = sample(s0, la, top[0]);
        a[0] = static_cast<uint16_t>(prevA);
        Lane lb{prevA & kClassBits, 0};
        uint32_t x = 1;
        if constexpr (Fast) {
            for (; x + 1 < w; x += 2) {
                s0.refillFast();
                s1.refillFast();
                const uint32_t a0 = sample(s0, la, top[x]);
                a[x] = static_cast<uint16_t>(a0);
                b[x - 1] = static_cast<uint16_t>(sample(s1, lb, prevA));
                prevA = sample(s0, la, top[x + 1]);
                a[x + 1] = static_cast<uint16_t>(prevA);
                b[x] = static_cast<uint16_t>(sample(s1, lb, a0));
            }
        }
        for (; x < w; ++x) {
            refill<Fast>(s0);
            const uint32_t a0 = sample(s0, la, top[x]);
            a[x] = static_cast<uint16_t>(a0);
            refill<Fast>(s1);
            b[x - 1] = static_cast<uint16_t>(sample(s1, lb, prevA));
            prevA = a0;
        }
        refill<Fast>(s1);
        b[w - 1] = static_cast<uint16_t>(sample(s1, lb, prevA));
    }

    const uint16_t* m_entries;
    unsigned m_alphabet;
    uint32_t m_mask;
    uint32_t m_bad = 0;
};

// Leaves each sample's class in its top two bits (see kClassShift).
template <bool Deep>
KVCODEC_INLINE bool decodePlane(BitReader* streams, const DecodeTable* tables, unsigned alphabet,
                                uint32_t w, uint32_t rows, unsigned depth, uint16_t* samples,
                                PlaneScratch& scratch) {
    // Copies whose addresses never escape stay in registers.
    BitReader s0 = streams[0];
    BitReader s1 = streams[1];
    PlaneDecoder<Deep> dec(tables, alphabet, depth);
    // The first row predicts from a row of mid-grey samples of class 0 above it, which makes
    // the gradient the left neighbour and the first prediction mid-grey.
    uint16_t* grey = scratch.greyRow.data();
    std::fill(grey, grey + w, static_cast<uint16_t>(1u << (depth - 1)));
    const uint16_t* top = grey;
    for (uint32_t y = 0; y < rows; y += 2) {
        uint16_t* a = samples + size_t{y} * w;
        uint16_t* b = y + 1 < rows ? a + w : nullptr;
        dec.rows(s0, s1, top, a, b, w);
        top = b != nullptr ? b : a;
        if (dec.bad() || s0.overrun() || s1.overrun()) {
            break;
        }
    }
    streams[0] = s0;
    streams[1] = s1;
    return !dec.bad();
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
    for (unsigned c = 0; c < kContexts; ++c) {
        if (!readTable(streams[0], alphabet, entryPayload, kEmptyEntry, scratch.tables[c])) {
            return KORVADIN_E_CORRUPT;
        }
        if (streams[0].overrun()) {
            return KORVADIN_E_TRUNCATED;
        }
    }
    const bool ok = depth > 8 ? decodePlane<true>(streams, scratch.tables.data(), alphabet, width,
                                                  rows, depth, samples, scratch)
                              : decodePlane<false>(streams, scratch.tables.data(), alphabet, width,
                                                   rows, depth, samples, scratch);
    if (streams[0].overrun() || streams[1].overrun()) {
        return KORVADIN_E_TRUNCATED;
    }
    if (!ok || !endsCleanly(streams[0], firstBytes) || !endsCleanly(streams[1], secondBytes)) {
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
    return decodeSegmentImpl(in, size, readable, width, rows, depth, samples, used, scratch);
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
    return decodeSegmentImpl(in, size, readable, width, rows, depth, samples, used, scratch);
}
#endif

} // namespace

PlaneScratch::PlaneScratch(size_t samples, uint32_t width)
    : residual(samples), classes(samples), context(samples), greyRow(width),
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
