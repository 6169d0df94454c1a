// korvadin repair's walk and plans on damaged files: a file the module's writer makes as the
// input says (chunks, sizes, RIFF limits), then cut off and overwritten where it says, or else
// the input's own bytes. Nothing may crash, a plan may write nowhere past the size it reports
// nor read past the file, and what a repair makes must need no repair.
#include "avi/avi_writer.h"
#include "fileio/memory_file.h"
#include "fuzz_input.h"
#include "host/avi_reader.h"
#include "host/avi_repair.h"
#include "support/memory_target.h"

#include <cstdlib>
#include <stdexcept>

namespace {

const IOPlugin::AviLimits kLimits{1 << 16, 4096, 2048};

std::vector<uint8_t> writtenFile(korvadin_fuzz::ByteReader& in) {
    korvadin_test::MemoryFile file;
    {
        IOPlugin::AviWriter writer(file, {1 << 14, 2048 + in.byte() * 16u, 1024 + in.byte() * 8u});
        writer.stream(writer.addStream(IOPlugin::riffFourcc("vids"))).format().resize(40);
        writer.stream(writer.addStream(IOPlugin::riffFourcc("auds")))
            .setAudioFormat(1, 2, 8000, 16, 3);
        writer.writeHeader();
        for (size_t n = in.byte(); n > 0; --n) {
            // The first byte of a packet is the input's: 0xFF marks one that does not decode.
            const bool video = in.byte() % 2 == 0;
            std::vector<uint8_t> data(1 + in.byte() * 3u, uint8_t(n));
            data[0] = in.byte();
            writer.writeChunk(video ? 0 : 1, data.data(), data.size(),
                              video ? 1 : uint32_t(data.size() / 4), video);
        }
        writer.finalize();
    }
    file.bytes.resize(std::min<size_t>(file.bytes.size(), in.u32()));
    for (size_t n = in.byte() % 8; n > 0 && !file.bytes.empty(); --n) {
        file.bytes[in.u32() % file.bytes.size()] = in.byte();
    }
    return file.bytes;
}

std::optional<std::string> marked(size_t, std::span<const uint8_t> packet) {
    return !packet.empty() && packet[0] == 0xFF ? std::optional<std::string>("marked")
                                                : std::nullopt;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    korvadin_fuzz::ByteReader in(data, size);
    const bool written = in.byte() % 2 == 0;
    const auto rest = written ? std::span<const uint8_t>() : in.rest();
    const std::vector<uint8_t> bytes =
        written ? writtenFile(in) : std::vector(rest.begin(), rest.end());
    std::unique_ptr<host::AviReader> reader;
    std::unique_ptr<host::AviRepair> repair;
    try {
        reader = std::make_unique<host::AviReader>(host::memoryInput(bytes));
        repair = std::make_unique<host::AviRepair>(*reader, marked, kLimits);
    } catch (const std::runtime_error&) {
        return 0; // no AVI file, or nothing in it to recover
    }
    for (const bool inPlace : {false, true}) {
        host::RepairPlan plan;
        try {
            plan = inPlace ? repair->inPlace() : repair->intoNewFile();
        } catch (const std::runtime_error&) {
            continue; // a RIFF before the last has no room for its indexes
        }
        korvadin_test::MemoryTarget out;
        out.bytes = inPlace ? bytes : std::vector<uint8_t>{};
        plan.apply(*reader, out);
        host::AviReader back(host::memoryInput(out.bytes));
        if (out.bytes.size() != plan.fileSize || host::AviRepair(back, marked, kLimits).needed()) {
            std::abort();
        }
    }
    return 0;
}
