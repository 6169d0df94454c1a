// The codec library's decoder behind an owning C++ type, for checking what the plug-in wrote.
#pragma once

#include "korvadin_common64.h"

#include <cstdint>
#include <span>
#include <vector>

namespace host {

class FrameDecoder {
public:
    // Reads the codec's configuration bytes ("magicCookie"). Throws std::runtime_error.
    explicit FrameDecoder(std::span<const uint8_t> cookie, uint32_t threads = 0);
    ~FrameDecoder();
    FrameDecoder(const FrameDecoder&) = delete;
    FrameDecoder& operator=(const FrameDecoder&) = delete;

    const korvadin_stream_info& info() const { return m_info; }
    // One compressed frame back to the raw layout. Throws std::runtime_error on damage.
    const std::vector<uint8_t>& decode(std::span<const uint8_t> frame);

private:
    korvadin_decoder* m_decoder = nullptr;
    korvadin_stream_info m_info{};
    std::vector<uint8_t> m_frame;
};

} // namespace host
