#include "fileio/errors.h"
#include "fileio/memory_file.h"
#include "fileio/named_cases.h"
#include "fileio/platform_file.h"
#include "support/files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

using namespace fileio;
using korvadin_test::MemoryFile;
using korvadin_test::ScratchDir;

namespace {

void putFile(const std::string& path, const std::string& content) {
    korvadin_test::writeBytes(path, {content.begin(), content.end()});
}

std::string fileText(const std::string& path) {
    const std::vector<uint8_t> bytes = korvadin_test::readBytes(path);
    return {bytes.begin(), bytes.end()};
}

struct ModeCase : korvadin_test::NamedCase {
    uint32_t mode;
    bool exists;
    bool opens;
    const char* contentAfter; // null: the file must not exist afterwards
};

class OpenModes : public testing::TestWithParam<ModeCase> {};

TEST_P(OpenModes, CreateTruncateOrRefuse) {
    const ModeCase& c = GetParam();
    ScratchDir dir;
    const std::string path = dir.file("f.bin");
    if (c.exists) {
        putFile(path, "0123456789");
    }
    PlatformFile file;
    EXPECT_EQ(file.open(path.c_str(), c.mode), c.opens);
    file.close();
    if (c.contentAfter == nullptr) {
        EXPECT_FALSE(std::filesystem::exists(path));
    } else {
        EXPECT_EQ(fileText(path), c.contentAfter);
    }
}

INSTANTIATE_TEST_SUITE_P(
    File, OpenModes,
    testing::Values(ModeCase{{"WriteCreates"}, Write, false, true, ""},
                    ModeCase{{"WriteTruncates"}, Write, true, true, ""},
                    ModeCase{{"ReadWriteCreates"}, Read | Write, false, true, ""},
                    ModeCase{{"ReadWriteTruncates"}, Read | Write, true, true, ""},
                    ModeCase{{"WriteShareReadTruncates"}, Write | ShareRead, true, true, ""},
                    ModeCase{{"ReadKeepsContent"}, Read, true, true, "0123456789"},
                    ModeCase{{"ReadNeedsExistingFile"}, Read, false, false, nullptr},
                    ModeCase{{"NoModeFails"}, 0, true, false, "0123456789"},
                    ModeCase{{"NoBufferingAloneFails"}, NoBuffering, true, false, "0123456789"},
                    ModeCase{{"ShareReadAloneFails"}, ShareRead, true, false, "0123456789"},
                    ModeCase{{"NoModeCreatesNothing"}, 0, false, false, nullptr}),
    korvadin_test::CaseName());

std::string utf8(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return {text.begin(), text.end()};
}

std::vector<std::string> namesIn(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(utf8(entry.path().filename()));
    }
    return names;
}

// Paths are UTF-8: the file system must get the characters they spell, not their bytes read
// in some other code page.
TEST(File, Utf8PathsKeepTheirCharacters) {
    ScratchDir dir;
    const std::string name = utf8(u8"\u00dcbung \u65e5\u672c \U0001f3ac.avi");
    const std::string path = utf8(dir.path()) + "/" + name;
    PlatformFile file;
    ASSERT_TRUE(file.open(path.c_str(), Write));
    ASSERT_EQ(file.write("abc", 3), 3u);
    file.close();
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{name});
    ASSERT_TRUE(file.open(path.c_str(), Read));
    char buffer[4] = {};
    EXPECT_EQ(file.read(buffer, sizeof buffer), 3u);
    EXPECT_STREQ(buffer, "abc");
}

// Bytes that are not UTF-8 are no reason to refuse: the platform substitutes what it must.
TEST(File, InvalidUtf8IsStillOpened) {
    ScratchDir dir;
    PlatformFile file;
    EXPECT_TRUE(file.open((utf8(dir.path()) + "/bad\xff\xfe.bin").c_str(), Write));
    EXPECT_EQ(namesIn(dir.path()).size(), 1u);
}

TEST(File, PositionsAndWriteAt) {
    ScratchDir dir;
    const std::string path = dir.file("f.bin");
    PlatformFile file;
    ASSERT_TRUE(file.open(path.c_str(), Read | Write));
    ASSERT_EQ(file.write("abcdef", 6), 6u);
    EXPECT_EQ(file.size(), 6);
    EXPECT_EQ(file.writeAt("XY", 2, 1), 2u);
    EXPECT_EQ(file.tell(), 6);
    EXPECT_EQ(file.writeAt("Q", 1, -3), 0u) << "an unreachable offset writes nothing";
    EXPECT_EQ(file.tell(), 6);
    ASSERT_TRUE(file.seek(2));
    char buffer[8] = {};
    EXPECT_EQ(file.read(buffer, sizeof buffer), 4u) << "a read stops at the end of the file";
    EXPECT_EQ(std::string(buffer, 4), "Ydef");
    ASSERT_EQ(file.write("g", 1), 1u);
    file.close();
    EXPECT_EQ(fileText(path), "aXYdefg");
}

TEST(File, WriteAtRestoresThePositionAfterAShortWrite) {
    MemoryFile file;
    ASSERT_EQ(file.write("abcdef", 6), 6u);
    file.injectFault(2, MemoryFile::Fault::Short);
    EXPECT_EQ(file.writeAt("WXYZ", 4, 1), 2u);
    EXPECT_EQ(file.tell(), 6);
    EXPECT_EQ(std::string(file.bytes.begin(), file.bytes.end()), "aWXdef");
}

TEST(File, FailedReopenClosesAndDestructionReleases) {
    ScratchDir dir;
    const std::string first = dir.file("first.bin");
    const std::string second = dir.file("second.bin");
    {
        PlatformFile file;
        ASSERT_TRUE(file.open(first.c_str(), Write));
        ASSERT_EQ(file.write("abc", 3), 3u);
        EXPECT_FALSE(file.open(dir.file("missing.bin").c_str(), Read));
        EXPECT_FALSE(file.open("", Write));
        char byte = 0;
        EXPECT_EQ(file.write("d", 1), 0u);
        EXPECT_EQ(file.read(&byte, 1), 0u);
        EXPECT_EQ(file.tell(), 0);
        EXPECT_FALSE(file.seek(0));
        EXPECT_EQ(file.writeAt("d", 1, 0), 0u);
        PlatformFile other;
        EXPECT_TRUE(other.open(first.c_str(), Read)) << "the earlier file must have been released";
        ASSERT_TRUE(file.open(second.c_str(), Write));
    }
    EXPECT_EQ(fileText(first), "abc");
    PlatformFile again;
    EXPECT_TRUE(again.open(second.c_str(), Write)) << "destruction must release the file";
}

struct ShareCase : korvadin_test::NamedCase {
    uint32_t first;
    uint32_t second;
    bool secondOpens;
};

class Sharing : public testing::TestWithParam<ShareCase> {};

TEST_P(Sharing, SecondOpenerWhileTheFirstHoldsTheFile) {
    const ShareCase& c = GetParam();
    ScratchDir dir;
    const std::string path = dir.file("f.bin");
    putFile(path, "keep");
    PlatformFile first;
    ASSERT_TRUE(first.open(path.c_str(), c.first));
    if (c.first & Write) {
        ASSERT_EQ(first.write("mine", 4), 4u);
    }
    PlatformFile second;
    EXPECT_EQ(second.open(path.c_str(), c.second), c.secondOpens);
    second.close();
    // Read only once the first opener is gone: without sharing it keeps every reader out.
    first.close();
    EXPECT_EQ(fileText(path).size(), 4u) << "a refused opener must not truncate the file";
    EXPECT_TRUE(second.open(path.c_str(), c.second));
}

INSTANTIATE_TEST_SUITE_P(
    File, Sharing,
    testing::Values(
        ShareCase{{"WriterRefusesReaders"}, Write, Read | ShareRead, false},
        ShareCase{{"SharingWriterRefusesReaders"}, Write | ShareRead, Read | ShareRead, false},
        ShareCase{{"WriterRefusesWriters"}, Write, Write, false},
        ShareCase{{"SharingReadersCoexist"}, Read | ShareRead, Read | ShareRead, true},
        ShareCase{{"NonSharingReaderIsRefused"}, Read | ShareRead, Read, false},
        ShareCase{{"NonSharingReaderRefusesOthers"}, Read, Read | ShareRead, false},
        ShareCase{{"SharingReaderRefusesWriters"}, Read | ShareRead, Write | ShareRead, false}),
    korvadin_test::CaseName());

TEST(FileErrors, MessagesAndChain) {
    const WriteError write(10, 3);
    const WriteAtError writeAt(-5, 4, 0);
    const WriteAtError large(INT64_MAX, UINT64_MAX, 0);
    EXPECT_STREQ(write.what(), "Write error: size: 10, written: 3");
    EXPECT_STREQ(writeAt.what(), "Write at error: offset: -5, size: 4, written: 0");
    EXPECT_STREQ(large.what(), "Write at error: offset: 9223372036854775807, size: "
                               "18446744073709551615, written: 0");
    EXPECT_EQ(writeAt.offset(), -5);
    EXPECT_EQ(writeAt.size(), 4u);
    try {
        throw WriteAtError(7, 2, 1);
    } catch (const std::runtime_error& e) {
        EXPECT_NE(dynamic_cast<const WriteError*>(&e), nullptr);
        EXPECT_STREQ(e.what(), "Write at error: offset: 7, size: 2, written: 1");
    }
}

} // namespace
