// The codec library's nine functions as the module calls them: which pairs it takes at which
// sizes, instances side by side, and where it lays the planes of a frame.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "codec_harness.h"

using namespace codec_test;

namespace {

int32_t query(uint32_t instance, uint32_t raw, uint32_t id, uint32_t width = 128,
              uint32_t height = 128) {
    const korvadin_format in{width, height, raw};
    const korvadin_format out{0, 0, id};
    uint64_t scratch = 0;
    return korvadin_compress_query(instance, &in, &out, &scratch, nullptr);
}

TEST(Interface, QueryAcceptsExactlyTheListedPairsAtEveryRenderableSize) {
    host::CodecInstance codec;
    std::vector<uint32_t> ids = {0, 100, 106, 254, 22}, raws = {0, 254, 101, 21};
    for (const FormatPair& v : kFormatPairs) {
        ids.push_back(v.id);
        raws.push_back(v.raw);
    }
    for (const uint32_t raw : raws) {
        for (const uint32_t id : ids) {
            bool listed = false;
            for (const FormatPair& v : kFormatPairs) {
                listed |= v.raw == raw && v.id == id;
            }
            for (const auto& [w, h] : {std::pair{128u, 128u},
                                       {1u, 1u},
                                       {16384u, 16384u},
                                       {16383u, 1u},
                                       {1u, 16383u},
                                       {1921u, 1081u}}) {
                EXPECT_EQ(query(codec.handle(), raw, id, w, h) == 0, listed)
                    << raw << " -> " << id << " at " << w << "x" << h;
            }
        }
    }
    for (const FormatPair& v : kFormatPairs) {
        for (const auto& [w, h] : {std::pair{0u, 128u}, {128u, 0u}, {0xFFFFFFFFu, 2u}}) {
            EXPECT_NE(query(codec.handle(), v.raw, v.id, w, h), 0) << w << "x" << h;
        }
    }
}

// Two renders at once have an instance each, with a job of its own.
TEST(Interface, InstancesAreIndependent) {
    Encoder rgb(kFormatPairs[0], 64, 32);
    Encoder yuv(kFormatPairs[3], 64, 32);
    EXPECT_NE(rgb.codec().handle(), yuv.codec().handle());
    std::vector<uint8_t> f1 = makeFrame(kFormatPairs[0], 64, 32, Content::Photo);
    std::vector<uint8_t> f2 = makeFrame(kFormatPairs[3], 64, 32, Content::Photo);
    std::vector<uint8_t> d1, d2;
    EXPECT_EQ(std::tuple(decode(rgb.job().config, rgb.encode(f1), d1),
                         decode(yuv.job().config, yuv.encode(f2), d2)),
              std::tuple(0, 0));
    EXPECT_TRUE(d1 == f1 && d2 == f2);
}

TEST(Interface, InitAndCloseCallsPairUp) {
    uint32_t h1 = 0, h2 = 0;
    ASSERT_EQ(korvadin_library_init(&h1) | korvadin_library_init(&h2), 0);
    ASSERT_EQ(korvadin_open(&h1) | korvadin_open(&h2), 0);
    EXPECT_EQ(korvadin_close(h1) | korvadin_library_close(), 0);
    // The second instance still works after the first pair has closed.
    EXPECT_EQ(query(h2, 5, 104, 8, 8), 0);
    EXPECT_EQ(korvadin_close(h2) | korvadin_library_close(), 0);
    EXPECT_EQ(korvadin_library_close(), KORVADIN_E_UNBALANCED);
}

} // namespace
