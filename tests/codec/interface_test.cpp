// The codec library's nine functions as the module calls them: which pairs it takes, at which
// sizes, with which descriptions, on which instances, and where it lays the planes of a frame.
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

TEST(Interface, InstancesAreIndependentAndUnknownOrClosedOnesRefused) {
    EXPECT_NE(query(0, 22, 101), 0);
    uint32_t closed = 0;
    {
        host::CodecInstance a;
        host::CodecInstance b;
        EXPECT_NE(a.handle(), b.handle());
        Encoder rgb(kFormatPairs[0], 64, 32);
        Encoder yuv(kFormatPairs[3], 64, 32);
        std::vector<uint8_t> f1 = makeFrame(kFormatPairs[0], 64, 32, Content::Photo);
        std::vector<uint8_t> f2 = makeFrame(kFormatPairs[3], 64, 32, Content::Photo);
        std::vector<uint8_t> d1, d2;
        EXPECT_EQ(std::tuple(decode(rgb.job().config, rgb.encode(f1), d1),
                             decode(yuv.job().config, yuv.encode(f2), d2)),
                  std::tuple(0, 0));
        EXPECT_TRUE(d1 == f1 && d2 == f2);
        closed = a.handle();
    }
    EXPECT_NE(query(closed, 22, 101), 0);
    EXPECT_NE(korvadin_close(closed), 0);
}

TEST(Interface, BeginRefusesWhatTheModuleNeverSends) {
    host::CodecInstance codec;
    const korvadin_format_ex good = host::rawFrameFormat(22, 64, 64);
    const korvadin_format_ex out = host::compressedFormat(101);
    const host::CompressJob job = codec.begin(good, out);
    EXPECT_GT(job.config.size(), 0u);
    EXPECT_GE(job.bound, 64u * 64 * 3);
    const auto refused = [&](korvadin_format_ex in, korvadin_format_ex o) {
        const uint8_t* cookie = nullptr;
        uint64_t size = 0;
        uint32_t bound = 0;
        return korvadin_compress_begin(codec.handle(), &in, &o, &cookie, &size, &bound) != 0;
    };
    korvadin_format_ex in = good, o = out;
    in.base.format = 22;
    EXPECT_TRUE(refused(in, out));
    using Field = uint32_t korvadin_format_ex::*;
    for (const auto& [field, value] :
         {std::pair<Field, uint32_t>{&korvadin_format_ex::subFormat, 20},
          {&korvadin_format_ex::range, 0},
          {&korvadin_format_ex::fieldOrder, 3}}) {
        in = good;
        in.*field = value;
        EXPECT_TRUE(refused(in, out)) << value;
    }
    in = good;
    in.base.width = 0;
    EXPECT_TRUE(refused(in, out));
    o.subFormat = 102;
    EXPECT_TRUE(refused(good, o));
}

TEST(Interface, CompressNeedsBeginAndWholePlanes) {
    host::CodecInstance codec;
    std::vector<uint8_t> frame(32 * 16 * 3);
    std::vector<uint8_t> out(1 << 16);
    korvadin_format_ex in = host::rawFrameFormat(22, 32, 16);
    in.range = 2;
    in.fieldOrder = 1;
    korvadin_planes planes = codec.planes(in, frame.data());
    uint32_t size = 0;
    EXPECT_EQ(korvadin_compress(codec.handle(), &planes, out.data(), &size), KORVADIN_E_STATE);
    ASSERT_LE(codec.begin(in, host::compressedFormat(101)).bound, out.size());
    --planes.plane[0].size;
    EXPECT_NE(korvadin_compress(codec.handle(), &planes, out.data(), &size), 0);
    ++planes.plane[0].size;
    EXPECT_EQ(korvadin_compress(codec.handle(), &planes, out.data(), &size), 0);
}

TEST(Interface, PlanesFollowTheRawLayouts) {
    // 5x3 pictures: odd sizes round chroma up.
    const std::pair<uint32_t, std::vector<uint32_t>> layouts[] = {
        {22, {45}},         {20, {60}},       {28, {90}},         {26, {120}},        {5, {36}},
        {29, {15, 15, 15}}, {10, {15, 6, 6}}, {51, {30, 30, 30}}, {59, {30, 18, 18}},
    };
    host::CodecInstance codec;
    std::vector<uint8_t> frame(1024);
    for (const auto& [raw, sizes] : layouts) {
        const korvadin_planes planes = codec.planes(host::rawFrameFormat(raw, 5, 3), frame.data());
        uint8_t* expectedData = frame.data();
        for (size_t i = 0; i < 4; ++i) {
            const korvadin_plane& p = planes.plane[i];
            const uint32_t size = i < sizes.size() ? sizes[i] : 0;
            EXPECT_EQ(std::tuple(p.data, p.size), std::tuple(size ? expectedData : nullptr, size))
                << raw << " plane " << i;
            EXPECT_EQ(size != 0 ? p.size % p.pitch : 0, 0u);
            expectedData += size;
        }
    }
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
