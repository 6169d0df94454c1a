// The loops that touch every sample, gathered in one table per instruction set. The table in use
// is chosen from the processor's features and the caller's mask; the rest of the library reaches
// these loops only through it, and every entry of a faster table has a portable twin that gives
// the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/bit_io.h"
#include "core/geometry.h"
#include "core/prefix_code.h"

namespace kvcodec {

// Rows of the decoder's window lie this many samples apart, so that the decoding loops reach the
// row above and the row below from one pointer by constant offsets and keep their state in
// registers. Row 0 holds the samples above the two rows being decoded, rows 1 and 2 receive
// their residuals.
constexpr size_t kWindowStride = kMaxSide + 64;

struct Kernels {
    const char* name;

    // The encoder's passes over one plane of a slice, whose rows lie one after another.
    // Gradient residuals, zigzagged: z = 2r for r >= 0, -2r - 1 below.
    void (*residuals)(const uint16_t* samples, uint32_t width, uint32_t rows, unsigned depth,
                      uint16_t* z);
    // Each residual's activity class, and each sample's context.
    void (*contexts)(const uint16_t* z, uint32_t width, uint32_t rows, unsigned depth,
                     uint8_t* classes, uint8_t* context);
    // Token counts per context, even rows in counts[0 .. kContexts * kMaxAlphabet), odd rows
    // after them; counts holds four such sets, the last two for the loop's own use. Indexed by
    // depth > 8, as are the entries below.
    void (*countTokens[2])(const uint16_t* z, const uint8_t* context, uint32_t width, uint32_t rows,
                           unsigned alphabet, uint32_t* counts);
    // The codes of rows firstRow, firstRow + 2, ...
    void (*writeCodes[2])(const uint16_t* z, const uint8_t* context, uint32_t width, uint32_t rows,
                          uint32_t firstRow, unsigned alphabet, const Code* codes, BitWriter& out);

    // The decoder's: the residuals of window rows 1 (from `even`) and, when `both`, 2 (from
    // `odd`), each with its class on top.
    void (*decodeRows[2])(BitReader& even, BitReader& odd, const DecodeTable* tables,
                          uint16_t* window, uint32_t width, bool both);
    // A row rebuilt from the row above and its residuals, keeping the classes.
    void (*rebuildRow[2])(const uint16_t* above, const uint16_t* residuals, uint16_t* out,
                          uint32_t width, uint32_t mask);

    // 8-bit rows of coded planes into packed layouts: R G B from G, R-G and B-G, and groups of
    // U Y V Y.
    void (*packRgb8)(const uint16_t* g, const uint16_t* rg, const uint16_t* bg, uint8_t* row,
                     uint32_t width);
    void (*packUyvy8)(const uint16_t* y, const uint16_t* u, const uint16_t* v, uint8_t* row,
                      uint32_t groups);
};

// The table for this processor within the mask.
const Kernels& activeKernels();
const Kernels& portableKernels();
// The AVX2 table, or null where the library has none.
const Kernels* x86Avx2Kernels();

// KORVADIN_CPU_* bits of this processor, found once.
uint32_t cpuFeatures();
uint32_t detectCpuFeatures();
void setCpuMask(uint32_t mask);

} // namespace kvcodec
