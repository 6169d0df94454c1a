// The codec object of one render job: turns each host frame into one compressed key frame.
#pragma once

#include "davinci/encoder/codec_formats.h"
#include "davinci/encoder/korvadin_codec.h"
#include "davinci/encoder/wrapper/plugin_api.h"

#include <cstdint>
#include <memory>

namespace IOPlugin {

struct EncoderSettings {
    uint32_t width = 0;
    uint32_t height = 0;
    uint8_t fieldOrder = 0;
    uint8_t dataRange = 0;
};

class KorvadinEncoder final : public IPluginCodecRef {
public:
    // Keeps its own copy of the row: the variant never changes for the encoder's lifetime.
    explicit KorvadinEncoder(const CodecFormat& format);

    void onSignal() override;
    int32_t onProperties(HostPropertyCollectionRef& properties) override;
    int32_t open(HostBufferRef& settings) override;
    int32_t processFrame(HostBufferRef* frame) override;

private:
    void compressBeginJob();
    void resetCodec();
    // processFrame from the lock on; each failure reports its own text.
    int32_t encodeFrame(HostBufferRef& frame);
    // Throws std::exception when the library or the frame's size check fails.
    void compressInto(uint8_t* inData, uint64_t inBufSize, uint8_t* outData,
                      uint32_t& compressedSize);

    EncoderSettings m_settings;
    CodecFormat m_format;
    std::unique_ptr<KorvadinCodec> m_codec;
    korvadin_format_ex m_inputFormat{};
    const uint8_t* m_magicCookie = nullptr; // owned by the library instance
    uint64_t m_magicCookieSize = 0;
    uint32_t m_compBufferSize = 0;
    int32_t m_status = errNone;
};

} // namespace IOPlugin
