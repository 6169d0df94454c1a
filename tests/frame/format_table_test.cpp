// The format table: the sixteen variants, their order and the two lookups.
#include "davinci/encoder/codec_formats.h"
#include "davinci/encoder/plugin_identity.h"

#include <gtest/gtest.h>

#include <set>

using namespace IOPlugin;

namespace {

TEST(FormatTable, RowsInRegistrationOrder) {
    const std::vector<std::string> names = {
        "8-bit RGB",      "8-bit RGBA",     "8-bit YUV 444",  "8-bit YUV 422",
        "8-bit YUV 420",  "8-bit Y Only",   "10-bit RGB",     "10-bit RGBA",
        "10-bit YUV 444", "10-bit YUV 422", "10-bit YUV 420", "10-bit Y Only",
        "12-bit RGB",     "12-bit RGBA",    "14-bit RGB",     "14-bit RGBA"};
    ASSERT_EQ(s_codecFormats.size(), names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(s_codecFormats[i].name, names[i]);
    }
}

TEST(FormatTable, IdentifiersAreDistinctFromEachOtherAndTheModule) {
    std::set<Uuid> seen = {kPluginUuid, kContainerUuid};
    for (const auto& row : s_codecFormats) {
        EXPECT_TRUE(seen.insert(row.uuid).second) << row.name;
        EXPECT_EQ(findCodecFormatByUuid(row.uuid.data()), &row);
    }
    EXPECT_EQ(findCodecFormatByUuid(kContainerUuid.data()), nullptr);
}

TEST(FormatTable, FourccLookup) {
    const auto* k0y2 = findCodecFormatByFourcc(fourccValue("K0Y2"));
    ASSERT_NE(k0y2, nullptr);
    EXPECT_EQ(k0y2, &s_codecFormats[9]);
    EXPECT_EQ(k0y2->bitsPerPixel, 20);
    const auto* k4ra = findCodecFormatByFourcc(fourccValue("K4RA"));
    ASSERT_NE(k4ra, nullptr);
    EXPECT_EQ(k4ra, &s_codecFormats[15]);
    EXPECT_EQ(k4ra->bitsPerPixel, 56);
    EXPECT_EQ(findCodecFormatByFourcc(0), nullptr);
    // The byte-swapped (file order) value is not a registered FourCC.
    EXPECT_EQ(findCodecFormatByFourcc(__builtin_bswap32(fourccValue("K8RG"))), nullptr);
    EXPECT_EQ(fourccValue("K8RG"), 0x4B385247u);
}

} // namespace
