#include "codec_harness.h"

#include "host/media/raw_layout.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

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

Encoder::Encoder(const FormatPair& v, uint32_t width, uint32_t height, uint32_t threads)
    : m_codec(threads), m_in(host::rawFrameFormat(v.raw, width, height)),
      m_job(m_codec.begin(m_in, host::compressedFormat(v.id))) {}

uint64_t Encoder::frameSize() {
    uint8_t probe = 0;
    uint64_t total = 0;
    for (const korvadin_plane& p : m_codec.planes(m_in, &probe).plane) {
        total += p.size;
    }
    return total;
}

std::vector<uint8_t> Encoder::encode(std::vector<uint8_t>& frame) {
    // Guard bytes after the bound catch a write past it.
    std::vector<uint8_t> out(m_job.bound + 64, 0xA5);
    const uint32_t size = m_codec.compress(m_codec.planes(m_in, frame.data()), out.data());
    if (size > m_job.bound ||
        !std::all_of(out.begin() + m_job.bound, out.end(), [](uint8_t b) { return b == 0xA5; })) {
        throw std::runtime_error("compress wrote past the bound");
    }
    out.resize(size);
    return out;
}

int32_t decode(const std::vector<uint8_t>& config, const std::vector<uint8_t>& frame,
               std::vector<uint8_t>& out, uint32_t threads) {
    try {
        host::FrameDecoder decoder(config, threads);
        out = decoder.decode(frame);
        return 0;
    } catch (const host::CodecError& e) {
        return e.code();
    }
}

std::vector<uint8_t> makeFrame(const FormatPair& v, uint32_t width, uint32_t height, Content c,
                               uint32_t seed) {
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

    // The host lays the samples out in the raw layout, widening deeper ones by replication.
    host::Picture picture =
        host::makePicture(width, height, host::rawLayoutOf(v.raw), static_cast<int>(v.depth));
    for (unsigned p = 0; p < picture.planes.size(); ++p) {
        const uint32_t planeWidth = host::planeWidth(picture.layout, width, static_cast<int>(p));
        auto& plane = picture.planes[p];
        for (size_t i = 0; i < plane.size(); ++i) {
            const auto x = static_cast<uint32_t>(i % planeWidth);
            const auto y = static_cast<uint32_t>(i / planeWidth);
            const bool chroma = p == 1 || p == 2;
            plane[i] =
                static_cast<uint16_t>(!chroma || v.chroma == Chroma::All ? value(p, x, y)
                                      : v.chroma == Chroma::HalfHeight   ? value(p, x, y / 2)
                                                                         : 1u << (v.depth - 1));
        }
    }
    return host::packRaw(picture, v.raw);
}

bool isRgb(const FormatPair& v) {
    return v.raw == 22 || v.raw == 20 || v.raw == 28 || v.raw == 26;
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | (uint32_t{b[at + 1]} << 8) | (uint32_t{b[at + 2]} << 16) |
           (uint32_t{b[at + 3]} << 24);
}

std::vector<size_t> planeRecords(const std::vector<uint8_t>& frame, unsigned planes) {
    std::vector<size_t> at;
    const uint32_t slices = le32(frame, 4);
    size_t pos = 8 + 4 * size_t{slices};
    pos += 4 + le32(frame, pos);
    for (uint32_t i = 0; i < slices * planes; ++i) {
        at.push_back(pos);
        pos += 8 + le32(frame, pos + 4);
    }
    return at;
}

uint32_t StoredCase::le(size_t at) const {
    return le32(config, at);
}

std::vector<StoredCase> storedCases(const std::filesystem::path& folder) {
    const auto read = [](const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                    std::istreambuf_iterator<char>());
    };
    std::vector<StoredCase> cases;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().extension() == ".config") {
            std::filesystem::path stem = entry.path();
            stem.replace_extension();
            const auto with = [&](const char* ext) { return std::filesystem::path(stem) += ext; };
            cases.push_back({stem.filename().string(), read(with(".config")), read(with(".frame")),
                             read(with(".raw"))});
        }
    }
    std::sort(cases.begin(), cases.end(),
              [](const StoredCase& a, const StoredCase& b) { return a.name < b.name; });
    return cases;
}

std::string frameDigest(const std::vector<uint8_t>& frame) {
    uint64_t h = 14695981039346656037ull;
    for (const uint8_t b : frame) {
        h = (h ^ b) * 1099511628211ull;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
    return std::to_string(frame.size()) + " " + hex;
}

} // namespace codec_test
