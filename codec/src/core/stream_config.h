// The configuration bytes that describe a stream to its decoder, and the bitstream version they
// and every frame carry.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/geometry.h"
#include "core/status.h"

namespace kvcodec {

// The version the encoder writes; the decoder reads it and every earlier one.
constexpr uint16_t kBitstreamVersion = 5;
constexpr size_t kConfigBytes = 28;

struct StreamConfig {
    uint16_t version = kBitstreamVersion;
    Geometry geometry;
    uint32_t range = 0;
    uint32_t fieldOrder = 0;
};

void writeConfig(const StreamConfig& config, uint8_t* out);
// Config for anything the library would not have written.
Status readConfig(const uint8_t* in, uint64_t size, StreamConfig& config);

} // namespace kvcodec
