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

uint64_t sliceSamples(const Geometry& g, uint32_t s, unsigned p) {
    return uint64_t{g.plane[p].width} * g.sliceRowCount(p, s);
}

uint64_t sliceBound(const Geometry& g, uint32_t s) {
    uint64_t total = 0;
    for (unsigned p = 0; p < g.planeCount; ++p) {
        total += planeBound(sliceSamples(g, s, p), g.variant->depth);
    }
    return total;
}

// The first slice is never shorter than any other.
size_t largestPlane(const Geometry& g) {
    size_t largest = 0;
    for (unsigned p = 0; p < g.planeCount; ++p) {
        largest = std::max(largest, static_cast<size_t>(sliceSamples(g, 0, p)));
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

// Each context's table: one bit for whether it is used, then its frequencies.
uint64_t maxTableBits(unsigned alphabet) {
    // At most 17 bits for the token count and 15 for each token's index step.
    return 1 + 17 + 15ull * alphabet;
}

void writeFrameHeader(uint8_t* out, uint16_t version, uint32_t slices) {
    out[0] = kFrameMagic;
    out[1] = static_cast<uint8_t>(version);
    out[2] = out[3] = 0;
    storeLe32(out + 4, slices);
}

Status checkFrameHeader(const uint8_t* in, uint64_t size, uint16_t version, const Geometry& g) {
    if (size < headerBytes(g)) {
        return Status::Truncated;
    }
    if (in[0] != kFrameMagic || in[1] != version || in[2] != 0 || in[3] != 0 ||
        loadLe32(in + 4) != g.sliceCount) {
        return Status::Corrupt;
    }
    return Status::Ok;
}

// 8-bit samples are kept as bytes, half the memory the passes over them would move as words.
bool keptAsBytes(const Geometry& g) {
    return g.variant->depth == 8;
}

// Packed layouts are the RGB ones; their planes are lifted from the version that lifts them on.
bool isRgb(const Geometry& g) {
    return g.raw->kind == RawKind::Packed;
}

constexpr uint16_t kFirstLiftingVersion = 4;
constexpr uint16_t kFirstMirroringVersion = 5;

constexpr code::Predictor kMedian = code::Predictor::Median;

// The predictor that codes a plane of a slice smaller, judged on one row in 16 (and the row
// above each) by the bit lengths of both predictors' residual magnitudes. The median wins on
// nearly every picture; the average, where every sample carries noise of its own.
template <typename T>
code::Predictor cheaperPredictor(const Kernels& k, const T* plane, uint32_t w, uint32_t rows,
                                 unsigned depth) {
    uint64_t median = 0;
    uint64_t average = 0;
    for (uint32_t y = std::min(7u, rows - 1); y >= 1 && y < rows; y += 16) {
        const T* cur = plane + size_t{y} * w;
        if constexpr (sizeof(T) == 2) {
            median += k.residualBits16(cur, cur - w, w, depth, kMedian);
            average += k.residualBits16(cur, cur - w, w, depth, code::Predictor::Average);
        } else {
            median += k.residualBits8(cur, cur - w, w, kMedian);
            average += k.residualBits8(cur, cur - w, w, code::Predictor::Average);
        }
    }
    return average < median ? code::Predictor::Average : kMedian;
}

// Whether blue's lifting step makes the slice's B-G plane code smaller, judged on one row in 64
// and the row above each. Where a picture's B-G follows its R-G, taking half of R-G leaves less;
// where the channels' noise is their own, it adds to it.
template <typename T>
bool blueLiftPays(const Kernels& k, const T* rg, const T* bg, uint32_t w, uint32_t rows,
                  unsigned depth, T* probe) {
    uint64_t plain = 0;
    uint64_t lifted = 0;
    for (uint32_t y = std::min(31u, rows - 1); y >= 1 && y < rows; y += 64) {
        const size_t above = size_t{y - 1} * w;
        std::copy(bg + above, bg + above + 2 * size_t{w}, probe);
        if constexpr (sizeof(T) == 2) {
            k.liftRgb16(nullptr, rg + above, probe, 2 * size_t{w}, depth, false, true);
            plain += k.residualBits16(bg + above + w, bg + above, w, depth, kMedian);
            lifted += k.residualBits16(probe + w, probe, w, depth, kMedian);
        } else {
            k.liftRgb8(nullptr, rg + above, probe, 2 * size_t{w}, false, true);
            plain += k.residualBits8(bg + above + w, bg + above, w, kMedian);
            lifted += k.residualBits8(probe + w, probe, w, kMedian);
        }
    }
    return lifted < plain;
}

// Blue's lifting step over the slice's B-G plane.
void liftBlue(const Kernels& k, const Geometry& g, uint32_t s, SliceScratch& scratch) {
    const size_t n = sliceSamples(g, s, 2);
    if (keptAsBytes(g)) {
        k.liftRgb8(nullptr, scratch.bytePlane[1], scratch.bytePlane[2], n, false, true);
    } else {
        k.liftRgb16(nullptr, scratch.plane[1], scratch.plane[2], n, g.variant->depth, false, true);
    }
}

} // namespace

uint64_t frameBound(const Geometry& g) {
    uint64_t total = headerBytes(g) + 4 + 8;
    total +=
        g.planeCount * code::kContexts * maxTableBits(code::alphabetSize(g.variant->depth)) / 8;
    for (uint32_t s = 0; s < g.sliceCount; ++s) {
        total += sliceBound(g, s);
    }
    return total;
}

SliceScratch::SliceScratch(const Geometry& g) {
    size_t total = 0;
    size_t offset[kMaxPlanes] = {};
    for (unsigned p = 0; p < g.planeCount; ++p) {
        offset[p] = total;
        total += sliceSamples(g, 0, p);
    }
    samples.resize(total);
    probe.resize(2 * size_t{widestPlane(g)});
    for (unsigned p = 0; p < g.planeCount; ++p) {
        plane[p] = samples.data() + offset[p];
        bytePlane[p] = reinterpret_cast<uint8_t*>(samples.data()) + offset[p];
    }
}

FrameCoder::FrameCoder(const Geometry& g, unsigned threads)
    : m_geometry(g), m_threads(std::clamp(threads == 0 ? ThreadPool::processorCount() : threads, 1u,
                                          std::max(g.sliceCount, 1u))),
      m_planeStart(size_t{g.sliceCount} * kMaxPlanes),
      m_frequencies(size_t{g.planeCount} * code::kContexts),
      m_contextUsed(size_t{g.planeCount} * code::kContexts) {
    m_pool->reserve(m_threads);
    for (unsigned i = 0; i < m_threads; ++i) {
        m_scratch.push_back(std::make_unique<SliceScratch>(g));
    }
    for (uint32_t s = 0; s < g.sliceCount; ++s) {
        for (unsigned p = 0; p < g.planeCount; ++p) {
            m_planeStart[s * kMaxPlanes + p] = m_frameSamples;
            m_frameSamples += sliceSamples(g, s, p);
        }
    }
}

void FrameCoder::setTables(PlaneTables& tables, unsigned p) const {
    for (unsigned c = 0; c < code::kContexts; ++c) {
        const size_t i = p * code::kContexts + c;
        tables.set(c, m_contextUsed[i] != 0 ? &m_frequencies[i] : nullptr);
    }
}

uint64_t FrameCoder::tableBlockBound() const {
    return m_geometry.planeCount * code::kContexts *
               maxTableBits(code::alphabetSize(m_geometry.variant->depth)) / 8 +
           8;
}

FrameCompressor::FrameCompressor(const Geometry& g, unsigned threads)
    : FrameCoder(g, threads), m_z(keptAsBytes(g) ? m_threads * largestPlane(g) : m_frameSamples),
      m_symbols(m_frameSamples),
      m_counts(size_t{g.sliceCount} * g.planeCount * code::kContexts * 256),
      m_planeCounts(size_t{g.planeCount} * code::kContexts * 256), m_sliceOffset(g.sliceCount),
      m_sliceAt(g.sliceCount), m_sliceSize(g.sliceCount), m_blueLifted(g.sliceCount),
      m_predictor(size_t{g.sliceCount} * g.planeCount, kMedian), m_sliceCoded(g.sliceCount),
      m_slicePlace(g.sliceCount) {
    m_moves.reserve(g.sliceCount);
    for (unsigned i = 0; i < m_threads; ++i) {
        m_activityRows.emplace_back(ActivityRows::size(widestPlane(g)));
        m_words.emplace_back(wordRoom(largestPlane(g)));
    }
    for (unsigned p = 0; p < g.planeCount; ++p) {
        m_tables.emplace_back(g.variant->depth, true);
    }
    m_tablesOffset = headerBytes(g) + 4;
    uint64_t offset = m_tablesOffset + tableBlockBound();
    for (uint32_t s = 0; s < g.sliceCount; ++s) {
        m_sliceOffset[s] = offset;
        offset += sliceBound(g, s);
    }
    m_bound = offset;
}

uint16_t* FrameCompressor::residuals(uint32_t s, unsigned p, unsigned slot) {
    return m_z.data() +
           (keptAsBytes(m_geometry) ? slot * largestPlane(m_geometry) : planeStart(s, p));
}

void FrameCompressor::gatherSlicePlanes(const Kernels& k, const RawView& in, uint32_t s,
                                        SliceScratch& scratch) {
    const Geometry& g = m_geometry;
    if (keptAsBytes(g)) {
        gatherSlice(k, g, in, s, scratch.bytePlane, isRgb(g));
    } else {
        gatherSlice(k, g, in, s, scratch.plane, isRgb(g));
    }
    if (m_blueLifted[s] != 0) {
        liftBlue(k, g, s, scratch);
    }
}

void FrameCompressor::analyseSlice(const Kernels& k, const RawView& in, uint32_t s, unsigned slot) {
    const Geometry& g = m_geometry;
    SliceScratch& scratch = *m_scratch[slot];
    m_blueLifted[s] = 0;
    gatherSlicePlanes(k, in, s, scratch);
    if (isRgb(g)) {
        // Weighed on the planes as green's step leaves them, as blue's does not read green.
        const uint32_t w = g.plane[1].width;
        const uint32_t rows = g.sliceRowCount(1, s);
        const bool pays = keptAsBytes(g)
                              ? blueLiftPays(k, scratch.bytePlane[1], scratch.bytePlane[2], w, rows,
                                             8, reinterpret_cast<uint8_t*>(scratch.probe.data()))
                              : blueLiftPays(k, scratch.plane[1], scratch.plane[2], w, rows,
                                             g.variant->depth, scratch.probe.data());
        if (pays) {
            m_blueLifted[s] = 1;
            liftBlue(k, g, s, scratch);
        }
    }
    for (unsigned p = 0; p < g.planeCount; ++p) {
        const uint32_t w = g.plane[p].width;
        const uint32_t rows = g.sliceRowCount(p, s);
        uint16_t* z = residuals(s, p, slot);
        uint16_t* sym = m_symbols.data() + planeStart(s, p);
        uint32_t* counts = m_counts.data() + (size_t{s} * g.planeCount + p) * code::kContexts * 256;
        std::fill(counts, counts + code::kContexts * 256, 0u);
        code::Predictor& predictor = m_predictor[size_t{s} * g.planeCount + p];
        if (keptAsBytes(g)) {
            predictor = cheaperPredictor(k, scratch.bytePlane[p], w, rows, 8);
            k.analyse8(scratch.bytePlane[p], w, rows, predictor, z, m_activityRows[slot].data(),
                       sym, counts);
        } else {
            predictor = cheaperPredictor(k, scratch.plane[p], w, rows, g.variant->depth);
            k.analyse(scratch.plane[p], w, rows, g.variant->depth, predictor, z,
                      m_activityRows[slot].data(), sym, counts);
        }
    }
}

// A plane's frequencies from its counts in every slice, and its coding tables from them.
void FrameCompressor::buildTables(unsigned p) {
    const Geometry& g = m_geometry;
    const unsigned alphabet = code::alphabetSize(g.variant->depth);
    constexpr size_t kSet = code::kContexts * 256;
    uint32_t* total = m_planeCounts.data() + p * kSet;
    std::fill(total, total + kSet, 0u);
    for (uint32_t s = 0; s < g.sliceCount; ++s) {
        const uint32_t* counts = m_counts.data() + (size_t{s} * g.planeCount + p) * kSet;
        for (size_t i = 0; i < kSet; ++i) {
            total[i] += counts[i];
        }
    }
    for (unsigned c = 0; c < code::kContexts; ++c) {
        const size_t i = p * code::kContexts + c;
        m_contextUsed[i] = normalizeFrequencies(total + c * 256, alphabet, m_frequencies[i]);
    }
    setTables(m_tables[p], p);
}

size_t FrameCompressor::writeTables(uint8_t* out) {
    const unsigned alphabet = code::alphabetSize(m_geometry.variant->depth);
    BitWriter bw(out);
    for (size_t i = 0; i < m_frequencies.size(); ++i) {
        bw.put(m_contextUsed[i], 1);
        if (m_contextUsed[i] != 0) {
            writeFrequencies(m_frequencies[i], alphabet, bw);
        }
    }
    return bw.finish();
}

void FrameCompressor::codeSlice(const Kernels& k, const RawView& in, uint32_t s, unsigned slot,
                                uint8_t* out) {
    const Geometry& g = m_geometry;
    {
        // From its place a slice still ends within its own region, so it overwrites nothing
        // that another thread codes.
        std::lock_guard lock(m_packing);
        m_sliceAt[s] = m_slicesInPlace == s ? m_placedEnd : m_sliceOffset[s];
    }
    uint8_t* dst = out + m_sliceAt[s];
    size_t pos = 0;
    bool gathered = false;
    for (unsigned p = 0; p < g.planeCount; ++p) {
        const uint32_t w = g.plane[p].width;
        const uint32_t rows = g.sliceRowCount(p, s);
        const PlaneSymbols plane{residuals(s, p, slot),
                                 m_symbols.data() + planeStart(s, p),
                                 m_counts.data() +
                                     (size_t{s} * g.planeCount + p) * code::kContexts * 256,
                                 w,
                                 rows,
                                 m_predictor[size_t{s} * g.planeCount + p]};
        const uint8_t lift = p == 2 ? m_blueLifted[s] : 0;
        size_t size = encodePlane(k, plane, m_tables[p], m_words[slot].data(), lift, dst + pos);
        if (size == 0) {
            // Rare enough (noise) that gathering the slice again costs less than keeping every
            // sample of the frame.
            SliceScratch& scratch = *m_scratch[slot];
            if (!gathered) {
                gatherSlicePlanes(k, in, s, scratch);
                gathered = true;
            }
            size = keptAsBytes(g)
                       ? storePlane(scratch.bytePlane[p], size_t{w} * rows, 8, lift, dst + pos)
                       : storePlane(scratch.plane[p], size_t{w} * rows, g.variant->depth, lift,
                                    dst + pos);
        }
        pos += size;
    }
    m_sliceSize[s] = static_cast<uint32_t>(pos);
    std::lock_guard lock(m_packing);
    m_sliceCoded[s] = 1;
    for (uint32_t& next = m_slicesInPlace;
         next < g.sliceCount && m_sliceCoded[next] != 0 && m_sliceAt[next] == m_placedEnd; ++next) {
        m_placedEnd += m_sliceSize[next];
    }
}

// On two threads the pool thread codes the last slices, none at its place: moved by one thread,
// they took 3% of a frame. They move on all of the frame's threads unless a slice's place
// overlaps the region of one before it that is still to move (when the frame hardly compresses);
// then they move in order on one.
void FrameCompressor::placeSlices(uint8_t* out, uint64_t first) {
    m_moves.clear();
    bool crossing = false;
    uint64_t place = first;
    for (uint32_t s = 0; s < m_geometry.sliceCount; ++s) {
        storeLe32(out + 8 + 4ull * s, m_sliceSize[s]);
        m_slicePlace[s] = place;
        if (m_sliceAt[s] != place) {
            for (const uint32_t before : m_moves) {
                crossing = crossing || (place < m_sliceAt[before] + m_sliceSize[before] &&
                                        m_sliceAt[before] < place + m_sliceSize[s]);
            }
            m_moves.push_back(s);
        }
        place += m_sliceSize[s];
    }
    auto move = [&](uint32_t i, unsigned) {
        const uint32_t s = m_moves[i];
        std::memmove(out + m_slicePlace[s], out + m_sliceAt[s], m_sliceSize[s]);
    };
    m_pool->run(static_cast<uint32_t>(m_moves.size()), crossing ? 1 : m_threads, move);
}

Status FrameCompressor::encode(const RawView& in, uint8_t* out, uint32_t* size) {
    const Geometry& g = m_geometry;
    const Kernels& k = activeKernels();
    // Every plane's tables come from the whole frame's counts, so the slices are analysed
    // first, then each plane's tables built and all of them written, then the slices coded:
    // each at its place when those before it are there, else into its worst-case region of the
    // output and moved to its place once all are coded.
    m_pool->run(g.sliceCount, m_threads,
                [&](uint32_t s, unsigned slot) { analyseSlice(k, in, s, slot); });
    m_pool->run(g.planeCount, m_threads, [&](uint32_t p, unsigned) { buildTables(p); });
    const size_t tableBytes = writeTables(out + m_tablesOffset);
    writeFrameHeader(out, kBitstreamVersion, g.sliceCount);
    storeLe32(out + m_tablesOffset - 4, static_cast<uint32_t>(tableBytes));
    std::fill(m_sliceCoded.begin(), m_sliceCoded.end(), uint8_t{0});
    m_slicesInPlace = 0;
    m_placedEnd = m_tablesOffset + tableBytes;
    m_pool->run(g.sliceCount, m_threads,
                [&](uint32_t s, unsigned slot) { codeSlice(k, in, s, slot, out); });
    placeSlices(out, m_tablesOffset + tableBytes);
    *size = static_cast<uint32_t>(m_slicePlace.back() + m_sliceSize.back());
    return Status::Ok;
}

FrameDecompressor::FrameDecompressor(const Geometry& g, uint16_t version, unsigned threads)
    : FrameCoder(g, threads), m_version(version), m_sliceOffset(g.sliceCount),
      m_sliceResult(g.sliceCount) {
    for (unsigned i = 0; i < m_threads; ++i) {
        if (version == 1) {
            m_versionOneScratch.push_back(std::make_unique<v1::SegmentScratch>(widestPlane(g)));
        } else {
            m_planeScratch.push_back(
                std::make_unique<PlaneDecodeScratch>(widestPlane(g), largestPlane(g)));
        }
    }
    for (unsigned i = 0; i < m_threads && version != 1; ++i) {
        std::vector<PlaneTables>& tables = m_tables.emplace_back();
        for (unsigned p = 0; p < g.planeCount; ++p) {
            tables.emplace_back(g.variant->depth, false);
            tables.back().classContexts = version == 2;
            tables.back().mirrorsAndAverages = version >= kFirstMirroringVersion;
        }
    }
}

bool FrameDecompressor::liftsColour() const {
    return isRgb(m_geometry) && m_version >= kFirstLiftingVersion;
}

Status FrameDecompressor::readTables(const uint8_t* in, uint64_t size) {
    const unsigned alphabet = code::alphabetSize(m_geometry.variant->depth);
    BitReader br(in, size);
    for (size_t i = 0; i < m_frequencies.size(); ++i) {
        br.refill();
        m_contextUsed[i] = br.read(1) != 0;
        if (m_contextUsed[i] != 0) {
            if (const Status s = readFrequencies(br, alphabet, m_frequencies[i]); s != Status::Ok) {
                return s;
            }
        }
    }
    if (br.overrun()) {
        return Status::Truncated;
    }
    const uint64_t bitsLeft = size * 8 - br.consumed();
    if (bitsLeft >= 8 || (bitsLeft != 0 && br.peek(static_cast<unsigned>(bitsLeft)) != 0)) {
        return Status::Corrupt;
    }
    // The pool's threads take the copies from both ends, as they take the slices.
    const unsigned planes = m_geometry.planeCount;
    m_pool->run(m_threads * planes, m_threads, [&](uint32_t item, unsigned) {
        setTables(m_tables[item / planes][item % planes], item % planes);
    });
    return Status::Ok;
}

template <typename T>
Status FrameDecompressor::decodeSlice(const Kernels& k, const uint8_t* in, uint64_t size,
                                      uint64_t readable, uint32_t s, const RawView& out,
                                      unsigned slot, T* const* planes) {
    const Geometry& g = m_geometry;
    SliceScratch& scratch = *m_scratch[slot];
    uint64_t pos = 0;
    ColourLift lift{liftsColour(), false};
    uint8_t blueLift = 0;
    for (unsigned p = 0; p < g.planeCount; ++p) {
        size_t used = 0;
        const uint32_t w = g.plane[p].width;
        const uint32_t rows = g.sliceRowCount(p, s);
        Status r = Status::Ok;
        if (m_version == 1) {
            r = v1::decodeSegment(k, in + pos, size - pos, readable - pos, w, rows,
                                  g.variant->depth, scratch.plane[p], &used,
                                  *m_versionOneScratch[slot]);
            if constexpr (sizeof(T) == 1) {
                // Version 1 decodes into words; their bytes go where the plane's bytes start,
                // at or before its words, so each word is read before its place is written,
                // and the planes before lie below both.
                const size_t n = size_t{w} * rows;
                for (size_t i = 0; i < n; ++i) {
                    planes[p][i] = static_cast<uint8_t>(scratch.plane[p][i]);
                }
            }
        } else {
            // Only blue's plane of a lifted layout names a step, its own.
            r = decodePlane(k, in + pos, size - pos, readable - pos, w, rows, m_tables[slot][p],
                            planes[p], &used, lift.green && p == 2 ? &blueLift : nullptr,
                            *m_planeScratch[slot]);
        }
        if (r != Status::Ok) {
            return r;
        }
        pos += used;
    }
    if (pos != size) {
        return Status::Corrupt;
    }
    lift.blue = blueLift != 0;
    scatterSlice<T>(k, g, planes, s, out, lift);
    return Status::Ok;
}

Status FrameDecompressor::decode(const uint8_t* in, uint64_t size, const RawView& out) {
    const Geometry& g = m_geometry;
    if (const Status s = checkFrameHeader(in, size, m_version, g); s != Status::Ok) {
        return s;
    }
    uint64_t pos = headerBytes(g);
    if (m_version != 1) {
        if (size < pos + 4) {
            return Status::Truncated;
        }
        const uint64_t tableBytes = loadLe32(in + pos);
        pos += 4;
        if (tableBytes > size - pos) {
            return Status::Truncated;
        }
        if (const Status s = readTables(in + pos, tableBytes); s != Status::Ok) {
            return s;
        }
        pos += tableBytes;
    }
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
        // A slice's decoding loops may load ahead into the next slice's bytes, never past the
        // frame.
        SliceScratch& scratch = *m_scratch[slot];
        m_sliceResult[s] =
            keptAsBytes(g) ? decodeSlice(k, in + m_sliceOffset[s], end - m_sliceOffset[s],
                                         size - m_sliceOffset[s], s, out, slot, scratch.bytePlane)
                           : decodeSlice(k, in + m_sliceOffset[s], end - m_sliceOffset[s],
                                         size - m_sliceOffset[s], s, out, slot, scratch.plane);
    });
    for (const Status r : m_sliceResult) {
        if (r != Status::Ok) {
            return r;
        }
    }
    return Status::Ok;
}

} // namespace kvcodec
