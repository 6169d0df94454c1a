#include "davinci/encoder/korvadin_avi_container.h"

#include "avi/avi_layout.h"
#include "davinci/encoder/codec_formats.h"

#include <cstdlib>
#include <exception>
#include <string>

namespace IOPlugin {

namespace {

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatFloat = 3;

uint32_t channelMaskForLayout(uint32_t layout) {
    switch (layout) {
    case 2:
        return 0x3;
    case 3:
        return 0x3F;
    case 4:
        return 0x63F;
    default:
        return 0;
    }
}

} // namespace

KorvadinAviContainer::KorvadinAviContainer() {
    resetWriter();
}

// The writer goes first (it may still end its file), then the file, then the tracks.
KorvadinAviContainer::~KorvadinAviContainer() = default;

void KorvadinAviContainer::resetWriter() {
    m_writer.reset();
    m_file.close();
    m_writing = false;
    m_writer = std::make_unique<AviWriter>(m_file);
}

int32_t KorvadinAviContainer::init(HostPropertyCollectionRef&) {
    resetWriter();
    return errNone;
}

int32_t KorvadinAviContainer::open(HostPropertyCollectionRef& properties) {
    std::string path;
    if (!properties.getStringProperty("path", path)) {
        path.clear();
    }
    // Reopening would empty the file the host is writing and leave the writer's first header
    // half open; refusing before the file is touched keeps what was written intact.
    if (m_writing) {
        reportHostError(0,
                        "Korvadin Plugin :: Failed to open output file: %s: the container "
                        "is still writing a file; close it first",
                        path.c_str());
        return errFailed;
    }
    if (!m_file.open(path.c_str(), fileio::Write)) {
        reportHostError(0, "Korvadin Plugin :: Failed to open output file: %s", path.c_str());
        return errFailed;
    }
    m_writing = true;
    try {
        m_writer->writeHeader();
    } catch (const std::exception& e) {
        reportHostError(0, "Korvadin Plugin :: Failed to write AVI header: %s", e.what());
        return errFailed;
    }
    return errNone;
}

int32_t KorvadinAviContainer::addTrack(HostPropertyCollectionRef& track,
                                       HostPropertyCollectionRef& codec, IPluginObjRef** outTrack) {
    uint32_t mediaType = 0;
    if (!track.readProperty("mediaType", mediaType)) {
        return errInvalidArgument;
    }
    if (mediaType != mediaVideo && mediaType != mediaAudio) {
        return errInvalidArgument;
    }
    if (mediaType == mediaVideo && m_videoTrack) {
        return errUnsupported;
    }
    uint32_t frameRate[2] = {0, 0};
    track.readProperty("frameRate", frameRate, 2);

    const int32_t result =
        mediaType == mediaVideo ? addVideoTrack(track, codec, frameRate) : addAudioTrack(track);
    if (result != errNone) {
        return result;
    }
    KorvadinAviTrackWriter* added =
        mediaType == mediaVideo ? m_videoTrack.get() : m_audioTracks.back().get();
    added->addRef(); // the host's reference
    *outTrack = added;
    return errNone;
}

int32_t KorvadinAviContainer::addVideoTrack(HostPropertyCollectionRef& track,
                                            HostPropertyCollectionRef& codec,
                                            const uint32_t frameRate[2]) {
    uint32_t width = 0;
    uint32_t height = 0;
    track.readProperty("width", width);
    track.readProperty("height", height);

    const uint64_t index = m_writer->addStream(riffFourcc("vids"));
    m_videoTrack =
        PluginObjPtr<KorvadinAviTrackWriter>::adopt(new KorvadinAviTrackWriter(this, index, true));

    // A missing or zero rate has no frame duration; 0 tells readers it is unknown rather
    // than failing a render the host has already started.
    const uint32_t numerator = frameRate[0];
    const uint32_t denominator = frameRate[1];
    const uint64_t frameDuration =
        numerator == 0 ? 0 : uint64_t(denominator) * 1000000u / numerator;

    uint32_t type = 0;
    const void* cookie = nullptr;
    int32_t cookieSize = 0;
    if (codec.getProperty("magicCookie", &type, &cookie, &cookieSize) != errNone ||
        cookie == nullptr || cookieSize < 0) {
        cookie = nullptr;
        cookieSize = 0;
    }
    uint32_t hostFourcc = 0;
    codec.readProperty("4cc", hostFourcc);
    const CodecFormat* row = findCodecFormatByFourcc(hostFourcc);
    const uint16_t bitCount = row != nullptr ? row->bitsPerPixel : 32;
    // The host's value has the first character in its top byte; the file wants it first.
    const uint32_t fileFourcc = __builtin_bswap32(hostFourcc);

    auto& mainHeader = m_writer->mainHeader();
    set(mainHeader, avi::avih::microSecPerFrame, static_cast<uint32_t>(frameDuration));
    set(mainHeader, avi::avih::width, width);
    set(mainHeader, avi::avih::height, height);

    AviStream& stream = m_writer->stream(index);
    auto& header = stream.header();
    header.fill(0);
    set(header, avi::strh::fccType, riffFourcc("vids"));
    set(header, avi::strh::fccHandler, fileFourcc);
    set(header, avi::strh::scale, denominator);
    set(header, avi::strh::rate, numerator);
    set(header, avi::strh::quality, 10000u);
    set(header, avi::strh::frameRight, static_cast<int16_t>(std::abs(static_cast<int32_t>(width))));
    set(header, avi::strh::frameBottom,
        static_cast<int16_t>(std::abs(static_cast<int32_t>(height))));

    auto& format = stream.format();
    format.assign(avi::bih::kSize, 0);
    set(format, avi::bih::size, static_cast<uint32_t>(avi::bih::kSize + cookieSize));
    set(format, avi::bih::width, static_cast<int32_t>(width));
    set(format, avi::bih::height, static_cast<int32_t>(height));
    set(format, avi::bih::planes, uint16_t{1});
    set(format, avi::bih::bitCount, bitCount);
    set(format, avi::bih::compression, fileFourcc);
    set(format, avi::bih::sizeImage,
        static_cast<uint32_t>(uint64_t(width) * height * bitCount / 8));
    const auto* bytes = static_cast<const uint8_t*>(cookie);
    format.insert(format.end(), bytes, bytes + cookieSize);
    stream.resetChunkId();
    return errNone;
}

int32_t KorvadinAviContainer::addAudioTrack(HostPropertyCollectionRef& track) {
    uint32_t samplingRate = 0;
    uint32_t channels = 0;
    uint32_t sampleBits = 0;
    bool isFloat = false;
    uint32_t layout = 0;
    track.readProperty("samplingRate", samplingRate);
    track.readProperty("numChannels", channels);
    track.readProperty("sampleBits", sampleBits);
    track.readProperty("isFloat", isFloat);
    track.readProperty("audLayout", layout);

    const uint64_t index = m_writer->addStream(riffFourcc("auds"));
    m_audioTracks.push_back(PluginObjPtr<KorvadinAviTrackWriter>::adopt(
        new KorvadinAviTrackWriter(this, index, false)));
    m_writer->stream(index).setAudioFormat(
        isFloat ? kFormatFloat : kFormatPcm, static_cast<uint16_t>(channels), samplingRate,
        static_cast<uint16_t>(sampleBits), channelMaskForLayout(layout));
    return errNone;
}

int32_t KorvadinAviContainer::close() {
    int32_t result = errNone;
    try {
        m_writer->finalize();
    } catch (const std::exception& e) {
        reportHostError(0, "Korvadin Plugin :: Failed to finalize AVI: %s", e.what());
        result = errFailed;
    }
    resetWriter();
    m_audioTracks.clear();
    m_videoTrack.reset();
    return result;
}

int32_t KorvadinAviContainer::writeVideoChunk(uint64_t streamIndex, HostBufferRef* buffer) {
    return writeChunk(streamIndex, buffer, 1, true, "video");
}

int32_t KorvadinAviContainer::writeAudioChunk(uint64_t streamIndex, HostBufferRef* buffer) {
    int64_t duration = 0;
    if (buffer != nullptr) {
        buffer->readProperty("duration", duration);
    }
    return writeChunk(streamIndex, buffer, static_cast<uint32_t>(duration), false, "audio");
}

int32_t KorvadinAviContainer::writeChunk(uint64_t streamIndex, HostBufferRef* buffer,
                                         uint32_t duration, bool keyFrame, const char* kind) {
    if (buffer == nullptr || buffer->empty()) {
        return errNone;
    }
    uint8_t* data = nullptr;
    uint64_t size = 0;
    if (buffer->lock(data, size) != errNone) {
        return errNone; // the packet is skipped, as a lock that failed needs no unlock
    }
    int32_t result = errNone;
    try {
        m_writer->writeChunk(streamIndex, data, size, duration, keyFrame);
    } catch (const std::exception& e) {
        reportHostError(0, "Korvadin Plugin :: Failed to write AVI %s chunk: %s", kind, e.what());
        result = errFailed;
    }
    buffer->unlock();
    return result;
}

KorvadinAviTrackWriter::KorvadinAviTrackWriter(KorvadinAviContainer* container,
                                               uint64_t streamIndex, bool isVideo)
    : IPluginTrackBase(container), m_streamIndex(streamIndex), m_isVideo(isVideo) {}

int32_t KorvadinAviTrackWriter::writePacket(HostBufferRef* packet) {
    auto* pContainer = dynamic_cast<KorvadinAviContainer*>(m_pContainer.get());
    PLUGIN_FATAL_ASSERT(pContainer != NULL);
    return m_isVideo ? pContainer->writeVideoChunk(m_streamIndex, packet)
                     : pContainer->writeAudioChunk(m_streamIndex, packet);
}

} // namespace IOPlugin
