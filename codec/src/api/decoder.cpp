// The decoder: configuration bytes and a compressed frame back to the raw layout.
#include <new>
#include <system_error>

#include "core/frame_coder.h"
#include "core/stream_config.h"
#include "korvadin_common64.h"

struct korvadin_decoder {
    kvcodec::StreamConfig config;
    kvcodec::FrameDecompressor decoder;

    korvadin_decoder(const kvcodec::StreamConfig& c, unsigned threads)
        : config(c), decoder(c.geometry, c.version, threads) {}
};

extern "C" {

KORVADIN_CODEC_API int32_t korvadin_decoder_open(const uint8_t* config, uint64_t configSize,
                                                 uint32_t threads, korvadin_decoder** decoder) {
    if (decoder == nullptr) {
        return KORVADIN_E_ARGUMENT;
    }
    *decoder = nullptr;
    kvcodec::StreamConfig c;
    if (const kvcodec::Status s = kvcodec::readConfig(config, configSize, c);
        s != kvcodec::Status::Ok) {
        return kvcodec::resultCode(s);
    }
    try {
        *decoder = new korvadin_decoder(c, threads);
    } catch (const std::bad_alloc&) {
        return KORVADIN_E_MEMORY;
    } catch (const std::system_error&) {
        return KORVADIN_E_MEMORY;
    }
    return KORVADIN_OK;
}

KORVADIN_CODEC_API int32_t korvadin_decoder_info(const korvadin_decoder* decoder,
                                                 korvadin_stream_info* info) {
    if (decoder == nullptr || info == nullptr) {
        return KORVADIN_E_ARGUMENT;
    }
    const kvcodec::Geometry& g = decoder->config.geometry;
    info->width = g.width;
    info->height = g.height;
    info->rawFormat = g.raw->code;
    info->compressedFormat = g.variant->id;
    info->bitDepth = g.variant->depth;
    info->range = decoder->config.range;
    info->fieldOrder = decoder->config.fieldOrder;
    info->rawFrameSize = g.rawFrameSize();
    return KORVADIN_OK;
}

KORVADIN_CODEC_API int32_t korvadin_decode(korvadin_decoder* decoder, const uint8_t* frame,
                                           uint64_t frameSize, uint8_t* out, uint64_t outSize) {
    if (decoder == nullptr || frame == nullptr || out == nullptr) {
        return KORVADIN_E_ARGUMENT;
    }
    const kvcodec::Geometry& g = decoder->config.geometry;
    if (outSize < g.rawFrameSize()) {
        return KORVADIN_E_BUFFER;
    }
    kvcodec::RawView view;
    uint8_t* p = out;
    for (unsigned i = 0; i < g.rawPlaneCount; ++i) {
        view.data[i] = p;
        view.pitch[i] = g.rawPlane[i].rowBytes;
        p += g.rawPlane[i].rowBytes * g.rawPlane[i].rows;
    }
    return kvcodec::resultCode(decoder->decoder.decode(frame, frameSize, view));
}

KORVADIN_CODEC_API void korvadin_decoder_close(korvadin_decoder* decoder) {
    delete decoder;
}

} // extern "C"
