#include "host/media/raw_layout.h"

#include <optional>
#include <stdexcept>
#include <string>

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

void packRaw(const PlaneView8& view, uint32_t rawCode, std::span<uint8_t> out) {
    const RawFormat& f = rawFormat(rawCode);
    if (view.layout != f.layout || view.planes.size() != size_t(planeCount(view.layout)))
        throw std::invalid_argument(std::string("8-bit ") + layoutName(view.layout) +
                                    " planes do not fit raw layout " + std::to_string(rawCode));
    for (int i = 0; i < planeCount(view.layout); ++i)
        if (view.planes[i].size() != size_t{planeWidth(view.layout, view.width, i)} *
                                         planeHeight(view.layout, view.height, i))
            throw std::invalid_argument("plane " + std::to_string(i) + " of 8-bit " +
                                        layoutName(view.layout) + " planes has the wrong size");
    checkFrameSize(rawCode, view.width, view.height, out.size());
    if (f.bytes == 1) {
        // 8-bit samples into an 8-bit layout keep their value: the walk only moves bytes.
        uint8_t* p = out.data();
        walkSamples(view, f, [&p](uint8_t s) { *p++ = s; });
    } else {
        walkSamples(view, f, SampleWriter<2>{out.data(), 8});
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
