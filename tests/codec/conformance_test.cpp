// Every stored frame of every released bitstream version decodes to its stored picture, and the
// picture encodes to the stored bytes again. A failure here means files that users already have
// no longer decode as they did: fix the codec, never the files.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "codec_harness.h"
#include "support/files.h"

using namespace codec_test;
namespace fs = std::filesystem;

namespace {

struct StoredCase {
    fs::path stem;
    std::vector<uint8_t> config, frame, raw;
    uint32_t le(size_t at) const {
        return config[at] | (uint32_t{config[at + 1]} << 8) | (uint32_t{config[at + 2]} << 16) |
               (uint32_t{config[at + 3]} << 24);
    }
    uint32_t id() const { return config[6] | (uint32_t{config[7]} << 8); }
};

std::vector<StoredCase> storedCases(const std::string& version) {
    std::vector<StoredCase> cases;
    for (const auto& entry : fs::directory_iterator(fs::path(KORVADIN_CONFORMANCE_DIR) / version)) {
        if (entry.path().extension() == ".config") {
            fs::path stem = entry.path();
            stem.replace_extension();
            auto with = [&](const char* ext) { return fs::path(stem).concat(ext); };
            cases.push_back({stem, korvadin_test::readBytes(with(".config")),
                             korvadin_test::readBytes(with(".frame")),
                             korvadin_test::readBytes(with(".raw"))});
        }
    }
    return cases;
}

// Every version's frames decode as they did; the current version's pictures also encode to the
// stored frames.
void checkVersion(const std::string& version, bool current) {
    const std::vector<StoredCase> cases = storedCases(version);
    std::set<uint32_t> ids;
    for (const StoredCase& c : cases) {
        SCOPED_TRACE(c.stem.filename().string());
        ASSERT_FALSE(c.frame.empty());
        ASSERT_FALSE(c.raw.empty());
        ids.insert(c.id());
        for (const uint32_t threads : {1u, 2u}) {
            std::vector<uint8_t> decoded;
            ASSERT_EQ(decode(c.config, c.frame, decoded, threads), 0);
            EXPECT_TRUE(decoded == c.raw) << threads << " thread(s)";
        }
        const FormatPair* row = nullptr;
        for (const FormatPair& v : kFormatPairs) {
            row = v.id == c.id() ? &v : row;
        }
        ASSERT_NE(row, nullptr);
        for (const uint32_t threads : {1u, 3u}) {
            if (!current) {
                break;
            }
            Encoder encoder(*row, c.le(12), c.le(16), threads);
            EXPECT_TRUE(encoder.job().config == c.config);
            std::vector<uint8_t> picture = c.raw;
            EXPECT_TRUE(encoder.encode(picture) == c.frame) << threads << " thread(s)";
        }
    }
    EXPECT_EQ(ids.size(), kFormatPairs.size()) << "every compressed format has stored frames";
}

TEST(Conformance, VersionOneFramesDecodeToTheStoredPictures) {
    checkVersion("v1", false);
}

TEST(Conformance, VersionTwoFramesDecodeAndEncodeToTheStoredBytes) {
    checkVersion("v2", true);
}

} // namespace
