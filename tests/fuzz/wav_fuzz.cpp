// The WAV reader on arbitrary bytes: all samples are read in portions of changing size into
// buffers of exactly the size asked for. A bad file must end in the reader's
// std::runtime_error; any other exception, a read that never ends, or a bad memory access is
// a fault.
#include "fuzz_input.h"
#include "host/media/audio_io.h"

#include <cstdlib>
#include <stdexcept>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static constexpr size_t kPortions[] = {1, 3, 64, 1000};
    try {
        const auto reader = host::openWav(host::memoryInput({data, data + size}));
        const size_t blockAlign = reader->info().blockAlign();
        std::vector<uint8_t> samples;
        // Each portion takes at least one byte of the file, unless the reader is stuck.
        for (size_t portion = 0;; ++portion) {
            if (portion > size) {
                std::abort();
            }
            const size_t frames = kPortions[portion % std::size(kPortions)];
            samples.resize(frames * blockAlign);
            const size_t got = reader->read(samples.data(), frames);
            if (got == 0) {
                break;
            }
            if (got > frames) {
                std::abort();
            }
        }
    } catch (const std::runtime_error&) {
        // The reader's refusal of a bad file.
    }
    return 0;
}
