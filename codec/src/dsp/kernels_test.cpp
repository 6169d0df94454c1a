// Every kernel of every faster table against its portable twin, byte for byte, on random input
// of every width from 1 to 67 (and a few wider), every depth the formats code and every
// alignment of the buffers within a vector.
#include "dsp/kernels.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "core/contexts.h"
#include "korvadin_common64.h"

namespace kvcodec {
namespace {

constexpr unsigned kAlignments = 16; // in samples: every offset within 32 bytes

std::vector<uint32_t> widths() {
    std::vector<uint32_t> w;
    for (uint32_t x = 1; x <= 67; ++x) {
        w.push_back(x);
    }
    w.insert(w.end(), {128, 255, 1000});
    return w;
}

// Buffers that start `offset` elements past a 64-byte boundary, with guard values after the end
// that no kernel may change.
template <typename T>
class Buffer {
public:
    Buffer(size_t size, unsigned offset) : m_storage(size + offset + 64 + 64 / sizeof(T), 0x5A) {
        const auto base = reinterpret_cast<uintptr_t>(m_storage.data());
        const size_t skip = ((64 - base % 64) % 64) / sizeof(T);
        m_data = m_storage.data() + skip + offset;
        m_size = size;
    }
    T* data() { return m_data; }
    T& operator[](size_t i) { return m_data[i]; }
    std::vector<T> contents() const { return {m_data, m_data + m_size + 32}; }

private:
    std::vector<T> m_storage;
    T* m_data;
    size_t m_size;
};

class Kernels : public testing::Test {
protected:
    void SetUp() override {
        if ((cpuFeatures() & KORVADIN_CPU_X86_AVX2) == 0 || x86Avx2Kernels() == nullptr) {
            GTEST_SKIP() << "this processor runs the portable table alone";
        }
    }
    const kvcodec::Kernels& fast() const { return *x86Avx2Kernels(); }
    const kvcodec::Kernels& plain() const { return portableKernels(); }

    template <typename T>
    void fill(Buffer<T>& b, size_t n, uint32_t mask) {
        for (size_t i = 0; i < n; ++i) {
            b[i] = static_cast<T>(m_random() & mask);
        }
    }

    std::mt19937 m_random{20261205};
};

TEST_F(Kernels, EncoderPassesMatchThePortableOnes) {
    for (unsigned depth = 8; depth <= kMaxCodedDepth; ++depth) {
        const bool deep = depth > 8;
        const unsigned alphabet = alphabetSize(depth);
        for (const uint32_t w : widths()) {
            for (unsigned a = 0; a < kAlignments; ++a) {
                const uint32_t rows = 1 + (w + a) % 3;
                const size_t n = size_t{w} * rows;
                SCOPED_TRACE("depth " + std::to_string(depth) + " width " + std::to_string(w) +
                             " offset " + std::to_string(a));
                Buffer<uint16_t> samples(n, a);
                // Mostly small steps, which is what photographs give, with some of every size.
                for (size_t i = 0; i < n; ++i) {
                    samples[i] = static_cast<uint16_t>(
                        (m_random() % 4 == 0 ? m_random() : 100 + m_random() % 9) &
                        ((1u << depth) - 1));
                }
                Buffer<uint16_t> z1(n, (a + 3) % kAlignments), z2(n, (a + 5) % kAlignments);
                plain().residuals(samples.data(), w, rows, depth, z1.data());
                fast().residuals(samples.data(), w, rows, depth, z2.data());
                ASSERT_EQ(z1.contents(), z2.contents()) << "residuals";

                Buffer<uint8_t> cls1(n, a), ctx1(n, a + 1), cls2(n, a + 7), ctx2(n, a + 9);
                plain().contexts(z1.data(), w, rows, depth, cls1.data(), ctx1.data());
                fast().contexts(z1.data(), w, rows, depth, cls2.data(), ctx2.data());
                ASSERT_EQ(cls1.contents(), cls2.contents()) << "classes";
                ASSERT_EQ(ctx1.contents(), ctx2.contents()) << "contexts";

                std::vector<uint32_t> counts1(4 * kContexts * kMaxAlphabet);
                std::vector<uint32_t> counts2(counts1.size());
                plain().countTokens[deep](z1.data(), ctx1.data(), w, rows, alphabet,
                                          counts1.data());
                fast().countTokens[deep](z1.data(), ctx1.data(), w, rows, alphabet, counts2.data());
                counts1.resize(2 * kContexts * kMaxAlphabet);
                counts2.resize(counts1.size());
                ASSERT_EQ(counts1, counts2) << "token counts";

                std::vector<Code> codes(kContexts * alphabet);
                for (unsigned c = 0; c < kContexts; ++c) {
                    std::vector<uint32_t> total(alphabet);
                    std::vector<uint8_t> lengths(alphabet);
                    for (unsigned t = 0; t < alphabet; ++t) {
                        total[t] = counts1[c * alphabet + t] +
                                   counts1[kContexts * kMaxAlphabet + c * alphabet + t];
                    }
                    buildLengths(total.data(), alphabet, lengths.data());
                    assignCodes(lengths.data(), alphabet, codes.data() + c * alphabet);
                }
                for (uint32_t parity = 0; parity < 2; ++parity) {
                    Buffer<uint8_t> out1(n * 4 + 8, a), out2(n * 4 + 8, a + 11);
                    BitWriter bw1(out1.data()), bw2(out2.data());
                    plain().writeCodes[deep](z1.data(), ctx1.data(), w, rows, parity, alphabet,
                                             codes.data(), bw1);
                    fast().writeCodes[deep](z1.data(), ctx1.data(), w, rows, parity, alphabet,
                                            codes.data(), bw2);
                    ASSERT_EQ(bw1.finish(), bw2.finish());
                    ASSERT_EQ(out1.contents(), out2.contents()) << "codes of parity " << parity;
                }
            }
        }
    }
}

// Random code tables and random stream bytes: every bit pattern is some sequence of codes, so
// the two decoders must agree on residuals, classes and bits consumed, also where a stream runs
// out and the slow refill takes over.
TEST_F(Kernels, DecoderRowsMatchThePortableOnes) {
    std::vector<DecodeTable> tables(kContexts);
    for (unsigned depth = 8; depth <= kMaxCodedDepth; ++depth) {
        const bool deep = depth > 8;
        const unsigned alphabet = alphabetSize(depth);
        std::vector<uint16_t> payload(alphabet);
        for (unsigned t = 0; t < alphabet; ++t) {
            payload[t] = entryFor(t, depth);
        }
        for (unsigned c = 0; c < kContexts; ++c) {
            std::vector<uint32_t> counts(alphabet);
            for (unsigned t = 0; t < alphabet; ++t) {
                counts[t] = c == 3 ? 0 : m_random() % (t < 16 ? 4000 : 3);
            }
            std::vector<uint8_t> lengths(alphabet);
            buildLengths(counts.data(), alphabet, lengths.data());
            std::vector<uint8_t> bytes(1024);
            BitWriter out(bytes.data());
            writeTable(lengths.data(), alphabet, out);
            BitReader in(bytes.data(), out.finish());
            ASSERT_NE(readTable(in, alphabet, payload.data(), 0, tables[c]), TableRead::Invalid);
        }
        for (const uint32_t w : widths()) {
            for (const bool both : {false, true}) {
                SCOPED_TRACE("depth " + std::to_string(depth) + " width " + std::to_string(w) +
                             (both ? " two rows" : " one row"));
                // Streams from ample down to a few bytes short of a row.
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
                plain().decodeRows[deep](e1, o1, tables.data(), window1.data(), w, both);
                fast().decodeRows[deep](e2, o2, tables.data(), window2.data(), w, both);
                ASSERT_EQ(window1, window2);
                ASSERT_EQ(e1.consumed(), e2.consumed());
                ASSERT_EQ(o1.consumed(), o2.consumed());
            }
        }
    }
}

TEST_F(Kernels, RowRebuildingMatchesThePortableOne) {
    for (unsigned depth = 8; depth <= kMaxCodedDepth; ++depth) {
        const bool deep = depth > 8;
        const uint32_t mask = (1u << depth) - 1;
        for (const uint32_t w : widths()) {
            for (unsigned a = 0; a < kAlignments; ++a) {
                SCOPED_TRACE("depth " + std::to_string(depth) + " width " + std::to_string(w) +
                             " offset " + std::to_string(a));
                Buffer<uint16_t> above(w, a), residuals(w, (a + 1) % kAlignments);
                fill(above, w, 0xFFFF);
                fill(residuals, w, 0xFFFF);
                Buffer<uint16_t> out1(w, (a + 2) % kAlignments), out2(w, (a + 9) % kAlignments);
                plain().rebuildRow[deep](above.data(), residuals.data(), out1.data(), w, mask);
                fast().rebuildRow[deep](above.data(), residuals.data(), out2.data(), w, mask);
                ASSERT_EQ(out1.contents(), out2.contents());
            }
        }
    }
}

TEST_F(Kernels, PackedRowsMatchThePortableOnes) {
    for (const uint32_t w : widths()) {
        for (unsigned a = 0; a < kAlignments; ++a) {
            SCOPED_TRACE("width " + std::to_string(w) + " offset " + std::to_string(a));
            Buffer<uint16_t> p0(2 * w, a), p1(w, (a + 5) % kAlignments), p2(w, (a + 10) % 16);
            fill(p0, 2 * w, 0xFFFF);
            fill(p1, w, 0xFFFF);
            fill(p2, w, 0xFFFF);
            Buffer<uint8_t> rgb1(3 * w, 2 * a), rgb2(3 * w, 2 * a + 1);
            plain().packRgb8(p0.data(), p1.data(), p2.data(), rgb1.data(), w);
            fast().packRgb8(p0.data(), p1.data(), p2.data(), rgb2.data(), w);
            ASSERT_EQ(rgb1.contents(), rgb2.contents()) << "R G B";
            Buffer<uint8_t> uyvy1(4 * w, 2 * a), uyvy2(4 * w, 2 * a + 1);
            plain().packUyvy8(p0.data(), p1.data(), p2.data(), uyvy1.data(), w);
            fast().packUyvy8(p0.data(), p1.data(), p2.data(), uyvy2.data(), w);
            ASSERT_EQ(uyvy1.contents(), uyvy2.contents()) << "U Y V Y";
        }
    }
}

} // namespace
} // namespace kvcodec
