// RIFF/WAVE: a "RIFF" header of type "WAVE", then chunks (id, 32-bit size, content padded to
// even length) of which "fmt " and "data" matter. A writer that cannot seek back (ffmpeg into a
// pipe) leaves the sizes at 0xFFFFFFFF, and some leave them at 0: the data then runs to the end.
#include "byte_file.h"
#include "host/media/audio_io.h"

#include <array>
#include <cmath>
#include <cstring>
#include <numbers>
#include <optional>
#include <stdexcept>
#include <vector>

namespace host {

namespace {

constexpr uint16_t kPcm = 1, kFloat = 3, kExtensible = 0xFFFE;
// KSDATAFORMAT_SUBTYPE_PCM / _IEEE_FLOAT after their first four bytes (which hold the tag).
constexpr std::array<uint8_t, 12> kSubFormatTail{0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                                 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
constexpr uint32_t kMaxFormatSize = 1024;

uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t le32(const uint8_t* p) {
    return le16(p) | uint32_t{le16(p + 2)} << 16;
}
void put16(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}
void put32(std::vector<uint8_t>& v, uint32_t x) {
    put16(v, x & 0xFFFF);
    put16(v, x >> 16);
}
void putId(std::vector<uint8_t>& v, const char* id) {
    for (int i = 0; i < 4; ++i) {
        v.push_back(static_cast<uint8_t>(id[i]));
    }
}

class WavReader final : public AudioReader {
public:
    explicit WavReader(std::unique_ptr<ByteSource> in) : m_in(std::move(in)) {
        uint8_t head[12] = {};
        size_t got = 0;
        m_in->readExact(head, sizeof head, &got);
        if (got < 12 || std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0)
            fail(std::memcmp(head, "RF64", 4) == 0 && got >= 4 ? "RF64 files are not supported"
                                                               : "not a RIFF/WAVE file");
        bool haveFormat = false;
        for (;;) {
            uint8_t chunk[8];
            if (!m_in->readExact(chunk, 8))
                fail(haveFormat ? "no data chunk" : "no fmt chunk");
            const uint32_t size = le32(chunk + 4);
            if (std::memcmp(chunk, "fmt ", 4) == 0) {
                readFormat(size);
                haveFormat = true;
            } else if (std::memcmp(chunk, "data", 4) == 0) {
                if (!haveFormat)
                    fail("the data chunk comes before the fmt chunk");
                startData(size);
                return;
            } else if (!m_in->skip(uint64_t{size} + (size & 1))) {
                fail("the chunk '" + std::string(chunk, chunk + 4) + "' is truncated");
            }
        }
    }

    const AudioInfo& info() const override { return m_info; }

    size_t read(uint8_t* dst, size_t frames) override {
        const uint32_t align = m_info.blockAlign();
        uint64_t want = uint64_t{frames} * align;
        if (m_remaining)
            want = std::min(want, *m_remaining);
        size_t got = m_in->read(dst, static_cast<size_t>(want));
        if (m_remaining) {
            *m_remaining -= got;
            if (got < want)
                fail("the data chunk is truncated (" + std::to_string(*m_remaining) +
                     " bytes missing)");
        }
        if (got % align != 0)
            fail("the data ends inside a sample frame");
        return got / align;
    }

private:
    [[noreturn]] void fail(const std::string& problem) const {
        throw std::runtime_error(m_in->name() + ": " + problem);
    }

    void readFormat(uint32_t size) {
        if (size < 16 || size > kMaxFormatSize)
            fail("fmt chunk of " + std::to_string(size) + " bytes");
        std::vector<uint8_t> f(size + (size & 1));
        if (!m_in->readExact(f.data(), f.size()))
            fail("the fmt chunk is truncated");
        uint16_t tag = le16(&f[0]);
        m_info.channels = le16(&f[2]);
        m_info.sampleRate = le32(&f[4]);
        const uint16_t blockAlign = le16(&f[12]);
        m_info.bitsPerSample = le16(&f[14]);
        m_info.validBitsPerSample = m_info.bitsPerSample;
        if (tag == kExtensible) {
            if (size < 40 || le16(&f[16]) < 22)
                fail("the extensible fmt chunk is too short");
            m_info.validBitsPerSample = le16(&f[18]);
            m_info.channelMask = le32(&f[20]);
            if (std::memcmp(&f[28], kSubFormatTail.data(), kSubFormatTail.size()) != 0 ||
                le32(&f[24]) > 0xFFFF)
                fail("unsupported extensible sub-format");
            tag = static_cast<uint16_t>(le32(&f[24]));
        }
        const uint16_t bits = m_info.bitsPerSample;
        m_info.isFloat = tag == kFloat;
        if (tag == kPcm) {
            if (bits != 8 && bits != 16 && bits != 24 && bits != 32)
                fail(std::to_string(bits) + "-bit PCM is not supported");
        } else if (tag == kFloat) {
            if (bits != 32)
                fail(std::to_string(bits) + "-bit float samples are not supported");
        } else {
            fail("unsupported sample format (format tag " + std::to_string(tag) + ")");
        }
        if (m_info.channels == 0 || m_info.sampleRate == 0)
            fail("no channels or no sample rate");
        if (blockAlign != m_info.blockAlign())
            fail("block align " + std::to_string(blockAlign) + " does not match " +
                 std::to_string(m_info.channels) + " channels of " + std::to_string(bits) +
                 " bits");
        if (m_info.validBitsPerSample == 0 || m_info.validBitsPerSample > bits)
            fail(std::to_string(m_info.validBitsPerSample) + " valid bits in " +
                 std::to_string(bits) + "-bit samples");
    }

    void startData(uint32_t size) {
        const uint32_t align = m_info.blockAlign();
        const std::optional<uint64_t> fileSize = m_in->size();
        const uint64_t left = fileSize ? *fileSize - m_in->tell() : 0;
        if (size != 0 && size != 0xFFFFFFFF) {
            if (fileSize && size > left)
                fail("the data chunk declares " + std::to_string(size) +
                     " bytes but the file holds " + std::to_string(left));
            m_remaining = size;
            m_info.frameCount = size / align;
        } else if (fileSize) {
            m_info.frameCount = left / align;
        }
    }

    std::unique_ptr<ByteSource> m_in;
    AudioInfo m_info;
    std::optional<uint64_t> m_remaining; // empty: the data runs to the end of the file
};

class TestTone final : public AudioReader {
public:
    TestTone(uint32_t rate, uint16_t channels, uint64_t frames)
        : m_info{rate, channels, 16, false, frames, 16, 0} {
        if (rate == 0 || channels == 0)
            throw std::invalid_argument("a test tone needs a sample rate and channels");
    }
    const AudioInfo& info() const override { return m_info; }

    size_t read(uint8_t* dst, size_t frames) override {
        size_t n = static_cast<size_t>(std::min<uint64_t>(frames, m_info.frameCount - m_next));
        for (size_t i = 0; i < n; ++i, ++m_next) {
            // The phase restarts every second so that it stays exact however long the tone.
            const double t = double(m_next % m_info.sampleRate) / m_info.sampleRate;
            for (uint16_t c = 0; c < m_info.channels; ++c) {
                const double hz = 440.0 + 220.0 * c;
                auto v = static_cast<int16_t>(
                    std::lround(16384.0 * std::sin(2 * std::numbers::pi * hz * t)));
                *dst++ = static_cast<uint8_t>(v);
                *dst++ = static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8);
            }
        }
        return n;
    }

private:
    AudioInfo m_info;
    uint64_t m_next = 0;
};

} // namespace

AudioReader::~AudioReader() = default;

std::unique_ptr<AudioReader> openWav(std::unique_ptr<ByteSource> in) {
    return std::make_unique<WavReader>(std::move(in));
}

std::unique_ptr<AudioReader> openWav(const std::string& path) {
    return openWav(openInput(path));
}

std::unique_ptr<AudioReader> openTestTone(uint32_t sampleRate, uint16_t channels, uint64_t frames) {
    return std::make_unique<TestTone>(sampleRate, channels, frames);
}

void writeWav(const std::string& path, const AudioInfo& info, std::span<const uint8_t> bytes) {
    const uint16_t tag = info.isFloat ? kFloat : kPcm;
    const uint16_t valid = info.validBitsPerSample ? info.validBitsPerSample : info.bitsPerSample;
    const bool extensible = info.channels > 2 || (tag == kPcm && info.bitsPerSample > 16) ||
                            valid != info.bitsPerSample || info.channelMask != 0;
    std::vector<uint8_t> fmt;
    put16(fmt, extensible ? kExtensible : tag);
    put16(fmt, info.channels);
    put32(fmt, info.sampleRate);
    put32(fmt, info.blockAlign() * info.sampleRate);
    put16(fmt, info.blockAlign());
    put16(fmt, info.bitsPerSample);
    if (extensible) {
        put16(fmt, 22);
        put16(fmt, valid);
        put32(fmt, info.channelMask);
        put32(fmt, tag);
        fmt.insert(fmt.end(), kSubFormatTail.begin(), kSubFormatTail.end());
    }
    const uint32_t dataSize = static_cast<uint32_t>(bytes.size());
    std::vector<uint8_t> head;
    putId(head, "RIFF");
    put32(head, static_cast<uint32_t>(4 + 8 + fmt.size() + 8 + dataSize + (dataSize & 1)));
    putId(head, "WAVE");
    putId(head, "fmt ");
    put32(head, static_cast<uint32_t>(fmt.size()));
    head.insert(head.end(), fmt.begin(), fmt.end());
    putId(head, "data");
    put32(head, dataSize);
    media::OutputFile out(path);
    out.write(head.data(), head.size());
    out.write(bytes.data(), bytes.size());
    if (dataSize & 1)
        out.write("", 1);
}

} // namespace host
