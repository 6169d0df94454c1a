#include "avi/riff_writer.h"
#include "fileio/errors.h"
#include "fileio/memory_file.h"
#include "fileio/named_cases.h"
#include "riff_reader.h"

#include <gtest/gtest.h>

#include <string>

using namespace IOPlugin;
using korvadin_test::MemoryFile;
using korvadin_test::u32At;

namespace {

const uint32_t kData = riffFourcc("data");

std::string asText(const std::vector<uint8_t>& bytes) {
    return {bytes.begin(), bytes.end()};
}

std::string le32(uint32_t v) {
    return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}

TEST(RiffWriter, ClosingWithNothingOpenWritesNothing) {
    MemoryFile file;
    RiffWriter riff(file);
    const RiffChunkInfo info = riff.closeChunk();
    EXPECT_EQ(info.id, 0u);
    EXPECT_EQ(info.size, 0u);
    EXPECT_EQ(info.listType, 0u);
    EXPECT_EQ(info.position, 0u);
    EXPECT_EQ(file.writes, 0u);
}

TEST(RiffWriter, OddChunkIsPaddedAndCountedInItsList) {
    MemoryFile file;
    ASSERT_EQ(file.write("xy", 2), 2u); // chunks need not start at offset 0
    RiffWriter riff(file);
    ChunkGuard list(riff.openChunk(kListId, 4, true, riffFourcc("abcd")));
    ChunkGuard data(riff.openChunk(kData, 5, false, 0));
    riff.writeData("hello", 5);
    const RiffChunkInfo inner = data.close();
    const RiffChunkInfo outer = list.close();
    EXPECT_EQ(asText(file.bytes), "xyLIST" + le32(18) + "abcddata" + le32(5) + "hello" + '\0');
    EXPECT_EQ(inner.position, 14u);
    EXPECT_EQ(inner.size, 5u);
    EXPECT_EQ(outer.position, 2u);
    EXPECT_EQ(outer.size, 18u);
    EXPECT_EQ(outer.listType, riffFourcc("abcd"));
    EXPECT_EQ(file.tell(), 28);
}

struct PatchCase : korvadin_test::NamedCase {
    uint32_t declared;
    uint32_t written;
    bool patched;
};

class SizePatch : public testing::TestWithParam<PatchCase> {};

TEST_P(SizePatch, OnlyAWrongSizeIsRewritten) {
    const PatchCase& c = GetParam();
    MemoryFile file;
    RiffWriter riff(file);
    ChunkGuard chunk(riff.openChunk(kData, c.declared, false, 0));
    const std::vector<uint8_t> payload(c.written, 7);
    riff.writeData(payload.data(), c.written);
    EXPECT_EQ(chunk.close().size, c.written);
    EXPECT_EQ(u32At(file.bytes, 4), c.written);
    EXPECT_EQ(file.writeAts, c.patched ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(RiffWriter, SizePatch,
                         testing::Values(PatchCase{{"ExactSize"}, 56, 56, false},
                                         PatchCase{{"FewerBytes"}, 56, 50, true},
                                         PatchCase{{"MoreBytes"}, 4, 10, true},
                                         PatchCase{{"Empty"}, 0, 0, false}),
                         korvadin_test::CaseName());

TEST(RiffWriter, NestedListsAddUp) {
    MemoryFile file;
    RiffWriter riff(file);
    ChunkGuard riffList(riff.openChunk(kRiffId, 4, true, riffFourcc("TEST")));
    ChunkGuard empty(riff.openChunk(kListId, 4, true, riffFourcc("none")));
    empty.close();
    ChunkGuard inner(riff.openChunk(kListId, 4, true, riffFourcc("innr")));
    ChunkGuard a(riff.openChunk(kData, 3, false, 0));
    riff.writeData("abc", 3);
    a.close();
    ChunkGuard b(riff.openChunk(kData, 2, false, 0));
    riff.writeData("de", 2);
    b.close();
    EXPECT_EQ(inner.close().size, 4u + 12 + 10);
    EXPECT_EQ(riffList.close().size, 4u + 12 + 8 + 26);
    EXPECT_EQ(file.writeAts, 2u) << "the empty list keeps its declared size 4";

    const auto chunks = korvadin_test::readRiffFile(file.bytes);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].childNames(), (std::vector<std::string>{"LIST:none", "LIST:innr"}));
    EXPECT_EQ(chunks[0].child("LIST:innr").childNames(),
              (std::vector<std::string>{"data", "data"}));
    EXPECT_EQ(chunks[0].end(), file.bytes.size());
}

TEST(RiffWriter, FourccText) {
    EXPECT_EQ(fourccText(riffFourcc("ix00")), "ix00");
    EXPECT_EQ(fourccText(riffFourcc("AVI ")), "AVI ");
    EXPECT_EQ(fourccText(0x7F1F0141), "A[1][31][127]");
    EXPECT_EQ(fourccText(0xFFFFFFFF), "[255][255][255][255]");
    EXPECT_EQ(fourccText(0x7E200000), "[0][0] ~");
}

TEST(RiffWriter, ShortHeaderPushesNothing) {
    MemoryFile file;
    file.injectFault(1, MemoryFile::Fault::Short);
    RiffWriter riff(file);
    try {
        riff.openChunk(kListId, 4, true, riffFourcc("movi"));
        FAIL() << "no exception";
    } catch (const fileio::WriteError& e) {
        EXPECT_STREQ(e.what(), "Write error: size: 12, written: 6");
    }
    EXPECT_EQ(riff.currentChunk(), nullptr);
}

TEST(RiffWriter, ShortPayloadIsCountedAndReported) {
    MemoryFile file;
    file.injectFault(2, MemoryFile::Fault::Short);
    RiffWriter riff(file);
    ChunkGuard chunk(riff.openChunk(kData, 10, false, 0));
    EXPECT_THROW(
        {
            try {
                riff.writeData("0123456789", 10);
            } catch (const fileio::WriteError& e) {
                EXPECT_STREQ(e.what(), "Write error: size: 10, written: 5");
                throw;
            }
        },
        fileio::WriteError);
    ASSERT_NE(riff.currentChunk(), nullptr);
    EXPECT_EQ(riff.currentChunk()->bytesWritten, 13u);
    EXPECT_EQ(chunk.close().size, 5u) << "the size on file describes what is there";
}

struct CloseFailure : korvadin_test::NamedCase {
    uint32_t id;
    uint32_t listType;
    uint32_t payload;
    uint64_t failingWrite; // 3: the size patch (2 payload, 3 patch) or the pad
    const char* message;
};

class CloseFailures : public testing::TestWithParam<CloseFailure> {};

TEST_P(CloseFailures, NameTheChunkAndPopIt) {
    const CloseFailure& c = GetParam();
    MemoryFile file;
    RiffWriter riff(file);
    ChunkGuard outer(riff.openChunk(kRiffId, 4, true, riffFourcc("AVI ")));
    ChunkGuard chunk(
        riff.openChunk(c.id, c.id == kListId ? 4 : c.payload, c.id == kListId, c.listType));
    const std::vector<uint8_t> payload(c.payload, 1);
    riff.writeData(payload.data(), c.payload);
    file.injectFault(c.failingWrite, MemoryFile::Fault::Fail);
    try {
        chunk.close();
        FAIL() << "no exception";
    } catch (const fileio::Error& e) {
        EXPECT_STREQ(e.what(), c.message);
    }
    ASSERT_NE(riff.currentChunk(), nullptr);
    EXPECT_EQ(riff.currentChunk()->listType, riffFourcc("AVI ")) << "the failed chunk is popped";
}

INSTANTIATE_TEST_SUITE_P(
    RiffWriter, CloseFailures,
    testing::Values(
        CloseFailure{
            {"ListPatch"}, kListId, riffFourcc("movi"), 6, 4, "Failed to close riff chunk: movi"},
        CloseFailure{{"PlainPad"}, riffFourcc("00dc"), 0, 5, 4, "Failed to close riff chunk: 00dc"},
        CloseFailure{{"ListPadAfterPatch"},
                     kListId,
                     riffFourcc("odd "),
                     5,
                     5,
                     "Failed to close riff chunk: odd "}),
    korvadin_test::CaseName());

TEST(RiffWriter, PadIsWrittenEvenWhenThePatchFails) {
    MemoryFile file;
    RiffWriter riff(file);
    ChunkGuard list(riff.openChunk(kListId, 4, true, riffFourcc("odd ")));
    riff.writeData("abc", 3);
    file.injectFault(3, MemoryFile::Fault::Fail);
    EXPECT_THROW(list.close(), fileio::Error);
    EXPECT_EQ(file.bytes.size(), 16u) << "12 header, 3 payload, 1 pad";
    EXPECT_EQ(file.bytes.back(), 0);
}

TEST(RiffWriter, GuardsAndCloseAllCompleteWhatIsOpen) {
    MemoryFile file;
    RiffWriter riff(file);
    riff.openChunk(kRiffId, 4, true, riffFourcc("AVI "));
    try {
        ChunkGuard list(riff.openChunk(kListId, 4, true, riffFourcc("hdrl")));
        ChunkGuard chunk(riff.openChunk(kData, 1, false, 0));
        riff.writeData("z", 1);
        throw std::runtime_error("unwinding");
    } catch (const std::runtime_error&) {
    }
    ASSERT_NE(riff.currentChunk(), nullptr);
    EXPECT_EQ(riff.currentChunk()->listType, riffFourcc("AVI "));
    riff.openChunk(kListId, 4, true, riffFourcc("movi"));
    file.injectFault(file.writes + 2, MemoryFile::Fault::Fail); // the movi list's patch
    riff.writeData("ab", 2);
    riff.closeAll();
    EXPECT_EQ(riff.currentChunk(), nullptr);
    EXPECT_EQ(u32At(file.bytes, 4), 4u + 12 + 10 + 12 + 2) << "the RIFF is complete";
    EXPECT_EQ(u32At(file.bytes, 16), 4u + 10) << "the hdrl list was closed by its guard";
}

} // namespace
