// Every stored frame of every released bitstream version decodes to its stored picture. A failure
// there means files that users already have no longer decode as they did: fix the codec, never
// the files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "codec_harness.h"

using namespace codec_test;
namespace fs = std::filesystem;

namespace {

const fs::path kFolder = KORVADIN_CONFORMANCE_DIR;

// What the encoder writes for each picture of the current version: case name, size, hash.
std::map<std::string, std::string> encoderDigests() {
    std::map<std::string, std::string> digests;
    std::ifstream in(kFolder / "encoder.txt");
    std::string name, size, hash;
    while (in >> name >> size >> hash) {
        digests[name] = size + " " + hash;
    }
    return digests;
}

// Every version's frames decode as they did. The current version's pictures also encode to
// frames that decode back, on any thread count, and whose bytes the list of what the encoder
// writes pins: the encoder may choose differently in a later build (its tables, when to store
// a plane), but only on purpose, with the list written again.
void checkVersion(const std::string& version, bool current) {
    const std::vector<StoredCase> cases = storedCases(kFolder / version);
    const std::map<std::string, std::string> digests =
        current ? encoderDigests() : decltype(digests){};
    std::set<uint32_t> ids;
    for (const StoredCase& c : cases) {
        SCOPED_TRACE(c.name);
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
            const std::vector<uint8_t> frame = encoder.encode(picture);
            std::vector<uint8_t> decoded;
            ASSERT_EQ(decode(c.config, frame, decoded), 0);
            EXPECT_TRUE(decoded == c.raw) << threads << " thread(s)";
            const auto pinned = digests.find(c.name);
            EXPECT_TRUE(pinned != digests.end() && pinned->second == frameDigest(frame))
                << threads << " thread(s): the encoder writes " << c.name << " "
                << frameDigest(frame);
        }
    }
    EXPECT_EQ(ids.size(), kFormatPairs.size()) << "every compressed format has stored frames";
}

TEST(Conformance, VersionOneFramesDecodeToTheStoredPictures) {
    checkVersion("v1", false);
}

TEST(Conformance, VersionTwoFramesDecodeToTheStoredPictures) {
    checkVersion("v2", false);
}

TEST(Conformance, VersionThreeFramesDecodeToTheStoredPictures) {
    checkVersion("v3", false);
}

TEST(Conformance, VersionFourFramesDecodeToTheStoredPictures) {
    checkVersion("v4", false);
}

TEST(Conformance, VersionFiveFramesDecodeAndPicturesEncodeToThePinnedBytes) {
    checkVersion("v5", true);
}

} // namespace
