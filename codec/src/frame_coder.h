// Whole frames: the configuration bytes, the frame header with its slice table, and the
// slices coded and decoded on a worker pool.
#pragma once

#include <memory>
#include <vector>

#include "formats.h"
#include "layout.h"
#include "plane_coder.h"
#include "worker_pool.h"

namespace kvcodec {

constexpr uint16_t kBitstreamVersion = 1;
constexpr size_t kConfigBytes = 28;

struct StreamConfig {
    Geometry geometry;
    uint32_t range = 0;
    uint32_t fieldOrder = 0;
};

void writeConfig(const StreamConfig& config, uint8_t* out);
// Returns 0 or a library error code.
int32_t readConfig(const uint8_t* in, uint64_t size, StreamConfig& config);

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

class FrameEncoder {
public:
    FrameEncoder(const Geometry& g, unsigned threads);
    uint64_t bound() const { return m_bound; }
    const Geometry& geometry() const { return m_geometry; }
    // `out` holds bound() bytes.
    int32_t encode(const RawView& in, uint8_t* out, uint32_t* size);

private:
    Geometry m_geometry;
    WorkerPool m_pool;
    std::vector<std::unique_ptr<SliceScratch>> m_scratch;
    std::vector<uint64_t> m_sliceOffset; // where each slice is coded before the frame is packed
    std::vector<uint32_t> m_sliceSize;
    uint64_t m_bound = 0;
};

class FrameDecoder {
public:
    FrameDecoder(const Geometry& g, unsigned threads);
    int32_t decode(const uint8_t* in, uint64_t size, const RawView& out);

private:
    int32_t decodeSlice(const uint8_t* in, uint64_t size, uint64_t readable, uint32_t s,
                        const RawView& out, SliceScratch& scratch);

    Geometry m_geometry;
    WorkerPool m_pool;
    std::vector<std::unique_ptr<SliceScratch>> m_scratch;
    std::vector<uint64_t> m_sliceOffset;
    std::vector<int32_t> m_sliceResult;
};

} // namespace kvcodec
