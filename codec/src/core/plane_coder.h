// One plane of one slice in the current bitstream: its samples stored as they are, or their
// median residuals as tokens range-coded on interleaved lanes under the frame's tables, with
// the raw bits of large residuals after them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/bit_io.h"
#include "core/rans_tables.h"
#include "core/residual_code.h"
#include "core/status.h"

namespace kvcodec {

struct Kernels;

constexpr size_t kPlaneHeaderBytes = 8;
// Word count and the lanes' states ahead of the words.
constexpr size_t kRansHeaderBytes = 4 + 4 * kRansLanes;

// Room for a plane: a coded plane that would not be smaller is stored. The bit writer of the
// stored form stores 8 bytes at a time, up to 7 past its last byte.
inline uint64_t planeBound(uint64_t samples, unsigned depth) {
    return kPlaneHeaderBytes + storedBytes(samples, depth) + 8;
}

// The frame's code for one plane: what both sides derive from its frequency tables.
struct PlaneTables {
    unsigned depth = 8;
    unsigned alphabet = 256;
    bool used[code::kContexts] = {};
    // Version 2 took its contexts from the tokens' classes; the first token of each class above
    // 0 (classes grow with the token).
    bool classContexts = false;
    uint16_t classBounds[5] = {};
    // Versions before 5 coded every residual as it came (code::mirrors), and predicted every
    // plane by the median: version 5 brought mirroring and the average together.
    bool mirrorsAndAverages = true;
    // By token: the raw bits that follow it and the smallest residual it stands for (a literal:
    // none, and itself).
    uint8_t rawBits[256] = {};
    uint16_t base[256] = {};
    std::unique_ptr<RansEncSymbol[]> enc; // encoder: kContexts * 256, by symbol
    std::unique_ptr<RansDecTable[]> dec;  // decoder: kContexts

    // Tables for either side; the other side's are not allocated.
    PlaneTables(unsigned depth, bool encoder);
    // Builds the tables of one context from its frequencies (or marks it unused).
    void set(unsigned context, const Frequencies* f);
};

// The encoder's view of a plane of a slice, made by the analysis pass.
struct PlaneSymbols {
    const uint16_t* z;       // zigzagged residuals
    const uint16_t* symbols; // context << 8 | token
    const uint32_t* counts;  // of each symbol
    uint32_t width;
    uint32_t rows;
    code::Predictor predictor;
};

// Room for the words of a plane of n samples: at most one a sample, and eight below them that
// the coder may write over.
inline size_t wordRoom(size_t n) {
    return n + 8;
}

// Codes the plane into out (planeBound bytes) and returns its size, or 0 when storing it would
// take no more room; `words` has wordRoom words. `lift` is the colour lifting step the record
// names for its samples (1 for blue's, else 0).
size_t encodePlane(const Kernels& k, const PlaneSymbols& in, const PlaneTables& t, uint16_t* words,
                   uint8_t lift, uint8_t* out);

// Writes the samples as a stored plane; returns its size.
template <typename T>
size_t storePlane(const T* samples, size_t n, unsigned depth, uint8_t lift, uint8_t* out);

// Working memory of one thread decoding planes up to `width` samples wide.
struct PlaneDecodeScratch {
    std::vector<uint16_t> z;           // a band of rows of residuals, bytes for 8-bit planes
    std::vector<uint16_t> midGrey;     // the row above a slice's first, of either sample type
    std::vector<uint8_t> activityRows; // ActivityRows' memory
    std::vector<uint16_t> rebuild;     // the rebuilding kernel's own
    std::vector<uint8_t> words;        // a plane's words, with room for reading past them
    PlaneDecodeScratch(uint32_t width, size_t largestPlane);
};

// Decodes one plane from in[0, size) into samples (bytes for 8-bit planes, words for deeper
// ones); sets *used to its byte count. Each sample comes back in its low `depth` bits.
// in[size, readable) may be read but is not the plane's. A plane that may name a lifting step
// sets *lift to it; where `lift` is null, the record must name none.
template <typename T>
Status decodePlane(const Kernels& k, const uint8_t* in, size_t size, size_t readable,
                   uint32_t width, uint32_t rows, const PlaneTables& t, T* samples, size_t* used,
                   uint8_t* lift, PlaneDecodeScratch& scratch);

} // namespace kvcodec
