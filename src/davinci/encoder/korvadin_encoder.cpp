#include "davinci/encoder/korvadin_encoder.h"

#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace IOPlugin {

namespace {

constexpr uint32_t kLibraryParam1 = 1;

// The host's data range and field order in the library's codes.
uint32_t libraryRange(uint8_t dataRange) {
    return dataRange == 1 ? 2 : 1;
}

uint32_t libraryFieldOrder(uint8_t fieldOrder) {
    switch (fieldOrder) {
    case 2:
        return 1;
    case 4:
        return 2;
    default:
        return 0;
    }
}

korvadin_format_ex extendedFormat(uint32_t width, uint32_t height, uint32_t subFormat,
                                  uint32_t range, uint32_t fieldOrder) {
    return {{width, height, KORVADIN_FORMAT_EXTENDED},
            kLibraryParam1,
            subFormat,
            0,
            0,
            range,
            fieldOrder};
}

// Unlocks a locked host buffer on every way out, unless that was done already or it is to stay
// locked.
class ScopedUnlock {
public:
    explicit ScopedUnlock(HostBufferRef& buffer) : m_buffer(&buffer) {}
    ~ScopedUnlock() { unlock(); }
    ScopedUnlock(const ScopedUnlock&) = delete;
    ScopedUnlock& operator=(const ScopedUnlock&) = delete;

    void unlock() {
        if (m_buffer != nullptr) {
            std::exchange(m_buffer, nullptr)->unlock();
        }
    }
    void keepLocked() { m_buffer = nullptr; }

private:
    HostBufferRef* m_buffer;
};

} // namespace

KorvadinEncoder::KorvadinEncoder(const CodecFormat& format) : m_format(format) {}

void KorvadinEncoder::onSignal() {
    // Every frame leaves within the call that brought it: there is nothing to flush.
}

int32_t KorvadinEncoder::onProperties(HostPropertyCollectionRef&) {
    return errNone;
}

int32_t KorvadinEncoder::open(HostBufferRef& settings) {
    if (m_codec) {
        // A second open breaks the host's side of the protocol. Refusing it leaves the job that
        // is already running untouched (its instance, cookie and buffer size stay valid), and as
        // nothing new is opened nothing can leak. The result is the one of any open that did not
        // start compression.
        reportHostError(0, "Korvadin Plugin :: The codec is already open");
        return errFailed;
    }
    // Each field keeps its previous value when the host did not send it as expected.
    settings.readProperty("width", m_settings.width);
    settings.readProperty("height", m_settings.height);
    settings.readProperty("fieldOrder", m_settings.fieldOrder);
    settings.readProperty("dataRange", m_settings.dataRange);

    compressBeginJob();
    if (m_status != errNone) {
        return m_status;
    }
    settings.setBytes("magicCookie", m_magicCookie, static_cast<uint32_t>(m_magicCookieSize));
    return errNone;
}

void KorvadinEncoder::resetCodec() {
    m_codec.reset();
    m_inputFormat = extendedFormat(0, 0, 0, 0, 0);
    m_magicCookie = nullptr;
    m_magicCookieSize = 0;
    m_compBufferSize = 0;
}

void KorvadinEncoder::compressBeginJob() {
    resetCodec();
    m_status = errNone;
    try {
        m_codec = std::make_unique<KorvadinCodec>();
        m_inputFormat = extendedFormat(m_settings.width, m_settings.height, m_format.rawFormat,
                                       libraryRange(m_settings.dataRange),
                                       libraryFieldOrder(m_settings.fieldOrder));
        const korvadin_format_ex output = extendedFormat(0, 0, m_format.id, 0, 0);
        const uint8_t* cookie = nullptr;
        uint64_t cookieSize = 0;
        uint32_t compBufferSize = 0;
        m_codec->compressBegin(m_inputFormat, output, cookie, cookieSize, compBufferSize);
        m_magicCookie = cookie;
        m_magicCookieSize = cookieSize;
        m_compBufferSize = compBufferSize;
    } catch (const std::exception& e) {
        reportHostError(0, "Korvadin Plugin :: compressBegin failed: %s", e.what());
        resetCodec();
        m_status = errFailed;
    }
}

int32_t KorvadinEncoder::processFrame(HostBufferRef* frame) {
    if (m_status != errNone) {
        return m_status;
    }
    if (frame == nullptr || frame->empty()) {
        return resultNoFrame;
    }
    if (!m_codec) {
        // A frame before any open has no instance to go to. It is refused like a job whose
        // compression never started, before anything is locked or the library is called.
        reportHostError(0, "Korvadin Plugin :: Frame received before the codec was opened");
        return errFailed;
    }
    return encodeFrame(*frame);
}

int32_t KorvadinEncoder::encodeFrame(HostBufferRef& frame) {
    uint8_t* inData = nullptr;
    uint64_t inBufSize = 0;
    if (frame.lock(inData, inBufSize) != errNone) {
        reportHostError(0, "Korvadin Plugin :: Failed to lock the input buffer");
        return errFailed;
    }
    ScopedUnlock frameLock(frame);
    if (inData == nullptr || inBufSize == 0) {
        reportHostError(0, "Korvadin Plugin :: No data to encode");
        return errUnsupported;
    }
    // The library takes the picture size from the job; the frame only has to carry it.
    uint32_t dimension = 0;
    if (!frame.readProperty("width", dimension) || !frame.readProperty("height", dimension)) {
        reportHostError(0, "Korvadin Plugin :: Width/Height not set when encoding the frame");
        return errMissingData;
    }
    int64_t pts = 0;
    if (!frame.readProperty("pts", pts)) {
        reportHostError(0, "Korvadin Plugin :: PTS not set when encoding the frame");
        return errMissingData;
    }

    // Declared after the frame's lock, so that every way out gives the output buffer back before
    // the frame is unlocked. A handle that comes with a refusal is held too, only to be given
    // back: the host did not make a buffer we may use.
    HostHandle handle = 0;
    const bool created = createHostObject(classIdBuffer, handle) == errNone;
    std::optional<HostBufferRef> output;
    if (handle != 0) {
        output.emplace(IHostObjRef::Adopt{}, handle);
    }
    if (!created) {
        reportHostError(0, "Plugin Failed to create a buffer");
    }
    if (!created || !output || output->resize(m_compBufferSize) != errNone) {
        reportHostError(0, "Korvadin Plugin :: Failed to allocate the output buffer");
        return errCreateFailed;
    }
    uint8_t* outData = nullptr;
    uint64_t outBufSize = 0;
    if (output->lock(outData, outBufSize) != errNone) {
        reportHostError(0, "Korvadin Plugin :: Failed to lock the output buffer");
        return errCreateFailed;
    }
    ScopedUnlock outputLock(*output);
    if (outBufSize != m_compBufferSize) {
        // The host did not size the buffer as asked. The library may write up to
        // m_compBufferSize bytes, so compressing into a smaller buffer would corrupt the host's
        // memory; a larger one means the host's buffers cannot be trusted either. Either way
        // the frame is refused like any output buffer the host could not provide.
        reportHostError(0, "Korvadin Plugin :: The output buffer holds %llu bytes instead of %lu",
                        static_cast<unsigned long long>(outBufSize),
                        static_cast<unsigned long>(m_compBufferSize));
        return errCreateFailed;
    }

    uint32_t compressedSize = 0;
    try {
        compressInto(inData, inBufSize, outData, compressedSize);
    } catch (const std::exception& e) {
        // The state is left as it was, so the next frame is tried again. The output buffer
        // goes back as it is: the host is told nothing more than that it is ours no longer.
        reportHostError(0, "Korvadin Plugin :: compress failed: %s", e.what());
        outputLock.keepLocked();
        frameLock.unlock();
        return errFailed;
    }
    frameLock.unlock();
    outputLock.unlock();
    output->resize(compressedSize);

    output->setInt64("pts", pts);
    output->setInt64("dts", pts);
    output->setUInt8("isKeyFrame", 1);
    // The base class's pass-through is exactly the delivery of a finished frame: to the
    // callback when there is one with a handle, errNoHandle otherwise.
    return IPluginCodecRef::processFrame(&*output);
}

void KorvadinEncoder::compressInto(uint8_t* inData, uint64_t inBufSize, uint8_t* outData,
                                   uint32_t& compressedSize) {
    // The byte layout of the raw format is the library's: it tells us where the planes lie.
    korvadin_planes planes{};
    m_codec->initPlanesCommon(m_inputFormat, planes, inData);
    uint64_t rawSizeExpected = 0;
    for (const korvadin_plane& plane : planes.plane) {
        rawSizeExpected += plane.size;
    }
    if (rawSizeExpected > inBufSize) {
        throw std::runtime_error("rawSizeExpected(" + std::to_string(rawSizeExpected) +
                                 ") > inBufSize(" + std::to_string(inBufSize) + ")");
    }
    m_codec->compress(planes, outData, compressedSize);
}

} // namespace IOPlugin
