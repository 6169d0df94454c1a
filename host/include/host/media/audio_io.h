// Audio input of the substitute host: WAV files (as ffmpeg writes them, also through a pipe)
// and a generated test tone. Samples travel as the file stores them: interleaved,
// little-endian, unsigned 8-bit or signed 16/24/32-bit PCM, or 32-bit IEEE float.
#pragma once

#include "host/media/byte_source.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace host {

struct AudioInfo {
    uint32_t sampleRate = 0;
    uint16_t channels = 0;
    uint16_t bitsPerSample = 0; // container size of one sample: 8, 16, 24 or 32
    bool isFloat = false;
    uint64_t frameCount = 0;         // sample frames; 0 if unknown
    uint16_t validBitsPerSample = 0; // significant bits, as an extensible header declares them
    uint32_t channelMask = 0;        // speaker positions, 0 when the file names none

    uint32_t blockAlign() const { return uint32_t{channels} * (bitsPerSample / 8u); }
};

class AudioReader {
public:
    virtual ~AudioReader();
    virtual const AudioInfo& info() const = 0;
    // Copies up to `frames` sample frames into dst (frames * blockAlign bytes); returns the
    // number copied, 0 at the end.
    virtual size_t read(uint8_t* dst, size_t frames) = 0;
};

// "-" reads standard input. Throws std::runtime_error naming the file and the problem.
std::unique_ptr<AudioReader> openWav(const std::string& path);
std::unique_ptr<AudioReader> openWav(std::unique_ptr<ByteSource> in);

// A 16-bit PCM sine tone, one frequency per channel (440 Hz, 660 Hz, 880 Hz, ...).
std::unique_ptr<AudioReader> openTestTone(uint32_t sampleRate = 48000, uint16_t channels = 2,
                                          uint64_t frames = 48000);

// Writes a WAV file with the plain 16-byte format header where it suffices (PCM up to 16 bits
// or 32-bit float, one or two channels, no explicit layout), the extensible one otherwise.
void writeWav(const std::string& path, const AudioInfo& info, std::span<const uint8_t> bytes);

} // namespace host
