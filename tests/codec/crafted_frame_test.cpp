// Version 1 frames written bit by bit, for what its encoder never produced: a sample whose
// context has no code table, and a code stream that runs into the bytes after it.
#include <gtest/gtest.h>

#include "codec_harness.h"

using namespace codec_test;

namespace {

// Most significant bit first, as the code streams are read.
class Bits {
public:
    void put(uint32_t v, unsigned n) {
        for (unsigned i = n; i-- > 0;) {
            if (m_count % 8 == 0) {
                m_bytes.push_back(0);
            }
            m_bytes.back() |= static_cast<uint8_t>(((v >> i) & 1) << (7 - m_count % 8));
            ++m_count;
        }
    }
    const std::vector<uint8_t>& bytes() const { return m_bytes; }

private:
    std::vector<uint8_t> m_bytes;
    size_t m_count = 0;
};

void putLe32(std::vector<uint8_t>& v, uint32_t x) {
    for (unsigned i = 0; i < 4; ++i) {
        v.push_back(static_cast<uint8_t>(x >> (8 * i)));
    }
}

void putSegment(std::vector<uint8_t>& out, uint8_t mode, uint8_t predictor, uint8_t contexts,
                const std::vector<uint8_t>& payload) {
    out.insert(out.end(), {mode, predictor, contexts, 0});
    putLe32(out, static_cast<uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
}

struct Crafted {
    std::vector<uint32_t> evenRowCodes; // row 0 of the 2x2 luma plane, one bit each
    std::vector<uint8_t> oddRow;        // the second stream
    int moveBytes;                      // from the end of the first stream to the second
    int32_t expected;
};

// A 2x2 frame of 8-bit planar 4:4:4: luma coded with one table (tokens 0 and 1, one bit each,
// in context 0; contexts 1 to 6 unused); chroma stored.
std::vector<uint8_t> craftFrame(const Crafted& c) {
    Bits first;
    first.put(1, 1);
    first.put(0x11, 5); // token 0: length 1
    first.put(0, 1);    // token 1: the same
    first.put(0x10, 5); // token 2: unused, and so on
    for (unsigned t = 3; t < 256; ++t) {
        first.put(0, 1);
    }
    for (unsigned ctx = 1; ctx < 7; ++ctx) {
        first.put(0, 1);
    }
    for (const uint32_t code : c.evenRowCodes) {
        first.put(code, 1);
    }
    std::vector<uint8_t> streams = first.bytes();
    std::vector<uint8_t> second(streams.end() - c.moveBytes, streams.end());
    streams.resize(streams.size() - c.moveBytes);
    const uint32_t firstSize = static_cast<uint32_t>(streams.size());
    second.insert(second.end(), c.oddRow.begin(), c.oddRow.end());
    std::vector<uint8_t> payload;
    putLe32(payload, firstSize);
    payload.insert(payload.end(), streams.begin(), streams.end());
    payload.insert(payload.end(), second.begin(), second.end());

    std::vector<uint8_t> slice;
    putSegment(slice, 1, 1, 7, payload);
    putSegment(slice, 0, 0, 0, {1, 2, 3, 4});
    putSegment(slice, 0, 0, 0, {5, 6, 7, 8});
    std::vector<uint8_t> frame = {'K', 1, 0, 0};
    putLe32(frame, 1);
    putLe32(frame, static_cast<uint32_t>(slice.size()));
    frame.insert(frame.end(), slice.begin(), slice.end());
    return frame;
}

TEST(CraftedFrame, VersionOneContextsWithoutTablesAndOverrunStreamsAreRefused) {
    const Encoder enc({29, 103, 8, Chroma::All}, 2, 2);
    std::vector<uint8_t> config = enc.job().config;
    config[4] = 1; // the configuration of a version 1 stream
    const std::vector<Crafted> cases = {
        // Token 0 everywhere; the odd row's two codes are the first bits of its byte.
        {{0, 0}, {0}, 0, KORVADIN_OK},
        // Token 1 is a residual of class 1, so the next sample's context is 1, which has no
        // table (and would read no bits); so has the first context of the odd row.
        {{1}, {0}, 0, KORVADIN_E_CORRUPT},
        // The first stream's last code lies in the bytes of the second.
        {{0, 0}, {0}, 1, KORVADIN_E_TRUNCATED},
    };
    for (const Crafted& c : cases) {
        std::vector<uint8_t> out;
        EXPECT_EQ(decode(config, craftFrame(c), out), c.expected)
            << c.evenRowCodes.size() << " codes, moved " << c.moveBytes;
        if (c.expected == KORVADIN_OK) {
            // Every residual zero: mid-grey luma under the grey row above; chroma as stored.
            EXPECT_EQ(out, (std::vector<uint8_t>{128, 128, 128, 128, 1, 2, 3, 4, 5, 6, 7, 8}));
        }
    }
}

} // namespace
