#include "avi/riff_writer.h"
#include "fileio/errors.h"
#include "fileio/memory_file.h"

#include <gtest/gtest.h>

#include <tuple>

using namespace IOPlugin;
using korvadin_test::MemoryFile;

namespace {

// One script, failing at each kind of write: RIFF "AVI " (write 1), LIST "odd " (2), chunk
// 00dc header (3), its 3 bytes (4), its pad (5), one more byte in the list (6), the list's
// size patch (7) and its pad (8).
TEST(RiffWriter, FailuresAreReportedAndKeepTheStackInStepWithTheScopes) {
    using Fault = MemoryFile::Fault;
    const std::tuple<uint64_t, Fault, const char*, uint64_t> cases[] = {
        {2, Fault::Short, "Write error: size: 12, written: 6", 2},
        {4, Fault::Short, "Write error: size: 3, written: 1", 4},
        {5, Fault::Fail, "Failed to close riff chunk: 00dc", 5},
        // A failed size patch still writes the pad.
        {7, Fault::Fail, "Failed to close riff chunk: odd ", 8},
        {8, Fault::Fail, "Failed to close riff chunk: odd ", 8}};
    for (const auto& [failingWrite, fault, message, writesAtLeast] : cases) {
        MemoryFile file;
        file.injectFault(failingWrite, fault);
        RiffWriter riff(file);
        riff.openChunk(kRiffId, 4, true, riffFourcc("AVI "));
        try {
            ChunkGuard list(riff.openChunk(kListId, 4, true, riffFourcc("odd ")));
            ChunkGuard chunk(riff.openChunk(riffFourcc("00dc"), 3, false, 0));
            riff.writeData("abc", 3);
            chunk.close();
            riff.writeData("z", 1);
            list.close();
            ADD_FAILURE() << "no exception for " << message;
        } catch (const fileio::Error& e) {
            EXPECT_STREQ(e.what(), message);
        }
        EXPECT_GE(file.writes, writesAtLeast);
        ASSERT_NE(riff.currentChunk(), nullptr);
        EXPECT_EQ(riff.currentChunk()->listType, riffFourcc("AVI "));
        riff.closeAll();
        EXPECT_EQ(riff.currentChunk(), nullptr);
    }
}

} // namespace
