// The generic kernels of one table, compiled from the shared loops for one instruction set. A
// table's source includes dsp/coding_loops.h, then this inside a namespace of its own, with
// KVCODEC_KERNEL_TARGET set to its instruction set's function attributes (empty for the
// portable table).

#ifndef KVCODEC_KERNEL_TARGET
#error "KVCODEC_KERNEL_TARGET names the instruction set of the table being built"
#endif

template <bool Deep>
KVCODEC_KERNEL_TARGET void v1DecodeRows(BitReader& s0, BitReader& s1,
                                        const kvcodec::v1::DecodeTable* tables, uint16_t* window,
                                        uint32_t w, bool both) {
    loops::v1::decodeRows<Deep>(s0, s1, tables, window, w, both);
}

template <bool Deep>
KVCODEC_KERNEL_TARGET void v1RebuildRow(const uint16_t* above, const uint16_t* residuals,
                                        uint16_t* out, uint32_t w, uint32_t mask) {
    loops::v1::rebuildRow<Deep>(above, residuals, out, w, mask);
}

KVCODEC_KERNEL_TARGET void unpackRgb8(const uint8_t* row, uint8_t* g, uint8_t* rg, uint8_t* bg,
                                      uint32_t w) {
    loops::unpackRgb8(row, g, rg, bg, w);
}

KVCODEC_KERNEL_TARGET void unpackRgba8(const uint8_t* row, uint8_t* g, uint8_t* rg, uint8_t* bg,
                                       uint8_t* a, uint32_t w) {
    loops::unpackRgba8(row, g, rg, bg, a, w);
}

KVCODEC_KERNEL_TARGET void unpackUyvy8(const uint8_t* row, uint8_t* y, uint8_t* u, uint8_t* v,
                                       uint32_t groups) {
    loops::unpackUyvy8(row, y, u, v, groups);
}

KVCODEC_KERNEL_TARGET void packRgb8(const uint8_t* g, const uint8_t* rg, const uint8_t* bg,
                                    uint8_t* row, uint32_t w) {
    loops::packRgb8(g, rg, bg, row, w);
}

KVCODEC_KERNEL_TARGET void packRgba8(const uint8_t* g, const uint8_t* rg, const uint8_t* bg,
                                     const uint8_t* a, uint8_t* row, uint32_t w) {
    loops::packRgba8(g, rg, bg, a, row, w);
}

KVCODEC_KERNEL_TARGET void unpackRgb16(const uint8_t* row, uint16_t* const* planes, uint32_t w,
                                       unsigned components, unsigned depth) {
    loops::unpackRgb16(row, planes, w, components, depth);
}

KVCODEC_KERNEL_TARGET void packRgb16(const uint16_t* const* planes, uint8_t* row, uint32_t w,
                                     unsigned components, unsigned depth) {
    loops::packRgb16(planes, row, w, components, depth);
}

KVCODEC_KERNEL_TARGET void packUyvy8(const uint8_t* y, const uint8_t* u, const uint8_t* v,
                                     uint8_t* row, uint32_t groups) {
    loops::packUyvy8(y, u, v, row, groups);
}

KVCODEC_KERNEL_TARGET void narrowRow16(const uint8_t* row, uint16_t* out, uint32_t w,
                                       unsigned depth) {
    loops::narrowRow16(row, out, w, depth);
}

KVCODEC_KERNEL_TARGET void widenRow16(const uint16_t* in, uint8_t* row, uint32_t w,
                                      unsigned depth) {
    loops::widenRow16(in, row, w, depth);
}

KVCODEC_KERNEL_TARGET void analyse(const uint16_t* s, uint32_t w, uint32_t rows, unsigned depth,
                                   code::Predictor predictor, uint16_t* z, uint8_t* activityRows,
                                   uint16_t* sym, uint32_t* counts) {
    loops::analyse(s, w, rows, depth, predictor, z, activityRows, sym, counts);
}

KVCODEC_KERNEL_TARGET void analyse8(const uint8_t* s, uint32_t w, uint32_t rows,
                                    code::Predictor predictor, uint16_t* z, uint8_t* activityRows,
                                    uint16_t* sym, uint32_t* counts) {
    loops::analyse(s, w, rows, 8, predictor, z, activityRows, sym, counts);
}

KVCODEC_KERNEL_TARGET size_t ransEncode(const uint16_t* sym, size_t n, const RansEncSymbol* table,
                                        uint32_t* states, uint16_t* end) {
    return loops::ransEncode(sym, n, table, states, end);
}

KVCODEC_KERNEL_TARGET void contextRow(const uint8_t* above, const uint8_t* twoAbove, uint32_t w,
                                      uint8_t* ctx) {
    loops::contextRow(above, twoAbove, w, ctx);
}

KVCODEC_KERNEL_TARGET void classContextRow(const uint8_t* above, const uint8_t* twoAbove,
                                           uint32_t w, const uint16_t* classBounds, uint8_t* ctx) {
    loops::classContextRow(above, twoAbove, w, classBounds, ctx);
}

template <typename T>
KVCODEC_KERNEL_TARGET void ransDecodeRow(RansReader& in, const RansDecTable* tables,
                                         const uint8_t* ctx, uint8_t cap, uint8_t* act, T* tokens,
                                         uint32_t w) {
    loops::ransDecodeRow(in, tables, ctx, cap, act, tokens, w);
}

KVCODEC_KERNEL_TARGET void rebuild(const uint16_t* above, const uint16_t* z, uint16_t* out,
                                   uint32_t w, uint32_t rows, unsigned depth,
                                   code::Predictor predictor, bool mirror, uint16_t* /*scratch*/) {
    loops::rebuild(above, z, out, w, rows, depth, predictor, mirror);
}

KVCODEC_KERNEL_TARGET void rebuild8(const uint8_t* above, const uint8_t* z, uint8_t* out,
                                    uint32_t w, uint32_t rows, code::Predictor predictor,
                                    bool mirror, uint16_t* /*scratch*/) {
    loops::rebuild(above, z, out, w, rows, 8, predictor, mirror);
}

KVCODEC_KERNEL_TARGET void putRawBits(const uint16_t* z, size_t n, BitWriter& out) {
    loops::putRawBits(z, n, out);
}

KVCODEC_KERNEL_TARGET void takeRawBits(BitReader& raw, const uint8_t* rawBits, const uint16_t* base,
                                       uint16_t* z, uint32_t w) {
    loops::takeRawBits(raw, rawBits, base, z, w);
}

KVCODEC_KERNEL_TARGET void liftRgb8(uint8_t* g, const uint8_t* rg, uint8_t* bg, size_t n,
                                    bool green, bool blue) {
    loops::liftRgb<uint8_t>(g, rg, bg, n, 8, green, blue);
}

KVCODEC_KERNEL_TARGET void liftRgb16(uint16_t* g, const uint16_t* rg, uint16_t* bg, size_t n,
                                     unsigned depth, bool green, bool blue) {
    loops::liftRgb<uint16_t>(g, rg, bg, n, depth, green, blue);
}

KVCODEC_KERNEL_TARGET void unliftRgb8(uint8_t* g, const uint8_t* rg, uint8_t* bg, size_t n,
                                      bool blue) {
    loops::unliftRgb<uint8_t>(g, rg, bg, n, 8, blue);
}

KVCODEC_KERNEL_TARGET void unliftRgb16(uint16_t* g, const uint16_t* rg, uint16_t* bg, size_t n,
                                       unsigned depth, bool blue) {
    loops::unliftRgb<uint16_t>(g, rg, bg, n, depth, blue);
}

KVCODEC_KERNEL_TARGET uint32_t residualBits8(const uint8_t* row, const uint8_t* above, uint32_t w,
                                             code::Predictor predictor) {
    return loops::withPredictor(
        predictor, [&](auto p) { return loops::residualBits<p()>(row, above, w, 8u); });
}

KVCODEC_KERNEL_TARGET uint32_t residualBits16(const uint16_t* row, const uint16_t* above,
                                              uint32_t w, unsigned depth,
                                              code::Predictor predictor) {
    return loops::withPredictor(
        predictor, [&](auto p) { return loops::residualBits<p()>(row, above, w, depth); });
}

// Every entry from the loops above; a table replaces the ones it has better kernels for.
constexpr Kernels genericKernels(const char* name) {
    return {name,
            analyse,
            analyse8,
            ransEncode,
            contextRow,
            classContextRow,
            ransDecodeRow<uint16_t>,
            ransDecodeRow<uint8_t>,
            rebuild,
            rebuild8,
            putRawBits,
            takeRawBits,
            {v1DecodeRows<false>, v1DecodeRows<true>},
            {v1RebuildRow<false>, v1RebuildRow<true>},
            unpackRgb8,
            unpackRgba8,
            unpackUyvy8,
            packRgb8,
            packRgba8,
            packUyvy8,
            unpackRgb16,
            packRgb16,
            narrowRow16,
            widenRow16,
            liftRgb8,
            liftRgb16,
            unliftRgb8,
            unliftRgb16,
            residualBits8,
            residualBits16};
}
