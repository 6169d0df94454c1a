// Every kernel of every faster table against its portable twin, byte for byte, on random input
// of every width from 1 to 67 (and a few wider), every depth the formats code and every
// alignment of the buffers within a vector.
#include "dsp/kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "core/plane_coder.h"
#include "core/residual_code.h"
#include "core/v1/contexts.h"
#include "korvadin_common64.h"

namespace kvcodec {
namespace {

constexpr unsigned kAlignments = 16; // in 16-bit samples: every offset within 32 bytes

std::vector<uint32_t> widths() {
    std::vector<uint32_t> w;
    for (uint32_t x = 1; x <= 67; ++x) {
        w.push_back(x);
    }
    w.insert(w.end(), {128, 255, 1000});
    return w;
}

// A buffer starting `offset` elements past a 64-byte boundary, with guard elements after its
// end that are compared too, so a kernel writing past its end differs from its twin.
template <typename T>
class Buffer {
public:
    Buffer(size_t size, unsigned offset) : m_storage(size + offset + 128, T(0x5A)), m_size(size) {
        const auto base = reinterpret_cast<uintptr_t>(m_storage.data());
        m_data = m_storage.data() + ((64 - base % 64) % 64) / sizeof(T) + offset;
    }
    T* data() { return m_data; }
    T& operator[](size_t i) { return m_data[i]; }
    std::vector<T> contents() const { return {m_data, m_data + m_size + 32}; }

private:
    std::vector<T> m_storage;
    T* m_data;
    size_t m_size;
};

struct Table {
    const char* name;
    const Kernels* kernels;
};

// The faster tables this processor can run.
std::vector<Table> fasterTables() {
    std::vector<Table> tables;
    const uint32_t features = cpuFeatures();
    if ((features & KORVADIN_CPU_X86_AVX2) != 0 && x86Avx2Kernels() != nullptr) {
        tables.push_back({"AVX2", x86Avx2Kernels()});
        if ((features & KORVADIN_CPU_X86_AVX512) != 0 && x86Avx512Kernels() != nullptr) {
            tables.push_back({"AVX-512", x86Avx512Kernels()});
        }
    }
    return tables;
}

class Kernels : public testing::TestWithParam<Table> {
protected:
    const kvcodec::Kernels& fast() const { return *GetParam().kernels; }
    const kvcodec::Kernels& plain() const { return portableKernels(); }

    template <typename T>
    void fill(Buffer<T>& b, size_t n, uint32_t mask) {
        for (size_t i = 0; i < n; ++i) {
            b[i] = static_cast<T>(m_random() & mask);
        }
    }

    // Samples of a picture: mostly small steps, which is what photographs give, some of every
    // size, and runs of one value.
    // Runs of steps of one size, from none to 16 at 8 bits (scaled with the depth), so that every
    // class and context is common; now and then a jump.
    void fillPicture(Buffer<uint16_t>& b, size_t n, unsigned depth) {
        const uint32_t mask = (1u << depth) - 1;
        uint32_t v = m_random() & mask;
        uint32_t spread = 0;
        for (size_t i = 0; i < n; ++i) {
            if (m_random() % 16 == 0) {
                spread = (1u << m_random() % 6 >> 1) << (depth - 8);
            }
            const uint32_t kind = m_random() % 32;
            v = kind == 0 ? m_random() : v + m_random() % (2 * spread + 1) - spread;
            b[i] = static_cast<uint16_t>(v & mask);
        }
    }

    // Frequencies of every context from random counts over the first `used` tokens: skewed in
    // some contexts, nearly even (many bits a token, many words a step) in others.
    std::vector<Frequencies> randomFrequencies(unsigned alphabet) {
        std::vector<Frequencies> f(code::kContexts);
        for (Frequencies& freq : f) {
            std::vector<uint32_t> counts(alphabet);
            const unsigned used = 1 + m_random() % alphabet;
            const bool even = m_random() % 2 == 0;
            for (unsigned t = 0; t < used; ++t) {
                counts[t] = even                  ? 100 + m_random() % 10
                            : m_random() % 4 == 0 ? 0
                                                  : 1 + m_random() % (t < 8 ? 5000 : 40);
            }
            counts[m_random() % used] += 1;
            EXPECT_TRUE(normalizeFrequencies(counts.data(), alphabet, freq));
        }
        return f;
    }

    std::mt19937 m_random{20261205};
};

constexpr code::Predictor kPredictors[] = {code::Predictor::Median, code::Predictor::Average};

TEST_P(Kernels, AnalysisMatchesThePortableOne) {
    for (unsigned depth = 8; depth <= 14; ++depth) {
        for (const uint32_t w : widths()) {
            for (const code::Predictor predictor : kPredictors) {
                const unsigned a = (w + depth) % kAlignments;
                const uint32_t rows = 3 + (w + depth) % 5;
                const size_t n = size_t{w} * rows;
                SCOPED_TRACE("depth " + std::to_string(depth) + " width " + std::to_string(w) +
                             " predictor " + std::to_string(static_cast<int>(predictor)));
                Buffer<uint16_t> samples(n, a);
                fillPicture(samples, n, depth);
                Buffer<uint16_t> z1(n, (a + 3) % kAlignments), z2(n, (a + 5) % kAlignments);
                Buffer<uint16_t> s1(n, (a + 7) % kAlignments), s2(n, (a + 1) % kAlignments);
                std::vector<uint8_t> activityRows(ActivityRows::size(w));
                std::vector<uint32_t> c1(code::kContexts * 256, 0), c2 = c1;
                if (depth == 8) {
                    // The encoder keeps 8-bit samples as bytes.
                    Buffer<uint8_t> bytes(n, (2 * a + 1) % 64);
                    for (size_t i = 0; i < n; ++i) {
                        bytes[i] = static_cast<uint8_t>(samples[i]);
                    }
                    plain().analyse8(bytes.data(), w, rows, predictor, z1.data(),
                                     activityRows.data(), s1.data(), c1.data());
                    fast().analyse8(bytes.data(), w, rows, predictor, z2.data(),
                                    activityRows.data(), s2.data(), c2.data());
                } else {
                    plain().analyse(samples.data(), w, rows, depth, predictor, z1.data(),
                                    activityRows.data(), s1.data(), c1.data());
                    fast().analyse(samples.data(), w, rows, depth, predictor, z2.data(),
                                   activityRows.data(), s2.data(), c2.data());
                }
                if (depth > 8) {
                    ASSERT_EQ(z1.contents(), z2.contents()) << "residuals";
                }
                ASSERT_EQ(s1.contents(), s2.contents()) << "symbols";
                ASSERT_EQ(c1, c2) << "counts";
                // Rows are not all counted whole, but every symbol coded needs a frequency, and the
                // raw bits' length comes from exact counts of the tokens that have them.
                std::vector<uint32_t> exact(code::kContexts * 256);
                for (size_t i = 0; i < n; ++i) {
                    ASSERT_NE(c1[s1.data()[i]], 0u) << "symbol " << i << " uncounted";
                    ++exact[s1.data()[i]];
                }
                for (size_t k = 0; k < exact.size() && depth > 8; ++k) {
                    if (!code::isLiteral(k & 0xFF, depth)) {
                        ASSERT_EQ(c1[k], exact[k]) << "symbol " << k;
                    }
                }
                // The decoder's rebuilding mirrors the residuals back where the analysis mirrored
                // them: the samples come back from the residuals, the first row by the median from
                // a mid-grey row above, the others by the plane's predictor.
                std::vector<uint16_t> residuals(n + kRebuildSlack), midGrey(w, 1u << (depth - 1));
                for (size_t i = 0; i < n; ++i) {
                    residuals[i] = depth == 8 ? s1.data()[i] & 0xFF : z1.data()[i];
                }
                std::vector<uint16_t> back(n), scratch(rebuildScratchSize(w));
                fast().rebuild(midGrey.data(), residuals.data(), back.data(), w, 1, depth,
                               code::Predictor::Median, true, scratch.data());
                fast().rebuild(back.data(), residuals.data() + w, back.data() + w, w, rows - 1,
                               depth, predictor, true, scratch.data());
                ASSERT_TRUE(std::equal(back.begin(), back.end(), samples.data())) << "rebuilt";
            }
        }
    }
}

TEST_P(Kernels, RangeEncoderMatchesThePortableOne) {
    for (unsigned depth : {8u, 10u, 14u}) {
        const unsigned alphabet = code::alphabetSize(depth);
        const std::vector<Frequencies> f = randomFrequencies(alphabet);
        std::vector<RansEncSymbol> table(code::kContexts * 256);
        for (unsigned c = 0; c < code::kContexts; ++c) {
            buildEncSymbols(f[c], alphabet, table.data() + c * 256);
        }
        for (const uint32_t w : widths()) {
            const size_t n = size_t{w} * (1 + w % 3);
            SCOPED_TRACE("depth " + std::to_string(depth) + " symbols " + std::to_string(n));
            Buffer<uint16_t> symbols(n, w % kAlignments);
            for (size_t i = 0; i < n; ++i) {
                unsigned c = m_random() % code::kContexts;
                unsigned t = m_random() % alphabet;
                while (f[c].f[t] == 0) {
                    t = (t + 1) % alphabet;
                }
                symbols[i] = static_cast<uint16_t>(c << 8 | t);
            }
            std::vector<uint16_t> w1(wordRoom(n), 7), w2(wordRoom(n), 7);
            uint32_t x1[kRansLanes], x2[kRansLanes];
            const size_t n1 =
                plain().ransEncode(symbols.data(), n, table.data(), x1, w1.data() + w1.size());
            const size_t n2 =
                fast().ransEncode(symbols.data(), n, table.data(), x2, w2.data() + w2.size());
            ASSERT_EQ(n1, n2);
            ASSERT_TRUE(std::equal(w1.end() - n1, w1.end(), w2.end() - n2)) << "words";
            ASSERT_TRUE(std::equal(x1, x1 + kRansLanes, x2)) << "states";
        }
    }
}

// Activities of every kind above: the contexts must come out the same. They are mostly small,
// where the contexts' steps lie, with runs that make the edges and the neighbours further out
// matter.
TEST_P(Kernels, ContextRowsMatchThePortableOne) {
    for (const uint32_t w : widths()) {
        SCOPED_TRACE("width " + std::to_string(w));
        std::vector<uint8_t> memory(ActivityRows::size(w));
        const ActivityRows rows(memory.data(), w);
        for (uint32_t y = 0; y < 3; ++y) {
            uint8_t token = 0;
            for (uint32_t x = 0; x < w; ++x) {
                if (m_random() % 4 != 0) {
                    const unsigned kind = m_random() % 8;
                    token = static_cast<uint8_t>(kind == 0   ? m_random()
                                                 : kind == 1 ? 0
                                                             : m_random() % (8 << kind));
                    token = static_cast<uint8_t>(code::activity(token));
                }
                rows.row(y)[x] = token;
            }
            ActivityRows::copyEdges(rows.row(y), w);
        }
        for (uint32_t y = 0; y < 4; ++y) {
            std::vector<uint8_t> c1(w + 64, 99), c2 = c1;
            plain().contextRow(rows.above(y), rows.twoAbove(y), w, c1.data());
            fast().contextRow(rows.above(y), rows.twoAbove(y), w, c2.data());
            ASSERT_EQ(c1, c2) << "row " << y;
        }
    }
}

// Random tables, contexts, states and words: the two decoders must agree on tokens, states and
// words taken, also where the words run out, whatever lane the row starts in.
TEST_P(Kernels, RangeDecoderRowsMatchThePortableOne) {
    for (unsigned depth : {8u, 12u}) {
        const unsigned alphabet = code::alphabetSize(depth);
        std::vector<RansDecTable> tables(code::kContexts);
        const std::vector<Frequencies> f = randomFrequencies(alphabet);
        for (unsigned c = 0; c < code::kContexts; ++c) {
            buildDecTable(f[c], alphabet, tables[c]);
        }
        for (const uint32_t w : widths()) {
            SCOPED_TRACE("depth " + std::to_string(depth) + " width " + std::to_string(w));
            std::vector<uint8_t> contexts(w);
            for (uint8_t& c : contexts) {
                c = static_cast<uint8_t>(m_random() % code::kContexts);
            }
            // Four rows in turn, so that each starts in another lane.
            const size_t wordCount = m_random() % 2 == 0 ? 4 * size_t{w} : m_random() % (w + 1);
            std::vector<uint8_t> words(2 * wordCount + kRansReadPadding);
            for (size_t i = 0; i < 2 * wordCount; ++i) {
                words[i] = static_cast<uint8_t>(m_random());
            }
            RansReader r1;
            for (uint32_t& x : r1.x) {
                x = kRansLow + m_random() % ((1u << 31) - kRansLow);
            }
            r1.words = words.data();
            r1.end = words.data() + 2 * wordCount;
            r1.index = m_random() % 1000;
            RansReader r2 = r1, r3 = r1, r4 = r1;
            std::vector<uint8_t> b1(4 * (w + 4)), b2 = b1, b3 = b1, b4 = b1;
            std::vector<uint16_t> t1(4 * size_t{w}), t2(4 * size_t{w});
            std::vector<uint8_t> t3(4 * size_t{w}), t4(4 * size_t{w});
            for (size_t row = 0; row < 4; ++row) {
                // Capped as the current bitstream's activities are, and not at all.
                const auto cap = static_cast<uint8_t>(row % 2 == 0 ? code::kActivityCap : 255);
                const size_t at = row * (w + 4) + 2;
                plain().ransDecodeRow(r1, tables.data(), contexts.data(), cap, b1.data() + at,
                                      t1.data() + row * w, w);
                fast().ransDecodeRow(r2, tables.data(), contexts.data(), cap, b2.data() + at,
                                     t2.data() + row * w, w);
                if (depth == 8) {
                    plain().ransDecodeRow8(r3, tables.data(), contexts.data(), cap, b3.data() + at,
                                           t3.data() + row * w, w);
                    fast().ransDecodeRow8(r4, tables.data(), contexts.data(), cap, b4.data() + at,
                                          t4.data() + row * w, w);
                }
            }
            ASSERT_EQ(t1, t2) << "tokens";
            ASSERT_EQ(b1, b2) << "activities";
            ASSERT_TRUE(std::equal(r1.x, r1.x + kRansLanes, r2.x)) << "states";
            ASSERT_EQ(r1.words, r2.words);
            ASSERT_EQ(r1.index, r2.index);
            ASSERT_EQ(r1.smallestEntry, r2.smallestEntry);
            ASSERT_EQ(r1.overrun, r2.overrun);
            if (depth == 8) {
                // As bytes, the same tokens and the same reader after them.
                ASSERT_TRUE(std::equal(t1.begin(), t1.end(), t3.begin())) << "tokens as bytes";
                ASSERT_EQ(t3, t4) << "tokens as bytes";
                ASSERT_EQ(b1, b3) << "activities";
                ASSERT_EQ(b1, b4) << "activities";
                for (const RansReader* r : {&r3, &r4}) {
                    ASSERT_TRUE(std::equal(r1.x, r1.x + kRansLanes, r->x)) << "states";
                    ASSERT_EQ(r1.words, r->words);
                    ASSERT_EQ(r1.index, r->index);
                    ASSERT_EQ(r1.smallestEntry, r->smallestEntry);
                    ASSERT_EQ(r1.overrun, r->overrun);
                }
            }
        }
    }
}

// Raw bits out of residuals of every size and back from their tokens, on rows that end
// inside and outside a group of four, with quiet stretches (no raw bits) of 40 samples.
TEST_P(Kernels, RawBitsMatchThePortableOnesAndComeBack) {
    for (unsigned depth : {10u, 12u, 14u}) {
        const PlaneTables tables(depth, false);
        for (const uint32_t w : widths()) {
            SCOPED_TRACE("depth " + std::to_string(depth) + " width " + std::to_string(w));
            std::vector<uint16_t> z(w), tokens(w);
            for (uint32_t x = 0; x < w; ++x) {
                const unsigned top = x / 40 % 2 == 0 ? depth : 7;
                z[x] = static_cast<uint16_t>(m_random() & ((2u << m_random() % top) - 1));
                unsigned bits;
                tokens[x] = static_cast<uint16_t>(code::tokenOf(z[x], depth, &bits));
            }
            std::vector<uint8_t> bytes1(2 * w + 16), bytes2 = bytes1;
            BitWriter out1(bytes1.data()), out2(bytes2.data());
            plain().putRawBits(z.data(), w, out1);
            fast().putRawBits(z.data(), w, out2);
            const size_t size = out1.finish();
            ASSERT_EQ(size, out2.finish());
            ASSERT_EQ(bytes1, bytes2);
            for (const kvcodec::Kernels* k : {&plain(), &fast()}) {
                BitReader in(bytes1.data(), size);
                std::vector<uint16_t> back = tokens;
                k->takeRawBits(in, tables.rawBits, tables.base, back.data(), w);
                ASSERT_EQ(back, z) << k->name;
                ASSERT_FALSE(in.overrun()) << k->name;
            }
        }
    }
}

TEST_P(Kernels, RebuildingMatchesThePortableOne) {
    for (unsigned depth : {8u, 10u, 14u}) {
        for (const uint32_t w : widths()) {
            // Up to 70 rows: two bands of 32 (8-bit), or one and a band of 16, then single rows.
            const uint32_t rows = 1 + (w * 5 + depth) % 70;
            const size_t n = size_t{w} * rows;
            SCOPED_TRACE("depth " + std::to_string(depth) + " width " + std::to_string(w) +
                         " rows " + std::to_string(rows));
            Buffer<uint16_t> above(w, w % kAlignments), z(n + kRebuildSlack, 3);
            fill(above, w, (1u << depth) - 1);
            fill(z, n, (1u << depth) - 1);
            std::vector<uint16_t> scratch(rebuildScratchSize(w));
            std::vector<std::vector<uint16_t>> earlier;
            for (const auto& [predictor, mirror] : {std::pair{code::Predictor::Median, false},
                                                    std::pair{code::Predictor::Median, true},
                                                    std::pair{code::Predictor::Average, false},
                                                    std::pair{code::Predictor::Average, true}}) {
                SCOPED_TRACE(std::string(mirror ? "mirrored" : "as coded") + ", predictor " +
                             std::to_string(static_cast<int>(predictor)));
                Buffer<uint16_t> out1(n, 1), out2(n, (w + 9) % kAlignments);
                plain().rebuild(above.data(), z.data(), out1.data(), w, rows, depth, predictor,
                                mirror, scratch.data());
                fast().rebuild(above.data(), z.data(), out2.data(), w, rows, depth, predictor,
                               mirror, scratch.data());
                ASSERT_EQ(out1.contents(), out2.contents());
                // Predictor and flag are read: random residuals come out as other samples.
                for (const std::vector<uint16_t>& other : earlier) {
                    if (w > 2 && rows > 2) {
                        ASSERT_NE(out1.contents(), other);
                    }
                }
                earlier.push_back(out1.contents());
                if (depth == 8) {
                    // Planes and residuals of bytes: the same samples as from words.
                    Buffer<uint8_t> above8(w, w % 32), z8(n + kRebuildSlack, 7),
                        bytes(n, (w + 9) % 32);
                    std::copy(above.data(), above.data() + w, above8.data());
                    std::copy(z.data(), z.data() + n + kRebuildSlack, z8.data());
                    fast().rebuild8(above8.data(), z8.data(), bytes.data(), w, rows, predictor,
                                    mirror, scratch.data());
                    ASSERT_TRUE(std::equal(bytes.data(), bytes.data() + n, out1.data()));
                    plain().rebuild8(above8.data(), z8.data(), bytes.data(), w, rows, predictor,
                                     mirror, scratch.data());
                    ASSERT_TRUE(std::equal(bytes.data(), bytes.data() + n, out1.data()));
                }
            }
        }
    }
}

TEST_P(Kernels, LayoutRowsMatchThePortableOnes) {
    for (const uint32_t w : widths()) {
        for (unsigned a = 0; a < kAlignments; ++a) {
            SCOPED_TRACE("width " + std::to_string(w) + " offset " + std::to_string(a));
            Buffer<uint16_t> p0(2 * w, a), p1(w, (a + 5) % kAlignments), p2(w, (a + 10) % 16);
            fill(p0, 2 * w, 0xFFFF);
            fill(p1, w, 0xFFFF);
            fill(p2, w, 0xFFFF);
            Buffer<uint8_t> b0(2 * w, a), b1(w, (a + 5) % 32), b2(w, (a + 10) % 32);
            fill(b0, 2 * w, 0xFF);
            fill(b1, w, 0xFF);
            fill(b2, w, 0xFF);
            Buffer<uint8_t> rgb1(3 * w, 2 * a), rgb2(3 * w, 2 * a + 1);
            plain().packRgb8(b0.data(), b1.data(), b2.data(), rgb1.data(), w);
            fast().packRgb8(b0.data(), b1.data(), b2.data(), rgb2.data(), w);
            ASSERT_EQ(rgb1.contents(), rgb2.contents()) << "packed R G B";
            Buffer<uint8_t> uyvy1(4 * w, 2 * a), uyvy2(4 * w, 2 * a + 1);
            plain().packUyvy8(b0.data(), b1.data(), b2.data(), uyvy1.data(), w);
            fast().packUyvy8(b0.data(), b1.data(), b2.data(), uyvy2.data(), w);
            ASSERT_EQ(uyvy1.contents(), uyvy2.contents()) << "packed U Y V Y";

            Buffer<uint8_t> raw(4 * w, a);
            fill(raw, 4 * w, 0xFF);
            Buffer<uint8_t> q1[4] = {{2 * w, a}, {w, a}, {w, a}, {w, a}};
            Buffer<uint8_t> q2[4] = {{2 * w, a + 1}, {w, a + 2}, {w, a + 3}, {w, a + 4}};
            plain().unpackRgb8(raw.data(), q1[0].data(), q1[1].data(), q1[2].data(), w);
            fast().unpackRgb8(raw.data(), q2[0].data(), q2[1].data(), q2[2].data(), w);
            plain().unpackRgba8(raw.data(), q1[0].data() + w, q1[1].data(), q1[2].data(),
                                q1[3].data(), w);
            fast().unpackRgba8(raw.data(), q2[0].data() + w, q2[1].data(), q2[2].data(),
                               q2[3].data(), w);
            for (int p = 0; p < 4; ++p) {
                ASSERT_EQ(q1[p].contents(), q2[p].contents()) << "unpacked R G B (A) " << p;
            }
            plain().unpackUyvy8(raw.data(), q1[0].data(), q1[1].data(), q1[2].data(), w);
            fast().unpackUyvy8(raw.data(), q2[0].data(), q2[1].data(), q2[2].data(), w);
            for (int p = 0; p < 3; ++p) {
                ASSERT_EQ(q1[p].contents(), q2[p].contents()) << "unpacked U Y V Y " << p;
            }
            Buffer<uint8_t> rgba1(4 * w, 2 * a), rgba2(4 * w, 2 * a + 1);
            plain().packRgba8(b0.data(), b1.data(), b2.data(), b0.data() + w, rgba1.data(), w);
            fast().packRgba8(b0.data(), b1.data(), b2.data(), b0.data() + w, rgba2.data(), w);
            ASSERT_EQ(rgba1.contents(), rgba2.contents()) << "packed R G B A";
            Buffer<uint8_t> raw16(8 * w, a), wide1(8 * w, 2 * a), wide2(8 * w, 2 * a + 1);
            fill(raw16, 8 * w, 0xFF);
            const uint16_t* coded[4] = {p0.data(), p1.data(), p2.data(), p0.data() + w};
            Buffer<uint16_t> r1[4] = {{2 * w, a}, {w, a}, {w, a}, {w, a}};
            Buffer<uint16_t> r2[4] = {{2 * w, a + 1}, {w, a + 2}, {w, a + 3}, {w, a + 4}};
            for (const unsigned n : {3u, 4u}) {
                for (const unsigned depth : {10u, 12u, 14u, 16u}) {
                    SCOPED_TRACE(std::to_string(n) + " samples a pixel, depth " +
                                 std::to_string(depth));
                    uint16_t* planes1[4] = {r1[0].data(), r1[1].data(), r1[2].data(), r1[3].data()};
                    uint16_t* planes2[4] = {r2[0].data(), r2[1].data(), r2[2].data(), r2[3].data()};
                    plain().unpackRgb16(raw16.data(), planes1, w, n, depth);
                    fast().unpackRgb16(raw16.data(), planes2, w, n, depth);
                    for (int p = 0; p < 4; ++p) {
                        ASSERT_EQ(r1[p].contents(), r2[p].contents()) << "unpacked plane " << p;
                    }
                    plain().packRgb16(coded, wide1.data(), w, n, depth);
                    fast().packRgb16(coded, wide2.data(), w, n, depth);
                    ASSERT_EQ(wide1.contents(), wide2.contents()) << "packed 16-bit";
                }
            }
            for (const unsigned depth : {10u, 12u, 14u}) {
                plain().narrowRow16(raw.data(), r1[0].data(), 2 * w, depth);
                fast().narrowRow16(raw.data(), r2[0].data(), 2 * w, depth);
                ASSERT_EQ(r1[0].contents(), r2[0].contents()) << "narrowed to " << depth;
                plain().widenRow16(p0.data(), uyvy1.data(), 2 * w, depth);
                fast().widenRow16(p0.data(), uyvy2.data(), 2 * w, depth);
                ASSERT_EQ(uyvy1.contents(), uyvy2.contents()) << "widened from " << depth;
            }
        }
    }
}

// The lifting in every combination of its steps, undone by the inverse, and the residual costs
// the encoder weighs its blue step by.
TEST_P(Kernels, ColourLiftingMatchesThePortableOneAndIsUndone) {
    const auto check = [&](auto sample, unsigned depth, auto lift, auto unlift, auto bits) {
        using T = decltype(sample);
        for (const uint32_t w : widths()) {
            for (unsigned a = 0; a < kAlignments; a += 3) {
                SCOPED_TRACE("depth " + std::to_string(depth) + " width " + std::to_string(w) +
                             " offset " + std::to_string(a));
                Buffer<T> in[3] = {{w, a}, {w, (a + 5) % kAlignments}, {w, (a + 9) % kAlignments}};
                for (Buffer<T>& b : in) {
                    fill(b, w, (1u << depth) - 1);
                }
                for (const bool blue : {false, true}) {
                    for (const bool green : {false, true}) {
                        Buffer<T> p1[3] = {{w, a}, {w, a + 4}, {w, a + 8}};
                        Buffer<T> p2[3] = {{w, a + 1}, {w, a + 2}, {w, a + 3}};
                        for (int p = 0; p < 3; ++p) {
                            std::copy(in[p].data(), in[p].data() + w, p1[p].data());
                            std::copy(in[p].data(), in[p].data() + w, p2[p].data());
                        }
                        lift(plain(), p1, w, green, blue);
                        lift(fast(), p2, w, green, blue);
                        for (int p = 0; p < 3; ++p) {
                            ASSERT_EQ(p1[p].contents(), p2[p].contents())
                                << "lifted plane " << p << (green ? " green" : "")
                                << (blue ? " blue" : "");
                        }
                        if (green) {
                            unlift(fast(), p2, w, blue);
                            for (int p = 0; p < 3; ++p) {
                                ASSERT_EQ(p2[p].contents(), in[p].contents())
                                    << "plane " << p << " not undone";
                            }
                        }
                    }
                }
                ASSERT_EQ(bits(plain(), in[0], in[1], w), bits(fast(), in[0], in[1], w))
                    << "residual bits";
            }
        }
    };
    check(
        uint8_t{}, 8,
        [](const kvcodec::Kernels& k, Buffer<uint8_t>* p, uint32_t w, bool green, bool blue) {
            k.liftRgb8(p[0].data(), p[1].data(), p[2].data(), w, green, blue);
        },
        [](const kvcodec::Kernels& k, Buffer<uint8_t>* p, uint32_t w, bool blue) {
            k.unliftRgb8(p[0].data(), p[1].data(), p[2].data(), w, blue);
        },
        [](const kvcodec::Kernels& k, Buffer<uint8_t>& row, Buffer<uint8_t>& above, uint32_t w) {
            return std::pair{
                k.residualBits8(row.data(), above.data(), w, code::Predictor::Median),
                k.residualBits8(row.data(), above.data(), w, code::Predictor::Average)};
        });
    for (const unsigned depth : {10u, 12u, 14u}) {
        check(
            uint16_t{}, depth,
            [depth](const kvcodec::Kernels& k, Buffer<uint16_t>* p, uint32_t w, bool green,
                    bool blue) {
                k.liftRgb16(p[0].data(), p[1].data(), p[2].data(), w, depth, green, blue);
            },
            [depth](const kvcodec::Kernels& k, Buffer<uint16_t>* p, uint32_t w, bool blue) {
                k.unliftRgb16(p[0].data(), p[1].data(), p[2].data(), w, depth, blue);
            },
            [depth](const kvcodec::Kernels& k, Buffer<uint16_t>& row, Buffer<uint16_t>& above,
                    uint32_t w) {
                return std::pair{
                    k.residualBits16(row.data(), above.data(), w, depth, code::Predictor::Median),
                    k.residualBits16(row.data(), above.data(), w, depth, code::Predictor::Average)};
            });
    }
}

// Version 1: complete prefix codes made by splitting random leaves, random stream bytes (every
// bit pattern is some sequence of codes), random rows above.
TEST_P(Kernels, VersionOneDecodingMatchesThePortableOne) {
    std::vector<v1::DecodeTable> tables(v1::kContexts);
    for (unsigned depth = 8; depth <= 14; ++depth) {
        const bool deep = depth > 8;
        const unsigned alphabet = v1::alphabetSize(depth);
        std::vector<uint16_t> payload(alphabet);
        for (unsigned t = 0; t < alphabet; ++t) {
            payload[t] = v1::entryFor(t, depth);
        }
        for (v1::DecodeTable& table : tables) {
            std::vector<uint8_t> lengths(alphabet);
            lengths[0] = 1;
            lengths[1] = 1;
            for (unsigned used = 2; used < std::min(alphabet, 40u); ++used) {
                const unsigned split = m_random() % used;
                if (lengths[split] != 0 && lengths[split] < v1::kMaxCodeLength) {
                    ++lengths[split];
                    lengths[used] = lengths[split];
                }
            }
            std::vector<uint8_t> bytes(1024);
            BitWriter out(bytes.data());
            out.put(1, 1);
            unsigned prev = 0;
            for (unsigned t = 0; t < alphabet; ++t) {
                out.put(lengths[t] == prev ? 0 : 16 | lengths[t], lengths[t] == prev ? 1 : 5);
                prev = lengths[t];
            }
            BitReader in(bytes.data(), out.finish());
            ASSERT_EQ(v1::readTable(in, alphabet, payload.data(), 0, table), v1::TableRead::Used);
        }
        for (const uint32_t w : widths()) {
            const uint32_t mask = (1u << depth) - 1;
            for (const bool both : {false, true}) {
                SCOPED_TRACE("depth " + std::to_string(depth) + " width " + std::to_string(w));
                const size_t size = m_random() % 2 == 0 ? size_t{w} * 8 : 1 + m_random() % w;
                std::vector<uint8_t> stream(2 * size + 64);
                for (uint8_t& b : stream) {
                    b = static_cast<uint8_t>(m_random());
                }
                std::vector<uint16_t> window1(3 * kWindowStride);
                for (uint32_t x = 0; x < w; ++x) {
                    window1[x] = static_cast<uint16_t>(m_random());
                }
                std::vector<uint16_t> window2 = window1;
                BitReader e1(stream.data(), size, stream.size()), o1(stream.data() + size, size);
                BitReader e2 = e1, o2 = o1;
                plain().v1DecodeRows[deep](e1, o1, tables.data(), window1.data(), w, both);
                fast().v1DecodeRows[deep](e2, o2, tables.data(), window2.data(), w, both);
                ASSERT_EQ(window1, window2) << "residuals";
                ASSERT_EQ(e1.consumed(), e2.consumed());
                ASSERT_EQ(o1.consumed(), o2.consumed());
                std::vector<uint16_t> rebuilt1(w), rebuilt2(w);
                plain().v1RebuildRow[deep](window1.data(), window1.data() + kWindowStride,
                                           rebuilt1.data(), w, mask);
                fast().v1RebuildRow[deep](window1.data(), window1.data() + kWindowStride,
                                          rebuilt2.data(), w, mask);
                ASSERT_EQ(rebuilt1, rebuilt2) << "rebuilt row";
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryTable, Kernels, testing::ValuesIn(fasterTables()),
                         [](const testing::TestParamInfo<Table>& info) {
                             std::string name = info.param.name;
                             std::erase(name, '-');
                             return name;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Kernels);

} // namespace
} // namespace kvcodec
