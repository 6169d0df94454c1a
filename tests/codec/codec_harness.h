// Drives the codec library the way the module does, and decodes with the library's decoder.
#pragma once

#include <cstdint>
#include <ostream>
#include <vector>

#include "davinci/encoder/korvadin_library.h"
#include "korvadin_common64.h"

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

// One library instance, opened and closed like the module's wrapper does.
class Instance {
public:
    Instance();
    ~Instance();
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;
    uint32_t handle() const { return m_handle; }

private:
    uint32_t m_handle = 0;
};

struct Job {
    std::vector<uint8_t> config;
    uint32_t bound = 0;
};

class Encoder {
public:
    // threads 0 leaves the library's choice.
    Encoder(const FormatPair& v, uint32_t width, uint32_t height, uint32_t threads = 0);
    const Job& job() const { return m_job; }
    int32_t beginResult() const { return m_begin; }
    // The raw frame size the library lays out.
    uint64_t frameSize();
    std::vector<uint8_t> encode(std::vector<uint8_t>& frame);
    // The library calls alone, into a buffer of job().bound bytes.
    int32_t compressInto(uint8_t* frame, uint8_t* out, uint32_t* size);

private:
    Instance m_instance;
    korvadin_format_ex m_in{};
    Job m_job;
    int32_t m_begin = -1;
};

// Decodes; returns the library's result and fills out on success.
int32_t decode(const std::vector<uint8_t>& config, const std::vector<uint8_t>& frame,
               std::vector<uint8_t>& out, uint32_t threads = 1);

enum class Content { Smooth, Photo, Noise, Flat };

// A raw frame whose every sample the variant can keep: N-bit samples widened by bit
// replication, chroma rows in equal pairs for 4:2:0, mid-grey chroma for luma-only.
std::vector<uint8_t> makeFrame(const FormatPair& v, uint32_t width, uint32_t height, Content c,
                               uint32_t seed = 1);

uint16_t replicate(uint32_t v, unsigned depth);

} // namespace codec_test
