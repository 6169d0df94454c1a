// What the library's steps that can fail return: one of the library's result codes, so that
// the C functions hand it out as it is and no step says the same failure another way. Only the
// failures that arise below the C functions are here; those that concern the calls themselves
// (handles, call order, buffers) are answered where the calls come in.
#pragma once

#include <cstdint>

#include "korvadin_common64.h"

namespace kvcodec {

enum class [[nodiscard]] Status : int32_t{
    Ok = KORVADIN_OK,
    Argument = KORVADIN_E_ARGUMENT,
    Format = KORVADIN_E_FORMAT, // a layout or format the library does not take
    Size = KORVADIN_E_SIZE,     // a picture size the library does not take
    Corrupt = KORVADIN_E_CORRUPT,
    Truncated = KORVADIN_E_TRUNCATED,
    Config = KORVADIN_E_CONFIG,
};

constexpr int32_t resultCode(Status s) {
    return static_cast<int32_t>(s);
}

} // namespace kvcodec
