// Whole frames: the frame header with its slice table, the frame's code tables, and the slices
// coded and decoded on the library's shared pool of threads.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "core/geometry.h"
#include "core/plane_coder.h"
#include "core/raw_planes.h"
#include "core/status.h"
#include "core/thread_pool.h"
#include "core/v1/segment_decoder.h"

namespace kvcodec {

// Largest possible frame; a frame that codes badly falls back to stored planes and never
// exceeds it.
uint64_t frameBound(const Geometry& g);

// The samples of one slice's coded planes, for one thread, sized once for the largest slice.
struct SliceScratch {
    std::vector<uint16_t> samples;
    uint16_t* plane[kMaxPlanes] = {};
    // The same memory as planes of bytes, which 8-bit samples are kept in.
    uint8_t* bytePlane[kMaxPlanes] = {};
    // Two rows of a plane in another form, to weigh the two against each other.
    std::vector<uint16_t> probe;
    explicit SliceScratch(const Geometry& g);
};

// What the compressor and the decompressor share: the geometry, a share of the pool, one
// scratch per thread a frame may run on and the frame's tables. `threads` 0 means one per
// processor.
class FrameCoder {
public:
    FrameCoder(const Geometry& g, unsigned threads);
    const Geometry& geometry() const { return m_geometry; }

protected:
    // Where plane p of slice s starts among the samples of all coded planes of a frame.
    size_t planeStart(uint32_t s, unsigned p) const { return m_planeStart[s * kMaxPlanes + p]; }
    uint64_t tableBlockBound() const;
    // Plane p's coding tables, into `tables`, from its frequencies; the planes' tables (and the
    // decoder's copies of them) are set in parallel, each on one thread of the pool.
    void setTables(PlaneTables& tables, unsigned p) const;

    Geometry m_geometry;
    SharedPool m_pool;
    unsigned m_threads;
    std::vector<std::unique_ptr<SliceScratch>> m_scratch;
    std::vector<size_t> m_planeStart;
    size_t m_frameSamples = 0;
    std::vector<Frequencies> m_frequencies; // per plane and context
    std::vector<uint8_t> m_contextUsed;     // per plane and context
};

class FrameCompressor : public FrameCoder {
public:
    FrameCompressor(const Geometry& g, unsigned threads);
    uint64_t bound() const { return m_bound; }
    // `out` holds bound() bytes.
    Status encode(const RawView& in, uint8_t* out, uint32_t* size);

private:
    // The slice's coded planes into the scratch, lifted as the slice's planes are coded.
    void gatherSlicePlanes(const Kernels& k, const RawView& in, uint32_t s, SliceScratch& scratch);
    void analyseSlice(const Kernels& k, const RawView& in, uint32_t s, unsigned slot);
    void buildTables(unsigned plane);
    size_t writeTables(uint8_t* out);
    void codeSlice(const Kernels& k, const RawView& in, uint32_t s, unsigned slot, uint8_t* out);
    // Moves the slices coded in their worst-case regions to their places, once all are coded.
    void placeSlices(uint8_t* out, uint64_t first);

    // Where the analysis of plane p of slice s on thread `slot` leaves its residuals.
    uint16_t* residuals(uint32_t s, unsigned p, unsigned slot);

    // The analysis of a whole frame, kept until every plane's tables are known. Residuals are
    // kept only where raw bits are written from them (planes of more than 8 bits); an 8-bit
    // plane's tokens are its residuals, so its analysis has one slice's room a thread.
    std::vector<uint16_t> m_z;
    std::vector<uint16_t> m_symbols;
    std::vector<uint32_t> m_counts;                   // per slice and plane, kContexts * 256
    std::vector<uint32_t> m_planeCounts;              // per plane, its counts over the whole frame
    std::vector<std::vector<uint8_t>> m_activityRows; // per thread
    std::vector<std::vector<uint16_t>> m_words;       // per thread
    std::vector<uint64_t> m_sliceOffset;              // each slice's worst-case region
    std::vector<uint64_t> m_sliceAt;                  // where it is coded: its region or its place
    std::vector<uint32_t> m_sliceSize;
    std::vector<uint8_t> m_blueLifted;        // per slice of an RGB layout
    std::vector<code::Predictor> m_predictor; // per slice and plane
    // A slice is coded at its place in the frame while every slice before it was coded at its
    // own, which on one thread is every slice; the others are coded in their regions and moved
    // when the frame's slices are all coded.
    std::mutex m_packing;
    std::vector<uint8_t> m_sliceCoded;
    uint32_t m_slicesInPlace = 0; // the slices before it are coded at their places
    uint64_t m_placedEnd = 0;     // where they end
    std::vector<uint64_t> m_slicePlace;
    std::vector<uint32_t> m_moves;     // the slices to move, in order
    std::vector<PlaneTables> m_tables; // per plane
    uint64_t m_tablesOffset = 0;
    uint64_t m_bound = 0;
};

class FrameDecompressor : public FrameCoder {
public:
    // Frames of the given bitstream version.
    FrameDecompressor(const Geometry& g, uint16_t version, unsigned threads);
    Status decode(const uint8_t* in, uint64_t size, const RawView& out);

private:
    Status readTables(const uint8_t* in, uint64_t size);
    // Whether the stream's planes take green's lifting step: RGB layouts, from the version that
    // brought it on.
    bool liftsColour() const;
    // Into the slot's planes of bytes or of words.
    template <typename T>
    Status decodeSlice(const Kernels& k, const uint8_t* in, uint64_t size, uint64_t readable,
                       uint32_t s, const RawView& out, unsigned slot, T* const* planes);

    uint16_t m_version;
    std::vector<std::unique_ptr<PlaneDecodeScratch>> m_planeScratch;      // per thread
    std::vector<std::unique_ptr<v1::SegmentScratch>> m_versionOneScratch; // per thread
    // Per thread, each a copy of every plane's tables: the rANS decoding looks its tables up at
    // random, and tables that one processor set and another reads cost that one a cache miss
    // at nearly every lookup until it has them all (a slice decoded 10-15% slower on two
    // threads than on one).
    std::vector<std::vector<PlaneTables>> m_tables;
    std::vector<uint64_t> m_sliceOffset;
    std::vector<Status> m_sliceResult;
};

} // namespace kvcodec
