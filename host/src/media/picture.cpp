#include "host/media/picture.h"

#include <stdexcept>
#include <string>

namespace host {

namespace {

// Chroma subsampling as shifts: 4:4:4 none, 4:2:2 horizontal, 4:2:0 both.
int chromaShiftX(ColourLayout layout) {
    return layout == ColourLayout::Yuv420 || layout == ColourLayout::Yuv422 ? 1 : 0;
}
int chromaShiftY(ColourLayout layout) {
    return layout == ColourLayout::Yuv420 ? 1 : 0;
}

bool isChromaPlane(ColourLayout layout, int plane) {
    return !isRgbFamily(layout) && plane > 0;
}

} // namespace

const char* layoutName(ColourLayout layout) {
    switch (layout) {
    case ColourLayout::Gray:
        return "gray";
    case ColourLayout::Yuv420:
        return "yuv420";
    case ColourLayout::Yuv422:
        return "yuv422";
    case ColourLayout::Yuv444:
        return "yuv444";
    case ColourLayout::Rgb:
        return "rgb";
    case ColourLayout::Rgba:
        return "rgba";
    }
    return "unknown";
}

bool isRgbFamily(ColourLayout layout) {
    return layout == ColourLayout::Rgb || layout == ColourLayout::Rgba;
}

int planeCount(ColourLayout layout) {
    switch (layout) {
    case ColourLayout::Gray:
        return 1;
    case ColourLayout::Rgba:
        return 4;
    default:
        return 3;
    }
}

uint32_t planeWidth(ColourLayout layout, uint32_t width, int plane) {
    if (!isChromaPlane(layout, plane))
        return width;
    int s = chromaShiftX(layout);
    return static_cast<uint32_t>((uint64_t{width} + (1u << s) - 1) >> s);
}

uint32_t planeHeight(ColourLayout layout, uint32_t height, int plane) {
    if (!isChromaPlane(layout, plane))
        return height;
    int s = chromaShiftY(layout);
    return static_cast<uint32_t>((uint64_t{height} + (1u << s) - 1) >> s);
}

Picture makePicture(uint32_t width, uint32_t height, ColourLayout layout, int bitDepth,
                    uint16_t fill) {
    Picture p;
    p.width = width;
    p.height = height;
    p.layout = layout;
    p.bitDepth = bitDepth;
    for (int i = 0; i < planeCount(layout); ++i)
        p.planes.emplace_back(size_t{planeWidth(layout, width, i)} * planeHeight(layout, height, i),
                              fill);
    return p;
}

void checkPicture(const Picture& p) {
    if (p.bitDepth < 8 || p.bitDepth > 16)
        throw std::invalid_argument("picture bit depth " + std::to_string(p.bitDepth) +
                                    " is outside 8..16");
    if (p.planes.size() != static_cast<size_t>(planeCount(p.layout)))
        throw std::invalid_argument(std::string("a ") + layoutName(p.layout) + " picture needs " +
                                    std::to_string(planeCount(p.layout)) + " planes, not " +
                                    std::to_string(p.planes.size()));
    for (int i = 0; i < planeCount(p.layout); ++i) {
        size_t want = size_t{planeWidth(p.layout, p.width, i)} * planeHeight(p.layout, p.height, i);
        if (p.planes[i].size() != want)
            throw std::invalid_argument(
                "plane " + std::to_string(i) + " of a " + std::to_string(p.width) + "x" +
                std::to_string(p.height) + " " + layoutName(p.layout) + " picture holds " +
                std::to_string(p.planes[i].size()) + " samples instead of " + std::to_string(want));
    }
}

Picture convertLayout(const Picture& src, ColourLayout target) {
    checkPicture(src);
    if (src.layout == target)
        return src;
    if (isRgbFamily(src.layout) != isRgbFamily(target))
        throw std::invalid_argument(std::string("cannot convert a ") + layoutName(src.layout) +
                                    " picture to " + layoutName(target) +
                                    ": there is no conversion between RGB and YUV");
    Picture dst = makePicture(src.width, src.height, target, src.bitDepth,
                              static_cast<uint16_t>(1u << (src.bitDepth - 1)));
    if (isRgbFamily(target)) {
        for (int i = 0; i < 3; ++i)
            dst.planes[i] = src.planes[i];
        if (target == ColourLayout::Rgba)
            dst.planes[3].assign(dst.planes[3].size(),
                                 static_cast<uint16_t>((1u << src.bitDepth) - 1));
        return dst;
    }
    dst.planes[0] = src.planes[0];
    if (src.layout == ColourLayout::Gray || target == ColourLayout::Gray)
        return dst; // mid-grey chroma already in place, or none wanted
    int sx = chromaShiftX(src.layout), sy = chromaShiftY(src.layout);
    int tx = chromaShiftX(target), ty = chromaShiftY(target);
    uint32_t sw = planeWidth(src.layout, src.width, 1);
    uint32_t tw = planeWidth(target, src.width, 1), th = planeHeight(target, src.height, 1);
    for (int c = 1; c < 3; ++c) {
        const auto& in = src.planes[c];
        auto& out = dst.planes[c];
        for (uint32_t y = 0; y < th; ++y) {
            uint32_t ys = (y << ty) >> sy;
            for (uint32_t x = 0; x < tw; ++x)
                out[size_t{y} * tw + x] = in[size_t{ys} * sw + ((x << tx) >> sx)];
        }
    }
    return dst;
}

} // namespace host
