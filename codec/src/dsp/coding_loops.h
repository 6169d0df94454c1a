// The bodies of the generic kernels, written once in portable C++. Each table compiles them for
// its own instruction set (kernel_set.h), so they are inlined into the kernel that calls them
// and never exist as functions of their own that another table could pick up.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "core/residual_code.h"
#include "dsp/kernels.h"

#define KVCODEC_INLINE [[gnu::always_inline]] inline

namespace kvcodec::loops {

KVCODEC_INLINE void unpackRgb8(const uint8_t* row, uint8_t* g, uint8_t* rg, uint8_t* bg, uint32_t w,
                               uint32_t x = 0) {
    for (; x < w; ++x) {
        const uint8_t* p = row + 3 * size_t{x};
        g[x] = p[1];
        rg[x] = static_cast<uint8_t>(p[0] - p[1]);
        bg[x] = static_cast<uint8_t>(p[2] - p[1]);
    }
}

KVCODEC_INLINE void unpackRgba8(const uint8_t* row, uint8_t* g, uint8_t* rg, uint8_t* bg,
                                uint8_t* a, uint32_t w, uint32_t x = 0) {
    for (; x < w; ++x) {
        const uint8_t* p = row + 4 * size_t{x};
        g[x] = p[1];
        rg[x] = static_cast<uint8_t>(p[0] - p[1]);
        bg[x] = static_cast<uint8_t>(p[2] - p[1]);
        a[x] = p[3];
    }
}

KVCODEC_INLINE void unpackUyvy8(const uint8_t* row, uint8_t* y, uint8_t* u, uint8_t* v,
                                uint32_t groups, uint32_t i = 0) {
    for (; i < groups; ++i) {
        const uint8_t* p = row + 4 * size_t{i};
        u[i] = p[0];
        y[2 * size_t{i}] = p[1];
        v[i] = p[2];
        y[2 * size_t{i} + 1] = p[3];
    }
}

KVCODEC_INLINE void packRgb8(const uint8_t* g, const uint8_t* rg, const uint8_t* bg, uint8_t* row,
                             uint32_t w, uint32_t x = 0) {
    for (; x < w; ++x) {
        row[3 * size_t{x}] = static_cast<uint8_t>(rg[x] + g[x]);
        row[3 * size_t{x} + 1] = g[x];
        row[3 * size_t{x} + 2] = static_cast<uint8_t>(bg[x] + g[x]);
    }
}

KVCODEC_INLINE void packRgba8(const uint8_t* g, const uint8_t* rg, const uint8_t* bg,
                              const uint8_t* a, uint8_t* row, uint32_t w, uint32_t x = 0) {
    for (; x < w; ++x) {
        row[4 * size_t{x}] = static_cast<uint8_t>(rg[x] + g[x]);
        row[4 * size_t{x} + 1] = g[x];
        row[4 * size_t{x} + 2] = static_cast<uint8_t>(bg[x] + g[x]);
        row[4 * size_t{x} + 3] = a[x];
    }
}

KVCODEC_INLINE void packUyvy8(const uint8_t* y, const uint8_t* u, const uint8_t* v, uint8_t* row,
                              uint32_t groups, uint32_t i = 0) {
    for (; i < groups; ++i) {
        row[4 * size_t{i}] = u[i];
        row[4 * size_t{i} + 1] = y[2 * size_t{i}];
        row[4 * size_t{i} + 2] = v[i];
        row[4 * size_t{i} + 3] = y[2 * size_t{i} + 1];
    }
}

// Rows of 16-bit little-endian samples into their top `depth` bits, and back with those bits
// repeated below them.
KVCODEC_INLINE void narrowRow16(const uint8_t* row, uint16_t* out, uint32_t w, unsigned depth,
                                uint32_t x = 0) {
    for (; x < w; ++x) {
        out[x] = static_cast<uint16_t>((row[2 * size_t{x}] | row[2 * size_t{x} + 1] << 8) >>
                                       (16 - depth));
    }
}

KVCODEC_INLINE void widenRow16(const uint16_t* in, uint8_t* row, uint32_t w, unsigned depth,
                               uint32_t x = 0) {
    const uint32_t mask = (1u << depth) - 1;
    for (; x < w; ++x) {
        const uint32_t v = in[x] & mask;
        const uint32_t r = v << (16 - depth) | v >> (2 * depth - 16);
        row[2 * size_t{x}] = static_cast<uint8_t>(r);
        row[2 * size_t{x} + 1] = static_cast<uint8_t>(r >> 8);
    }
}

// Rows of 16-bit R G B (A) pixels, `components` samples each, and the planes G, R-G, B-G (and
// A) of their top `depth` bits; going back, a sample's bits are repeated below them.
KVCODEC_INLINE void unpackRgb16(const uint8_t* row, uint16_t* const* planes, uint32_t w,
                                unsigned components, unsigned depth, uint32_t x = 0) {
    const uint32_t mask = (1u << depth) - 1;
    const auto sample = [&](size_t i) {
        return static_cast<uint32_t>(row[2 * i] | row[2 * i + 1] << 8) >> (16 - depth);
    };
    for (; x < w; ++x) {
        const size_t i = size_t{x} * components;
        const uint32_t g = sample(i + 1);
        planes[0][x] = static_cast<uint16_t>(g);
        planes[1][x] = static_cast<uint16_t>((sample(i) - g) & mask);
        planes[2][x] = static_cast<uint16_t>((sample(i + 2) - g) & mask);
        if (components == 4) {
            planes[3][x] = static_cast<uint16_t>(sample(i + 3));
        }
    }
}

KVCODEC_INLINE void packRgb16(const uint16_t* const* planes, uint8_t* row, uint32_t w,
                              unsigned components, unsigned depth, uint32_t x = 0) {
    const uint32_t mask = (1u << depth) - 1;
    const auto put = [&](size_t i, uint32_t v) {
        v &= mask;
        v = v << (16 - depth) | v >> (2 * depth - 16);
        row[2 * i] = static_cast<uint8_t>(v);
        row[2 * i + 1] = static_cast<uint8_t>(v >> 8);
    };
    for (; x < w; ++x) {
        const size_t i = size_t{x} * components;
        const uint32_t g = planes[0][x];
        put(i, planes[1][x] + g);
        put(i + 1, g);
        put(i + 2, planes[2][x] + g);
        if (components == 4) {
            put(i + 3, planes[3][x]);
        }
    }
}

// The colour lifting of RGB planes, on the planes G, R-G and B-G of `depth`-bit samples. Green
// takes a quarter of both differences (so it carries (R + 2G + B) / 4, with 3/8 of green's noise
// where the channels' grain is their own), and, when asked, B-G gives up half of R-G (leaving B
// less the mean of R and G). Differences are read as signed `depth`-bit numbers, so each step is
// undone exactly from what the decoder has: blue first, then green. A difference v of signed
// value d is taken as v ^ half = d + half, so that every step stays within the samples' own
// width, which is what lets a vector hold as many of them as the planes do: floor(d / 2) is
// (v ^ half) / 2 - quarter, and floor((d + e) / 4) the floor of the two biased values' mean,
// halved, less quarter.
template <typename T>
struct Lifting {
    T mask;
    T half;
    T quarter;
    explicit Lifting(unsigned depth)
        : mask(static_cast<T>((1u << depth) - 1)), half(static_cast<T>(1u << (depth - 1))),
          quarter(static_cast<T>(1u << (depth - 2))) {}
    // floor((d(rg) + d(bg)) / 4) + quarter
    T green(T rg, T bg) const {
        const T a = rg ^ half;
        const T b = bg ^ half;
        return static_cast<T>((static_cast<T>(a >> 1) + static_cast<T>(b >> 1) + (a & b & 1)) >> 1);
    }
    // floor(d(rg) / 2) + quarter
    T blue(T rg) const { return static_cast<T>((rg ^ half) >> 1); }
};

template <typename T>
KVCODEC_INLINE void liftRgb(T* g, const T* rg, T* bg, size_t n, unsigned depth, bool green,
                            bool blue) {
    const Lifting<T> l(depth);
    if (green) {
        for (size_t x = 0; x < n; ++x) {
            g[x] = static_cast<T>((g[x] + l.green(rg[x], bg[x]) - l.quarter) & l.mask);
        }
    }
    if (blue) {
        for (size_t x = 0; x < n; ++x) {
            bg[x] = static_cast<T>((bg[x] - l.blue(rg[x]) + l.quarter) & l.mask);
        }
    }
}

template <typename T>
KVCODEC_INLINE void unliftRgb(T* g, const T* rg, T* bg, size_t n, unsigned depth, bool blue) {
    const Lifting<T> l(depth);
    if (blue) {
        for (size_t x = 0; x < n; ++x) {
            bg[x] = static_cast<T>((bg[x] + l.blue(rg[x]) - l.quarter) & l.mask);
        }
    }
    for (size_t x = 0; x < n; ++x) {
        g[x] = static_cast<T>((g[x] - l.green(rg[x], bg[x]) + l.quarter) & l.mask);
    }
}

// The bit lengths of the magnitudes of a row's residuals (but the first column's) under
// predictor P, added up: near enough to what the row costs to tell which of two forms of a
// plane, or which predictor, codes smaller. Magnitudes, as the coded residuals' signs are
// mirrored: a zigzag's length depends on the sign, and the average's rounding leans negative.
template <code::Predictor P, typename T>
KVCODEC_INLINE uint32_t residualBits(const T* cur, const T* top, uint32_t w, unsigned depth) {
    const int32_t mask = (1 << depth) - 1;
    const unsigned signShift = depth - 1;
    uint32_t bits = 0;
    for (uint32_t x = 1; x < w; ++x) {
        const int32_t r = (cur[x] - code::predict<P>(cur[x - 1], top[x], top[x - 1])) & mask;
        const int32_t negative = 0 - (r >> signShift);
        const int32_t magnitude = ((r ^ negative) - negative) & mask;
        // A float's exponent is the bit length, and vectorises where a count of leading zeros
        // does not.
        const auto e =
            static_cast<int32_t>(std::bit_cast<uint32_t>(static_cast<float>(magnitude)) >> 23);
        bits += static_cast<uint32_t>(std::max(e - 126, 0));
    }
    return bits;
}

// Residuals of one row from x on under predictor P, given the row above (null for a slice's
// first row, which predicts from the left and its first sample from mid-grey; the first column
// predicts from above).
template <code::Predictor P, typename Sample>
KVCODEC_INLINE void residualRow(const Sample* cur, const Sample* top, uint32_t w, unsigned depth,
                                uint16_t* z, uint32_t x) {
    const int32_t mask = (1 << depth) - 1;
    const unsigned signShift = depth - 1;
    auto zigzag = [&](int32_t r) {
        r &= mask;
        return static_cast<uint16_t>(((r << 1) ^ (0 - (r >> signShift))) & mask);
    };
    if (x == 0) {
        z[0] = zigzag(cur[0] - (top != nullptr ? top[0] : 1 << signShift));
        x = 1;
    }
    if (top == nullptr) {
        for (; x < w; ++x) {
            z[x] = zigzag(cur[x] - cur[x - 1]);
        }
        return;
    }
    for (; x < w; ++x) {
        const int32_t r = cur[x] - code::predict<P>(cur[x - 1], top[x], top[x - 1]);
        z[x] = zigzag(code::mirrors(top[x], top[x - 1]) ? -r : r);
    }
}

// A row's symbols, context << 8 | token, and its activities, from its residuals and contexts,
// for columns x to end - 1.
KVCODEC_INLINE void symbolRow(const uint16_t* z, const uint8_t* ctx, unsigned depth, uint8_t* own,
                              uint16_t* sym, uint32_t x, uint32_t end) {
    for (; x < end; ++x) {
        unsigned rawBits;
        const unsigned token = code::tokenOf(z[x], depth, &rawBits);
        own[x] = static_cast<uint8_t>(code::activity(token));
        sym[x] = static_cast<uint16_t>(ctx[x] << 8 | token);
    }
}

KVCODEC_INLINE void contextSpan(const uint8_t* above, const uint8_t* twoAbove, uint8_t* ctx,
                                uint32_t x, uint32_t end) {
    for (; x < end; ++x) {
        ctx[x] = static_cast<uint8_t>(code::wideContext(above + x, twoAbove + x));
    }
}

KVCODEC_INLINE void contextRow(const uint8_t* above, const uint8_t* twoAbove, uint32_t w,
                               uint8_t* ctx) {
    contextSpan(above, twoAbove, ctx, 0, w);
}

KVCODEC_INLINE void classContextRow(const uint8_t* above, const uint8_t* twoAbove, uint32_t w,
                                    const uint16_t* classBounds, uint8_t* ctx) {
    const auto cls = [&](uint8_t token) {
        unsigned c = 0;
        for (int b = 0; b < 5; ++b) {
            c += token >= classBounds[b];
        }
        return c;
    };
    for (uint32_t x = 0; x < w; ++x) {
        ctx[x] = static_cast<uint8_t>(code::contextOf(cls(above[ptrdiff_t{x} - 1]), cls(above[x]),
                                                      cls(above[x + 1]), cls(twoAbove[x])));
    }
}

// Symbol counts of a plane kept in four tables of 16-bit counters, for the samples in turn, so
// that runs of one symbol do not wait on their own increments and the four tables together fit
// the first cache; they are added into the plane's counts before any counter could overflow.
//
// Counting is the largest part of the encoder's analysis, so only one row in kRowsPerWhole is
// counted whole, and weighs as many rows: the frequencies need the shape of each context's
// distribution, which a quarter of a photograph's rows gives nearly as well as all of them. But
// every symbol that is coded needs a count, so in the rows between a symbol is counted (once) when
// its token is at or above its context's floor, the first token of the context without a count
// yet; on photographs that leaves only the rare large residuals to count one by one. Tokens with
// raw bits are always counted, and only once, as the length of a plane's raw bits comes from
// the counts.
class SymbolCounter {
public:
    static constexpr uint32_t kRowsPerWhole = 4;

    SymbolCounter(uint32_t* counts, unsigned depth)
        : m_counts(counts), m_highestFloor(depth > 8 ? code::kLiteralTokens : 255) {
        raiseFloors();
    }
    ~SymbolCounter() { flush(); }

    static constexpr bool countedWhole(uint32_t row) { return row % kRowsPerWhole == 0; }

    KVCODEC_INLINE void countRow(const uint16_t* sym, uint32_t w) {
        // The first table takes the most of a row: a quarter and the last three.
        reserve(w / 4 + 3);
        uint32_t x = 0;
        for (; x + 3 < w; x += 4) {
            ++m_table[0][sym[x]];
            ++m_table[1][sym[x + 1]];
            ++m_table[2][sym[x + 2]];
            ++m_table[3][sym[x + 3]];
        }
        for (; x < w; ++x) {
            ++m_table[0][sym[x]];
        }
        raiseFloors();
    }

    // A row between whole ones: scan(sym, w, floors, count) may count the symbols at or above
    // their floors of a leading part of the row with count(symbol), and returns where it
    // stopped.
    template <typename Scan>
    KVCODEC_INLINE void countRareOnes(const uint16_t* sym, uint32_t w, Scan&& scan) {
        uint32_t x = scan(sym, w, static_cast<const uint8_t*>(m_floor),
                          [this](uint16_t symbol) { ++m_rare[symbol]; });
        for (; x < w; ++x) {
            if ((sym[x] & 0xFF) >= m_floor[sym[x] >> 8]) {
                ++m_rare[sym[x]];
            }
        }
        raiseFloors();
    }

private:
    static constexpr size_t kSymbols = code::kContexts * 256;

    void reserve(uint32_t increments) {
        if (m_pending + increments > 0xFFFF) {
            flush();
            std::memset(m_table, 0, sizeof(m_table));
            std::memset(m_rare, 0, sizeof(m_rare));
            m_pending = 0;
        }
        m_pending += increments;
    }

    // Adds the tables into the plane's counts; the tables are left as they are.
    void flush() {
        for (size_t k = 0; k < kSymbols; ++k) {
            const uint32_t whole =
                uint32_t{m_table[0][k]} + m_table[1][k] + m_table[2][k] + m_table[3][k];
            m_counts[k] += ((k & 0xFF) < m_highestFloor ? kRowsPerWhole : 1) * whole + m_rare[k];
        }
    }

    bool counted(size_t k) const {
        return (m_counts[k] | m_table[0][k] | m_table[1][k] | m_table[2][k] | m_table[3][k] |
                m_rare[k]) != 0;
    }

    // Counts only grow, so each context's floor only rises and the scans together cost one
    // look at each symbol a frame.
    void raiseFloors() {
        for (unsigned c = 0; c < code::kContexts; ++c) {
            unsigned u = m_unseen[c];
            while (u < 256 && counted(c * size_t{256} + u)) {
                ++u;
            }
            m_unseen[c] = static_cast<uint16_t>(u);
            m_floor[c] = static_cast<uint8_t>(std::min(u, m_highestFloor));
        }
    }

    uint32_t* m_counts;
    unsigned m_highestFloor;
    uint16_t m_table[4][kSymbols] = {};
    // The rare ones are few and need no flushing: a row between whole ones could add a count a
    // sample, which in 16 bits would have flushed every 65536 samples for a few dozen counts.
    uint32_t m_rare[kSymbols] = {};
    uint32_t m_pending = 0;
    uint16_t m_unseen[code::kContexts] = {};
    uint8_t m_floor[code::kContexts] = {};
};

// The scan of a row between whole ones that leaves every symbol to the counter's own loop.
struct NoRareScan {
    template <typename Count>
    uint32_t operator()(const uint16_t*, uint32_t, const uint8_t*, Count&&) const {
        return 0;
    }
};

// The encoder's analysis of a plane, a row at a time so that each row's residuals and tokens
// are used while they are in the first cache: `contexts(above, twoAbove, ctx)` takes a row's
// contexts from the activities above, `row(cur, top, z, ctx, own, sym)` its residuals, symbols
// and activities.
template <typename Sample, typename Contexts, typename Rows, typename Scan>
KVCODEC_INLINE void analyseRows(const Sample* s, uint32_t w, uint32_t rows, unsigned depth,
                                uint16_t* z, uint8_t* activityRows, uint16_t* sym, uint32_t* counts,
                                Contexts&& contexts, Rows&& row, Scan&& scanRare) {
    SymbolCounter counter(counts, depth);
    const ActivityRows activity(activityRows, w);
    uint8_t* ctx = activity.contexts();
    for (uint32_t y = 0; y < rows; ++y) {
        const Sample* cur = s + size_t{y} * w;
        uint8_t* own = activity.row(y);
        uint16_t* symRow = sym + size_t{y} * w;
        contexts(activity.above(y), activity.twoAbove(y), ctx);
        row(cur, y > 0 ? cur - w : nullptr, z + size_t{y} * w, ctx, own, symRow);
        ActivityRows::copyEdges(own, w);
        if (SymbolCounter::countedWhole(y)) {
            counter.countRow(symRow, w);
        } else {
            counter.countRareOnes(symRow, w, scanRare);
        }
    }
}

// Columns from to end - 1 of a row's analysis: residuals, tokens and symbols (the vector rows
// leave their edges to this).
template <code::Predictor P, typename Sample>
KVCODEC_INLINE void analyseColumns(const Sample* cur, const Sample* top, const uint8_t* ctx,
                                   unsigned depth, uint16_t* z, uint8_t* own, uint16_t* sym,
                                   uint32_t from, uint32_t end) {
    residualRow<P>(cur, top, end, depth, z, from);
    symbolRow(z, ctx, depth, own, sym, from, end);
}

// Calls f with the predictor as a constant of its type, for loops compiled for each.
template <typename F>
KVCODEC_INLINE decltype(auto) withPredictor(code::Predictor p, F&& f) {
    using code::Predictor;
    if (p == Predictor::Average) {
        return f(std::integral_constant<Predictor, Predictor::Average>{});
    }
    return f(std::integral_constant<Predictor, Predictor::Median>{});
}

// A row's analysis by a vector loop: block(x) takes columns x to x + N - 1, which need the
// column left of them, so blocks cover columns 1 on while they fit, and one more ends at column
// w - 2 over the one before (a sample's analysis depends on the input alone, so columns done
// twice come out the same): the scalar loop, ten times as slow a sample, is left the edges
// alone.
template <uint32_t N, code::Predictor P, typename Sample, typename Block>
KVCODEC_INLINE void analyseRowInBlocks(const Sample* cur, const Sample* top, const uint8_t* ctx,
                                       uint32_t w, unsigned depth, uint16_t* z, uint8_t* own,
                                       uint16_t* sym, Block&& block) {
    analyseColumns<P>(cur, top, ctx, depth, z, own, sym, 0, 1);
    uint32_t x = 1;
    for (; x + N + 1 <= w; x += N) {
        block(x);
    }
    if (x > 1 && x + 1 < w) {
        block(w - N - 1);
        x = w - 1;
    }
    analyseColumns<P>(cur, top, ctx, depth, z, own, sym, x, w);
}

template <typename Sample>
KVCODEC_INLINE void analyse(const Sample* s, uint32_t w, uint32_t rows, unsigned depth,
                            code::Predictor predictor, uint16_t* z, uint8_t* activityRows,
                            uint16_t* sym, uint32_t* counts) {
    withPredictor(predictor, [&](auto p) {
        analyseRows(
            s, w, rows, depth, z, activityRows, sym, counts,
            [&](const uint8_t* above, const uint8_t* twoAbove, uint8_t* ctx) {
                contextRow(above, twoAbove, w, ctx);
            },
            [&](const Sample* cur, const Sample* top, uint16_t* zr, const uint8_t* ctx,
                uint8_t* own,
                uint16_t* symr) { analyseColumns<p()>(cur, top, ctx, depth, zr, own, symr, 0, w); },
            NoRareScan{});
    });
}

KVCODEC_INLINE size_t ransEncode(const uint16_t* sym, size_t n, const RansEncSymbol* table,
                                 uint32_t* states, uint16_t* end) {
    uint32_t x[kRansLanes];
    std::fill(x, x + kRansLanes, kRansLow);
    uint16_t* p = end;
    for (size_t i = n; i-- > 0;) {
        const RansEncSymbol& s = table[sym[i]];
        uint32_t& state = x[i % kRansLanes];
        if (state >= s.xMax()) {
            *--p = static_cast<uint16_t>(state);
            state >>= 16;
        }
        state = ransEncodeStep(state, s);
    }
    std::copy(x, x + kRansLanes, states);
    return static_cast<size_t>(end - p);
}

// Samples x0 to w - 1 of a row; ransDecodeRow gives the row its edges.
// T is the token's type: bytes for 8-bit planes, words for deeper ones.
template <typename T>
KVCODEC_INLINE void ransDecodeSpan(RansReader& in, const RansDecTable* tables, const uint8_t* ctx,
                                   uint8_t cap, uint8_t* act, T* tokens, uint32_t x0, uint32_t w) {
    uint32_t smallest = in.smallestEntry;
    for (uint32_t x = x0; x < w; ++x) {
        uint32_t& state = in.x[in.index++ % kRansLanes];
        const uint32_t e = tables[ctx[x]].entry[state & (kProbScale - 1)];
        smallest = std::min(smallest, e);
        state = ransDecodeStep(state, e);
        if (state < kRansLow) {
            uint32_t word = 0;
            if (in.end - in.words >= 2) {
                word = in.words[0] | uint32_t{in.words[1]} << 8;
                in.words += 2;
            } else {
                in.overrun = true;
            }
            state = state << 16 | word;
        }
        const auto token = static_cast<uint8_t>(e);
        tokens[x] = token;
        act[x] = std::min(token, cap);
    }
    in.smallestEntry = smallest;
}

template <typename T>
KVCODEC_INLINE void ransDecodeRow(RansReader& in, const RansDecTable* tables, const uint8_t* ctx,
                                  uint8_t cap, uint8_t* act, T* tokens, uint32_t w) {
    ransDecodeSpan(in, tables, ctx, cap, act, tokens, 0, w);
    ActivityRows::copyEdges(act, w);
}

// A row whose leading blocks of kRansLanes samples a vector loop decodes: `blocks(states,
// words, smallest)` gets the states rotated so that the row's first sample's lane comes first,
// decodes whole blocks while the row lasts and the words have not run out, and returns the
// samples it decoded; the reader is brought up to date and the rest decoded one by one. A block
// may read kRansReadPadding bytes past the words.
template <typename T, typename Blocks>
KVCODEC_INLINE void ransDecodeRowInBlocks(RansReader& in, const RansDecTable* tables,
                                          const uint8_t* ctx, uint8_t cap, uint8_t* act, T* tokens,
                                          uint32_t w, Blocks&& blocks) {
    uint32_t x = 0;
    if (w >= kRansLanes && in.words <= in.end) {
        const unsigned rotation = static_cast<unsigned>(in.index % kRansLanes);
        alignas(64) uint32_t states[kRansLanes];
        for (unsigned k = 0; k < kRansLanes; ++k) {
            states[k] = in.x[(rotation + k) % kRansLanes];
        }
        const uint8_t* words = in.words;
        x = blocks(states, words, in.smallestEntry);
        for (unsigned k = 0; k < kRansLanes; ++k) {
            in.x[(rotation + k) % kRansLanes] = states[k];
        }
        // Words taken past the end were the padding's zeros, which is what the loop one by one
        // takes there too; like it, the reader stays at its end and says it ran over.
        in.overrun = in.overrun || words > in.end;
        in.words = std::min(words, in.end);
        in.index += x;
    }
    ransDecodeSpan(in, tables, ctx, cap, act, tokens, x, w);
    ActivityRows::copyEdges(act, w);
}

// The raw bits of a deep plane's escaped residuals in scan order. A literal puts no bits, which
// keeps the loop free of branches, and four samples go out together (at most 4 x 12 bits).
KVCODEC_INLINE void putRawBits(const uint16_t* z, size_t n, BitWriter& writer) {
    BitWriter out = writer; // kept in registers
    const auto field = [&](size_t i, unsigned& bits) {
        bits = z[i] < code::kLiteralTokens ? 0 : 30 - __builtin_clz(z[i] | 1u);
        return z[i] & ((1u << bits) - 1);
    };
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        uint64_t v = 0;
        unsigned total = 0;
        for (size_t k = i; k < i + 4; ++k) {
            unsigned bits;
            const uint32_t f = field(k, bits);
            v = v << bits | f;
            total += bits;
        }
        out.put(v, total);
    }
    for (; i < n; ++i) {
        unsigned bits;
        const uint32_t f = field(i, bits);
        out.put(f, bits);
    }
    writer = out;
}

// A row of tokens into residuals: each token's smallest residual and the raw bits that follow
// it. Four samples' bits come in with one refill and one read (at most 4 x 12 bits) and are
// split from the last; a literal takes none, so no branch follows the noise.
KVCODEC_INLINE void takeRawBits(BitReader& reader, const uint8_t* rawBits, const uint16_t* base,
                                uint16_t* z, uint32_t w) {
    BitReader raw = reader; // kept in registers
    auto group = [&](uint32_t x, auto refill) {
        unsigned bits[4];
        unsigned total = 0;
        for (unsigned k = 0; k < 4; ++k) {
            bits[k] = rawBits[z[x + k]];
            total += bits[k];
        }
        refill();
        uint64_t v = raw.readWide(total);
        for (unsigned k = 4; k-- > 0;) {
            z[x + k] = static_cast<uint16_t>(base[z[x + k]] | (v & ((1u << bits[k]) - 1)));
            v >>= bits[k];
        }
    };
    // A group takes at most 6 bytes: as many groups as leave 8 bytes to load at every refill
    // need no check.
    const ptrdiff_t room = raw.room() - 16;
    const uint32_t unchecked =
        room > 0 ? std::min<uint32_t>(w / 4, static_cast<uint32_t>(room / 6)) * 4 : 0;
    // Flat and quiet pictures have long runs without a raw bit, which cost only a look.
    auto sixteen = [&](uint32_t x, auto refill) {
        uint32_t any = 0;
        for (unsigned k = 0; k < 16; ++k) {
            any |= z[x + k];
        }
        if (any >= code::kLiteralTokens) {
            for (unsigned k = 0; k < 16; k += 4) {
                group(x + k, refill);
            }
        }
    };
    uint32_t x = 0;
    for (; x + 16 <= unchecked; x += 16) {
        sixteen(x, [&] { raw.refillFast(); });
    }
    for (; x + 16 <= w; x += 16) {
        sixteen(x, [&] { raw.refill(); });
    }
    for (; x + 4 <= w; x += 4) {
        group(x, [&] { raw.refill(); });
    }
    for (; x < w; ++x) {
        raw.refill();
        z[x] = static_cast<uint16_t>(base[z[x]] | raw.readUpTo(rawBits[z[x]]));
    }
    reader = raw;
}

// Up to four rows under predictor P as a wavefront: each row runs one sample behind the row above
// it, so that its
// top and top-left samples are already rebuilt, and the rows' chains of dependent steps
// overlap in the processor. T is the plane's sample and Z its residual: bytes for 8-bit planes,
// words for deeper ones.
template <unsigned N, code::Predictor P, typename T, typename Z>
KVCODEC_INLINE void rebuildBand(const T* above, const Z* z, T* out, uint32_t w, uint32_t mask,
                                bool mirror) {
    const T* top[N];
    int32_t left[N] = {};
    // Mirrored residuals were coded negated; the first column's top-left is its top, which
    // never mirrors.
    const auto residualOf = [mirror](uint32_t zz, int32_t t, int32_t tl) {
        const uint32_t r = code::unzigzag(zz);
        return mirror && code::mirrors(t, tl) ? 0u - r : r;
    };
    for (unsigned r = 0; r < N; ++r) {
        top[r] = r == 0 ? above : out + size_t{r - 1} * w;
    }
    auto step = [&](unsigned r, uint32_t x) {
        const int32_t t = top[r][x];
        const int32_t tl = x == 0 ? t : top[r][x - 1];
        const int32_t pred = code::predict<P>(x == 0 ? t : left[r], t, tl);
        left[r] = static_cast<int32_t>(
            (static_cast<uint32_t>(pred) + residualOf(z[size_t{r} * w + x], t, tl)) & mask);
        out[size_t{r} * w + x] = static_cast<T>(left[r]);
    };
    // The rows start one after another, run together, and end one after another.
    for (uint32_t t = 0; t < N - 1 && t < w + N - 1; ++t) {
        for (unsigned r = 0; r <= t; ++r) {
            if (t - r < w) {
                step(r, t - r);
            }
        }
    }
    for (uint32_t t = N - 1; t < w; ++t) {
        for (unsigned r = 0; r < N; ++r) {
            const uint32_t x = t - r;
            const int32_t tt = top[r][x];
            const int32_t tl = top[r][x - (x > 0)];
            const int32_t pred = code::predict<P>(left[r], tt, tl);
            left[r] = static_cast<int32_t>((static_cast<uint32_t>(x == 0 ? tt : pred) +
                                            residualOf(z[size_t{r} * w + x], tt, tl)) &
                                           mask);
            out[size_t{r} * w + x] = static_cast<T>(left[r]);
        }
    }
    for (uint32_t t = std::max<uint32_t>(w, N - 1); t < w + N - 1; ++t) {
        for (unsigned r = 0; r < N; ++r) {
            if (t >= r && t - r < w) {
                step(r, t - r);
            }
        }
    }
}

// Rows after a slice's first (whose row above is not the virtual one): the average predictor
// predicts a slice's first row from the left, which is what the median makes of the virtual
// row, so a decoder rebuilds that row with the median whatever the plane's predictor.
template <typename T, typename Z>
KVCODEC_INLINE void rebuild(const T* above, const Z* z, T* out, uint32_t w, uint32_t rows,
                            unsigned depth, code::Predictor predictor, bool mirror) {
    const uint32_t mask = (1u << depth) - 1;
    withPredictor(predictor, [&](auto p) {
        uint32_t y = 0;
        for (; y + 4 <= rows; y += 4) {
            rebuildBand<4, p()>(y == 0 ? above : out + size_t{y - 1} * w, z + size_t{y} * w,
                                out + size_t{y} * w, w, mask, mirror);
        }
        for (; y < rows; ++y) {
            rebuildBand<1, p()>(y == 0 ? above : out + size_t{y - 1} * w, z + size_t{y} * w,
                                out + size_t{y} * w, w, mask, mirror);
        }
    });
}

} // namespace kvcodec::loops

#include "dsp/v1_loops.h"
