// The hand-written kernels of the x86-64 table, each beside the shared loop it stands in for.
#pragma once

#include "dsp/kernels.h"

namespace kvcodec::x86 {

// One row of a plane of more than 8 bits; see loops::analyseRows.
void analyseRowDeepAvx2(const uint16_t* cur, const uint16_t* top, const uint8_t* ctx, uint32_t w,
                        unsigned depth, uint16_t* z, uint8_t* own, uint16_t* sym);
void analyseAvx2(const uint16_t* s, uint32_t w, uint32_t rows, unsigned depth, uint16_t* z,
                 uint8_t* activityRows, uint16_t* sym, uint32_t* counts);
void analyse8Avx2(const uint8_t* s, uint32_t w, uint32_t rows, uint16_t* z, uint8_t* activityRows,
                  uint16_t* sym, uint32_t* counts);
void contextRowAvx2(const uint8_t* above, const uint8_t* twoAbove, uint32_t w, uint8_t* ctx);
size_t ransEncodeAvx2(const uint16_t* sym, size_t n, const RansEncSymbol* table, uint32_t* states,
                      uint16_t* end);
void ransDecodeRowAvx2(RansReader& in, const RansDecTable* tables, const uint8_t* contexts,
                       uint8_t cap, uint8_t* act, uint16_t* tokens, uint32_t w);
void ransDecodeRow8Avx2(RansReader& in, const RansDecTable* tables, const uint8_t* contexts,
                        uint8_t cap, uint8_t* act, uint8_t* tokens, uint32_t w);

void medianRebuildAvx2(const uint16_t* above, const uint16_t* z, uint16_t* out, uint32_t w,
                       uint32_t rows, unsigned depth, uint16_t* scratch);
void medianRebuild8Avx2(const uint8_t* above, const uint8_t* z, uint8_t* out, uint32_t w,
                        uint32_t rows, uint16_t* scratch);

} // namespace kvcodec::x86
