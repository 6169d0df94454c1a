#include "core/geometry.h"

#include <gtest/gtest.h>

namespace kvcodec {
namespace {

const uint32_t kIds[] = {101, 102, 103, 104, 105, 107, 108, 109,
                         110, 111, 112, 113, 114, 115, 118, 123};

// Slices are what threads share out and what the bitstream's slice table lists: every row of
// every coded plane in exactly one slice, in order, whatever the size.
TEST(Geometry, SlicesCoverEveryPlaneRowOnceInOrder) {
    for (const uint32_t id : kIds) {
        for (const uint32_t height : {1u, 2u, 3u, 16u, 17u, 33u, 255u, 256u, 257u, 1081u, 32768u}) {
            SCOPED_TRACE(std::to_string(id) + " height " + std::to_string(height));
            Geometry g;
            ASSERT_EQ(makeGeometry(*variantById(id), 7, height, 0, g), Status::Ok);
            const uint32_t wanted = (height + 7) / 8;
            EXPECT_EQ(g.sliceRows, std::max(16u, (wanted + 1) & ~1u));
            EXPECT_LE(g.sliceCount, 8u);
            for (unsigned p = 0; p < g.planeCount; ++p) {
                uint32_t next = 0;
                for (uint32_t s = 0; s < g.sliceCount; ++s) {
                    EXPECT_EQ(g.sliceFirstRow(p, s), next);
                    next += g.sliceRowCount(p, s);
                    EXPECT_LE(g.sliceRowCount(p, s), g.sliceRowCount(p, 0)) << "first is largest";
                }
                EXPECT_EQ(next, g.plane[p].height) << "plane " << p;
            }
        }
    }
}

TEST(Geometry, CodedPlanesFollowTheFormat) {
    struct Row {
        uint32_t id;
        unsigned planes;
        uint32_t chromaWidth, chromaHeight, lumaWidth;
    };
    // A 5x3 picture: chroma halved in width round up to 3, in height to 2.
    for (const Row r : {Row{101, 3, 5, 3, 5}, Row{102, 4, 5, 3, 5}, Row{104, 3, 3, 3, 6},
                        Row{105, 3, 3, 2, 5}, Row{107, 1, 0, 0, 5}, Row{108, 3, 3, 3, 5},
                        Row{123, 3, 3, 2, 5}, Row{115, 1, 0, 0, 5}, Row{118, 3, 5, 3, 5}}) {
        SCOPED_TRACE(r.id);
        Geometry g;
        ASSERT_EQ(makeGeometry(*variantById(r.id), 5, 3, 0, g), Status::Ok);
        ASSERT_EQ(g.planeCount, r.planes);
        EXPECT_EQ(g.plane[0].width, r.lumaWidth);
        if (r.planes > 1) {
            EXPECT_EQ(g.plane[1].width, r.chromaWidth);
            EXPECT_EQ(g.plane[2].height, r.chromaHeight);
        }
    }
}

TEST(Geometry, RefusesWhatTheBitstreamCannotDescribe) {
    const Variant& rgb = *variantById(101);
    Geometry g;
    EXPECT_EQ(makeGeometry(rgb, 0, 16, 0, g), Status::Size);
    EXPECT_EQ(makeGeometry(rgb, 16, 0, 0, g), Status::Size);
    EXPECT_EQ(makeGeometry(rgb, kMaxSide + 1, 16, 0, g), Status::Size);
    EXPECT_EQ(makeGeometry(rgb, 16, 64, 15, g), Status::Size) << "odd slice height";
    EXPECT_EQ(makeGeometry(rgb, 16, 64, 4, g), Status::Ok) << "any even height a stream names";
    EXPECT_EQ(g.sliceCount, 16u);
    // 16-bit RGBA planes beyond 4 GiB cannot be described by 32-bit plane sizes.
    EXPECT_EQ(makeGeometry(*variantById(114), kMaxSide, kMaxSide, 0, g), Status::Size);
}

} // namespace
} // namespace kvcodec
