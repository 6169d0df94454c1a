#include "fake_korvadin.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <utility>

namespace fake_korvadin {

namespace {

struct State {
    Script script;
    Record record;
    uint32_t nextInstance = 7;
    // Texts stay where korvadin_get_string put them, as a real library's tables would.
    std::map<std::pair<int32_t, int32_t>, std::string> texts;
};

State& state() {
    static State s;
    return s;
}

// Notes a call on an instance and hands back the record for the call's own details.
Record& enter(Call call, uint32_t instance) {
    Record& r = state().record;
    r.calls.push_back(call);
    r.instancesUsed.push_back(instance);
    return r;
}

bool allZero(const korvadin_planes* planes) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(planes);
    return std::all_of(bytes, bytes + sizeof(korvadin_planes), [](uint8_t b) { return b == 0; });
}

} // namespace

void reset() {
    state().script = Script{};
    state().record = Record{};
}

Script& script() {
    return state().script;
}

const Record& record() {
    return state().record;
}

int liveInstances() {
    return static_cast<int>(state().record.opened.size() - state().record.closed.size());
}

} // namespace fake_korvadin

using namespace fake_korvadin;

extern "C" {

KORVADIN_API int32_t korvadin_library_init(uint32_t*) {
    Record& r = state().record;
    r.calls.push_back(Call::LibraryInit);
    if (state().script.libraryInitResult != 0) {
        return state().script.libraryInitResult;
    }
    ++r.libraryInits;
    return 0;
}

KORVADIN_API int32_t korvadin_open(uint32_t* instance) {
    Record& r = state().record;
    r.calls.push_back(Call::Open);
    if (state().script.openResult != 0) {
        return state().script.openResult;
    }
    *instance = state().nextInstance++;
    r.opened.push_back(*instance);
    return 0;
}

KORVADIN_API int32_t korvadin_close(uint32_t instance) {
    state().record.calls.push_back(Call::Close);
    state().record.closed.push_back(instance);
    return 0;
}

KORVADIN_API int32_t korvadin_library_close(void) {
    state().record.calls.push_back(Call::LibraryClose);
    ++state().record.libraryCloses;
    return 0;
}

KORVADIN_API int32_t korvadin_compress_query(uint32_t instance, const korvadin_format* in,
                                             const korvadin_format* out, uint64_t* scratch,
                                             uint32_t* reserved) {
    Record& r = enter(Call::CompressQuery, instance);
    const Script& s = state().script;
    r.queryIn.push_back(*in);
    r.queryOut.push_back(*out);
    r.queryScratchMissing |= scratch == nullptr;
    r.queryReservedPresent |= reserved != nullptr;
    if (scratch != nullptr) {
        *scratch = 0x5c5c5c5c5c5c5c5cull;
    }
    return s.refusedFormats.contains(out->format) ? -20 : 0;
}

KORVADIN_API int32_t korvadin_compress_begin(uint32_t instance, const korvadin_format_ex* in,
                                             const korvadin_format_ex* out, const uint8_t** cookie,
                                             uint64_t* cookieSize, uint32_t* compBufferSize) {
    Record& r = enter(Call::CompressBegin, instance);
    const Script& s = state().script;
    r.beginIn.push_back(*in);
    r.beginOut.push_back(*out);
    if (s.compressBeginResult != 0) {
        *compBufferSize = s.compBufferSizeOnFailure;
        return s.compressBeginResult;
    }
    *cookie = s.cookie.empty() ? nullptr : s.cookie.data();
    *cookieSize = s.cookie.size();
    *compBufferSize = s.compBufferSize;
    return 0;
}

KORVADIN_API int32_t korvadin_init_planes_common(uint32_t instance, const korvadin_format_ex* desc,
                                                 korvadin_planes* planes, uint8_t* frame) {
    Record& r = enter(Call::InitPlanes, instance);
    const Script& s = state().script;
    r.planesDesc.push_back(*desc);
    r.planesZeroed.push_back(allZero(planes));
    if (s.initPlanesResult != 0) {
        return s.initPlanesResult;
    }
    const auto sizes =
        s.planeSizes.value_or(std::array<uint32_t, 4>{desc->base.width * desc->base.height});
    uint8_t* next = frame;
    for (size_t i = 0; i < sizes.size(); ++i) {
        if (sizes[i] == 0) {
            continue;
        }
        planes->plane[i] = {next, 0, sizes[i]};
        next += sizes[i];
    }
    return 0;
}

// Stores the planes' bytes back to back, as far as the output holds: a codec whose output the
// tests can compare with the frame they sent.
KORVADIN_API int32_t korvadin_compress(uint32_t instance, const korvadin_planes* planes,
                                       uint8_t* out, uint32_t* compressedSize) {
    enter(Call::Compress, instance);
    const Script& s = state().script;
    if (s.compressResult != 0) {
        return s.compressResult;
    }
    uint32_t written = 0;
    for (const korvadin_plane& plane : planes->plane) {
        const uint32_t n = std::min(plane.size, s.compBufferSize - written);
        if (n != 0) {
            std::memcpy(out + written, plane.data, n);
        }
        written += n;
    }
    *compressedSize = written;
    return 0;
}

KORVADIN_API const char* korvadin_get_string(int32_t category, int32_t value) {
    ++state().record.getStringCalls;
    // Texts the tests spell out in the messages they expect.
    const char* prefix = category == KORVADIN_STRING_FORMAT   ? "FMT_"
                         : category == KORVADIN_STRING_RESULT ? "Result "
                         : category == KORVADIN_STRING_PARAM3 ? "P3_"
                                                              : "?";
    const std::string text = prefix + std::to_string(category == KORVADIN_STRING_RESULT
                                                         ? int64_t{value}
                                                         : int64_t{static_cast<uint32_t>(value)});
    auto& slot = state().texts[{category, value}];
    slot = text;
    return slot.c_str();
}

} // extern "C"
