// Names of format codes, result codes and parameter values.
#include "core/formats.h"
#include "davinci/encoder/korvadin_library.h"
#include "korvadin_common64.h"

namespace {

const char* resultName(int32_t code) {
    switch (code) {
    case KORVADIN_OK:
        return "success";
    case KORVADIN_E_ARGUMENT:
        return "invalid argument";
    case KORVADIN_E_HANDLE:
        return "unknown instance handle";
    case KORVADIN_E_FORMAT:
        return "unsupported format";
    case KORVADIN_E_SIZE:
        return "unsupported picture size";
    case KORVADIN_E_STATE:
        return "call out of order";
    case KORVADIN_E_MEMORY:
        return "out of memory";
    case KORVADIN_E_BUFFER:
        return "buffer too small";
    case KORVADIN_E_CORRUPT:
        return "corrupt frame";
    case KORVADIN_E_TRUNCATED:
        return "truncated frame";
    case KORVADIN_E_CONFIG:
        return "invalid configuration bytes";
    case KORVADIN_E_UNBALANCED:
        return "library closed more often than initialised";
    default:
        return "unknown result code";
    }
}

} // namespace

extern "C" KORVADIN_API const char* korvadin_get_string(int32_t category, int32_t value) {
    switch (category) {
    case KORVADIN_STRING_FORMAT:
        return kvcodec::formatName(static_cast<uint32_t>(value));
    case KORVADIN_STRING_RESULT:
        return resultName(value);
    case KORVADIN_STRING_PARAM3:
        return value == 0 ? "default" : "unknown parameter value";
    default:
        return "unknown string category";
    }
}
