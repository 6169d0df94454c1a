// The codec library's decoder on damaged input: a valid configuration for one of the sixteen
// variants at a small size, optionally with some of its bytes flipped, and whatever bytes
// follow as the compressed frame. The decoder must answer with one of its result codes and
// stay inside the two buffers it is given (the sanitizers watch that).
//
// Input: variant, width - 1, height - 1, flags, [offset, xor] per flipped configuration byte,
// then the frame. Flags: bit 0 decodes on two threads, bit 1 with the portable loops, bits 2-4
// (1 to 4) as a stream of that older bitstream version, bits 5-6 count the flipped bytes.
#include "codec_harness.h"
#include "decoder_case.h"
#include "fuzz_input.h"

#include <cstdlib>
#include <map>
#include <memory>
#include <tuple>
#include <vector>

namespace {

using codec_test::kFormatPairs;
using korvadin_fuzz::ByteReader;

// The decoder rightly prepares, when it opens, for the picture its configuration declares
// (up to 32768 on a side); flipped size bytes that declare more than a few megapixels would
// only spend the run's time and memory on that.
constexpr uint64_t kLargestPicture = uint64_t{4} << 20;

// Width and height sit at bytes 12 and 16 of the configuration, little-endian.
uint64_t declaredPicture(const std::vector<uint8_t>& config) {
    auto le32 = [&](size_t at) {
        return uint64_t{config[at]} | uint64_t{config[at + 1]} << 8 |
               uint64_t{config[at + 2]} << 16 | uint64_t{config[at + 3]} << 24;
    };
    return le32(12) * le32(16);
}

const std::vector<uint8_t>& configFor(size_t variant, uint32_t width, uint32_t height) {
    static std::map<std::tuple<size_t, uint32_t, uint32_t>, std::vector<uint8_t>> cache;
    auto [it, fresh] = cache.try_emplace({variant, width, height});
    if (fresh) {
        it->second = codec_test::Encoder(kFormatPairs[variant], width, height, 1).job().config;
    }
    return it->second;
}

bool knownResult(int32_t r) {
    return r == KORVADIN_OK || (r <= KORVADIN_E_ARGUMENT && r >= KORVADIN_E_UNBALANCED);
}

struct DecoderClose {
    void operator()(korvadin_decoder* d) const { korvadin_decoder_close(d); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ByteReader in(data, size);
    const korvadin_fuzz::DecoderCase c = korvadin_fuzz::DecoderCase::read(in);
    std::vector<uint8_t> config = configFor(c.variant % kFormatPairs.size(), c.width, c.height);
    if (config.empty()) {
        return 0;
    }
    if (c.oldVersion != 0) {
        config[4] = c.oldVersion; // the version, little-endian at byte 4
    }
    for (unsigned i = 0; i < c.flippedBytes; ++i) {
        const size_t offset = in.byte() % config.size();
        config[offset] ^= in.byte();
    }
    if (config.size() >= 20 && declaredPicture(config) > kLargestPicture) {
        return 0;
    }
    // A copy of exactly the frame's size, so that reading past its end is caught.
    const auto frameBytes = in.rest();
    const std::vector<uint8_t> frame(frameBytes.begin(), frameBytes.end());

    korvadin_decoder* opened = nullptr;
    const int32_t openResult =
        korvadin_decoder_open(config.data(), config.size(), c.threads, &opened);
    if (!knownResult(openResult) || (openResult == KORVADIN_OK) != (opened != nullptr)) {
        std::abort();
    }
    const std::unique_ptr<korvadin_decoder, DecoderClose> decoder(opened);
    if (!decoder) {
        return 0;
    }
    korvadin_stream_info info{};
    if (korvadin_decoder_info(decoder.get(), &info) != KORVADIN_OK) {
        std::abort();
    }
    std::vector<uint8_t> out(info.rawFrameSize);
    korvadin_set_cpu_mask(c.portable ? 0 : ~0u);
    const int32_t r =
        korvadin_decode(decoder.get(), frame.data(), frame.size(), out.data(), out.size());
    korvadin_set_cpu_mask(~0u);
    if (!knownResult(r)) {
        std::abort();
    }
    return 0;
}
