#include "host/avi_reader.h"
#include "media_files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <stdexcept>
#include <tuple>

using host::AviReader;
using media_test::scratch;
using media_test::writeBytes;

namespace {

// Little-endian words and four-character codes, appended.
struct Bytes {
    std::vector<uint8_t> v;
    Bytes& u16(uint16_t x) { return raw(&x, 2); }
    Bytes& u32(uint32_t x) { return raw(&x, 4); }
    Bytes& u64(uint64_t x) { return raw(&x, 8); }
    Bytes& u32s(std::initializer_list<uint32_t> xs) {
        for (uint32_t x : xs)
            u32(x);
        return *this;
    }
    Bytes& id(const char* s) { return raw(s, 4); }
    Bytes& zeros(size_t n) {
        v.resize(v.size() + n);
        return *this;
    }
    Bytes& raw(const void* p, size_t n) {
        auto b = static_cast<const uint8_t*>(p);
        v.insert(v.end(), b, b + n);
        return *this;
    }
};

// Builds nested RIFF structures the way the plug-in's writer lays them out.
class RiffBuilder {
public:
    std::vector<uint8_t> bytes;

    size_t begin(const char* id, const char* type) {
        m_open.push_back(append(Bytes{}.id(id).u32(0).id(type)));
        return m_open.back();
    }
    void end() {
        patch32(m_open.back() + 4, uint32_t(bytes.size() - m_open.back() - 8));
        m_open.pop_back();
    }
    // Returns the header position; pads odd sizes.
    size_t chunk(const char* id, const std::vector<uint8_t>& data) {
        return append(Bytes{}
                          .id(id)
                          .u32(uint32_t(data.size()))
                          .raw(data.data(), data.size())
                          .zeros(data.size() & 1));
    }
    void patch32(size_t at, uint32_t v) { std::memcpy(&bytes[at], &v, 4); }
    void patch64(size_t at, uint64_t v) { std::memcpy(&bytes[at], &v, 8); }

private:
    size_t append(const Bytes& b) {
        bytes.insert(bytes.end(), b.v.begin(), b.v.end());
        return bytes.size() - b.v.size();
    }
    std::vector<size_t> m_open;
};

std::vector<uint8_t> fill(size_t n, uint8_t seed) {
    std::vector<uint8_t> d(n);
    for (size_t i = 0; i < n; ++i)
        d[i] = uint8_t(seed + i);
    return d;
}

struct Written {
    uint32_t stream, size;
    bool key;
    size_t header; // file offset of the chunk header
};

// Video stream 0 ('K8RG'), audio stream 1 (16-bit stereo), two RIFFs with standard indexes,
// idx1 and super indexes with room for three entries.
struct SampleAvi {
    RiffBuilder b;
    std::vector<Written> chunks;
    std::vector<size_t> ixPos; // ix00, ix01 of the first RIFF, then of the second
    size_t indxData[2] = {};   // content positions of the super indexes
    size_t idx1Data = 0;       // content position of idx1
    size_t firstMovi = 0;

    SampleAvi() {
        b.begin("RIFF", "AVI ");
        b.begin("LIST", "hdrl");
        b.chunk("avih", Bytes{}.u32s({40000, 0, 0, 0x10, 2, 0, 2, 20, 64, 48, 0, 0, 0, 0}).v);
        streamList("vids", "K8RG", 1, 25, 3, 11, 0, Bytes{}.u32(44).zeros(36).u32(0xABCD).v, 0);
        streamList("auds", "\0\0\0\0", 4, 192000, 3, 8, 4,
                   Bytes{}.u16(1).u16(2).u32(48000).u32(192000).u16(4).u16(16).v, 1);
        b.begin("LIST", "odml");
        b.chunk("dmlh", Bytes{}.u32(3).zeros(244).v);
        b.end();
        b.end();
        firstMovi = b.begin("LIST", "movi");
        data(0, 11, true);
        data(1, 8, false);
        data(0, 6, true);
        standardIndexes(firstMovi, 0);
        b.end();
        Bytes idx1;
        for (const auto& c : chunks)
            idx1.id(c.stream ? "01wb" : "00dc")
                .u32(c.key ? 0x10 : 0)
                .u32(uint32_t(c.header - firstMovi - 8))
                .u32(c.size);
        idx1Data = b.chunk("idx1", idx1.v) + 8;
        b.end();
        b.begin("RIFF", "AVIX");
        size_t movi = b.begin("LIST", "movi");
        size_t first = chunks.size();
        data(0, 5, true);
        data(1, 4, false);
        standardIndexes(movi, first);
        b.end();
        b.end();
        // Super indexes: one entry per standard index, durations in frames and sample frames.
        const uint32_t durations[2][2] = {{2, 2}, {1, 1}};
        const uint32_t counts[2][2] = {{2, 1}, {1, 1}};
        for (uint32_t s = 0; s < 2; ++s) {
            b.patch32(indxData[s] + 4, 2);
            for (uint32_t r = 0; r < 2; ++r) {
                size_t e = indxData[s] + 24 + 16 * r;
                b.patch64(e, ixPos[2 * r + s]);
                b.patch32(e + 8, 32 + 8 * counts[r][s]);
                b.patch32(e + 12, durations[r][s]);
            }
        }
    }

    void streamList(const char* type, const char* handler, uint32_t scale, uint32_t rate,
                    uint32_t length, uint32_t buffer, uint32_t sampleSize,
                    const std::vector<uint8_t>& format, uint32_t index) {
        b.begin("LIST", "strl");
        b.chunk("strh",
                Bytes{}
                    .id(type)
                    .id(handler)
                    .u32s({0, 0, 0, scale, rate, 0, length, buffer, 10000, sampleSize, 0, 0})
                    .v);
        b.chunk("strf", format);
        indxData[index] =
            b.chunk("indx",
                    Bytes{}.u16(4).u16(0).u32(0).id(index ? "01wb" : "00dc").zeros(12 + 3 * 16).v) +
            8;
        b.end();
    }

    void data(uint32_t stream, uint32_t size, bool key) {
        size_t pos = b.chunk(stream ? "01wb" : "00dc", fill(size, uint8_t(chunks.size() * 16)));
        chunks.push_back({stream, size, key, pos});
    }

    void standardIndexes(size_t movi, size_t first) {
        for (uint32_t s = 0; s < 2; ++s) {
            Bytes ix;
            uint32_t n = 0;
            for (size_t i = first; i < chunks.size(); ++i)
                n += chunks[i].stream == s;
            ix.u16(2).u16(0x0100).u32(n).id(s ? "01wb" : "00dc").u64(movi).u32(0);
            for (size_t i = first; i < chunks.size(); ++i)
                if (chunks[i].stream == s)
                    ix.u32(uint32_t(chunks[i].header + 8 - movi))
                        .u32(chunks[i].size | (chunks[i].key ? 0 : 0x80000000u));
            ixPos.push_back(b.chunk(s ? "ix01" : "ix00", ix.v));
        }
    }
};

std::string save(const std::vector<uint8_t>& bytes, const std::string& name = "t.avi") {
    auto path = scratch(name);
    writeBytes(path, bytes);
    return path.string();
}

bool mentions(const std::vector<std::string>& problems, const std::string& text) {
    for (const auto& p : problems)
        if (p.find(text) != std::string::npos)
            return true;
    return false;
}

std::string joined(const std::vector<std::string>& problems) {
    std::string all;
    for (const auto& p : problems)
        all += p + "\n";
    return all;
}

TEST(AviReader, ReadsEveryPartOfAWellFormedFile) {
    SampleAvi avi;
    AviReader r(save(avi.b.bytes));
    EXPECT_TRUE(r.problems().empty()) << joined(r.problems());
    ASSERT_EQ(r.riffs().size(), 2u);
    EXPECT_EQ(r.riffs()[0].type, "AVI ");
    EXPECT_EQ(r.riffs()[0].offset, 0u);
    EXPECT_EQ(r.riffs()[1].type, "AVIX");
    EXPECT_EQ(r.riffs()[1].offset + 8 + r.riffs()[1].size, avi.b.bytes.size());
    ASSERT_TRUE(r.mainHeader());
    const auto& m = *r.mainHeader();
    EXPECT_EQ(std::tuple(m.microSecPerFrame, m.totalFrames, m.streams, m.suggestedBufferSize,
                         m.width, m.height, r.dmlhTotalFrames()),
              std::tuple(40000u, 2u, 2u, 20u, 64u, 48u, std::optional(3u)));

    ASSERT_EQ(r.streams().size(), 2u);
    const auto& v = r.streams()[0];
    EXPECT_EQ(std::tuple(v.fccType, v.fccHandler, v.indexChunkId, v.format.size()),
              std::tuple("vids", "K8RG", "00dc", 44u));
    EXPECT_EQ(std::tuple(v.rate, v.length, v.suggestedBufferSize, v.superIndexInUse),
              std::tuple(25u, 3u, 11u, 2u));
    ASSERT_EQ(v.superIndex.size(), 2u);
    const auto& second = v.superIndex[1];
    EXPECT_EQ(std::tuple(second.offset, second.size, second.duration),
              std::tuple(avi.ixPos[2], 40u, 1u));
    const auto& a = r.streams()[1];
    EXPECT_EQ(std::tuple(a.fccType, a.scale, a.sampleSize, a.format.size()),
              std::tuple("auds", 4u, 4u, 16u));

    std::vector<AviReader::Chunk> found;
    for (const auto& s : r.streams())
        found.insert(found.end(), s.chunks.begin(), s.chunks.end());
    ASSERT_EQ(found.size(), avi.chunks.size());
    std::sort(found.begin(), found.end(), [](auto& x, auto& y) { return x.offset < y.offset; });
    for (size_t i = 0; i < found.size(); ++i) {
        SCOPED_TRACE(i);
        const auto& want = avi.chunks[i];
        const auto& c = found[i];
        EXPECT_EQ(std::tuple(c.offset, c.size, c.stream, c.keyFrame, c.ixKeyFrame, c.riff,
                             c.idx1KeyFrame.has_value()),
                  std::tuple(want.header + 8, want.size, want.stream, want.key,
                             std::optional(want.key), i < 3 ? 0u : 1u, i < 3));
        EXPECT_EQ(r.readChunk(c), fill(want.size, uint8_t(i * 16)));
    }
}

struct Damage {
    const char* name;
    std::function<void(SampleAvi&)> apply;
    std::vector<std::string> problems; // each must appear
};

TEST(AviReader, DamagedFilesListTheirProblemsAndStillShowWhatIsThere) {
    const std::vector<Damage> cases{
        {"truncated in the second RIFF",
         [](SampleAvi& a) { a.b.bytes.resize(a.chunks[3].header + 6); },
         {"chunk 'RIFF' at offset", "declares 110 bytes, past the end of its parent",
          "6 stray bytes"}},
        {"movi size past its RIFF",
         [](SampleAvi& a) { a.b.patch32(a.firstMovi + 4, 0x7FFFFFF0); },
         {"past the end of its parent", "unexpected chunk 'idx1'", "the first RIFF has no idx1"}},
        {"zero-size RIFF after the end",
         [](SampleAvi& a) {
             const uint8_t empty[12] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'A', 'V', 'I', 'X'};
             a.b.bytes.insert(a.b.bytes.end(), empty, empty + 12);
         },
         {"list at offset 1080 is too short to hold its type"}},
        {"data chunk size zeroed",
         [](SampleAvi& a) { a.b.patch32(a.chunks[0].header + 4, 0); },
         {"is in no standard index"}},
        {"idx1 offset off by two",
         [](SampleAvi& a) { a.b.patch32(a.idx1Data + 8, 6); },
         {"idx1 entry 0", "is not in idx1"}},
        {"standard index size wrong",
         [](SampleAvi& a) { a.b.patch32(a.ixPos[0] + 8 + 28, 12); },
         {"entry 0 (12 bytes", "is in no standard index"}},
        {"super index pointing elsewhere",
         [](SampleAvi& a) { a.b.patch64(a.indxData[1] + 24, 12345); },
         {"super index entry 0 of stream 1", "is in no super index"}},
        {"super index claims too many entries",
         [](SampleAvi& a) { a.b.patch32(a.indxData[0] + 4, 1000); },
         {"1000 entries in use but room for 3"}},
        {"key frame flags disagree",
         [](SampleAvi& a) { a.b.patch32(a.idx1Data + 4, 0); },
         {"disagree about the key frame"}},
    };
    for (const auto& c : cases) {
        SampleAvi avi;
        c.apply(avi);
        AviReader r(save(avi.b.bytes));
        for (const auto& p : c.problems)
            EXPECT_TRUE(mentions(r.problems(), p)) << c.name << ": no '" << p << "' in\n"
                                                   << joined(r.problems());
        EXPECT_FALSE(r.streams().empty()) << c.name;
    }
    // What precedes the damage is still read, also inside a list that was cut short.
    SampleAvi cut;
    cut.b.bytes.resize(cut.chunks[4].header + 6);
    AviReader r(save(cut.b.bytes));
    EXPECT_EQ(r.streams()[0].chunks.size(), 3u);
    EXPECT_EQ(r.streams()[1].chunks.size(), 1u);
}

TEST(AviReader, RefusesWhatIsNoAvi) {
    for (const auto& bytes :
         {std::vector<uint8_t>{}, std::vector<uint8_t>(64, 0),
          std::vector<uint8_t>{'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V', 'E'}}) {
        media_test::expectFailure([&] { AviReader(save(bytes, "no.avi")); },
                                  {"no.avi': not an AVI file"});
    }
    EXPECT_THROW(AviReader(scratch("missing.avi").string()), std::runtime_error);
}

// An independent writer's file: its legacy index must agree with the chunks the walk finds.
TEST(AviReader, AgreesWithTheIndexOfAnFfmpegFile) {
    SKIP_WITHOUT_FFMPEG();
    const auto path = scratch("ffmpeg.avi");
    ASSERT_TRUE(media_test::ffmpeg("-f lavfi -i testsrc2=s=64x48:d=0.4 -f lavfi -i sine=d=0.4 "
                                   "-c:v rawvideo -pix_fmt bgr24 -c:a pcm_s16le " +
                                   path.string()));
    AviReader r(path.string());
    ASSERT_EQ(r.streams().size(), 2u);
    EXPECT_EQ(r.streams()[0].fccType, "vids");
    EXPECT_EQ(r.streams()[0].chunks.size(), 10u);
    EXPECT_EQ(r.streams()[1].fccType, "auds");
    EXPECT_EQ(r.streams()[1].length, 17640u);
    for (const auto& s : r.streams())
        for (const auto& c : s.chunks)
            EXPECT_TRUE(c.idx1KeyFrame.has_value());
    EXPECT_EQ(r.readChunk(r.streams()[0].chunks[9]).size(), 64u * 48 * 3);
    EXPECT_FALSE(mentions(r.problems(), "idx1")) << joined(r.problems());
}

// Overwrites words of a valid file with hostile values: the reader must end, stay inside the
// file and report through problems or std::runtime_error only.
TEST(AviReader, SurvivesCorruptedSizesAndOffsets) {
    const SampleAvi avi;
    const uint32_t values[] = {0, 1, 3, 4, 7, 8, 0x7FFFFFFF, 0x80000000, 0xFFFFFFF8, 0xFFFFFFFF};
    uint32_t seed = 1;
    for (int round = 0; round < 250; ++round) {
        auto bytes = avi.b.bytes;
        for (int k = 0; k < 1 + round % 3; ++k) {
            seed = seed * 1664525u + 1013904223u;
            size_t at = (seed >> 8) % (bytes.size() / 4) * 4;
            uint32_t v = values[(seed >> 4) % std::size(values)];
            std::memcpy(&bytes[at], &v, 4);
        }
        try {
            AviReader r(save(bytes));
            for (const auto& s : r.streams())
                for (const auto& c : s.chunks)
                    EXPECT_EQ(r.readChunk(c).size(), c.size);
        } catch (const std::runtime_error&) {
        }
    }
}

// Offsets beyond 4 GiB: a sparse file whose third RIFF begins past the 32-bit range.
TEST(AviReader, FollowsRiffsBeyondFourGigabytes) {
    SampleAvi avi;
    const auto path = scratch("big.avi");
    writeBytes(path, avi.b.bytes);
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    uint64_t pos = avi.b.bytes.size();
    auto put = [&](uint64_t at, const std::vector<uint8_t>& b) {
        f.seekp(std::streamoff(at));
        f.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
    };
    // An AVIX RIFF with its movi list, and a chunk header.
    const auto avix = [](uint32_t riffSize, uint32_t chunkSize) {
        Bytes b;
        b.id("RIFF").u32(riffSize).id("AVIX").id("LIST").u32(riffSize - 12).id("movi");
        return b.id("00dc").u32(chunkSize);
    };
    // One of almost 4 GiB holding one huge chunk, left as a hole.
    const uint32_t big = 0xFFFFFF00u;
    put(pos, avix(big, big - 24).v);
    pos += 8 + uint64_t{big};
    ASSERT_GT(pos, uint64_t{1} << 32);
    const auto payload = fill(9, 0x50);
    put(pos, avix(4 + 12 + 8 + 10, 9).raw(payload.data(), 9).zeros(1).v);
    f.close();

    {
        // Closed before the file is removed: Windows refuses to delete an open file.
        AviReader r(path.string());
        ASSERT_EQ(r.riffs().size(), 4u);
        EXPECT_EQ(r.riffs()[3].offset, pos);
        const auto& chunks = r.streams()[0].chunks;
        ASSERT_EQ(chunks.size(), 5u);
        EXPECT_EQ(chunks[3].size, big - 24);
        EXPECT_EQ(chunks[4].offset, pos + 12 + 12 + 8);
        EXPECT_EQ(r.readChunk(chunks[4]), payload);
        // Only the missing indexes of the two new chunks are problems.
        EXPECT_EQ(r.problems().size(), 2u) << joined(r.problems());
    }
    std::filesystem::remove(path);
}

} // namespace
