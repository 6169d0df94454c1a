#include "plane_coder.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "bitio.h"
#include "korvadin_codec.h"

namespace kvcodec {

namespace {

enum class Predictor : uint8_t { Median = 1 };

// Each residual falls in one of four activity classes by size; a sample is coded with the table
// of its context, the sum of the classes of the residuals to its left and above. Busy and flat
// areas have very different residuals, and the decoder knows both neighbours' classes before
// it reads the sample.
constexpr unsigned kContexts = 7;

inline unsigned activityClass(uint32_t z, unsigned shift) {
    const uint32_t v = std::min<uint32_t>(z, 255) >> shift;
    return (v > 0) + (v > 2) + (v > 6);
}

inline int median3(int a, int b, int c) {
    return std::max(std::min(a, b), std::min(std::max(a, b), c));
}

inline uint32_t unzigzag(uint32_t z) {
    return (z >> 1) ^ (0u - (z & 1));
}

// Residuals in scan order, with the median of left, top and their gradient as prediction;
// the first row predicts from the left, the first column from above. Written on 16-bit lanes
// (samples have at most 14 bits, so the gradient cannot overflow) so that it vectorises.
void medianResiduals(const uint16_t* s, uint32_t w, uint32_t rows, unsigned depth, uint16_t* z) {
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
            const int16_t l = static_cast<int16_t>(cur[x - 1]);
            const int16_t t = static_cast<int16_t>(top[x]);
            const int16_t g = static_cast<int16_t>(l + t - static_cast<int16_t>(top[x - 1]));
            const int16_t lo = std::min(l, t);
            const int16_t hi = std::max(l, t);
            const int16_t pred = std::max(lo, std::min(hi, g));
            out[x] = zigzag(static_cast<uint16_t>((cur[x] - pred) & mask));
        }
    }
}

// The context of every sample from its neighbours' residual classes.
void contexts(const uint16_t* z, uint32_t w, uint32_t rows, unsigned shift, uint8_t* cls,
              uint8_t* ctx) {
    const size_t n = size_t{w} * rows;
    for (size_t i = 0; i < n; ++i) {
        const uint16_t v = static_cast<uint16_t>(std::min<uint16_t>(z[i], 255) >> shift);
        cls[i] = static_cast<uint8_t>((v > 0) + (v > 2) + (v > 6));
    }
    ctx[0] = 0;
    for (uint32_t x = 1; x < w; ++x) {
        ctx[x] = static_cast<uint8_t>(2 * cls[x - 1]);
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

template <bool Deep>
void countTokens(const uint16_t* z, const uint8_t* ctx, size_t n, unsigned alphabet,
                 uint32_t* counts) {
    // Two sets of counters, so runs of one token do not wait on their own increments.
    std::memset(counts, 0, sizeof(uint32_t) * 2 * kContexts * kMaxAlphabet);
    uint32_t* other = counts + kContexts * kMaxAlphabet;
    auto token = [](uint32_t v) {
        uint32_t extra;
        unsigned extraBits;
        return Deep ? tokenOf(v, &extra, &extraBits) : v;
    };
    size_t i = 0;
    for (; i + 1 < n; i += 2) {
        ++counts[ctx[i] * alphabet + token(z[i])];
        ++other[ctx[i + 1] * alphabet + token(z[i + 1])];
    }
    if (i < n) {
        ++counts[ctx[i] * alphabet + token(z[i])];
    }
    for (unsigned k = 0; k < kContexts * alphabet; ++k) {
        counts[k] += other[k];
    }
}

size_t writeStored(const uint16_t* s, size_t n, unsigned depth, uint8_t* out) {
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

template <bool Deep>
void writeCodes(const uint16_t* z, const uint8_t* ctx, size_t n, unsigned alphabet,
                const Code* codes, BitWriter& bw) {
    for (size_t i = 0; i < n; ++i) {
        if constexpr (Deep) {
            uint32_t extra;
            unsigned extraBits;
            const unsigned t = tokenOf(z[i], &extra, &extraBits);
            const Code c = codes[ctx[i] * alphabet + t];
            bw.put((uint32_t{c.bits} << extraBits) | extra, c.length + extraBits);
        } else {
            const Code c = codes[ctx[i] * alphabet + z[i]];
            bw.put(c.bits, c.length);
        }
    }
}

// Decodes the residuals of one plane of a slice and rebuilds its samples. The tables of all
// contexts lie one after another, so the context picks a table by an index shift; each entry
// carries its token's activity class, which is the next sample's left context.
template <bool Deep>
class RowDecoder {
public:
    RowDecoder(BitReader& br, const DecodeTable* tables, unsigned alphabet, unsigned depth)
        : m_br(br), m_entries(tables[0].entry), m_alphabet(alphabet), m_mask((1u << depth) - 1),
          // Longest code plus raw bits of one residual, in whole bytes, and the load's 8.
          m_rowBytesPerSample(Deep ? 4 : 2) {}

    bool firstRow(uint32_t w, uint16_t* samples, uint8_t* cls) {
        uint32_t prev = (m_mask >> 1) + 1;
        unsigned c = 0;
        for (uint32_t x = 0; x < w; ++x) {
            m_br.refill();
            const uint32_t zz = next(2 * c, c);
            cls[x] = static_cast<uint8_t>(c);
            prev = (prev + unzigzag(zz)) & m_mask;
            samples[x] = static_cast<uint16_t>(prev);
        }
        return ok();
    }

    bool row(uint32_t w, const uint16_t* top, uint16_t* cur, const uint8_t* clsTop,
             uint8_t* clsCur) {
        // Where the whole row's worst case is still inside the stream, skip the bounds checks.
        if (m_br.bytesLeft() >= size_t{w} * m_rowBytesPerSample + 8) {
            rowImpl<true>(w, top, cur, clsTop, clsCur);
        } else {
            rowImpl<false>(w, top, cur, clsTop, clsCur);
        }
        return ok();
    }

    bool ok() const { return m_bad == 0 && !m_br.overrun(); }

private:
    template <bool Fast>
    [[gnu::always_inline]] void rowImpl(uint32_t w, const uint16_t* top, uint16_t* cur,
                                        const uint8_t* clsTop, uint8_t* clsCur) {
        unsigned c = clsTop[0];
        // The first column predicts from above: with left = top-left = top, the median is top.
        int l = top[0];
        int tl = top[0];
        for (uint32_t x = 0; x < w; ++x) {
            if constexpr (Fast) {
                m_br.refillFast();
            } else {
                m_br.refill();
            }
            const uint32_t zz = next(c + clsTop[x], c);
            clsCur[x] = static_cast<uint8_t>(c);
            const int t = top[x];
            const int pred = median3(l, t, l + t - tl);
            l = static_cast<int>((static_cast<uint32_t>(pred) + unzigzag(zz)) & m_mask);
            cur[x] = static_cast<uint16_t>(l);
            tl = t;
        }
    }

    // One residual with the table of `context`; sets the class of what it read.
    [[gnu::always_inline]] uint32_t next(unsigned context, unsigned& cls) {
        const uint32_t e = m_entries[(context << kMaxCodeLength) | m_br.peek(kMaxCodeLength)];
        m_br.skip(e & 15);
        cls = e >> kEntryTagShift;
        const uint32_t t = (e >> 4) & 511;
        if constexpr (Deep) {
            if (t >= kLiteralTokens) [[unlikely]] {
                if (t >= m_alphabet) {
                    m_bad = 1;
                    return 0;
                }
                return tokenBase(t) | m_br.read(tokenExtraBits(t));
            }
        } else {
            m_bad |= t >> 8;
        }
        return t;
    }

    BitReader& m_br;
    const uint16_t* m_entries;
    unsigned m_alphabet;
    uint32_t m_mask;
    unsigned m_rowBytesPerSample;
    uint32_t m_bad = 0;
};

template <bool Deep>
[[gnu::always_inline]] inline bool
decodeRows(BitReader& br, const DecodeTable* tables, unsigned alphabet, uint32_t w, uint32_t rows,
           unsigned depth, uint16_t* samples, uint8_t* classRows) {
    RowDecoder<Deep> dec(br, tables, alphabet, depth);
    uint8_t* clsCur = classRows;
    uint8_t* clsTop = classRows + w;
    if (!dec.firstRow(w, samples, clsCur)) {
        return false;
    }
    for (uint32_t y = 1; y < rows; ++y) {
        std::swap(clsCur, clsTop);
        uint16_t* cur = samples + size_t{y} * w;
        if (!dec.row(w, cur - w, cur, clsTop, clsCur)) {
            return false;
        }
    }
    return true;
}

template <bool Deep>
bool decodeCoded(BitReader& reader, const DecodeTable* tables, unsigned alphabet, uint32_t w,
                 uint32_t rows, unsigned depth, uint16_t* samples, uint8_t* classRows) {
    // A copy whose address is never taken stays in registers.
    BitReader br = reader;
    const bool ok = decodeRows<Deep>(br, tables, alphabet, w, rows, depth, samples, classRows);
    reader = br;
    return ok;
}

} // namespace

PlaneScratch::PlaneScratch(size_t samples, uint32_t width)
    : residual(samples), classes(std::max<size_t>(samples, 2 * size_t{width})), context(samples),
      counts(2 * kContexts * kMaxAlphabet), codes(kContexts * kMaxAlphabet), tables(kContexts) {}

size_t encodeSegment(const uint16_t* samples, uint32_t width, uint32_t rows, unsigned depth,
                     uint8_t* out, PlaneScratch& scratch) {
    const size_t n = size_t{width} * rows;
    const unsigned alphabet = alphabetSize(depth);
    const bool deep = depth > 8;
    uint16_t* z = scratch.residual.data();
    uint8_t* ctx = scratch.context.data();
    uint32_t* counts = scratch.counts.data();
    Code* codes = scratch.codes.data();
    medianResiduals(samples, width, rows, depth, z);
    contexts(z, width, rows, depth - 8, scratch.classes.data(), ctx);
    deep ? countTokens<true>(z, ctx, n, alphabet, counts)
         : countTokens<false>(z, ctx, n, alphabet, counts);

    uint8_t lengths[kContexts][kMaxAlphabet];
    // The exact coded size is known before writing, so the choice costs nothing.
    uint64_t bits = 0;
    for (unsigned c = 0; c < kContexts; ++c) {
        const uint32_t* cc = counts + c * alphabet;
        buildLengths(cc, alphabet, lengths[c]);
        assignCodes(lengths[c], alphabet, codes + c * alphabet);
        bits += tableBits(lengths[c], alphabet);
        for (unsigned t = 0; t < alphabet; ++t) {
            bits += uint64_t{cc[t]} * (codes[c * alphabet + t].length + tokenExtraBits(t));
        }
    }
    if ((bits + 7) / 8 >= storedBytes(n, depth)) {
        return writeStored(samples, n, depth, out);
    }

    out[0] = static_cast<uint8_t>(SegmentMode::Coded);
    out[1] = static_cast<uint8_t>(Predictor::Median);
    out[2] = kContexts;
    out[3] = 0;
    BitWriter bw(out + kSegmentHeaderBytes);
    for (unsigned c = 0; c < kContexts; ++c) {
        writeTable(lengths[c], alphabet, bw);
    }
    deep ? writeCodes<true>(z, ctx, n, alphabet, codes, bw)
         : writeCodes<false>(z, ctx, n, alphabet, codes, bw);
    const size_t written = bw.finish();
    storeLe32(out + 4, static_cast<uint32_t>(written));
    return kSegmentHeaderBytes + written;
}

int32_t decodeSegment(const uint8_t* in, size_t size, uint32_t width, uint32_t rows, unsigned depth,
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
    BitReader br(payload, payloadSize);

    if (in[0] == static_cast<uint8_t>(SegmentMode::Stored)) {
        if (in[1] != 0 || in[2] != 0 || payloadSize != storedBytes(n, depth)) {
            return KORVADIN_E_CORRUPT;
        }
        for (size_t i = 0; i < n; ++i) {
            br.refill();
            samples[i] = static_cast<uint16_t>(br.read(depth));
        }
        return KORVADIN_OK;
    }
    if (in[0] != static_cast<uint8_t>(SegmentMode::Coded) ||
        in[1] != static_cast<uint8_t>(Predictor::Median) || in[2] != kContexts) {
        return KORVADIN_E_CORRUPT;
    }
    const unsigned alphabet = alphabetSize(depth);
    uint16_t tags[kMaxAlphabet];
    for (unsigned t = 0; t < alphabet; ++t) {
        tags[t] = static_cast<uint16_t>(activityClass(t, depth - 8) << kEntryTagShift);
    }
    for (unsigned c = 0; c < kContexts; ++c) {
        if (!readTable(br, alphabet, tags, scratch.tables[c])) {
            return KORVADIN_E_CORRUPT;
        }
        if (br.overrun()) {
            return KORVADIN_E_TRUNCATED;
        }
    }
    const bool ok = depth > 8 ? decodeCoded<true>(br, scratch.tables.data(), alphabet, width, rows,
                                                  depth, samples, scratch.classes.data())
                              : decodeCoded<false>(br, scratch.tables.data(), alphabet, width, rows,
                                                   depth, samples, scratch.classes.data());
    if (br.overrun()) {
        return KORVADIN_E_TRUNCATED;
    }
    if (!ok) {
        return KORVADIN_E_CORRUPT;
    }
    // A valid stream ends within its last byte, padded with zeros.
    const uint64_t bitsLeft = payloadSize * 8 - br.consumed();
    if (bitsLeft >= 8 || (bitsLeft > 0 && br.peek(static_cast<unsigned>(bitsLeft)) != 0)) {
        return KORVADIN_E_CORRUPT;
    }
    return KORVADIN_OK;
}

} // namespace kvcodec
