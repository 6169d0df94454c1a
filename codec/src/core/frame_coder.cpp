#include "core/frame_coder.h"

#include <algorithm>
#include <cstring>

#include "core/bit_io.h"
#include "core/stream_config.h"
#include "dsp/kernels.h"

namespace kvcodec {

namespace {

constexpr uint8_t kFrameMagic = 'K';

uint64_t headerBytes(const Geometry& g) {
    return 8 + 4ull * g.sliceCount;
}

uint64_t sliceBound(const Geometry& g, uint32_t s) {
    uint64_t total = 0;
    for (unsigned p = 0; p < g.planeCount; ++p) {
        total += segmentBound(uint64_t{g.plane[p].width} * g.sliceRowCount(p, s), g.variant->depth);
    }
    return total;
}

// The first slice is never shorter than any other.
size_t largestSegment(const Geometry& g) {
    size_t largest = 0;
    for (unsigned p = 0; p < g.planeCount; ++p) {
        largest = std::max(largest, size_t{g.plane[p].width} * g.sliceRowCount(p, 0));
    }
    return largest;
}

uint32_t widestPlane(const Geometry& g) {
    uint32_t widest = 0;
    for (unsigned p = 0; p < g.planeCount; ++p) {
        widest = std::max(widest, g.plane[p].width);
    }
    return widest;
}

} // namespace

uint64_t frameBound(const Geometry& g) {
    uint64_t total = headerBytes(g);
    for (uint32_t s = 0; s < g.sliceCount; ++s) {
        total += sliceBound(g, s);
    }
    return total;
}

SliceScratch::SliceScratch(const Geometry& g) : coder(largestSegment(g), widestPlane(g)) {
    size_t total = 0;
    size_t offset[kMaxPlanes] = {};
    for (unsigned p = 0; p < g.planeCount; ++p) {
        offset[p] = total;
        total += size_t{g.plane[p].width} * g.sliceRowCount(p, 0);
    }
    samples.resize(total);
    for (unsigned p = 0; p < g.planeCount; ++p) {
        plane[p] = samples.data() + offset[p];
    }
}

FrameCoder::FrameCoder(const Geometry& g, unsigned threads)
    : m_geometry(g), m_threads(std::clamp(threads == 0 ? ThreadPool::processorCount() : threads, 1u,
                                          std::max(g.sliceCount, 1u))) {
    m_pool->reserve(m_threads);
    for (unsigned i = 0; i < m_threads; ++i) {
        m_scratch.push_back(std::make_unique<SliceScratch>(g));
    }
}

FrameCompressor::FrameCompressor(const Geometry& g, unsigned threads)
    : FrameCoder(g, threads), m_sliceOffset(g.sliceCount), m_sliceSize(g.sliceCount) {
    uint64_t offset = headerBytes(g);
    for (uint32_t s = 0; s < g.sliceCount; ++s) {
        m_sliceOffset[s] = offset;
        offset += sliceBound(g, s);
    }
    m_bound = offset;
}

Status FrameCompressor::encode(const RawView& in, uint8_t* out, uint32_t* size) {
    const Geometry& g = m_geometry;
    const Kernels& k = activeKernels();
    // Each slice is coded in its own worst-case region of the output, then the regions are
    // packed together in order; no frame-sized buffer of our own is needed.
    m_pool->run(g.sliceCount, m_threads, [&](uint32_t s, unsigned slot) {
        SliceScratch& scratch = *m_scratch[slot];
        gatherSlice(g, in, s, scratch.plane);
        uint8_t* dst = out + m_sliceOffset[s];
        size_t pos = 0;
        for (unsigned p = 0; p < g.planeCount; ++p) {
            pos += encodeSegment(k, scratch.plane[p], g.plane[p].width, g.sliceRowCount(p, s),
                                 g.variant->depth, dst + pos, scratch.coder);
        }
        m_sliceSize[s] = static_cast<uint32_t>(pos);
    });
    out[0] = kFrameMagic;
    out[1] = static_cast<uint8_t>(kBitstreamVersion);
    out[2] = out[3] = 0;
    storeLe32(out + 4, g.sliceCount);
    uint64_t pos = headerBytes(g);
    for (uint32_t s = 0; s < g.sliceCount; ++s) {
        storeLe32(out + 8 + 4ull * s, m_sliceSize[s]);
        if (pos != m_sliceOffset[s]) {
            std::memmove(out + pos, out + m_sliceOffset[s], m_sliceSize[s]);
        }
        pos += m_sliceSize[s];
    }
    *size = static_cast<uint32_t>(pos);
    return Status::Ok;
}

FrameDecompressor::FrameDecompressor(const Geometry& g, unsigned threads)
    : FrameCoder(g, threads), m_sliceOffset(g.sliceCount), m_sliceResult(g.sliceCount) {}

Status FrameDecompressor::decodeSlice(const Kernels& k, const uint8_t* in, uint64_t size,
                                      uint64_t readable, uint32_t s, const RawView& out,
                                      SliceScratch& scratch) {
    const Geometry& g = m_geometry;
    uint64_t pos = 0;
    for (unsigned p = 0; p < g.planeCount; ++p) {
        size_t used = 0;
        const Status r = decodeSegment(k, in + pos, size - pos, readable - pos, g.plane[p].width,
                                       g.sliceRowCount(p, s), g.variant->depth, scratch.plane[p],
                                       &used, scratch.coder);
        if (r != Status::Ok) {
            return r;
        }
        pos += used;
    }
    if (pos != size) {
        return Status::Corrupt;
    }
    scatterSlice(k, g, scratch.plane, s, out);
    return Status::Ok;
}

Status FrameDecompressor::decode(const uint8_t* in, uint64_t size, const RawView& out) {
    const Geometry& g = m_geometry;
    const uint64_t header = headerBytes(g);
    if (size < header) {
        return Status::Truncated;
    }
    if (in[0] != kFrameMagic || in[1] != kBitstreamVersion || in[2] != 0 || in[3] != 0 ||
        loadLe32(in + 4) != g.sliceCount) {
        return Status::Corrupt;
    }
    uint64_t pos = header;
    for (uint32_t s = 0; s < g.sliceCount; ++s) {
        m_sliceOffset[s] = pos;
        pos += loadLe32(in + 8 + 4ull * s);
    }
    if (pos > size) {
        return Status::Truncated;
    }
    if (pos != size) {
        return Status::Corrupt;
    }
    const Kernels& k = activeKernels();
    m_pool->run(g.sliceCount, m_threads, [&](uint32_t s, unsigned slot) {
        const uint64_t end = s + 1 < g.sliceCount ? m_sliceOffset[s + 1] : size;
        // A slice's code streams may load ahead into the next slice's bytes, never past the
        // frame.
        m_sliceResult[s] = decodeSlice(k, in + m_sliceOffset[s], end - m_sliceOffset[s],
                                       size - m_sliceOffset[s], s, out, *m_scratch[slot]);
    });
    for (const Status r : m_sliceResult) {
        if (r != Status::Ok) {
            return r;
        }
    }
    return Status::Ok;
}

} // namespace kvcodec
