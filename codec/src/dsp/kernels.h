// The loops that touch every sample, gathered in one table per instruction set. The table in use
// is chosen from the processor's features and the caller's mask; the rest of the library reaches
// these loops only through it, and every entry of a faster table has a portable twin that gives
// the same bytes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "core/bit_io.h"
#include "core/geometry.h"
#include "core/rans_tables.h"
#include "core/residual_code.h"
#include "core/v1/prefix_code.h"

namespace kvcodec {

// Rows of the decoder's window lie this many samples apart, so that the decoding loops reach the
// row above and the row below from one pointer by constant offsets and keep their state in
// registers. Row 0 holds the samples above the two rows being decoded, rows 1 and 2 receive
// their residuals.
constexpr size_t kWindowStride = kMaxSide + 64;

// The state of a range decoder inside a segment: the states of its lanes, the words still to be
// read and the index of the next symbol, whose lane is index % kRansLanes. At least
// kRansReadPadding bytes after `end` can be read (a block of lanes that starts at the end, and
// a vector's load of sixteen words after it); the words beyond it are not the segment's.
constexpr size_t kRansReadPadding = 2 * (kRansLanes + 16);

struct RansReader {
    uint32_t x[kRansLanes];
    const uint8_t* words; // 16-bit little-endian words
    const uint8_t* end;
    uint64_t index = 0;
    uint32_t smallestEntry = ~0u; // below 256: a context without a table was used
    bool overrun = false;
};

// What the median rebuilding may read past its residuals, and the memory it works in: room for
// seventeen rows of samples, or 33 rows of bytes, with margins.
constexpr size_t kRebuildSlack = 64;
constexpr size_t rebuildScratchSize(uint32_t width) {
    return 17 * (size_t{width} + 96) + 96;
}

// What the contexts of a row are taken from, the activities of the rows above (tokens capped, as
// bytes): three rows in turn and a row of zeros for those above a slice, each with kEdge copies
// of its end samples on either side; and a row of contexts with room for a vector's stores past
// its end.
class ActivityRows {
public:
    static constexpr size_t kEdge = 2;

    static constexpr size_t size(uint32_t width) { return 5 * stride(width) + 64; }

    // Over `memory` of size(width) bytes, which it zeroes.
    ActivityRows(uint8_t* memory, uint32_t width) : m_base(memory), m_stride(stride(width)) {
        std::fill(memory, memory + size(width), uint8_t{0});
    }

    uint8_t* row(uint32_t y) const { return m_base + (y % 3) * m_stride + kEdge; }
    const uint8_t* above(uint32_t y) const { return y > 0 ? row(y - 1) : zeros(); }
    const uint8_t* twoAbove(uint32_t y) const { return y > 1 ? row(y - 2) : zeros(); }
    uint8_t* contexts() const { return m_base + 4 * m_stride; }

    static void copyEdges(uint8_t* row, uint32_t width) {
        row[-2] = row[-1] = row[0];
        row[width] = row[width + 1] = row[width - 1];
    }

private:
    static constexpr size_t stride(uint32_t width) { return size_t{width} + 2 * kEdge; }
    const uint8_t* zeros() const { return m_base + 3 * m_stride + kEdge; }

    uint8_t* m_base;
    size_t m_stride;
};

struct Kernels {
    const char* name;

    // The current bitstream's passes over one plane of a slice, rows one after another.
    // The encoder's analysis of a plane of more than 8 bits: the median predictor's residuals,
    // mirrored (code::mirrors) and zigzagged, for the raw bits of escapes; each sample's symbol
    // (context << 8 | token); and the symbols added to counts[symbol] (kContexts * 256 of them).
    // `activityRows` is ActivityRows::size(width) bytes of the loop's own.
    void (*analyse)(const uint16_t* samples, uint32_t width, uint32_t rows, unsigned depth,
                    code::Predictor predictor, uint16_t* z, uint8_t* activityRows,
                    uint16_t* symbols, uint32_t* counts);
    // The same of a plane of 8-bit samples, which the encoder keeps as bytes (half the memory
    // they would take as words); z may be left unwritten.
    void (*analyse8)(const uint8_t* samples, uint32_t width, uint32_t rows,
                     code::Predictor predictor, uint16_t* z, uint8_t* activityRows,
                     uint16_t* symbols, uint32_t* counts);
    // Codes the symbols, last to first, into 16-bit words written backwards ending at `end`;
    // leaves the lanes' final states in `states` and returns the number of words. The eight
    // words below the last one written may be written too.
    size_t (*ransEncode)(const uint16_t* symbols, size_t n, const RansEncSymbol* table,
                         uint32_t* states, uint16_t* end);
    // The contexts of a row from the activities above it (ActivityRows::above and twoAbove), in the
    // current bitstream and in version 2, whose activities are the tokens themselves, counted by
    // their classes: the number of `classBounds` each reaches.
    void (*contextRow)(const uint8_t* above, const uint8_t* twoAbove, uint32_t width,
                       uint8_t* contexts);
    void (*classContextRow)(const uint8_t* above, const uint8_t* twoAbove, uint32_t width,
                            const uint16_t* classBounds, uint8_t* contexts);
    // Reads one row of tokens under their contexts into `tokens`, and their activities, the
    // tokens capped at `cap`, with the edges ActivityRows keeps. `tables` has kContexts entries.
    void (*ransDecodeRow)(RansReader& in, const RansDecTable* tables, const uint8_t* contexts,
                          uint8_t cap, uint8_t* activities, uint16_t* tokens, uint32_t width);
    // The same into bytes, for 8-bit planes, whose tokens are their zigzagged residuals.
    void (*ransDecodeRow8)(RansReader& in, const RansDecTable* tables, const uint8_t* contexts,
                           uint8_t cap, uint8_t* activities, uint8_t* tokens, uint32_t width);
    // Rows back from their zigzagged residuals under the predictor, given the row above the
    // first (for a slice's first row, mid-grey and the median: loops::rebuild); with `mirror`,
    // residuals where code::mirrors holds were coded negated. z has kRebuildSlack samples after
    // its rows; `scratch` holds rebuildScratchSize(width) samples.
    void (*rebuild)(const uint16_t* above, const uint16_t* z, uint16_t* out, uint32_t width,
                    uint32_t rows, unsigned depth, code::Predictor predictor, bool mirror,
                    uint16_t* scratch);
    // The same into a plane of 8-bit samples from residuals as bytes: the decoder keeps both as
    // bytes up to the packing into the raw layout.
    void (*rebuild8)(const uint8_t* above, const uint8_t* z, uint8_t* out, uint32_t width,
                     uint32_t rows, code::Predictor predictor, bool mirror, uint16_t* scratch);
    // The raw bits of a deep plane: the escaped residuals' low bits out in scan order; and a
    // row's tokens turned into residuals, by token the smallest residual it stands for (`base`)
    // and the number of raw bits that follow it.
    void (*putRawBits)(const uint16_t* z, size_t n, BitWriter& out);
    void (*takeRawBits)(BitReader& raw, const uint8_t* rawBits, const uint16_t* base, uint16_t* z,
                        uint32_t width);

    // Version 1's decoding, indexed by depth > 8: the residuals of window rows 1 (from `even`)
    // and, when `both`, 2 (from `odd`), each with its class on top; and a row rebuilt from the
    // row above and its residuals, keeping the classes.
    void (*v1DecodeRows[2])(BitReader& even, BitReader& odd, const v1::DecodeTable* tables,
                            uint16_t* window, uint32_t width, bool both);
    void (*v1RebuildRow[2])(const uint16_t* above, const uint16_t* residuals, uint16_t* out,
                            uint32_t width, uint32_t mask);

    // 8-bit rows of packed layouts into the encoder's planes of bytes: R G B (and A) into G,
    // R-G and B-G (and A), and groups of U Y V Y into Y, U and V.
    void (*unpackRgb8)(const uint8_t* row, uint8_t* g, uint8_t* rg, uint8_t* bg, uint32_t width);
    void (*unpackRgba8)(const uint8_t* row, uint8_t* g, uint8_t* rg, uint8_t* bg, uint8_t* a,
                        uint32_t width);
    void (*unpackUyvy8)(const uint8_t* row, uint8_t* y, uint8_t* u, uint8_t* v, uint32_t groups);
    // 8-bit rows of the decoder's planes of bytes into packed layouts: R G B (and A) from G, R-G
    // and B-G (and A), and groups of U Y V Y.
    void (*packRgb8)(const uint8_t* g, const uint8_t* rg, const uint8_t* bg, uint8_t* row,
                     uint32_t width);
    void (*packRgba8)(const uint8_t* g, const uint8_t* rg, const uint8_t* bg, const uint8_t* a,
                      uint8_t* row, uint32_t width);
    void (*packUyvy8)(const uint8_t* y, const uint8_t* u, const uint8_t* v, uint8_t* row,
                      uint32_t groups);
    // 16-bit rows of packed R G B or R G B A (`components` samples a pixel) into the planes G,
    // R-G, B-G (and A) of their top `depth` bits, and back with those bits repeated below them.
    void (*unpackRgb16)(const uint8_t* row, uint16_t* const* planes, uint32_t width,
                        unsigned components, unsigned depth);
    void (*packRgb16)(const uint16_t* const* planes, uint8_t* row, uint32_t width,
                      unsigned components, unsigned depth);
    // Rows of 16-bit little-endian samples into their top `depth` bits, and back with those bits
    // repeated below them.
    void (*narrowRow16)(const uint8_t* row, uint16_t* out, uint32_t width, unsigned depth);
    void (*widenRow16)(const uint16_t* in, uint8_t* row, uint32_t width, unsigned depth);
    // The colour lifting of n samples of the planes G, R-G and B-G (loops::liftRgb): green's
    // step and, when `blue`, blue's; and both undone, blue's only when `blue`.
    void (*liftRgb8)(uint8_t* g, const uint8_t* rg, uint8_t* bg, size_t n, bool green, bool blue);
    void (*liftRgb16)(uint16_t* g, const uint16_t* rg, uint16_t* bg, size_t n, unsigned depth,
                      bool green, bool blue);
    void (*unliftRgb8)(uint8_t* g, const uint8_t* rg, uint8_t* bg, size_t n, bool blue);
    void (*unliftRgb16)(uint16_t* g, const uint16_t* rg, uint16_t* bg, size_t n, unsigned depth,
                        bool blue);
    // What a row of residuals from the row above roughly costs under the predictor
    // (loops::residualBits).
    uint32_t (*residualBits8)(const uint8_t* row, const uint8_t* above, uint32_t width,
                              code::Predictor predictor);
    uint32_t (*residualBits16)(const uint16_t* row, const uint16_t* above, uint32_t width,
                               unsigned depth, code::Predictor predictor);
};

// The table for this processor within the mask.
const Kernels& activeKernels();
const Kernels& portableKernels();
// The AVX2 and AVX-512 tables, or null where the library has none.
const Kernels* x86Avx2Kernels();
const Kernels* x86Avx512Kernels();

// KORVADIN_CPU_* bits of this processor, found once.
uint32_t cpuFeatures();
uint32_t detectCpuFeatures();
void setCpuMask(uint32_t mask);

} // namespace kvcodec
