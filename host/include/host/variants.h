// What the host knows about the codec variants the plug-in registers: which raw layout each
// asks for, how many bits it keeps, and which variant suits an input by default.
#pragma once

#include "host/media/picture.h"
#include "host/session.h"

#include <string>
#include <string_view>
#include <vector>

namespace host {

// The library's raw layout code of the frames a variant asks the host for, derived from what
// it registered (colour model, subsampling, sample size). Throws std::invalid_argument.
uint32_t rawCodeOf(const Registration& codec);

// Bits per sample a variant keeps (its FourCC's depth digit: 8, 0, 2, 4 for 8 to 14 bits).
int keptBitsOf(uint32_t fourcc);

// The picture layout a variant codes, from its FourCC: chroma it does not keep is not coded.
ColourLayout codedLayoutOf(uint32_t fourcc);

// A variant by display name or FourCC, case-insensitively; null when none matches.
const Registration* findVariant(const std::vector<Registration>& codecs, std::string_view key);

// The FourCC of the variant that follows an input's layout and depth.
std::string defaultVariantFourcc(ColourLayout layout, int bitDepth);

// Whether a decoded picture holds everything of the input that the variant keeps: samples at
// the shallower of the two depths, luma always, chroma where the variant codes it at the
// input's resolution or finer.
bool keptPartsEqual(const Picture& decoded, const Picture& input, const Registration& codec);

} // namespace host
