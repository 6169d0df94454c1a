#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "codec_harness.h"

using namespace codec_test;

namespace {

TEST(Interface, StructureFieldsSitAtTheirOffsets) {
    EXPECT_EQ(offsetof(korvadin_format, format), 8u);
    EXPECT_EQ(offsetof(korvadin_format_ex, param1), 12u);
    EXPECT_EQ(offsetof(korvadin_format_ex, subFormat), 16u);
    EXPECT_EQ(offsetof(korvadin_format_ex, param3), 24u);
    EXPECT_EQ(offsetof(korvadin_format_ex, fieldOrder), 32u);
    EXPECT_EQ(offsetof(korvadin_plane, pitch), 8u);
    EXPECT_EQ(offsetof(korvadin_plane, size), 12u);
    EXPECT_EQ(offsetof(korvadin_planes, plane[3]), 48u);
}

const std::vector<uint32_t> kRawCodes = {5, 10, 20, 22, 26, 28, 29, 51, 59};

std::vector<uint32_t> compressedIds() {
    std::vector<uint32_t> ids;
    for (const FormatPair& v : kFormatPairs) {
        ids.push_back(v.id);
    }
    return ids;
}

TEST(Interface, QueryAcceptsExactlyTheListedPairs) {
    host::CodecInstance inst;
    std::vector<uint32_t> outs = compressedIds();
    outs.insert(outs.end(), {0u, 100u, 106u, 254u, 22u});
    std::vector<uint32_t> ins = kRawCodes;
    ins.insert(ins.end(), {0u, 254u, 101u, 21u});
    for (const uint32_t raw : ins) {
        for (const uint32_t id : outs) {
            bool listed = false;
            for (const FormatPair& v : kFormatPairs) {
                listed |= v.raw == raw && v.id == id;
            }
            for (const auto& [w, h] : {std::pair{128u, 128u}, {1u, 1u}, {1921u, 1081u}}) {
                const korvadin_format in{w, h, raw};
                const korvadin_format out{0, 0, id};
                uint64_t scratch = 0;
                const int32_t r =
                    korvadin_compress_query(inst.handle(), &in, &out, &scratch, nullptr);
                EXPECT_EQ(r == 0, listed) << raw << " -> " << id << " at " << w << "x" << h;
            }
        }
    }
}

TEST(Interface, QueryCoversEveryRenderableSizeAndRefusesEmptyOnes) {
    host::CodecInstance inst;
    for (const FormatPair& v : kFormatPairs) {
        const korvadin_format out{0, 0, v.id};
        uint64_t scratch = 0;
        for (const auto& [w, h] : {std::pair{16384u, 16384u}, {16383u, 1u}, {1u, 16383u}}) {
            const korvadin_format in{w, h, v.raw};
            EXPECT_EQ(korvadin_compress_query(inst.handle(), &in, &out, &scratch, nullptr), 0)
                << v.id << " " << w << "x" << h;
        }
        for (const auto& [w, h] : {std::pair{0u, 128u}, {128u, 0u}, {0xFFFFFFFFu, 2u}}) {
            const korvadin_format in{w, h, v.raw};
            EXPECT_NE(korvadin_compress_query(inst.handle(), &in, &out, &scratch, nullptr), 0)
                << v.id << " " << w << "x" << h;
        }
    }
}

TEST(Interface, UnknownHandlesAreRefused) {
    const korvadin_format in{128, 128, 22};
    const korvadin_format out{0, 0, 101};
    uint64_t scratch = 0;
    EXPECT_NE(korvadin_compress_query(0, &in, &out, &scratch, nullptr), 0);
    uint32_t closed = 0;
    {
        host::CodecInstance inst;
        closed = inst.handle();
    }
    EXPECT_NE(korvadin_compress_query(closed, &in, &out, &scratch, nullptr), 0);
    EXPECT_NE(korvadin_close(closed), 0);
}

TEST(Interface, InstancesAreIndependent) {
    host::CodecInstance a;
    host::CodecInstance b;
    EXPECT_NE(a.handle(), b.handle());
    Encoder rgb(kFormatPairs[0], 64, 32);
    Encoder yuv(kFormatPairs[3], 64, 32);
    std::vector<uint8_t> f1 = makeFrame(kFormatPairs[0], 64, 32, Content::Photo);
    std::vector<uint8_t> f2 = makeFrame(kFormatPairs[3], 64, 32, Content::Photo);
    const auto p1 = rgb.encode(f1);
    const auto p2 = yuv.encode(f2);
    std::vector<uint8_t> d1, d2;
    ASSERT_EQ(decode(rgb.job().config, p1, d1), 0);
    ASSERT_EQ(decode(yuv.job().config, p2, d2), 0);
    EXPECT_TRUE(d1 == f1);
    EXPECT_TRUE(d2 == f2);
}

TEST(Interface, BeginRefusesWhatTheModuleNeverSends) {
    host::CodecInstance inst;
    const korvadin_format_ex good = {{64, 64, KORVADIN_FORMAT_EXTENDED}, 1, 22, 0, 0, 1, 0};
    const korvadin_format_ex out = {{0, 0, KORVADIN_FORMAT_EXTENDED}, 1, 101, 0, 0, 0, 0};
    const uint8_t* cookie = nullptr;
    uint64_t cookieSize = 0;
    uint32_t bound = 0;
    ASSERT_EQ(korvadin_compress_begin(inst.handle(), &good, &out, &cookie, &cookieSize, &bound), 0);
    EXPECT_GT(cookieSize, 0u);
    EXPECT_GE(bound, 64u * 64 * 3);

    auto refused = [&](korvadin_format_ex in, korvadin_format_ex o) {
        return korvadin_compress_begin(inst.handle(), &in, &o, &cookie, &cookieSize, &bound) != 0;
    };
    korvadin_format_ex in = good;
    in.base.format = 22;
    EXPECT_TRUE(refused(in, out));
    in = good;
    in.subFormat = 20;
    EXPECT_TRUE(refused(in, out));
    in = good;
    in.range = 0;
    EXPECT_TRUE(refused(in, out));
    in = good;
    in.fieldOrder = 3;
    EXPECT_TRUE(refused(in, out));
    in = good;
    in.base.width = 0;
    EXPECT_TRUE(refused(in, out));
    korvadin_format_ex o = out;
    o.subFormat = 102;
    EXPECT_TRUE(refused(good, o));
}

TEST(Interface, CompressNeedsBeginAndWholePlanes) {
    host::CodecInstance inst;
    std::vector<uint8_t> frame(32 * 16 * 3);
    std::vector<uint8_t> out(1 << 16);
    const korvadin_format_ex in = {{32, 16, KORVADIN_FORMAT_EXTENDED}, 1, 22, 0, 0, 2, 1};
    korvadin_planes planes{};
    ASSERT_EQ(korvadin_init_planes_common(inst.handle(), &in, &planes, frame.data()), 0);
    uint32_t size = 0;
    EXPECT_EQ(korvadin_compress(inst.handle(), &planes, out.data(), &size), KORVADIN_E_STATE);

    const korvadin_format_ex o = {{0, 0, KORVADIN_FORMAT_EXTENDED}, 1, 101, 0, 0, 0, 0};
    const uint8_t* cookie = nullptr;
    uint64_t cookieSize = 0;
    uint32_t bound = 0;
    ASSERT_EQ(korvadin_compress_begin(inst.handle(), &in, &o, &cookie, &cookieSize, &bound), 0);
    ASSERT_LE(bound, out.size());
    korvadin_planes shortPlanes = planes;
    shortPlanes.plane[0].size -= 1;
    EXPECT_NE(korvadin_compress(inst.handle(), &shortPlanes, out.data(), &size), 0);
    EXPECT_EQ(korvadin_compress(inst.handle(), &planes, out.data(), &size), 0);
}

TEST(Interface, PlanesFollowTheRawLayouts) {
    // 5x3 pictures: odd sizes round chroma up.
    struct Expected {
        uint32_t raw;
        std::vector<uint32_t> sizes;
    };
    const std::vector<Expected> table = {
        {22, {45}},         {20, {60}},       {28, {90}},         {26, {120}},        {5, {36}},
        {29, {15, 15, 15}}, {10, {15, 6, 6}}, {51, {30, 30, 30}}, {59, {30, 18, 18}},
    };
    host::CodecInstance inst;
    std::vector<uint8_t> frame(1024);
    for (const Expected& e : table) {
        const korvadin_format_ex in = {{5, 3, KORVADIN_FORMAT_EXTENDED}, 1, e.raw, 0, 0, 1, 0};
        korvadin_planes planes{};
        ASSERT_EQ(korvadin_init_planes_common(inst.handle(), &in, &planes, frame.data()), 0);
        uint8_t* expectedData = frame.data();
        for (size_t i = 0; i < 4; ++i) {
            const korvadin_plane& p = planes.plane[i];
            if (i >= e.sizes.size()) {
                EXPECT_EQ(p.data, nullptr);
                EXPECT_EQ(p.size, 0u);
                continue;
            }
            EXPECT_EQ(p.data, expectedData) << e.raw << " plane " << i;
            EXPECT_EQ(p.size, e.sizes[i]) << e.raw << " plane " << i;
            EXPECT_EQ(p.size % p.pitch, 0u);
            expectedData += p.size;
        }
    }
}

TEST(Interface, InitAndCloseCallsPairUp) {
    uint32_t h1 = 0, h2 = 0;
    ASSERT_EQ(korvadin_library_init(&h1), 0);
    ASSERT_EQ(korvadin_library_init(&h2), 0);
    ASSERT_EQ(korvadin_open(&h1), 0);
    ASSERT_EQ(korvadin_open(&h2), 0);
    EXPECT_EQ(korvadin_close(h1), 0);
    EXPECT_EQ(korvadin_library_close(), 0);
    // The second instance still works after the first pair has closed.
    const korvadin_format in{8, 8, 5};
    const korvadin_format out{0, 0, 104};
    uint64_t scratch = 0;
    EXPECT_EQ(korvadin_compress_query(h2, &in, &out, &scratch, nullptr), 0);
    EXPECT_EQ(korvadin_close(h2), 0);
    EXPECT_EQ(korvadin_library_close(), 0);
    EXPECT_EQ(korvadin_library_close(), KORVADIN_E_UNBALANCED);
}

} // namespace
