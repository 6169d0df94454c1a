// The Y4M reader on arbitrary bytes: every frame is read, alternately as a picture and in one
// of the codec library's YUV layouts. A bad file must end in the reader's std::runtime_error;
// any other exception, a picture that does not match its header, or a bad memory access is a
// fault.
#include "fuzz_input.h"
#include "host/media/raw_layout.h"
#include "host/media/video_io.h"

#include <cstdlib>
#include <stdexcept>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Every YUV layout the library has, 8-bit and 16-bit, packed and planar.
    static constexpr uint32_t kYuvCodes[] = {29, 5, 10, 51, 59};
    try {
        const auto reader = host::openY4m(host::memoryInput({data, data + size}));
        const host::VideoInfo& info = reader->info();
        host::Picture picture;
        std::vector<uint8_t> raw;
        for (size_t frame = 0;; ++frame) {
            if (frame % 2 == 0) {
                if (!reader->read(picture)) {
                    break;
                }
                host::checkPicture(picture);
                if (picture.width != info.width || picture.height != info.height ||
                    picture.layout != info.layout || picture.bitDepth != info.bitDepth) {
                    std::abort();
                }
            } else {
                const uint32_t code = kYuvCodes[(frame / 2) % std::size(kYuvCodes)];
                raw.resize(host::rawFrameSize(code, info.width, info.height));
                if (!reader->readRaw(code, raw)) {
                    break;
                }
            }
        }
    } catch (const std::runtime_error&) {
        // The reader's refusal of a bad file.
    }
    return 0;
}
