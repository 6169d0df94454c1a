// Control of the scriptable stand-in for the codec library that unit tests link instead of
// the real one: it answers the nine library functions as scripted and records what it got.
#pragma once

#include "davinci/encoder/korvadin_library.h"

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#if defined(_WIN32)
#if defined(FAKE_KORVADIN_BUILD)
#define FAKE_KORVADIN_API __declspec(dllexport)
#else
#define FAKE_KORVADIN_API __declspec(dllimport)
#endif
#else
#define FAKE_KORVADIN_API __attribute__((visibility("default")))
#endif

namespace fake_korvadin {

enum class Call {
    LibraryInit,
    Open,
    Close,
    LibraryClose,
    CompressQuery,
    CompressBegin,
    InitPlanes,
    Compress,
    GetString,
};

struct Script {
    // Results of the calls that can fail; 0 lets the call succeed.
    int32_t libraryInitResult = 0;
    int32_t openResult = 0;
    int32_t compressBeginResult = 0;
    int32_t initPlanesResult = 0;
    int32_t compressResult = 0;
    // compress_query refuses these compressed format ids.
    std::set<uint32_t> refusedFormats;
    // Byte counts init_planes reports, planes back to back from the frame's start; a plane
    // of size 0 stays zero. Unset: one plane of width * height bytes.
    std::optional<std::array<uint32_t, 4>> planeSizes;
    std::vector<uint8_t> cookie = {0xc0, 0x0c, 0x1e, 0x5a};
    uint32_t compBufferSize = 4096;
    // Written by compress_begin into the size slot before it fails, to show up in the text.
    uint32_t compBufferSizeOnFailure = 0;
};

struct Record {
    std::vector<Call> calls;
    int libraryInits = 0;
    int libraryCloses = 0;
    std::vector<uint32_t> opened;
    std::vector<uint32_t> closed;
    std::vector<uint32_t> instancesUsed; // the handle each query, begin, planes, compress got
    std::vector<korvadin_format> queryIn;
    std::vector<korvadin_format> queryOut;
    bool queryScratchMissing = false;  // some query came without its scratch slot
    bool queryReservedPresent = false; // some query came with a non-null fifth argument
    std::vector<korvadin_format_ex> beginIn;
    std::vector<korvadin_format_ex> beginOut;
    std::vector<korvadin_format_ex> planesDesc;
    std::vector<bool> planesZeroed; // whether each init_planes got all 64 bytes zero
    int getStringCalls = 0;
};

// Forgets the script and the record.
FAKE_KORVADIN_API void reset();
FAKE_KORVADIN_API Script& script();
FAKE_KORVADIN_API const Record& record();
// Instances opened and not yet closed.
FAKE_KORVADIN_API int liveInstances();

} // namespace fake_korvadin
