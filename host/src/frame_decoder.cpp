#include "host/frame_decoder.h"

#include "davinci/encoder/korvadin_library.h"

#include <stdexcept>
#include <string>

namespace host {

namespace {

[[noreturn]] void fail(const std::string& what, int32_t code) {
    throw std::runtime_error(what + ": " + korvadin_get_string(2, code) + " (" +
                             std::to_string(code) + ")");
}

} // namespace

FrameDecoder::FrameDecoder(std::span<const uint8_t> cookie, uint32_t threads) {
    int32_t code = korvadin_decoder_open(cookie.data(), cookie.size(), threads, &m_decoder);
    if (code != 0) {
        fail("the codec configuration cannot be read", code);
    }
    code = korvadin_decoder_info(m_decoder, &m_info);
    if (code != 0) {
        korvadin_decoder_close(m_decoder);
        fail("the codec configuration cannot be read", code);
    }
    m_frame.resize(m_info.rawFrameSize);
}

FrameDecoder::~FrameDecoder() {
    korvadin_decoder_close(m_decoder);
}

const std::vector<uint8_t>& FrameDecoder::decode(std::span<const uint8_t> frame) {
    const int32_t code =
        korvadin_decode(m_decoder, frame.data(), frame.size(), m_frame.data(), m_frame.size());
    if (code != 0) {
        fail("a frame cannot be decoded", code);
    }
    return m_frame;
}

} // namespace host
