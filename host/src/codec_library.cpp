#include "host/codec_library.h"

namespace host {

namespace {

std::string resultText(int32_t code) {
    // A library without a text for a code still gets its code named.
    const char* text = korvadin_get_string(KORVADIN_STRING_RESULT, code);
    return text != nullptr ? text : "no text";
}

} // namespace

CodecError::CodecError(const std::string& call, int32_t code)
    : std::runtime_error(call + ": " + resultText(code) + " (" + std::to_string(code) + ")"),
      m_code(code) {}

void checkCodec(int32_t result, const char* call) {
    if (result != 0) {
        throw CodecError(call, result);
    }
}

korvadin_format_ex rawFrameFormat(uint32_t rawFormat, uint32_t width, uint32_t height) {
    return {{width, height, KORVADIN_FORMAT_EXTENDED}, 1, rawFormat, 0, 0, 1, 0};
}

korvadin_format_ex compressedFormat(uint32_t id) {
    return {{0, 0, KORVADIN_FORMAT_EXTENDED}, 1, id, 0, 0, 0, 0};
}

CodecInstance::CodecInstance(uint32_t threads) {
    checkCodec(korvadin_library_init(&m_handle), "korvadin_library_init");
    // As in the plug-in: a failed open is not followed by korvadin_library_close.
    checkCodec(korvadin_open(&m_handle), "korvadin_open");
    const int32_t set = threads != 0 ? korvadin_set_thread_count(m_handle, threads) : 0;
    if (set != 0) {
        close();
        throw CodecError("korvadin_set_thread_count", set);
    }
}

CodecInstance::~CodecInstance() {
    close();
}

void CodecInstance::close() {
    korvadin_close(m_handle);
    korvadin_library_close();
}

CompressJob CodecInstance::begin(const korvadin_format_ex& in, const korvadin_format_ex& out) {
    const uint8_t* config = nullptr;
    uint64_t configSize = 0;
    CompressJob job;
    checkCodec(korvadin_compress_begin(m_handle, &in, &out, &config, &configSize, &job.bound),
               "korvadin_compress_begin");
    job.config.assign(config, config + configSize);
    return job;
}

korvadin_planes CodecInstance::planes(const korvadin_format_ex& in, uint8_t* frame) {
    korvadin_planes planes{};
    checkCodec(korvadin_init_planes_common(m_handle, &in, &planes, frame),
               "korvadin_init_planes_common");
    return planes;
}

uint32_t CodecInstance::compress(const korvadin_planes& planes, uint8_t* out) {
    uint32_t size = 0;
    checkCodec(korvadin_compress(m_handle, &planes, out, &size), "korvadin_compress");
    return size;
}

FrameDecoder::FrameDecoder(std::span<const uint8_t> config, uint32_t threads) {
    constexpr const char* kUnreadable = "the codec configuration cannot be read";
    checkCodec(korvadin_decoder_open(config.data(), config.size(), threads, &m_decoder),
               kUnreadable);
    const int32_t info = korvadin_decoder_info(m_decoder, &m_info);
    if (info != 0) {
        korvadin_decoder_close(m_decoder);
        throw CodecError(kUnreadable, info);
    }
    m_frame.resize(m_info.rawFrameSize);
}

FrameDecoder::~FrameDecoder() {
    korvadin_decoder_close(m_decoder);
}

const std::vector<uint8_t>& FrameDecoder::decode(std::span<const uint8_t> frame) {
    checkCodec(
        korvadin_decode(m_decoder, frame.data(), frame.size(), m_frame.data(), m_frame.size()),
        "a frame cannot be decoded");
    return m_frame;
}

} // namespace host
