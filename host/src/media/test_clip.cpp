// The built-in clip: an animated scene with smooth gradients, moving hard-edged shapes, stripes
// at the pixel pitch, a zone plate and lines of glyph-like marks, so that a codec sees flat
// areas, edges, fine detail and text-like content in every frame. Integer arithmetic only, so
// every platform renders the same samples.
#include "host/media/raw_layout.h"
#include "host/media/video_io.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace host {

namespace {

// A triangle wave with period 512 and range 0..255.
uint16_t tri(uint32_t v) {
    v &= 511;
    return static_cast<uint16_t>(v < 256 ? v : 511 - v);
}

uint32_t mix(uint32_t a, uint32_t b) {
    uint32_t h = a * 0x9E3779B1u ^ (b + 0x7F4A7C15u) * 0x85EBCA77u;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    return h ^ (h >> 13);
}

class TestClip final : public VideoReader {
public:
    TestClip(uint64_t frames, uint32_t width, uint32_t height)
        : m_info{width, height, 25, 1, ColourLayout::Rgb, 8, std::optional(true), frames} {}

    const VideoInfo& info() const override { return m_info; }

    bool read(Picture& pic) override {
        if (m_frame == m_info.frameCount)
            return false;
        if (pic.width != m_info.width || pic.height != m_info.height ||
            pic.layout != ColourLayout::Rgb || pic.planes.size() != 3)
            pic = makePicture(m_info.width, m_info.height, ColourLayout::Rgb, 8);
        pic.bitDepth = 8;
        PlanesCanvas canvas{pic};
        render(canvas, static_cast<uint32_t>(m_frame++));
        return true;
    }

    // The scene is drawn in 8-bit R, G, B: straight into that layout when it is the one asked.
    bool readRaw(uint32_t rawCode, std::span<uint8_t> out) override {
        if (rawCode != kRgb24 || out.size() != rawFrameSize(kRgb24, m_info.width, m_info.height))
            return VideoReader::readRaw(rawCode, out);
        if (m_frame == m_info.frameCount)
            return false;
        Rgb24Canvas canvas{out.data(), m_info.width};
        render(canvas, static_cast<uint32_t>(m_frame++));
        return true;
    }

private:
    static constexpr uint32_t kRgb24 = 22;

    struct PlanesCanvas {
        Picture& pic;
        void set(uint32_t x, uint32_t y, uint16_t r, uint16_t g, uint16_t b) {
            size_t i = size_t{y} * pic.width + x;
            pic.planes[0][i] = r;
            pic.planes[1][i] = g;
            pic.planes[2][i] = b;
        }
        uint16_t get(uint32_t x, uint32_t y, int c) const {
            return pic.planes[c][size_t{y} * pic.width + x];
        }
    };

    struct Rgb24Canvas {
        uint8_t* data;
        uint32_t width;
        void set(uint32_t x, uint32_t y, uint16_t r, uint16_t g, uint16_t b) {
            uint8_t* p = data + (size_t{y} * width + x) * 3;
            p[0] = static_cast<uint8_t>(r);
            p[1] = static_cast<uint8_t>(g);
            p[2] = static_cast<uint8_t>(b);
        }
        uint16_t get(uint32_t x, uint32_t y, int c) const {
            return data[(size_t{y} * width + x) * 3 + c];
        }
    };

    template <class Canvas>
    void render(Canvas& c, uint32_t t) const {
        const uint32_t W = m_info.width, H = m_info.height;
        background(c, W, H, t);
        disc(c, W, H, t);
        stripes(c, W, H, t);
        zonePlate(c, W, H, t);
        text(c, W, H, t);
    }

    template <class Canvas>
    static void background(Canvas& c, uint32_t W, uint32_t H, uint32_t t) {
        std::vector<uint32_t> gx(W);
        std::vector<uint16_t> red(W);
        for (uint32_t x = 0; x < W; ++x) {
            gx[x] = x * 768 / W;
            red[x] = tri(gx[x] + 3 * t);
        }
        for (uint32_t y = 0; y < H; ++y) {
            const uint32_t gy = y * 512 / H, blue = gy - 5 * t + 300;
            const uint16_t green = tri(gy + 2 * t + 128);
            for (uint32_t x = 0; x < W; ++x)
                c.set(x, y, red[x], green, tri(gx[x] + blue));
        }
    }

    template <class Canvas>
    static void disc(Canvas& c, uint32_t W, uint32_t H, uint32_t t) {
        const int64_t r = std::max<uint32_t>(H / 6, 2);
        const int64_t cx = W / 4 + int64_t{W} / 2 * tri(t * 7) / 255;
        const int64_t cy = H / 3 + int64_t{H} / 4 * tri(t * 11 + 200) / 255;
        const int64_t ring = std::max<int64_t>(r / 20, 1);
        for (int64_t y = std::max<int64_t>(cy - r, 0); y < std::min<int64_t>(cy + r, H); ++y)
            for (int64_t x = std::max<int64_t>(cx - r, 0); x < std::min<int64_t>(cx + r, W); ++x) {
                int64_t d2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
                if (d2 >= r * r)
                    continue;
                bool edge = d2 >= (r - ring) * (r - ring);
                c.set(uint32_t(x), uint32_t(y), edge ? 30 : 240, edge ? 20 : 200, edge ? 60 : 40);
            }
    }

    // A bar sliding across the picture, filled with one-pixel vertical and horizontal lines.
    template <class Canvas>
    static void stripes(Canvas& c, uint32_t W, uint32_t H, uint32_t t) {
        const int64_t bw = std::max<uint32_t>(W / 5, 4), bh = std::max<uint32_t>(H / 5, 4);
        const int64_t x0 = int64_t(t * (W / 40 + 1) % (W + bw)) - bw, y0 = H * 5 / 8 - bh;
        for (int64_t y = std::max<int64_t>(y0, 0); y < std::min<int64_t>(y0 + bh, H); ++y)
            for (int64_t x = std::max<int64_t>(x0, 0); x < std::min<int64_t>(x0 + bw, W); ++x) {
                bool on = (y - y0) < bh / 3 ? ((y - y0) & 1) : ((x - x0) & 1);
                uint16_t v = on ? 230 : 25;
                c.set(uint32_t(x), uint32_t(y), v, v, uint16_t(v / 2 + 60));
            }
    }

    template <class Canvas>
    static void zonePlate(Canvas& c, uint32_t W, uint32_t H, uint32_t t) {
        const int64_t s = std::max<uint32_t>(H / 3, 2);
        const int64_t x0 = std::max<int64_t>(int64_t{W} - s - W / 32, 0), y0 = H / 16;
        for (int64_t y = y0; y < std::min<int64_t>(y0 + s, H); ++y)
            for (int64_t x = x0; x < std::min<int64_t>(x0 + s, W); ++x) {
                int64_t dx = x - x0 - s / 2, dy = y - y0 - s / 2;
                uint16_t v = tri(uint32_t((dx * dx + dy * dy) * 256 / s + 8 * t));
                c.set(uint32_t(x), uint32_t(y), v, v, v);
            }
    }

    // Lines of 5x7 marks on a darkened band, scrolling up one pixel per frame.
    template <class Canvas>
    static void text(Canvas& c, uint32_t W, uint32_t H, uint32_t t) {
        const uint32_t k = std::max<uint32_t>(H / 540, 1); // pixels per glyph dot
        const uint32_t cellW = 6 * k, cellH = 9 * k;
        const uint32_t top = H * 3 / 4, bottom = H - H / 32, left = W / 16, right = W - W / 16;
        for (uint32_t y = top; y < bottom; ++y) {
            const uint32_t sy = y - top + t;
            const uint32_t line = sy / cellH, row = sy % cellH / k;
            uint32_t glyphCol = UINT32_MAX, bits = 0;
            for (uint32_t x = left; x < right; ++x) {
                const uint32_t col = (x - left) / cellW, dot = (x - left) % cellW / k;
                if (col != glyphCol) {
                    // Roughly one cell in six is a space; a glyph is 5 dots wide and 7 high.
                    const uint32_t h = mix(line, col);
                    bits = h % 6 != 0 && row < 7 ? mix(h, row) >> 3 : 0;
                    glyphCol = col;
                }
                if (dot < 5 && (bits >> dot & 1)) {
                    c.set(x, y, 245, 245, 245);
                } else {
                    c.set(x, y, c.get(x, y, 0) / 4, c.get(x, y, 1) / 4,
                          uint16_t(c.get(x, y, 2) / 4 + 20));
                }
            }
        }
    }

    VideoInfo m_info;
    uint64_t m_frame = 0;
};

} // namespace

std::unique_ptr<VideoReader> openTestClip(uint64_t frameCount, uint32_t width, uint32_t height) {
    return std::make_unique<TestClip>(frameCount, width, height);
}

} // namespace host
