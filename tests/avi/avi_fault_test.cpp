// Every write of a small file, made to fail or to come up short in turn: the failure must
// reach the caller as a file error with one of its fixed texts, finalize must still rewrite every
// header, and nothing may crash or leak (the sanitizer build runs this too).
#include "avi/avi_writer.h"
#include "avi_check.h"
#include "fileio/errors.h"
#include "fileio/memory_file.h"

#include <gtest/gtest.h>

#include <cstdio>

using namespace IOPlugin;
using namespace korvadin_test;

namespace {

// The texts that file errors may carry on their way out of the writer.
bool isFileErrorText(const std::string& text) {
    int end = 0;
    std::sscanf(text.c_str(), "Write error: size: %*[0-9], written: %*[0-9]%n", &end);
    const std::string close = "Failed to close riff chunk: ";
    return static_cast<size_t>(end) == text.size() ||
           (text.starts_with(close) && text.size() > close.size()) ||
           text == "AviWriter::finalize: failed to correctly finalize avi";
}

struct Outcome {
    std::vector<std::string> errors;
    bool headerWritten = false;
    uint64_t writesBeforeFinalize = 0;
    uint64_t rewritesInFinalize = 0;
};

// Goes on writing after failed chunks, as a host may, so that the recovery paths run too.
Outcome writeFile(MemoryFile& file) {
    Outcome out;
    AviWriter writer(file, kSmallLimits);
    addStreams(writer, {16, 24});
    const std::vector<ScriptedChunk> script = threeStreamScript(false);
    const auto attempt = [&](const std::function<void()>& call) {
        try {
            call();
            return true;
        } catch (const fileio::Error& e) {
            out.errors.push_back(e.what());
        } catch (const std::exception& e) {
            ADD_FAILURE() << "not a file error: " << e.what();
        }
        return false;
    };
    out.headerWritten = attempt([&] { writer.writeHeader(); });
    if (out.headerWritten) {
        for (size_t n = 0; n < script.size(); ++n) {
            const std::vector<uint8_t> data = payloadOf(n, script[n].size);
            attempt([&] {
                writer.writeChunk(script[n].stream, data.data(), script[n].size, script[n].duration,
                                  script[n].keyFrame);
            });
        }
    }
    out.writesBeforeFinalize = file.writes;
    const uint64_t writeAts = file.writeAts;
    attempt([&] { writer.finalize(); });
    out.rewritesInFinalize = file.writeAts - writeAts;
    return out;
}

TEST(AviWriterFaults, EveryFailedWriteIsReportedAndFinalizeRunsToItsEnd) {
    MemoryFile clean;
    const Outcome reference = writeFile(clean);
    ASSERT_TRUE(reference.errors.empty());
    checkAvi(clean.bytes, threeStreamScript(false), kSmallLimits);
    ASSERT_GE(viewAvi(clean.bytes).riffs.size(), 3u);
    const uint64_t totalWrites = clean.writes;
    RecordProperty("writes", std::to_string(totalWrites));
    // avih, dmlh, and strh and indx of each of the three streams.
    const uint64_t headerRewrites = 2 + 2 * 3;

    for (const auto fault : {MemoryFile::Fault::Fail, MemoryFile::Fault::Short}) {
        for (uint64_t k = 1; k <= totalWrites; ++k) {
            SCOPED_TRACE("write " + std::to_string(k) +
                         (fault == MemoryFile::Fault::Fail ? " fails" : " is short"));
            MemoryFile file;
            file.injectFault(k, fault);
            const Outcome out = writeFile(file);
            ASSERT_FALSE(out.errors.empty()) << "the failure went unreported";
            for (const std::string& error : out.errors) {
                EXPECT_TRUE(isFileErrorText(error)) << error;
            }
            if (out.headerWritten) {
                EXPECT_GE(out.rewritesInFinalize, headerRewrites);
            }
            if (k > out.writesBeforeFinalize) {
                EXPECT_EQ(out.errors.back(),
                          "AviWriter::finalize: failed to correctly finalize avi");
            }
        }
    }
}

TEST(AviWriterFaults, FailedChunkLeavesNoIndexEntry) {
    MemoryFile file;
    AviWriter writer(file);
    addStreams(writer, {});
    writer.writeHeader();
    const std::vector<ScriptedChunk> script = {{0, 10, 1, true}, {0, 11, 1, true}};
    writeScript(writer, script);
    file.injectFault(file.writes + 2, MemoryFile::Fault::Short); // the next chunk's payload
    EXPECT_THROW(writer.writeChunk(0, "0123456789", 10, 1, true), fileio::WriteError);
    writer.writeChunk(0, "abc", 3, 1, true);
    writer.finalize();

    const AviView view = viewAvi(file.bytes);
    EXPECT_EQ(u32At(file.bytes, view.streams[0].strh + 32), 3u) << "dwLength";
    EXPECT_EQ(view.riffs[0].child("idx1").size, 3u * 16);
    EXPECT_EQ(view.riffs[0].child("LIST:movi").child("00dc", 2).size, 5u)
        << "the failed chunk's size says what reached the file";
    EXPECT_EQ(u32At(file.bytes, view.riffs[0].child("LIST:movi").child("ix00").dataOffset() + 4),
              3u);
}

} // namespace
