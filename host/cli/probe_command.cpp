#include "commands.h"

#include "host/avi_reader.h"
#include "host/avi_repair.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace cli {

namespace {

uint32_t le32(const std::vector<uint8_t>& bytes, size_t at) {
    uint32_t value = 0;
    if (at + 4 <= bytes.size()) {
        std::memcpy(&value, bytes.data() + at, 4);
    }
    return value;
}

uint16_t le16(const std::vector<uint8_t>& bytes, size_t at) {
    uint16_t value = 0;
    if (at + 2 <= bytes.size()) {
        std::memcpy(&value, bytes.data() + at, 2);
    }
    return value;
}

void printFormat(const host::AviReader::Stream& stream) {
    const auto& f = stream.format;
    if (stream.fccType == "vids" && f.size() >= 40) {
        std::printf("    format: %dx%d, %u bits per pixel, compression %.4s, %zu bytes of codec "
                    "data\n",
                    static_cast<int32_t>(le32(f, 4)), static_cast<int32_t>(le32(f, 8)), le16(f, 14),
                    reinterpret_cast<const char*>(f.data() + 16), f.size() - 40);
    } else if (stream.fccType == "auds" && f.size() >= 16) {
        const uint16_t tag = le16(f, 0);
        std::printf("    format: %s, %u channel(s), %u Hz, %u bits",
                    tag == 1        ? "PCM"
                    : tag == 3      ? "float"
                    : tag == 0xFFFE ? "extensible"
                                    : "?",
                    le16(f, 2), le32(f, 4), le16(f, 14));
        if (tag == 0xFFFE && f.size() >= 40) {
            std::printf(" (%u valid, channel mask 0x%X, subformat %u)", le16(f, 18), le32(f, 20),
                        le32(f, 24));
        }
        std::printf(", %zu-byte header\n", f.size());
    }
}

} // namespace

int runProbe(const Context& context) {
    if (context.args.size() != 1) {
        throw UsageError{"takes exactly one file"};
    }
    const std::string& path = context.args.front();
    host::AviReader avi(path);
    std::printf("%s: %llu bytes, %zu RIFF(s)\n", path.c_str(),
                static_cast<unsigned long long>(avi.fileSize()), avi.riffs().size());
    for (const auto& riff : avi.riffs()) {
        std::printf("  RIFF '%s' at %llu, %u bytes\n", riff.type.c_str(),
                    static_cast<unsigned long long>(riff.offset), riff.size);
    }
    if (const auto& main = avi.mainHeader()) {
        std::printf("  main header: %ux%u, %u us per frame, %u frame(s) in the first RIFF, %u "
                    "stream(s), largest chunk %u bytes\n",
                    main->width, main->height, main->microSecPerFrame, main->totalFrames,
                    main->streams, main->suggestedBufferSize);
    }
    if (const auto& total = avi.dmlhTotalFrames()) {
        std::printf("  extended header: %u frame(s) in all\n", *total);
    }
    for (size_t i = 0; i < avi.streams().size(); ++i) {
        const auto& s = avi.streams()[i];
        uint64_t bytes = 0;
        uint64_t keys = 0;
        for (const auto& chunk : s.chunks) {
            bytes += chunk.size;
            keys += chunk.keyFrame;
        }
        std::printf("  stream %zu: %s %s, rate %u/%u, length %u, %zu chunk(s) of %llu bytes "
                    "(%llu key), %u standard index(es)\n",
                    i, s.fccType.c_str(), s.fccHandler.c_str(), s.rate, s.scale, s.length,
                    s.chunks.size(), static_cast<unsigned long long>(bytes),
                    static_cast<unsigned long long>(keys), s.superIndexInUse);
        printFormat(s);
    }
    for (const auto& problem : avi.problems()) {
        std::printf("  problem: %s\n", problem.c_str());
    }
    // Whether the structure needs work; which packets decode only a repair finds out.
    try {
        if (!host::AviRepair(avi, nullptr).needed()) {
            return avi.problems().empty() ? 0 : 1;
        }
        std::printf("needs repair: 'korvadin repair %s -o FIXED.avi' (or --in-place) rebuilds "
                    "its headers and indexes around the chunks on disk\n",
                    path.c_str());
    } catch (const std::runtime_error& e) {
        std::printf("cannot be repaired: %s\n", e.what());
    }
    return 1;
}

} // namespace cli
