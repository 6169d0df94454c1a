// Every write of a small file, made to fail or to come up short in turn: the failure must
// reach the caller as a file error with one of its fixed texts, finalize must still rewrite every
// header, and nothing may crash or leak (the sanitizer build runs this too).
#include "avi/avi_writer.h"
#include "avi_script.h"
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
    for (size_t n = 0; out.headerWritten && n < script.size(); ++n) {
        const ScriptedChunk& c = script[n];
        attempt([&] {
            writer.writeChunk(c.stream, payloadOf(n, c.size).data(), c.size, c.duration,
                              c.keyFrame);
        });
    }
    out.writesBeforeFinalize = file.writes;
    const uint64_t writeAts = file.writeAts;
    attempt([&] { writer.finalize(); });
    out.rewritesInFinalize = file.writeAts - writeAts;
    return out;
}

TEST(AviWriterFaults, EveryFailedWriteIsReportedAndFinalizeRunsToItsEnd) {
    MemoryFile clean;
    ASSERT_TRUE(writeFile(clean).errors.empty());
    ASSERT_GE(checkAvi(clean.bytes, threeStreamScript(false), kSmallLimits)->riffs().size(), 3u);
    // avih, dmlh, and strh and indx of each of the three streams.
    const uint64_t headerRewrites = 2 + 2 * 3;

    for (const auto fault : {MemoryFile::Fault::Fail, MemoryFile::Fault::Short}) {
        for (uint64_t k = 1; k <= clean.writes; ++k) {
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

// A chunk cut short keeps what reached the file, under a header that says so, but no index
// entry and no frame in the stream's length.
TEST(AviWriterFaults, FailedChunkLeavesNoIndexEntry) {
    MemoryFile file;
    AviWriter writer(file);
    addStreams(writer, {});
    writer.writeHeader();
    writeScript(writer, {{0, 10, 1, true}, {0, 11, 1, true}});
    file.injectFault(file.writes + 2, MemoryFile::Fault::Short); // the next chunk's payload
    EXPECT_THROW(writer.writeChunk(0, "0123456789", 10, 1, true), fileio::WriteError);
    writer.writeChunk(0, "abc", 3, 1, true);
    writer.finalize();

    const host::AviReader avi(host::memoryInput(file.bytes));
    const auto& stream = avi.streams().at(0);
    ASSERT_EQ(stream.chunks.size(), 4u);
    EXPECT_EQ(std::tuple(stream.chunks[2].size, stream.length, stream.superIndex.at(0).duration),
              std::tuple(5u, 3u, 3u));
    for (const std::string& problem : avi.problems()) {
        EXPECT_TRUE(problem.find(" at offset " + std::to_string(stream.chunks[2].offset - 8)) !=
                        std::string::npos ||
                    problem.find("hold 4") != std::string::npos ||
                    problem.find("holds 4") != std::string::npos)
            << problem;
    }
}

} // namespace
