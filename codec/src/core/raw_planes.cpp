#include "core/raw_planes.h"

#include <algorithm>
#include <cstdlib>

#include "dsp/kernels.h"

namespace kvcodec {

namespace {

template <typename T>
inline uint32_t load(const uint8_t* p, size_t i) {
    if constexpr (sizeof(T) == 1) {
        return p[i];
    } else {
        return p[2 * i] | (uint32_t{p[2 * i + 1]} << 8);
    }
}

template <typename T>
inline void store(uint8_t* p, size_t i, uint32_t v) {
    if constexpr (sizeof(T) == 1) {
        p[i] = static_cast<uint8_t>(v);
    } else {
        p[2 * i] = static_cast<uint8_t>(v);
        p[2 * i + 1] = static_cast<uint8_t>(v >> 8);
    }
}

// Raw sample -> coded sample and back; 8-bit layouts pass through. A decoded sample is its low
// `depth` bits: 8-bit stores drop the rest, deeper ones mask it off.
template <typename T>
struct Depth {
    unsigned depth;
    uint32_t down(uint32_t v) const {
        if constexpr (sizeof(T) == 1) {
            return v;
        } else {
            return v >> (16 - depth);
        }
    }
    uint32_t up(uint32_t v) const {
        if constexpr (sizeof(T) == 1) {
            return v;
        } else {
            return replicateBits(v & ((1u << depth) - 1), depth);
        }
    }
};

// The rows of one slice of a packed layout. Packed layouts hold R G B (A), always coded as green
// and the differences to it.
struct PackedSlice {
    unsigned depth;
    unsigned n; // components per pixel
    uint32_t first;
    uint32_t rows;
    uint32_t w;

    PackedSlice(const Geometry& g, uint32_t s)
        : depth(g.variant->depth), n(g.raw->components), first(g.sliceFirstRow(0, s)),
          rows(g.sliceRowCount(0, s)), w(g.width) {}
};

// T is both the raw sample and the coded one: the encoder keeps the planes of 8-bit layouts as
// bytes and those of 16-bit ones as words.
template <typename T>
void gatherPacked(const Kernels& k, const Geometry& g, const RawView& in, uint32_t s,
                  T* const* planes, bool liftGreen) {
    const auto [depth, n, first, rows, w] = PackedSlice(g, s);
    for (uint32_t y = 0; y < rows; ++y) {
        const uint8_t* row = in.data[0] + (first + y) * in.pitch[0];
        T* const rowPlanes[4] = {planes[0] + size_t{y} * w, planes[1] + size_t{y} * w,
                                 planes[2] + size_t{y} * w,
                                 n == 4 ? planes[3] + size_t{y} * w : nullptr};
        if constexpr (sizeof(T) == 2) {
            k.unpackRgb16(row, rowPlanes, w, n, depth);
        } else if (n == 3) {
            k.unpackRgb8(row, rowPlanes[0], rowPlanes[1], rowPlanes[2], w);
        } else {
            k.unpackRgba8(row, rowPlanes[0], rowPlanes[1], rowPlanes[2], rowPlanes[3], w);
        }
        if (liftGreen) {
            // While the row is still in the nearest cache.
            if constexpr (sizeof(T) == 2) {
                k.liftRgb16(rowPlanes[0], rowPlanes[1], rowPlanes[2], w, depth, true, false);
            } else {
                k.liftRgb8(rowPlanes[0], rowPlanes[1], rowPlanes[2], w, true, false);
            }
        }
    }
}

template <typename T>
void scatterPacked(const Kernels& k, const Geometry& g, T* const* planes, uint32_t s,
                   const RawView& out, ColourLift lift) {
    const auto [depth, n, first, rows, w] = PackedSlice(g, s);
    for (uint32_t y = 0; y < rows; ++y) {
        uint8_t* row = out.data[0] + (first + y) * out.pitch[0];
        T* const rowPlanes[4] = {planes[0] + size_t{y} * w, planes[1] + size_t{y} * w,
                                 planes[2] + size_t{y} * w,
                                 n == 4 ? planes[3] + size_t{y} * w : nullptr};
        if (lift.green) {
            if constexpr (sizeof(T) == 2) {
                k.unliftRgb16(rowPlanes[0], rowPlanes[1], rowPlanes[2], w, depth, lift.blue);
            } else {
                k.unliftRgb8(rowPlanes[0], rowPlanes[1], rowPlanes[2], w, lift.blue);
            }
        }
        if constexpr (sizeof(T) == 2) {
            k.packRgb16(rowPlanes, row, w, n, depth);
        } else if (n == 3) {
            k.packRgb8(rowPlanes[0], rowPlanes[1], rowPlanes[2], row, w);
        } else {
            k.packRgba8(rowPlanes[0], rowPlanes[1], rowPlanes[2], rowPlanes[3], row, w);
        }
    }
}

void gatherUyvy(const Kernels& k, const Geometry& g, const RawView& in, uint32_t s,
                uint8_t* const* planes) {
    const uint32_t first = g.sliceFirstRow(0, s);
    const uint32_t rows = g.sliceRowCount(0, s);
    const uint32_t cw = g.plane[1].width;
    for (uint32_t y = 0; y < rows; ++y) {
        k.unpackUyvy8(in.data[0] + (first + y) * in.pitch[0], planes[0] + size_t{y} * 2 * cw,
                      planes[1] + size_t{y} * cw, planes[2] + size_t{y} * cw, cw);
    }
}

void scatterUyvy(const Kernels& k, const Geometry& g, const uint8_t* const* planes, uint32_t s,
                 const RawView& out) {
    const uint32_t first = g.sliceFirstRow(0, s);
    const uint32_t rows = g.sliceRowCount(0, s);
    const uint32_t cw = g.plane[1].width;
    for (uint32_t y = 0; y < rows; ++y) {
        k.packUyvy8(planes[0] + size_t{y} * 2 * cw, planes[1] + size_t{y} * cw,
                    planes[2] + size_t{y} * cw, out.data[0] + (first + y) * out.pitch[0], cw);
    }
}

template <typename T>
void gatherPlanar(const Kernels& k, const Geometry& g, const RawView& in, uint32_t s,
                  T* const* planes) {
    const Depth<T> d{g.variant->depth};
    const bool halve = g.variant->chroma == ChromaKeep::VerticalHalf;
    for (unsigned p = 0; p < g.planeCount; ++p) {
        const uint32_t w = g.plane[p].width;
        const uint32_t first = g.sliceFirstRow(p, s);
        const uint32_t rows = g.sliceRowCount(p, s);
        for (uint32_t y = 0; y < rows; ++y) {
            T* dst = planes[p] + size_t{y} * w;
            if (p > 0 && halve) {
                const uint32_t r0 = 2 * (first + y);
                const uint32_t r1 = std::min(r0 + 1, g.rawPlane[p].rows - 1);
                const uint8_t* a = in.data[p] + r0 * in.pitch[p];
                const uint8_t* b = in.data[p] + r1 * in.pitch[p];
                for (uint32_t x = 0; x < w; ++x) {
                    dst[x] = static_cast<T>(d.down((load<T>(a, x) + load<T>(b, x) + 1) >> 1));
                }
            } else {
                const uint8_t* src = in.data[p] + (first + y) * in.pitch[p];
                if constexpr (sizeof(T) == 2) {
                    k.narrowRow16(src, dst, w, d.depth);
                } else {
                    std::copy(src, src + w, dst);
                }
            }
        }
    }
}

template <typename T>
void scatterPlanar(const Kernels& k, const Geometry& g, const T* const* planes, uint32_t s,
                   const RawView& out) {
    const Depth<T> d{g.variant->depth};
    const ChromaKeep keep = g.variant->chroma;
    for (unsigned p = 0; p < 3; ++p) {
        if (p > 0 && keep == ChromaKeep::None) {
            // Chroma that was never coded comes back as the middle of the range.
            const uint32_t mid = d.up(1u << (d.depth - 1));
            const uint32_t first = g.sliceFirstRow(0, s) >> g.raw->chromaShiftY;
            const uint32_t end = std::min<uint32_t>(
                static_cast<uint32_t>((uint64_t{g.sliceFirstRow(0, s)} + g.sliceRowCount(0, s) +
                                       (1u << g.raw->chromaShiftY) - 1) >>
                                      g.raw->chromaShiftY),
                g.rawPlane[p].rows);
            const uint64_t samples = g.rawPlane[p].rowBytes / sizeof(T);
            for (uint32_t y = first; y < end; ++y) {
                uint8_t* dst = out.data[p] + y * out.pitch[p];
                for (uint64_t x = 0; x < samples; ++x) {
                    store<T>(dst, x, mid);
                }
            }
            continue;
        }
        const uint32_t w = g.plane[p].width;
        const uint32_t first = g.sliceFirstRow(p, s);
        const uint32_t rows = g.sliceRowCount(p, s);
        const bool repeat = p > 0 && keep == ChromaKeep::VerticalHalf;
        for (uint32_t y = 0; y < rows; ++y) {
            const T* src = planes[p] + size_t{y} * w;
            const uint32_t r0 = repeat ? 2 * (first + y) : first + y;
            const uint32_t r1 = repeat ? std::min(r0 + 1, g.rawPlane[p].rows - 1) : r0;
            for (uint32_t r = r0; r <= r1; ++r) {
                uint8_t* dst = out.data[p] + r * out.pitch[p];
                if constexpr (sizeof(T) == 2) {
                    k.widenRow16(src, dst, w, d.depth);
                } else {
                    std::copy(src, src + w, dst);
                }
            }
        }
    }
}

// The caller picks the planes' type from the layout; anything else is a bug here.
template <typename T>
void requireSampleType(const Geometry& g) {
    if (g.raw->bytesPerSample != sizeof(T)) {
        std::abort();
    }
}

} // namespace

template <typename T>
void gatherSlice(const Kernels& k, const Geometry& g, const RawView& in, uint32_t s,
                 T* const* planes, bool liftGreen) {
    requireSampleType<T>(g);
    switch (g.raw->kind) {
    case RawKind::Packed:
        gatherPacked<T>(k, g, in, s, planes, liftGreen);
        break;
    case RawKind::Uyvy:
        if constexpr (sizeof(T) == 1) {
            gatherUyvy(k, g, in, s, planes);
        }
        break;
    case RawKind::Planar:
        gatherPlanar<T>(k, g, in, s, planes);
        break;
    }
}

template void gatherSlice(const Kernels&, const Geometry&, const RawView&, uint32_t,
                          uint8_t* const*, bool);
template void gatherSlice(const Kernels&, const Geometry&, const RawView&, uint32_t,
                          uint16_t* const*, bool);

template <typename T>
void scatterSlice(const Kernels& k, const Geometry& g, T* const* planes, uint32_t s,
                  const RawView& out, ColourLift lift) {
    requireSampleType<T>(g);
    switch (g.raw->kind) {
    case RawKind::Packed:
        scatterPacked<T>(k, g, planes, s, out, lift);
        break;
    case RawKind::Uyvy:
        if constexpr (sizeof(T) == 1) {
            scatterUyvy(k, g, planes, s, out);
        }
        break;
    case RawKind::Planar:
        scatterPlanar<T>(k, g, planes, s, out);
        break;
    }
}

template void scatterSlice(const Kernels&, const Geometry&, uint8_t* const*, uint32_t,
                           const RawView&, ColourLift);
template void scatterSlice(const Kernels&, const Geometry&, uint16_t* const*, uint32_t,
                           const RawView&, ColourLift);

} // namespace kvcodec
