#include "frame_coder.h"

#include <algorithm>
#include <cstring>

#include "bitio.h"
#include "korvadin_codec.h"

namespace kvcodec {

namespace {

constexpr uint8_t kConfigMagic[4] = {'K', 'V', 'D', 'N'};
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

void storeLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

uint16_t loadLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

unsigned poolSize(const Geometry& g, unsigned threads) {
    const unsigned wanted = threads == 0 ? WorkerPool::processorCount() : threads;
    return std::max(1u, std::min<unsigned>(wanted, g.sliceCount));
}

} // namespace

void writeConfig(const StreamConfig& c, uint8_t* out) {
    const Geometry& g = c.geometry;
    std::memset(out, 0, kConfigBytes);
    std::memcpy(out, kConfigMagic, 4);
    storeLe16(out + 4, kBitstreamVersion);
    storeLe16(out + 6, static_cast<uint16_t>(g.variant->id));
    storeLe16(out + 8, static_cast<uint16_t>(g.raw->code));
    out[10] = g.variant->depth;
    out[11] = static_cast<uint8_t>(g.planeCount);
    storeLe32(out + 12, g.width);
    storeLe32(out + 16, g.height);
    storeLe32(out + 20, g.sliceRows);
    out[24] = static_cast<uint8_t>(c.range);
    out[25] = static_cast<uint8_t>(c.fieldOrder);
}

int32_t readConfig(const uint8_t* in, uint64_t size, StreamConfig& c) {
    if (in == nullptr || size < kConfigBytes) {
        return KORVADIN_E_CONFIG;
    }
    if (std::memcmp(in, kConfigMagic, 4) != 0 || loadLe16(in + 4) != kBitstreamVersion ||
        in[26] != 0 || in[27] != 0) {
        return KORVADIN_E_CONFIG;
    }
    const Variant* v = findVariantPair(loadLe16(in + 8), loadLe16(in + 6));
    if (v == nullptr || in[10] != v->depth) {
        return KORVADIN_E_CONFIG;
    }
    if (!makeGeometry(*v, loadLe32(in + 12), loadLe32(in + 16), loadLe32(in + 20), c.geometry) ||
        c.geometry.planeCount != in[11]) {
        return KORVADIN_E_CONFIG;
    }
    c.range = in[24];
    c.fieldOrder = in[25];
    return KORVADIN_OK;
}

uint64_t frameBound(const Geometry& g) {
    uint64_t total = headerBytes(g);
    for (uint32_t s = 0; s < g.sliceCount; ++s) {
        total += sliceBound(g, s);
    }
    return total;
}

namespace {

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

FrameEncoder::FrameEncoder(const Geometry& g, unsigned threads)
    : m_geometry(g), m_pool(poolSize(g, threads)), m_sliceOffset(g.sliceCount),
      m_sliceSize(g.sliceCount) {
    for (unsigned i = 0; i < m_pool.size(); ++i) {
        m_scratch.push_back(std::make_unique<SliceScratch>(g));
    }
    uint64_t offset = headerBytes(g);
    for (uint32_t s = 0; s < g.sliceCount; ++s) {
        m_sliceOffset[s] = offset;
        offset += sliceBound(g, s);
    }
    m_bound = offset;
}

int32_t FrameEncoder::encode(const RawView& in, uint8_t* out, uint32_t* size) {
    const Geometry& g = m_geometry;
    // Each slice is coded in its own worst-case region of the output, then the regions are
    // packed together in order; no frame-sized buffer of our own is needed.
    m_pool.run(g.sliceCount, [&](uint32_t s, unsigned worker) {
        SliceScratch& scratch = *m_scratch[worker];
        gatherSlice(g, in, s, scratch.plane);
        uint8_t* dst = out + m_sliceOffset[s];
        size_t pos = 0;
        for (unsigned p = 0; p < g.planeCount; ++p) {
            pos += encodeSegment(scratch.plane[p], g.plane[p].width, g.sliceRowCount(p, s),
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
    return KORVADIN_OK;
}

FrameDecoder::FrameDecoder(const Geometry& g, unsigned threads)
    : m_geometry(g), m_pool(poolSize(g, threads)), m_sliceOffset(g.sliceCount),
      m_sliceResult(g.sliceCount) {
    for (unsigned i = 0; i < m_pool.size(); ++i) {
        m_scratch.push_back(std::make_unique<SliceScratch>(g));
    }
}

int32_t FrameDecoder::decodeSlice(const uint8_t* in, uint64_t size, uint64_t readable, uint32_t s,
                                  const RawView& out, SliceScratch& scratch) {
    const Geometry& g = m_geometry;
    uint64_t pos = 0;
    for (unsigned p = 0; p < g.planeCount; ++p) {
        size_t used = 0;
        const int32_t r = decodeSegment(in + pos, size - pos, readable - pos, g.plane[p].width,
                                        g.sliceRowCount(p, s), g.variant->depth, scratch.plane[p],
                                        &used, scratch.coder);
        if (r != KORVADIN_OK) {
            return r;
        }
        pos += used;
    }
    if (pos != size) {
        return KORVADIN_E_CORRUPT;
    }
    scatterSlice(g, scratch.plane, s, out);
    return KORVADIN_OK;
}

int32_t FrameDecoder::decode(const uint8_t* in, uint64_t size, const RawView& out) {
    const Geometry& g = m_geometry;
    const uint64_t header = headerBytes(g);
    if (size < header) {
        return KORVADIN_E_TRUNCATED;
    }
    if (in[0] != kFrameMagic || in[1] != kBitstreamVersion || in[2] != 0 || in[3] != 0 ||
        loadLe32(in + 4) != g.sliceCount) {
        return KORVADIN_E_CORRUPT;
    }
    uint64_t pos = header;
    for (uint32_t s = 0; s < g.sliceCount; ++s) {
        m_sliceOffset[s] = pos;
        pos += loadLe32(in + 8 + 4ull * s);
    }
    if (pos > size) {
        return KORVADIN_E_TRUNCATED;
    }
    if (pos != size) {
        return KORVADIN_E_CORRUPT;
    }
    m_pool.run(g.sliceCount, [&](uint32_t s, unsigned worker) {
        const uint64_t end = s + 1 < g.sliceCount ? m_sliceOffset[s + 1] : size;
        // A slice's code streams may load ahead into the next slice's bytes, never past the
        // frame.
        m_sliceResult[s] = decodeSlice(in + m_sliceOffset[s], end - m_sliceOffset[s],
                                       size - m_sliceOffset[s], s, out, *m_scratch[worker]);
    });
    for (const int32_t r : m_sliceResult) {
        if (r != KORVADIN_OK) {
            return r;
        }
    }
    return KORVADIN_OK;
}

} // namespace kvcodec
