#include "codec_harness.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace codec_test {

const std::vector<FormatPair> kFormatPairs = {
    {22, 101, 8, Chroma::All},  {20, 102, 8, Chroma::All},         {29, 103, 8, Chroma::All},
    {5, 104, 8, Chroma::All},   {10, 105, 8, Chroma::All},         {10, 107, 8, Chroma::None},
    {28, 109, 10, Chroma::All}, {26, 110, 10, Chroma::All},        {51, 118, 10, Chroma::All},
    {59, 108, 10, Chroma::All}, {59, 123, 10, Chroma::HalfHeight}, {59, 115, 10, Chroma::None},
    {28, 111, 12, Chroma::All}, {26, 112, 12, Chroma::All},        {28, 113, 14, Chroma::All},
    {26, 114, 14, Chroma::All},
};

void PrintTo(const FormatPair& v, std::ostream* os) {
    *os << "raw " << v.raw << " -> " << v.id;
}

namespace {

void check(int32_t r, const char* what) {
    if (r != 0) {
        throw std::runtime_error(std::string(what) + " failed: " + std::to_string(r) + " " +
                                 korvadin_get_string(KORVADIN_STRING_RESULT, r));
    }
}

bool wide(uint32_t raw) {
    return raw == 28 || raw == 26 || raw == 51 || raw == 59;
}

} // namespace

uint16_t replicate(uint32_t v, unsigned depth) {
    if (depth >= 16) {
        return static_cast<uint16_t>(v);
    }
    uint32_t out = 0;
    for (int shift = 16 - static_cast<int>(depth); shift > -static_cast<int>(depth);
         shift -= static_cast<int>(depth)) {
        out |= shift >= 0 ? v << shift : v >> -shift;
    }
    return static_cast<uint16_t>(out);
}

Instance::Instance() {
    check(korvadin_library_init(&m_handle), "korvadin_library_init");
    check(korvadin_open(&m_handle), "korvadin_open");
}

Instance::~Instance() {
    korvadin_close(m_handle);
    korvadin_library_close();
}

Encoder::Encoder(const FormatPair& v, uint32_t width, uint32_t height, uint32_t threads) {
    m_in = {{width, height, KORVADIN_FORMAT_EXTENDED}, 1, v.raw, 0, 0, 1, 0};
    const korvadin_format_ex out = {{0, 0, KORVADIN_FORMAT_EXTENDED}, 1, v.id, 0, 0, 0, 0};
    if (threads != 0) {
        check(korvadin_set_thread_count(m_instance.handle(), threads), "korvadin_set_thread_count");
    }
    const uint8_t* cookie = nullptr;
    uint64_t cookieSize = 0;
    m_begin = korvadin_compress_begin(m_instance.handle(), &m_in, &out, &cookie, &cookieSize,
                                      &m_job.bound);
    if (m_begin == 0) {
        m_job.config.assign(cookie, cookie + cookieSize);
    }
}

uint64_t Encoder::frameSize() {
    korvadin_planes planes{};
    uint8_t probe = 0;
    check(korvadin_init_planes_common(m_instance.handle(), &m_in, &planes, &probe),
          "korvadin_init_planes_common");
    uint64_t total = 0;
    for (const korvadin_plane& p : planes.plane) {
        total += p.size;
    }
    return total;
}

int32_t Encoder::compressInto(uint8_t* frame, uint8_t* out, uint32_t* size) {
    korvadin_planes planes{};
    const int32_t r = korvadin_init_planes_common(m_instance.handle(), &m_in, &planes, frame);
    return r != 0 ? r : korvadin_compress(m_instance.handle(), &planes, out, size);
}

std::vector<uint8_t> Encoder::encode(std::vector<uint8_t>& frame) {
    check(m_begin, "korvadin_compress_begin");
    korvadin_planes planes{};
    check(korvadin_init_planes_common(m_instance.handle(), &m_in, &planes, frame.data()),
          "korvadin_init_planes_common");
    // Guard bytes after the bound catch a write past it.
    std::vector<uint8_t> out(m_job.bound + 64, 0xA5);
    uint32_t size = 0;
    check(korvadin_compress(m_instance.handle(), &planes, out.data(), &size), "korvadin_compress");
    for (size_t i = m_job.bound; i < out.size(); ++i) {
        if (out[i] != 0xA5) {
            throw std::runtime_error("compress wrote past the bound");
        }
    }
    if (size > m_job.bound) {
        throw std::runtime_error("compressed size above the bound");
    }
    out.resize(size);
    return out;
}

int32_t decode(const std::vector<uint8_t>& config, const std::vector<uint8_t>& frame,
               std::vector<uint8_t>& out, uint32_t threads) {
    korvadin_decoder* d = nullptr;
    int32_t r = korvadin_decoder_open(config.data(), config.size(), threads, &d);
    if (r != 0) {
        return r;
    }
    korvadin_stream_info info{};
    korvadin_decoder_info(d, &info);
    out.assign(info.rawFrameSize, 0);
    r = korvadin_decode(d, frame.data(), frame.size(), out.data(), out.size());
    korvadin_decoder_close(d);
    return r;
}

std::vector<uint8_t> makeFrame(const FormatPair& v, uint32_t width, uint32_t height, Content c,
                               uint32_t seed) {
    const bool w16 = wide(v.raw);
    const uint32_t maxValue = (1u << v.depth) - 1;
    // Noise is a hash of the position, so equal positions get equal values.
    auto noise = [&](unsigned comp, uint32_t x, uint32_t y) -> uint32_t {
        uint64_t h = (uint64_t{x} << 40) ^ (uint64_t{y} << 16) ^ (uint64_t{comp} << 8) ^ seed;
        h ^= h >> 33;
        h *= 0xff51afd7ed558ccdull;
        h ^= h >> 33;
        h *= 0xc4ceb9fe1a85ec53ull;
        h ^= h >> 33;
        return static_cast<uint32_t>(h);
    };
    const uint32_t base = noise(9, 0, 0) & maxValue;

    // Value of component `comp` (0 luma or green, 1 and 2 chroma, 3 alpha) at (x, y).
    auto value = [&](unsigned comp, uint32_t x, uint32_t y) -> uint32_t {
        const double scale = maxValue / 255.0;
        switch (c) {
        case Content::Smooth:
            return static_cast<uint32_t>((x * 3 + y * 2 + comp * 50) % 256 * scale);
        case Content::Photo: {
            const double s = 128 + 60 * std::sin(x * 0.05 + comp) * std::cos(y * 0.031) +
                             30 * std::sin((x + 2 * y) * 0.21) +
                             static_cast<double>(noise(comp, x, y) % 9) - 4;
            return static_cast<uint32_t>(std::clamp(s, 0.0, 255.0) * scale);
        }
        case Content::Noise:
            return noise(comp, x, y) & maxValue;
        case Content::Flat:
            return (base + comp * 77) & maxValue;
        }
        return 0;
    };

    struct Plane {
        uint32_t samplesPerRow;
        uint32_t rows;
    };
    std::vector<uint8_t> frame;
    auto put = [&](uint32_t v16) {
        if (w16) {
            const uint16_t s = replicate(v16, v.depth);
            frame.push_back(static_cast<uint8_t>(s));
            frame.push_back(static_cast<uint8_t>(s >> 8));
        } else {
            frame.push_back(static_cast<uint8_t>(v16));
        }
    };
    const uint32_t cw = (width + 1) / 2;
    const uint32_t mid = 1u << (v.depth - 1);
    switch (v.raw) {
    case 22:
    case 20:
    case 28:
    case 26: {
        const unsigned comps = (v.raw == 20 || v.raw == 26) ? 4 : 3;
        for (uint32_t y = 0; y < height; ++y) {
            for (uint32_t x = 0; x < width; ++x) {
                for (unsigned k = 0; k < comps; ++k) {
                    put(value(k, x, y));
                }
            }
        }
        break;
    }
    case 5:
        for (uint32_t y = 0; y < height; ++y) {
            for (uint32_t i = 0; i < cw; ++i) {
                put(value(1, i, y));
                put(value(0, 2 * i, y));
                put(value(2, i, y));
                put(value(0, 2 * i + 1, y));
            }
        }
        break;
    default: { // planar 29, 10, 51, 59
        const bool halfWidth = v.raw == 10 || v.raw == 59;
        const bool halfHeight = v.raw == 10;
        for (unsigned p = 0; p < 3; ++p) {
            const uint32_t pw = p > 0 && halfWidth ? cw : width;
            const uint32_t ph = p > 0 && halfHeight ? (height + 1) / 2 : height;
            for (uint32_t y = 0; y < ph; ++y) {
                for (uint32_t x = 0; x < pw; ++x) {
                    if (p == 0) {
                        put(value(0, x, y));
                    } else if (v.chroma == Chroma::None) {
                        put(mid);
                    } else if (v.chroma == Chroma::HalfHeight) {
                        put(value(p, x, y / 2));
                    } else {
                        put(value(p, x, y));
                    }
                }
            }
        }
        break;
    }
    }
    return frame;
}

} // namespace codec_test
