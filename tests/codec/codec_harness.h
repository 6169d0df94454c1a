// The codec library as the module drives it, through the host's wrapper, and frames whose every
// sample a variant keeps.
#pragma once

#include "host/codec_library.h"

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace codec_test {

// The sixteen (raw layout, compressed format) pairs, with what each keeps.
enum class Chroma { All, HalfHeight, None };
struct FormatPair {
    uint32_t raw;
    uint32_t id;
    unsigned depth;
    Chroma chroma;
};
extern const std::vector<FormatPair> kFormatPairs;
// Names a row in test output.
void PrintTo(const FormatPair& v, std::ostream* os);

using Job = host::CompressJob;

// A job of one variant begun on an instance of its own; threads 0 leaves the library's choice.
class Encoder {
public:
    Encoder(const FormatPair& v, uint32_t width, uint32_t height, uint32_t threads = 0);
    const Job& job() const { return m_job; }
    // The raw frame size the library lays out.
    uint64_t frameSize();
    // Compresses into a buffer of the job's bound; throws std::runtime_error if the library
    // writes past it.
    std::vector<uint8_t> encode(std::vector<uint8_t>& frame);
    host::CodecInstance& codec() { return m_codec; }

private:
    host::CodecInstance m_codec;
    korvadin_format_ex m_in;
    Job m_job;
};

// Decodes; returns the library's result and fills out on success.
int32_t decode(const std::vector<uint8_t>& config, const std::vector<uint8_t>& frame,
               std::vector<uint8_t>& out, uint32_t threads = 1);

enum class Content { Smooth, Photo, Noise, Flat };

// A raw frame whose every sample the variant can keep: N-bit samples widened by bit
// replication, chroma rows in equal pairs for 4:2:0, mid-grey chroma for luma-only.
std::vector<uint8_t> makeFrame(const FormatPair& v, uint32_t width, uint32_t height, Content c,
                               uint32_t seed = 1);

// The layouts of R G B (A) samples, whose coded planes are G, R-G and B-G as lifted.
bool isRgb(const FormatPair& v);

// A little-endian 32-bit field of a byte string.
uint32_t le32(const std::vector<uint8_t>& b, size_t at);
// Where each plane record of a compressed frame of `planes` coded planes starts, slice after
// slice.
std::vector<size_t> planeRecords(const std::vector<uint8_t>& frame, unsigned planes);

// A case of the stored conformance files: its name (format id and size) and its bytes.
struct StoredCase {
    std::string name;
    std::vector<uint8_t> config, frame, raw;
    uint32_t le(size_t at) const;
    uint32_t id() const { return config[6] | (uint32_t{config[7]} << 8); }
};
std::vector<StoredCase> storedCases(const std::filesystem::path& folder);

// A frame's size and 64-bit FNV-1a hash, as the list of what the encoder writes records them.
std::string frameDigest(const std::vector<uint8_t>& frame);

} // namespace codec_test
