#include "host/media/raw_layout.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace host {

namespace {

enum class Arrangement { Interleaved, Planar, Uyvy };

// The codec library's raw layouts, each once: its code, the equivalent pixel format's name,
// what it holds and how its samples lie.
struct RawFormat {
    uint32_t code;
    const char* name;
    ColourLayout layout;
    int bytes;
    Arrangement arrangement;
};

constexpr RawFormat kRawFormats[] = {
    {22, "rgb24", ColourLayout::Rgb, 1, Arrangement::Interleaved},
    {20, "rgba", ColourLayout::Rgba, 1, Arrangement::Interleaved},
    {29, "yuv444p", ColourLayout::Yuv444, 1, Arrangement::Planar},
    {5, "uyvy422", ColourLayout::Yuv422, 1, Arrangement::Uyvy},
    {10, "yuv420p", ColourLayout::Yuv420, 1, Arrangement::Planar},
    {28, "rgb48le", ColourLayout::Rgb, 2, Arrangement::Interleaved},
    {26, "rgba64le", ColourLayout::Rgba, 2, Arrangement::Interleaved},
    {51, "yuv444p16le", ColourLayout::Yuv444, 2, Arrangement::Planar},
    {59, "yuv422p16le", ColourLayout::Yuv422, 2, Arrangement::Planar},
};

const RawFormat& rawFormat(uint32_t code) {
    for (const RawFormat& f : kRawFormats) {
        if (f.code == code) {
            return f;
        }
    }
    throw std::invalid_argument("unknown raw layout code " + std::to_string(code));
}

void checkDepth(int bitDepth) {
    if (bitDepth < 8 || bitDepth > 16)
        throw std::invalid_argument("bit depth " + std::to_string(bitDepth) + " is outside 8..16");
}

// One sample to and from the file's bytes, scaled through 16 bits.
template <int Bytes>
struct SampleWriter {
    uint8_t* p;
    int depth;
    void operator()(uint16_t v) {
        uint16_t s = widenTo16(v, depth);
        if constexpr (Bytes == 1) {
            *p++ = static_cast<uint8_t>(s >> 8);
        } else {
            *p++ = static_cast<uint8_t>(s);
            *p++ = static_cast<uint8_t>(s >> 8);
        }
    }
};

struct SampleReader {
    const uint8_t* p;
    int bytes;
    int depth;
    uint16_t get() {
        uint16_t s = bytes == 1 ? static_cast<uint16_t>(p[0] * 257u)
                                : static_cast<uint16_t>(p[0] | (p[1] << 8));
        p += bytes;
        return static_cast<uint16_t>(s >> (16 - depth));
    }
};

// Visits every sample in file order; `io` reads or writes the sample it is given. `pic` is a
// Picture or a view of 8-bit planes: whatever has a width, a height and indexable planes.
template <class Pic, class Io>
void walkSamples(Pic& pic, const RawFormat& f, Io&& io) {
    const uint32_t w = pic.width, h = pic.height;
    switch (f.arrangement) {
    case Arrangement::Interleaved: {
        const size_t n = size_t{w} * h;
        for (size_t i = 0; i < n; ++i)
            for (auto& plane : pic.planes)
                io(plane[i]);
        break;
    }
    case Arrangement::Planar:
        for (auto& plane : pic.planes)
            for (auto& s : plane)
                io(s);
        break;
    case Arrangement::Uyvy: {
        const uint32_t cw = planeWidth(f.layout, w, 1), pairs = w / 2;
        auto* Y = pic.planes[0].data();
        auto* U = pic.planes[1].data();
        auto* V = pic.planes[2].data();
        for (uint32_t y = 0; y < h; ++y) {
            const size_t row = size_t{y} * w, crow = size_t{y} * cw;
            for (uint32_t i = 0; i < pairs; ++i) {
                io(U[crow + i]);
                io(Y[row + 2 * i]);
                io(V[crow + i]);
                io(Y[row + 2 * i + 1]);
            }
            if (pairs != cw) {
                // Odd width: the last group's second luma repeats the first; read back, it
                // lands in a scratch sample and is ignored.
                io(U[crow + pairs]);
                io(Y[row + 2 * pairs]);
                io(V[crow + pairs]);
                auto repeat = Y[row + 2 * pairs];
                io(repeat);
            }
        }
        break;
    }
    }
}

} // namespace

std::optional<uint32_t> rawCodeFor(ColourLayout layout, int bytesPerSample) {
    for (const RawFormat& f : kRawFormats) {
        if (f.layout == layout && f.bytes == bytesPerSample) {
            return f.code;
        }
    }
    return std::nullopt;
}

std::string rawLayoutName(uint32_t rawCode) {
    return rawFormat(rawCode).name;
}

ColourLayout rawLayoutOf(uint32_t rawCode) {
    return rawFormat(rawCode).layout;
}
int rawBytesPerSample(uint32_t rawCode) {
    return rawFormat(rawCode).bytes;
}

size_t rawFrameSize(uint32_t rawCode, uint32_t width, uint32_t height) {
    const RawFormat& f = rawFormat(rawCode);
    if (f.arrangement == Arrangement::Uyvy)
        return size_t{4} * planeWidth(f.layout, width, 1) * height;
    size_t samples = 0;
    for (int i = 0; i < planeCount(f.layout); ++i)
        samples += size_t{planeWidth(f.layout, width, i)} * planeHeight(f.layout, height, i);
    return samples * static_cast<size_t>(f.bytes);
}

namespace {

void checkFrameSize(uint32_t rawCode, uint32_t width, uint32_t height, size_t size) {
    const size_t want = rawFrameSize(rawCode, width, height);
    if (size != want)
        throw std::invalid_argument("a " + std::to_string(width) + "x" + std::to_string(height) +
                                    " frame of raw layout " + std::to_string(rawCode) + " is " +
                                    std::to_string(want) + " bytes, not " + std::to_string(size));
}

} // namespace

void packRaw(const Picture& picture, uint32_t rawCode, std::span<uint8_t> out) {
    const RawFormat& f = rawFormat(rawCode);
    Picture converted;
    const Picture* pic = &picture;
    if (picture.layout != f.layout) {
        converted = convertLayout(picture, f.layout);
        pic = &converted;
    } else {
        checkPicture(picture);
    }
    checkFrameSize(rawCode, pic->width, pic->height, out.size());
    if (f.bytes == 1)
        walkSamples(*pic, f, SampleWriter<1>{out.data(), pic->bitDepth});
    else
        walkSamples(*pic, f, SampleWriter<2>{out.data(), pic->bitDepth});
}

std::vector<uint8_t> packRaw(const Picture& picture, uint32_t rawCode) {
    std::vector<uint8_t> out(rawFrameSize(rawCode, picture.width, picture.height));
    packRaw(picture, rawCode, out);
    return out;
}

size_t planarFrameSize(const PlanarFrame& frame) {
    size_t samples = 0;
    for (int i = 0; i < planeCount(frame.layout); ++i)
        samples += size_t{planeWidth(frame.layout, frame.width, i)} *
                   planeHeight(frame.layout, frame.height, i);
    return samples * (frame.bitDepth > 8 ? 2 : 1);
}

bool meetsRaw(const PlanarFrame& frame, uint32_t rawCode) {
    const RawFormat& f = rawFormat(rawCode);
    const bool lumaOfYuv = frame.layout == ColourLayout::Gray &&
                           f.arrangement == Arrangement::Planar && !isRgbFamily(f.layout);
    return f.arrangement != Arrangement::Interleaved && (frame.layout == f.layout || lumaOfYuv) &&
           frame.bitDepth >= 8 && frame.bitDepth <= 16 && (f.bytes == 2 || frame.bitDepth == 8);
}

namespace {

// The raw layout of a frame that meets it, with both sizes checked.
const RawFormat& checkMeeting(const PlanarFrame& frame, size_t planarSize, uint32_t rawCode,
                              size_t rawSize) {
    if (!meetsRaw(frame, rawCode))
        throw std::invalid_argument(std::to_string(frame.bitDepth) + "-bit " +
                                    layoutName(frame.layout) + " planes do not meet raw layout " +
                                    std::to_string(rawCode));
    if (planarSize != planarFrameSize(frame))
        throw std::invalid_argument("a " + std::to_string(frame.width) + "x" +
                                    std::to_string(frame.height) + " planar frame is " +
                                    std::to_string(planarFrameSize(frame)) + " bytes, not " +
                                    std::to_string(planarSize));
    checkFrameSize(rawCode, frame.width, frame.height, rawSize);
    return rawFormat(rawCode);
}

uint16_t load16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

void store16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

// 8-bit 4:2:2 planes and their U Y V Y groups, a row at a time: sixteen groups at once in
// 16-byte vectors, whose shuffles the compiler turns into the processor's unpack and pack
// instructions, and the rest one group at a time as a 32-bit word. An odd row's last group
// repeats its luma.
static_assert(std::endian::native == std::endian::little, "a group's word is its bytes in order");

using Bytes16 = uint8_t __attribute__((vector_size(16)));

Bytes16 interleaveLow(Bytes16 a, Bytes16 b) {
    return __builtin_shufflevector(a, b, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
}

Bytes16 interleaveHigh(Bytes16 a, Bytes16 b) {
    return __builtin_shufflevector(a, b, 8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15,
                                   31);
}

Bytes16 evenBytes(Bytes16 a, Bytes16 b) {
    return __builtin_shufflevector(a, b, 0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
}

Bytes16 oddBytes(Bytes16 a, Bytes16 b) {
    return __builtin_shufflevector(a, b, 1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31);
}

void planesToUyvy(const uint8_t* planes, uint32_t w, uint32_t h, uint32_t cw, uint8_t* raw) {
    for (uint32_t y = 0; y < h; ++y) {
        const uint8_t* Y = planes + size_t{y} * w;
        const uint8_t* U = planes + size_t{w} * h + size_t{y} * cw;
        const uint8_t* V = U + size_t{cw} * h;
        uint8_t* row = raw + size_t{y} * 4 * cw;
        const auto put = [row](uint32_t i, uint32_t u, uint32_t y0, uint32_t v, uint32_t y1) {
            const uint32_t group = u | y0 << 8 | v << 16 | y1 << 24;
            std::memcpy(row + 4 * size_t{i}, &group, 4);
        };
        const uint32_t pairs = w / 2;
        uint32_t i = 0;
        for (; i + 16 <= pairs; i += 16) {
            Bytes16 u, v, luma[2];
            std::memcpy(&u, U + i, 16);
            std::memcpy(&v, V + i, 16);
            std::memcpy(luma, Y + 2 * size_t{i}, 32);
            const Bytes16 chroma[2] = {interleaveLow(u, v), interleaveHigh(u, v)};
            const Bytes16 groups[4] = {
                interleaveLow(chroma[0], luma[0]), interleaveHigh(chroma[0], luma[0]),
                interleaveLow(chroma[1], luma[1]), interleaveHigh(chroma[1], luma[1])};
            std::memcpy(row + 4 * size_t{i}, groups, 64);
        }
        for (; i < pairs; ++i) {
            put(i, U[i], Y[2 * i], V[i], Y[2 * i + 1]);
        }
        if (pairs != cw) {
            put(pairs, U[pairs], Y[2 * pairs], V[pairs], Y[2 * pairs]);
        }
    }
}

void uyvyToPlanes(const uint8_t* raw, uint32_t w, uint32_t h, uint32_t cw, uint8_t* planes) {
    for (uint32_t y = 0; y < h; ++y) {
        uint8_t* Y = planes + size_t{y} * w;
        uint8_t* U = planes + size_t{w} * h + size_t{y} * cw;
        uint8_t* V = U + size_t{cw} * h;
        const uint8_t* row = raw + size_t{y} * 4 * cw;
        const uint32_t pairs = w / 2;
        uint32_t i = 0;
        for (; i + 16 <= pairs; i += 16) {
            Bytes16 groups[4];
            std::memcpy(groups, row + 4 * size_t{i}, 64);
            const Bytes16 luma[2] = {oddBytes(groups[0], groups[1]),
                                     oddBytes(groups[2], groups[3])};
            const Bytes16 chroma[2] = {evenBytes(groups[0], groups[1]),
                                       evenBytes(groups[2], groups[3])};
            const Bytes16 u = evenBytes(chroma[0], chroma[1]);
            const Bytes16 v = oddBytes(chroma[0], chroma[1]);
            std::memcpy(Y + 2 * size_t{i}, luma, 32);
            std::memcpy(U + i, &u, 16);
            std::memcpy(V + i, &v, 16);
        }
        for (; i < pairs; ++i) {
            uint32_t group;
            std::memcpy(&group, row + 4 * size_t{i}, 4);
            U[i] = static_cast<uint8_t>(group);
            Y[2 * i] = static_cast<uint8_t>(group >> 8);
            V[i] = static_cast<uint8_t>(group >> 16);
            Y[2 * i + 1] = static_cast<uint8_t>(group >> 24);
        }
        if (pairs != cw) {
            U[pairs] = row[4 * size_t{pairs}];
            Y[2 * pairs] = row[4 * size_t{pairs} + 1];
            V[pairs] = row[4 * size_t{pairs} + 2];
        }
    }
}

// 16-bit words through `change`, sixteen at a time by way of a local copy, which the compiler
// turns into vector code without having to prove the two buffers apart.
template <class Change>
void mapWords(const uint8_t* in, uint8_t* out, size_t n, Change change) {
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        uint16_t block[16];
        std::memcpy(block, in + 2 * i, sizeof block);
        for (uint16_t& v : block)
            v = change(v);
        std::memcpy(out + 2 * i, block, sizeof block);
    }
    for (; i < n; ++i)
        store16(out + 2 * i, change(load16(in + 2 * i)));
}

// Runs `map` with the common depths as constants, with which the compiler keeps a sample's
// shifts in 16-bit vector lanes; other depths come as they are.
template <class Map>
void mapDepth(int depth, Map&& map) {
    switch (depth) {
    case 10:
        return map(std::integral_constant<int, 10>{});
    case 12:
        return map(std::integral_constant<int, 12>{});
    case 16:
        return map(std::integral_constant<int, 16>{});
    default:
        return map(depth);
    }
}

} // namespace

void planarToRaw(const PlanarFrame& frame, std::span<const uint8_t> in, uint32_t rawCode,
                 std::span<uint8_t> out) {
    const RawFormat& f = checkMeeting(frame, in.size(), rawCode, out.size());
    if (f.arrangement == Arrangement::Uyvy) {
        planesToUyvy(in.data(), frame.width, frame.height, planeWidth(f.layout, frame.width, 1),
                     out.data());
        return;
    }
    const int depth = frame.bitDepth;
    const size_t samples = in.size() / (depth > 8 ? 2 : 1), total = out.size() / f.bytes;
    const uint16_t grey = static_cast<uint16_t>(1u << (depth - 1));
    if (f.bytes == 1) {
        std::copy(in.begin(), in.end(), out.begin());
        std::fill(out.begin() + static_cast<ptrdiff_t>(samples), out.end(), uint8_t{128});
        return;
    }
    uint8_t* o = out.data();
    if (depth > 8) {
        mapDepth(depth, [&](auto d) {
            mapWords(in.data(), o, samples, [d](uint16_t v) { return widenTo16(v, d); });
        });
    } else {
        for (size_t i = 0; i < samples; ++i)
            store16(o + 2 * i, widenTo16(in[i], depth));
    }
    for (size_t i = samples; i < total; ++i)
        store16(o + 2 * i, widenTo16(grey, depth));
}

void rawToPlanar(std::span<const uint8_t> in, uint32_t rawCode, const PlanarFrame& frame,
                 std::span<uint8_t> out) {
    const RawFormat& f = checkMeeting(frame, out.size(), rawCode, in.size());
    if (f.arrangement == Arrangement::Uyvy) {
        uyvyToPlanes(in.data(), frame.width, frame.height, planeWidth(f.layout, frame.width, 1),
                     out.data());
        return;
    }
    const int depth = frame.bitDepth;
    const size_t samples = out.size() / (depth > 8 ? 2 : 1);
    if (f.bytes == 1) {
        std::copy_n(in.begin(), samples, out.begin());
        return;
    }
    uint8_t* o = out.data();
    if (depth > 8) {
        mapDepth(depth, [&](auto d) {
            mapWords(in.data(), o, samples, [d](uint16_t v) { return uint16_t(v >> (16 - d)); });
        });
    } else {
        for (size_t i = 0; i < samples; ++i)
            o[i] = static_cast<uint8_t>(load16(in.data() + 2 * i) >> (16 - depth));
    }
}

Picture unpackRaw(std::span<const uint8_t> bytes, uint32_t rawCode, uint32_t width, uint32_t height,
                  int bitDepth) {
    const RawFormat& f = rawFormat(rawCode);
    checkDepth(bitDepth);
    checkFrameSize(rawCode, width, height, bytes.size());
    Picture pic = makePicture(width, height, f.layout, bitDepth);
    SampleReader reader{bytes.data(), f.bytes, bitDepth};
    walkSamples(pic, f, [&](uint16_t& s) { s = reader.get(); });
    return pic;
}

} // namespace host
