// Whole frames: the frame header with its slice table, and the slices coded and decoded on the
// library's shared pool of threads.
#pragma once

#include <memory>
#include <vector>

#include "core/geometry.h"
#include "core/raw_planes.h"
#include "core/segment_coder.h"
#include "core/status.h"
#include "core/thread_pool.h"

namespace kvcodec {

// Largest possible frame; a frame that codes badly falls back to stored segments and never
// exceeds it.
uint64_t frameBound(const Geometry& g);

// Memory for one thread working on one slice, sized once for the largest slice.
struct SliceScratch {
    std::vector<uint16_t> samples;
    uint16_t* plane[kMaxPlanes] = {};
    PlaneScratch coder;
    explicit SliceScratch(const Geometry& g);
};

// What the compressor and the decompressor share: the geometry, a share of the pool and one
// scratch per thread a frame may run on. `threads` 0 means one per processor.
class FrameCoder {
public:
    FrameCoder(const Geometry& g, unsigned threads);
    const Geometry& geometry() const { return m_geometry; }

protected:
    Geometry m_geometry;
    SharedPool m_pool;
    unsigned m_threads;
    std::vector<std::unique_ptr<SliceScratch>> m_scratch;
};

class FrameCompressor : public FrameCoder {
public:
    FrameCompressor(const Geometry& g, unsigned threads);
    uint64_t bound() const { return m_bound; }
    // `out` holds bound() bytes.
    Status encode(const RawView& in, uint8_t* out, uint32_t* size);

private:
    std::vector<uint64_t> m_sliceOffset; // where each slice is coded before the frame is packed
    std::vector<uint32_t> m_sliceSize;
    uint64_t m_bound = 0;
};

class FrameDecompressor : public FrameCoder {
public:
    FrameDecompressor(const Geometry& g, unsigned threads);
    Status decode(const uint8_t* in, uint64_t size, const RawView& out);

private:
    Status decodeSlice(const Kernels& k, const uint8_t* in, uint64_t size, uint64_t readable,
                       uint32_t s, const RawView& out, SliceScratch& scratch);

    std::vector<uint64_t> m_sliceOffset;
    std::vector<Status> m_sliceResult;
};

} // namespace kvcodec
