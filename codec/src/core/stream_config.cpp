#include "core/stream_config.h"

#include <cstring>

#include "core/bit_io.h"

namespace kvcodec {

namespace {

constexpr uint8_t kConfigMagic[4] = {'K', 'V', 'D', 'N'};

} // namespace

void writeConfig(const StreamConfig& c, uint8_t* out) {
    const Geometry& g = c.geometry;
    std::memset(out, 0, kConfigBytes);
    std::memcpy(out, kConfigMagic, 4);
    storeLe16(out + 4, c.version);
    storeLe16(out + 6, static_cast<uint16_t>(g.variant->id));
    storeLe16(out + 8, static_cast<uint16_t>(g.raw->code));
    out[10] = g.variant->depth;
    out[11] = static_cast<uint8_t>(g.planeCount);
    storeLe32(out + 12, g.width);
    storeLe32(out + 16, g.height);
    storeLe32(out + 20, g.sliceRows);
    out[24] = static_cast<uint8_t>(c.range);
    out[25] = static_cast<uint8_t>(c.fieldOrder);
}

Status readConfig(const uint8_t* in, uint64_t size, StreamConfig& c) {
    if (in == nullptr || size < kConfigBytes) {
        return Status::Config;
    }
    c.version = loadLe16(in + 4);
    if (std::memcmp(in, kConfigMagic, 4) != 0 || c.version < 1 || c.version > kBitstreamVersion ||
        in[26] != 0 || in[27] != 0) {
        return Status::Config;
    }
    const Variant* v = variantFor(loadLe16(in + 8), loadLe16(in + 6));
    if (v == nullptr || in[10] != v->depth) {
        return Status::Config;
    }
    if (makeGeometry(*v, loadLe32(in + 12), loadLe32(in + 16), loadLe32(in + 20), c.geometry) !=
            Status::Ok ||
        c.geometry.planeCount != in[11]) {
        return Status::Config;
    }
    c.range = in[24];
    c.fieldOrder = in[25];
    return Status::Ok;
}

} // namespace kvcodec
