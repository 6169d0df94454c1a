#include "commands.h"

#include "host/avi_reader.h"
#include "host/avi_repair.h"
#include "host/codec_library.h"

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>

namespace cli {

namespace {

constexpr size_t kBitmapHeaderSize = 40;

// Every video packet is decoded with the codec configuration its stream carries.
class DecodeCheck {
public:
    explicit DecodeCheck(host::AviReader& avi) : m_avi(avi) {}

    // A stream whose configuration cannot be read fails the repair: that is no fault of a packet.
    std::optional<std::string> operator()(size_t stream, std::span<const uint8_t> packet) {
        host::FrameDecoder& decoder = decoderOf(stream);
        try {
            decoder.decode(packet);
            return std::nullopt;
        } catch (const std::runtime_error& e) {
            return e.what();
        }
    }

private:
    host::FrameDecoder& decoderOf(size_t stream) {
        auto& decoder = m_decoders[stream];
        if (!decoder) {
            const auto& format = m_avi.streams()[stream].format;
            if (format.size() < kBitmapHeaderSize) {
                throw std::runtime_error("the video stream's format is too short to be read");
            }
            decoder =
                std::make_unique<host::FrameDecoder>(std::span(format).subspan(kBitmapHeaderSize));
        }
        return *decoder;
    }

    host::AviReader& m_avi;
    std::map<size_t, std::unique_ptr<host::FrameDecoder>> m_decoders;
};

} // namespace

int runRepair(const Context& context) {
    bool inPlace = false;
    const auto [input, output] =
        readInputOutput(context.args, [&](const std::string& arg, ArgReader&) {
            inPlace = inPlace || arg == "--in-place";
            return arg == "--in-place";
        });
    if (input.empty() || output.empty() == !inPlace) {
        throw UsageError{"needs IN.avi and either -o OUT.avi or --in-place"};
    }
    std::error_code ignored;
    if (!inPlace && std::filesystem::equivalent(input, output, ignored)) {
        throw UsageError{"-o names the damaged file itself; --in-place repairs it where it is"};
    }

    host::AviReader avi(input);
    DecodeCheck decodes(avi);
    const host::AviRepair repair(avi, std::ref(decodes));
    for (const auto& dropped : repair.dropped()) {
        std::fprintf(stderr, "korvadin repair: dropped %s: %s\n", dropped.what.c_str(),
                     dropped.why.c_str());
    }
    if (!repair.needed()) {
        std::printf("%s needs no repair and is left untouched%s\n", input.c_str(),
                    inPlace ? "" : (" (" + output + " was not written)").c_str());
        return 0;
    }
    const host::RepairPlan plan = inPlace ? repair.inPlace() : repair.intoNewFile();
    plan.apply(avi, *host::openRepairTarget(inPlace ? input : output, !inPlace));

    std::printf("%s: repaired, %llu bytes:", inPlace ? input.c_str() : output.c_str(),
                static_cast<unsigned long long>(plan.fileSize));
    const auto kept = repair.kept();
    for (size_t s = 0; s < kept.size(); ++s) {
        const bool video = avi.streams()[s].fccType == "vids";
        std::printf("%s stream %zu: %llu %s", s == 0 ? "" : ",", s,
                    static_cast<unsigned long long>(kept[s].second),
                    video ? "frame(s)" : "sample frame(s)");
    }
    std::printf("; %zu chunk(s) dropped\n", repair.dropped().size());
    return 0;
}

} // namespace cli
