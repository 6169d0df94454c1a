// Writes the conformance files of the codec's current bitstream version into FOLDER/v<version>:
// for each case a picture's configuration bytes (.config), its compressed frame (.frame) and the
// raw picture it decodes to (.raw). They are written once, when a version is new, and then never
// again: a build that stops reproducing them has broken files that users already have.
//
// How a picture is made: its coded planes are designed sample by sample, written as a frame of
// stored planes (the simplest form the decoder reads), and decoded into the raw layout. That
// raw picture is then what the library encodes. Designing in coded planes is what lets a case
// choose the residuals the encoder will see: they are integrated along the gradient, which the
// median prediction follows wherever the picture is smooth. Every main case has three slices:
//   0: small residuals, and in the deep formats some above 255, which take raw bits after
//      their token;
//   1: residuals of one activity class whose counts follow the Fibonacci numbers, from a
//      single one to hundreds, so that the frequency tables reach both ends of their scale;
//   2: uniform noise, which the encoder stores.
// The generator checks that the frames it writes have the stored planes and raw bits they are
// made to have before writing them.
//
// The older versions' files were made by this generator as it stood when they were added; it
// now makes the current version's.
#include "codec_harness.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using codec_test::Chroma;

// The version whose stored frames designedFrame writes: the one the encoder writes.
constexpr uint8_t kVersion = 5;
using codec_test::FormatPair;
using codec_test::isRgb;
using codec_test::le32;

// A fixed generator, so that the cases are the same wherever this runs.
class Random {
public:
    explicit Random(uint64_t seed) : m_state(seed) {}
    uint64_t next() {
        uint64_t z = (m_state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
    double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

private:
    uint64_t m_state;
};

void putLe32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

// A coded plane as the documented layout gives it: its width, its height and whether its slices
// cover half as many rows as the picture's.
struct PlaneShape {
    uint32_t width;
    uint32_t height;
    bool halfRows;
};

std::vector<PlaneShape> codedPlanes(const FormatPair& v, uint32_t w, uint32_t h) {
    const uint32_t cw = (w + 1) / 2;
    const uint32_t ch = (h + 1) / 2;
    switch (v.raw) {
    case 22:
    case 28:
    case 29:
    case 51:
        return {{w, h, false}, {w, h, false}, {w, h, false}};
    case 20:
    case 26:
        return {{w, h, false}, {w, h, false}, {w, h, false}, {w, h, false}};
    case 5:
        return {{2 * cw, h, false}, {cw, h, false}, {cw, h, false}};
    case 10:
        if (v.chroma == Chroma::None) {
            return {{w, h, false}};
        }
        return {{w, h, false}, {cw, ch, true}, {cw, ch, true}};
    default: // 59
        if (v.chroma == Chroma::None) {
            return {{w, h, false}};
        }
        if (v.chroma == Chroma::HalfHeight) {
            return {{w, h, false}, {cw, ch, true}, {cw, ch, true}};
        }
        return {{w, h, false}, {cw, h, false}, {cw, h, false}};
    }
}

enum class Band { Small, Skewed, Noise };

// The zigzag residual of one sample in a band: z = 2r for r >= 0, -2r - 1 for r < 0.
class Residuals {
public:
    Residuals(unsigned depth, Band band, uint32_t width, uint32_t rows, Random& random)
        : m_depth(depth), m_band(band), m_random(random) {
        if (band != Band::Skewed || rows < 2) {
            return;
        }
        // Fourteen neighbouring values with Fibonacci counts, shuffled, from 1 to 377 of them;
        // the first row holds the most frequent value only.
        const uint32_t base = depth >= 12 ? 0 : 7u << (depth - 8);
        m_pool.assign(width, base);
        const size_t samples = size_t{width} * rows;
        uint32_t a = 1;
        uint32_t b = 1;
        for (uint32_t k = 14; k-- > 0 && m_pool.size() < samples;) {
            for (uint32_t i = 0; i < a && m_pool.size() < samples; ++i) {
                m_pool.push_back(base + k);
            }
            const uint32_t next = a + b;
            a = b;
            b = next;
        }
        while (m_pool.size() < samples) {
            m_pool.push_back(base);
        }
        for (size_t i = m_pool.size(); i > width + 1; --i) {
            std::swap(m_pool[i - 1],
                      m_pool[width + m_random.below(static_cast<uint32_t>(i - width))]);
        }
    }

    uint32_t next() {
        switch (m_band) {
        case Band::Small: {
            if (m_depth > 8 && m_random.below(50) == 0) {
                return 256 + m_random.below((1u << m_depth) - 256);
            }
            const double scale = 3.0 * (1u << (m_depth - 8));
            return static_cast<uint32_t>(-scale * std::log(1.0 - m_random.unit()));
        }
        case Band::Skewed:
            return m_pool[m_taken++];
        case Band::Noise:
            return m_random.below(1u << m_depth);
        }
        return 0;
    }

private:
    unsigned m_depth;
    Band m_band;
    Random& m_random;
    std::vector<uint32_t> m_pool;
    size_t m_taken = 0;
};

// The samples of one plane of one slice whose gradient residuals (left + top - top-left, with a
// mid-grey row above the first and the top as prediction in the first column) are the given
// ones: each sample is its prediction plus its residual, which from version 5 on is mirrored
// where the top sample is below the top-left one, as the encoder's will be. With `average`,
// the rows after the first predict by the mean of left and top instead of the gradient.
std::vector<uint32_t> integrate(uint32_t width, uint32_t rows, unsigned depth, Residuals& z,
                                bool average) {
    const uint32_t mask = (1u << depth) - 1;
    const uint32_t mid = 1u << (depth - 1);
    std::vector<uint32_t> s(size_t{width} * rows);
    for (uint32_t y = 0; y < rows; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            const uint32_t zz = z.next() & mask;
            uint32_t r = (zz & 1) != 0 ? (0u - (zz + 1) / 2) : zz / 2;
            const uint32_t top = y > 0 ? s[size_t{y - 1} * width + x] : mid;
            uint32_t pred = top;
            if (x > 0) {
                const uint32_t left = s[size_t{y} * width + x - 1];
                const uint32_t topLeft = y > 0 ? s[size_t{y - 1} * width + x - 1] : mid;
                pred = average && y > 0 ? (left + top + 1) / 2 : left + top - topLeft;
                if (top < topLeft) {
                    r = 0u - r;
                }
            }
            s[size_t{y} * width + x] = (pred + r) & mask;
        }
    }
    return s;
}

// Most significant bit first, as the bitstream packs stored samples.
std::vector<uint8_t> packBits(const std::vector<uint32_t>& samples, unsigned depth) {
    std::vector<uint8_t> out((samples.size() * depth + 7) / 8, 0);
    size_t bit = 0;
    for (const uint32_t v : samples) {
        for (unsigned k = depth; k-- > 0; ++bit) {
            if (((v >> k) & 1) != 0) {
                out[bit / 8] |= static_cast<uint8_t>(0x80 >> (bit % 8));
            }
        }
    }
    return out;
}

// A frame of the current version of stored planes holding the designed planes: the frame
// header, a table block whose contexts are all unused, and the slices. In RGB layouts the first
// slice's blue plane is designed after blue's lifting step, so that the encoder, finding B-G
// rougher than the designed plane, takes the step too.
std::vector<uint8_t> designedFrame(const FormatPair& v, uint32_t w, uint32_t h, uint32_t sliceRows,
                                   bool threeBands, Random& random) {
    const std::vector<PlaneShape> planes = codedPlanes(v, w, h);
    const uint32_t slices = (h + sliceRows - 1) / sliceRows;
    std::vector<std::vector<uint8_t>> sliceBytes(slices);
    for (uint32_t k = 0; k < slices; ++k) {
        const Band band = !threeBands ? Band::Small
                          : k == 0    ? Band::Small
                          : k == 1    ? Band::Skewed
                                      : Band::Noise;
        for (size_t index = 0; index < planes.size(); ++index) {
            const PlaneShape& p = planes[index];
            const uint32_t step = p.halfRows ? sliceRows / 2 : sliceRows;
            const uint32_t first = std::min(k * step, p.height);
            const uint32_t rows = std::min((k + 1) * step, p.height) - first;
            Residuals z(v.depth, band, p.width, rows, random);
            // The first plane of the first slice follows the average, so that the encoder
            // predicts it so too.
            const bool average = threeBands && index == 0 && k == 0;
            const std::vector<uint8_t> payload =
                packBits(integrate(p.width, rows, v.depth, z, average), v.depth);
            std::vector<uint8_t>& out = sliceBytes[k];
            const bool lifted = isRgb(v) && index == 2 && k == 0;
            out.insert(out.end(), {0, 0, static_cast<uint8_t>(lifted ? 1 : 0), 0});
            putLe32(out, static_cast<uint32_t>(payload.size()));
            out.insert(out.end(), payload.begin(), payload.end());
        }
    }
    std::vector<uint8_t> frame = {'K', kVersion, 0, 0};
    putLe32(frame, slices);
    for (const auto& s : sliceBytes) {
        putLe32(frame, static_cast<uint32_t>(s.size()));
    }
    // One bit per context of each plane, all 0: 16 bits a plane.
    putLe32(frame, static_cast<uint32_t>(2 * planes.size()));
    frame.insert(frame.end(), 2 * planes.size(), 0);
    for (const auto& s : sliceBytes) {
        frame.insert(frame.end(), s.begin(), s.end());
    }
    return frame;
}

// What a compressed frame's planes use, read back from its bytes.
struct Coverage {
    bool stored = false;
    bool rawBits = false;    // coded residuals of more than 7 bits, whose low bits follow raw
    unsigned blueLifted = 0; // slices whose blue plane took blue's lifting step
    unsigned averaged = 0;   // coded planes predicted by the average
};

Coverage coverage(const std::vector<uint8_t>& frame, unsigned planes) {
    Coverage c;
    for (const size_t pos : codec_test::planeRecords(frame, planes)) {
        c.blueLifted += frame[pos + 2];
        c.averaged += frame[pos + 1] == 2 ? 1 : 0;
        if (frame[pos] == 0) {
            c.stored = true;
        } else {
            // Word count and 64 states, then the words; the rest is raw bits.
            c.rawBits |= le32(frame, pos + 4) > 4 + 4 * 64 + 2 * le32(frame, pos + 8);
        }
    }
    return c;
}

void save(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

struct Case {
    uint32_t id;
    uint32_t width;
    uint32_t height;
};

void writeCase(const fs::path& folder, const Case& c, Random& random) {
    const FormatPair* row = nullptr;
    for (const FormatPair& v : codec_test::kFormatPairs) {
        row = v.id == c.id ? &v : row;
    }
    codec_test::Encoder encoder(*row, c.width, c.height, 1);
    const std::vector<uint8_t>& config = encoder.job().config;
    const bool main = c.height > 32;
    const std::vector<uint8_t> designed =
        designedFrame(*row, c.width, c.height, le32(config, 20), main, random);
    std::vector<uint8_t> raw;
    if (codec_test::decode(config, designed, raw) != 0) {
        throw std::runtime_error("the designed frame of " + std::to_string(c.id) +
                                 " does not decode");
    }
    const std::vector<uint8_t> frame = encoder.encode(raw);
    std::vector<uint8_t> back;
    codec_test::Encoder twoThreads(*row, c.width, c.height, 2);
    if (codec_test::decode(config, frame, back) != 0 || back != raw ||
        twoThreads.encode(raw) != frame) {
        throw std::runtime_error("format " + std::to_string(c.id) + " does not round-trip");
    }
    const Coverage got = coverage(frame, config[11]);
    if (main && (!got.stored || got.rawBits != (row->depth > 8) ||
                 (got.blueLifted > 0) != isRgb(*row) || got.averaged == 0)) {
        throw std::runtime_error("format " + std::to_string(c.id) +
                                 " misses a segment kind it is made to have");
    }
    const std::string stem =
        std::to_string(c.id) + "_" + std::to_string(c.width) + "x" + std::to_string(c.height);
    save(folder / (stem + ".config"), config);
    save(folder / (stem + ".frame"), frame);
    save(folder / (stem + ".raw"), raw);
    std::printf("%s: %zu-byte frame, %zu-byte picture%s%s, %u blue planes lifted, %u averaged\n",
                stem.c_str(), frame.size(), raw.size(), got.stored ? ", stored" : "",
                got.rawBits ? ", raw bits" : "", got.blueLifted, got.averaged);
}

} // namespace

// Lists what this build's encoder writes for the current version's pictures, one and three
// threads alike, in FOLDER/encoder.txt.
int writeEncoderDigests(const fs::path& folder) {
    std::string list;
    for (const codec_test::StoredCase& c :
         codec_test::storedCases(folder / ("v" + std::to_string(kVersion)))) {
        const FormatPair* row = nullptr;
        for (const FormatPair& v : codec_test::kFormatPairs) {
            row = v.id == c.id() ? &v : row;
        }
        std::vector<uint8_t> picture = c.raw;
        const std::vector<uint8_t> frame =
            codec_test::Encoder(*row, c.le(12), c.le(16), 1).encode(picture);
        std::vector<uint8_t> back;
        if (codec_test::decode(c.config, frame, back) != 0 || back != c.raw ||
            codec_test::Encoder(*row, c.le(12), c.le(16), 3).encode(picture) != frame) {
            throw std::runtime_error(c.name + " does not round-trip");
        }
        list += c.name + " " + codec_test::frameDigest(frame) + "\n";
    }
    save(folder / "encoder.txt", std::vector<uint8_t>(list.begin(), list.end()));
    std::printf("%s", list.c_str());
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--encoder") {
        try {
            return writeEncoderDigests(argv[2]);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s\n", e.what());
            return 1;
        }
    }
    if (argc != 2) {
        std::fprintf(stderr,
                     "usage: %s FOLDER            the stored frames of a new version, in "
                     "FOLDER/v%u\n       %s --encoder FOLDER  what the encoder writes for them, in "
                     "FOLDER/encoder.txt\n",
                     argv[0], unsigned{kVersion}, argv[0]);
        return 2;
    }
    const fs::path folder = fs::path(argv[1]) / ("v" + std::to_string(kVersion));
    if (fs::exists(folder)) {
        std::fprintf(stderr, "%s exists: the files of a released version are never written again\n",
                     folder.string().c_str());
        return 1;
    }
    try {
        fs::create_directories(folder);
        Random random(1);
        // Every format at an odd width of 67 (enough samples for the long codes) and three
        // slices; then a few of the smallest pictures, whose planes are one sample wide or high.
        for (const FormatPair& v : codec_test::kFormatPairs) {
            writeCase(folder, {v.id, 67, 35}, random);
        }
        for (const Case c : {Case{101, 1, 1}, Case{104, 1, 2}, Case{105, 3, 1}, Case{123, 1, 3},
                             Case{114, 5, 3}}) {
            writeCase(folder, c, random);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
