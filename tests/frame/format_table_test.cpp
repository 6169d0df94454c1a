// The format table: every value of the sixteen rows, their identifiers and the two lookups.
#include "davinci/encoder/codec_formats.h"
#include "davinci/encoder/plugin_identity.h"
#include "support/expected_variants.h"

#include <gtest/gtest.h>

#include <set>
#include <tuple>

using namespace IOPlugin;
using korvadin_test::kExpectedVariants;

namespace {

TEST(FormatTable, EveryRowHoldsItsVariantsValuesAndIsFoundByThem) {
    ASSERT_EQ(s_codecFormats.size(), kExpectedVariants.size());
    std::set<Uuid> identifiers = {kPluginUuid, kContainerUuid};
    for (size_t i = 0; i < s_codecFormats.size(); ++i) {
        const CodecFormat& row = s_codecFormats[i];
        const korvadin_test::ExpectedVariant& v = kExpectedVariants[i];
        SCOPED_TRACE(v.name);
        EXPECT_EQ(
            std::tie(row.name, row.fourcc, row.id, row.rawFormat, row.colorModel, row.dataRanges),
            std::tuple(v.name, korvadin_test::fourccNumber(v.fourcc), v.id, v.raw, v.colorModel,
                       v.dataRanges));
        EXPECT_EQ(
            std::tie(row.hSubsampling, row.vSubsampling, row.bitDepth, row.sampleBits,
                     row.bitsPerPixel),
            std::tie(v.hSubsampling, v.vSubsampling, v.bitDepth, v.sampleBits, v.bitsPerPixel));
        EXPECT_TRUE(identifiers.insert(row.uuid).second) << "identifier used twice";
        EXPECT_EQ(findCodecFormatByUuid(row.uuid.data()), &row);
        EXPECT_EQ(findCodecFormatByFourcc(row.fourcc), &row);
    }
    EXPECT_EQ(findCodecFormatByUuid(kContainerUuid.data()), nullptr);
    EXPECT_EQ(findCodecFormatByFourcc(0), nullptr);
    // The byte-swapped (file order) value is not a registered FourCC.
    EXPECT_EQ(findCodecFormatByFourcc(__builtin_bswap32(fourccValue("K8RG"))), nullptr);
}

} // namespace
