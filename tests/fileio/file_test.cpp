// The file layer as the container uses it: an output file created or replaced, held for itself
// while it is written, named in UTF-8, written front to back with headers patched in place, and
// released when it is closed, reopened or destroyed.
#include "fileio/memory_file.h"
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

std::string text(const std::string& path) {
    const std::vector<uint8_t> bytes = korvadin_test::readBytes(path);
    return {bytes.begin(), bytes.end()};
}

std::string utf8(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return {text.begin(), text.end()};
}

// A new file is created, an existing one emptied; no other writer or reader gets the file while
// it is written, and one that is refused does not empty it.
TEST(File, WriteCreatesOrReplacesAndKeepsTheFileToItself) {
    ScratchDir dir;
    const std::string path = dir.file("f.bin");
    for (int round = 0; round < 2; ++round) {
        PlatformFile file;
        ASSERT_TRUE(file.open(path.c_str(), Write));
        EXPECT_EQ(file.size(), 0);
        ASSERT_EQ(file.write("mine", 4), 4u);
        for (const uint32_t other : {uint32_t(Write), uint32_t(Read | ShareRead)}) {
            PlatformFile second;
            EXPECT_FALSE(second.open(path.c_str(), other)) << other;
        }
        file.close();
        EXPECT_EQ(text(path), "mine");
    }
}

// Paths are UTF-8: the file system must get the characters they spell, not their bytes read
// in some other code page; bytes that are not UTF-8 are no reason to refuse.
TEST(File, Utf8PathsKeepTheirCharacters) {
    ScratchDir dir;
    const std::string name = utf8(u8"\u00dcbung \u65e5\u672c \U0001f3ac.avi");
    PlatformFile file;
    ASSERT_TRUE(file.open((utf8(dir.path()) + "/" + name).c_str(), Write));
    ASSERT_EQ(file.write("abc", 3), 3u);
    file.close();
    EXPECT_TRUE(file.open((utf8(dir.path()) + "/bad\xff\xfe.bin").c_str(), Write));
    file.close();
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        names.push_back(utf8(entry.path().filename()));
    }
    EXPECT_EQ(names.size(), 2u);
    EXPECT_NE(std::find(names.begin(), names.end(), name), names.end());
}

// A patch lands where it is aimed and the file goes on where it was, also when the patch comes
// up short or cannot reach its place.
TEST(File, WriteAtPatchesAndRestoresThePosition) {
    ScratchDir dir;
    const std::string path = dir.file("f.bin");
    PlatformFile file;
    ASSERT_TRUE(file.open(path.c_str(), Write));
    ASSERT_EQ(file.write("abcdef", 6), 6u);
    EXPECT_EQ(file.writeAt("XY", 2, 1), 2u);
    EXPECT_EQ(file.writeAt("Q", 1, -3), 0u) << "an unreachable offset writes nothing";
    EXPECT_EQ(std::tuple(file.tell(), file.size()), std::tuple(6, 6));
    ASSERT_EQ(file.write("g", 1), 1u);
    file.close();
    EXPECT_EQ(text(path), "aXYdefg");

    MemoryFile memory;
    ASSERT_EQ(memory.write("abcdef", 6), 6u);
    memory.injectFault(2, MemoryFile::Fault::Short);
    EXPECT_EQ(memory.writeAt("WXYZ", 4, 1), 2u);
    EXPECT_EQ(memory.tell(), 6);
    EXPECT_EQ(std::string(memory.bytes.begin(), memory.bytes.end()), "aWXdef");
}

TEST(File, FailedReopenClosesAndDestructionReleases) {
    ScratchDir dir;
    const std::string first = dir.file("first.bin"), second = dir.file("second.bin");
    {
        PlatformFile file;
        ASSERT_TRUE(file.open(first.c_str(), Write));
        ASSERT_EQ(file.write("abc", 3), 3u);
        EXPECT_FALSE(file.open("", Write));
        EXPECT_EQ(
            std::tuple(file.write("d", 1), file.tell(), file.seek(0), file.writeAt("d", 1, 0)),
            std::tuple(0u, 0, false, 0u));
        PlatformFile other;
        EXPECT_TRUE(other.open(first.c_str(), Write)) << "the earlier file must have been released";
        other.close();
        ASSERT_TRUE(file.open(second.c_str(), Write));
    }
    PlatformFile again;
    EXPECT_TRUE(again.open(second.c_str(), Write)) << "destruction must release the file";
}

} // namespace
