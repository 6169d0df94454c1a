// The generic kernels of one table, compiled from the shared loops for one instruction set. A
// table's source includes dsp/coding_loops.h, then this inside a namespace of its own, with
// KVCODEC_KERNEL_TARGET set to its instruction set's function attributes (empty for the
// portable table).

#ifndef KVCODEC_KERNEL_TARGET
#error "KVCODEC_KERNEL_TARGET names the instruction set of the table being built"
#endif

KVCODEC_KERNEL_TARGET void residuals(const uint16_t* s, uint32_t w, uint32_t rows, unsigned depth,
                                     uint16_t* z) {
    loops::gradientResiduals(s, w, rows, depth, z);
}

KVCODEC_KERNEL_TARGET void contexts(const uint16_t* z, uint32_t w, uint32_t rows, unsigned depth,
                                    uint8_t* cls, uint8_t* ctx) {
    loops::contexts(z, w, rows, depth, cls, ctx);
}

template <bool Deep>
KVCODEC_KERNEL_TARGET void countTokens(const uint16_t* z, const uint8_t* ctx, uint32_t w,
                                       uint32_t rows, unsigned alphabet, uint32_t* counts) {
    loops::countTokens<Deep>(z, ctx, w, rows, alphabet, counts);
}

template <bool Deep>
KVCODEC_KERNEL_TARGET void writeCodes(const uint16_t* z, const uint8_t* ctx, uint32_t w,
                                      uint32_t rows, uint32_t firstRow, unsigned alphabet,
                                      const Code* codes, BitWriter& out) {
    loops::writeCodes<Deep>(z, ctx, w, rows, firstRow, alphabet, codes, out);
}

template <bool Deep>
KVCODEC_KERNEL_TARGET void decodeRows(BitReader& s0, BitReader& s1, const DecodeTable* tables,
                                      uint16_t* window, uint32_t w, bool both) {
    loops::decodeRows<Deep>(s0, s1, tables, window, w, both);
}

template <bool Deep>
KVCODEC_KERNEL_TARGET void rebuildRow(const uint16_t* above, const uint16_t* residuals,
                                      uint16_t* out, uint32_t w, uint32_t mask) {
    loops::rebuildRow<Deep>(above, residuals, out, w, mask);
}

KVCODEC_KERNEL_TARGET void packRgb8(const uint16_t* g, const uint16_t* rg, const uint16_t* bg,
                                    uint8_t* row, uint32_t w) {
    loops::packRgb8(g, rg, bg, row, w);
}

KVCODEC_KERNEL_TARGET void packUyvy8(const uint16_t* y, const uint16_t* u, const uint16_t* v,
                                     uint8_t* row, uint32_t groups) {
    loops::packUyvy8(y, u, v, row, groups);
}

// Every entry from the loops above; a table replaces the ones it has better kernels for.
constexpr Kernels genericKernels(const char* name) {
    return {name,
            residuals,
            contexts,
            {countTokens<false>, countTokens<true>},
            {writeCodes<false>, writeCodes<true>},
            {decodeRows<false>, decodeRows<true>},
            {rebuildRow<false>, rebuildRow<true>},
            packRgb8,
            packUyvy8};
}
