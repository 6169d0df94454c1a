#include "core/plane_coder.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>

#include "core/bit_io.h"
#include "dsp/kernels.h"

namespace kvcodec {

namespace {

enum class PlaneMode : uint8_t { Stored = 0, Coded = 1 };

// Rows decoded before they are rebuilt: as many as the rebuilding kernels take at once; a
// shorter band left at a plane's end joins the one before it, so that the kernels still take
// whole vectors of rows.
constexpr uint32_t kBandRows = 32;

uint32_t bandRowsAt(uint32_t band, uint32_t rows) {
    return rows - band < 2 * kBandRows ? rows - band : kBandRows;
}

void writeHeader(uint8_t* out, PlaneMode mode, code::Predictor predictor, uint8_t lift,
                 size_t payload) {
    out[0] = static_cast<uint8_t>(mode);
    out[1] = mode == PlaneMode::Stored ? 0 : static_cast<uint8_t>(predictor);
    out[2] = lift;
    out[3] = 0;
    storeLe32(out + 4, static_cast<uint32_t>(payload));
}

} // namespace

PlaneTables::PlaneTables(unsigned d, bool encoder) : depth(d), alphabet(code::alphabetSize(d)) {
    for (unsigned b = 0; b < 5; ++b) {
        unsigned token = 0;
        while (token < alphabet && code::tokenClass(token, depth) <= b) {
            ++token;
        }
        classBounds[b] = static_cast<uint16_t>(token);
    }
    for (unsigned token = 0; token < alphabet; ++token) {
        const bool literal = code::isLiteral(token, depth);
        rawBits[token] = static_cast<uint8_t>(literal ? 0 : code::rawBitsOf(token));
        base[token] = static_cast<uint16_t>(literal ? token : code::escapeBase(token));
    }
    if (encoder) {
        enc = std::make_unique<RansEncSymbol[]>(code::kContexts * 256);
    } else {
        dec = std::make_unique<RansDecTable[]>(code::kContexts);
    }
}

void PlaneTables::set(unsigned context, const Frequencies* f) {
    used[context] = f != nullptr;
    if (enc != nullptr && f != nullptr) {
        buildEncSymbols(*f, alphabet, enc.get() + context * 256);
    }
    if (dec != nullptr) {
        // A context without a table decodes as entries below 256, which the plane refuses.
        if (f != nullptr) {
            buildDecTable(*f, alphabet, dec[context]);
        } else {
            std::fill(std::begin(dec[context].entry), std::end(dec[context].entry), 0u);
        }
    }
}

template <typename T>
size_t storePlane(const T* samples, size_t n, unsigned depth, uint8_t lift, uint8_t* out) {
    BitWriter bw(out + kPlaneHeaderBytes);
    for (size_t i = 0; i < n; ++i) {
        bw.put(samples[i], depth);
    }
    const size_t payload = bw.finish();
    writeHeader(out, PlaneMode::Stored, code::Predictor::Median, lift, payload);
    return kPlaneHeaderBytes + payload;
}

template size_t storePlane(const uint8_t*, size_t, unsigned, uint8_t, uint8_t*);
template size_t storePlane(const uint16_t*, size_t, unsigned, uint8_t, uint8_t*);

size_t encodePlane(const Kernels& k, const PlaneSymbols& in, const PlaneTables& t, uint16_t* words,
                   uint8_t lift, uint8_t* out) {
    const size_t n = size_t{in.width} * in.rows;
    uint32_t states[kRansLanes];
    uint16_t* wordsEnd = words + wordRoom(n);
    const size_t wordCount = k.ransEncode(in.symbols, n, t.enc.get(), states, wordsEnd);
    uint64_t rawBits = 0;
    for (unsigned token = code::kLiteralTokens; token < t.alphabet && t.depth > 8; ++token) {
        for (unsigned c = 0; c < code::kContexts; ++c) {
            rawBits += uint64_t{in.counts[c << 8 | token]} * code::rawBitsOf(token);
        }
    }
    const uint64_t payload = kRansHeaderBytes + 2 * uint64_t{wordCount} + (rawBits + 7) / 8;
    if (payload >= storedBytes(n, t.depth)) {
        return 0;
    }
    uint8_t* p = out + kPlaneHeaderBytes;
    storeLe32(p, static_cast<uint32_t>(wordCount));
    for (unsigned lane = 0; lane < kRansLanes; ++lane) {
        storeLe32(p + 4 + 4 * lane, states[lane]);
    }
    p += kRansHeaderBytes;
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(p, wordsEnd - wordCount, 2 * wordCount);
    } else {
        for (size_t i = 0; i < wordCount; ++i) {
            p[2 * i] = static_cast<uint8_t>(wordsEnd[i - wordCount]);
            p[2 * i + 1] = static_cast<uint8_t>(wordsEnd[i - wordCount] >> 8);
        }
    }
    p += 2 * wordCount;
    if (rawBits > 0) {
        // Fits the plane's room: the payload is smaller than the stored form, and the writer's
        // 8 bytes beyond its end are part of the room.
        BitWriter bw(p);
        k.putRawBits(in.z, n, bw);
        bw.finish();
    }
    writeHeader(out, PlaneMode::Coded, in.predictor, lift, payload);
    return kPlaneHeaderBytes + payload;
}

PlaneDecodeScratch::PlaneDecodeScratch(uint32_t width, size_t largestPlane)
    : z(size_t{width} * (2 * kBandRows - 1) + kRebuildSlack), midGrey(width),
      activityRows(ActivityRows::size(width)), rebuild(rebuildScratchSize(width)),
      words(2 * largestPlane + kRansReadPadding) {}

template <typename T>
Status decodePlane(const Kernels& k, const uint8_t* in, size_t size, size_t readable,
                   uint32_t width, uint32_t rows, const PlaneTables& t, T* samples, size_t* used,
                   uint8_t* lift, PlaneDecodeScratch& scratch) {
    if (size < kPlaneHeaderBytes) {
        return Status::Truncated;
    }
    const uint64_t payloadSize = loadLe32(in + 4);
    if (payloadSize > size - kPlaneHeaderBytes) {
        return Status::Truncated;
    }
    if (in[2] > (lift != nullptr ? 1 : 0) || in[3] != 0) {
        return Status::Corrupt;
    }
    if (lift != nullptr) {
        *lift = in[2];
    }
    *used = kPlaneHeaderBytes + payloadSize;
    const uint8_t* payload = in + kPlaneHeaderBytes;
    const size_t n = size_t{width} * rows;
    if (in[0] == static_cast<uint8_t>(PlaneMode::Stored)) {
        return in[1] == 0 && readStored(payload, payloadSize, n, t.depth, samples)
                   ? Status::Ok
                   : Status::Corrupt;
    }
    const auto predictor = static_cast<code::Predictor>(in[1]);
    if (in[0] != static_cast<uint8_t>(PlaneMode::Coded) ||
        (predictor != code::Predictor::Median &&
         (predictor != code::Predictor::Average || !t.mirrorsAndAverages))) {
        return Status::Corrupt;
    }
    if (payloadSize < kRansHeaderBytes) {
        return Status::Truncated;
    }
    const uint64_t wordCount = loadLe32(payload);
    if (wordCount > (payloadSize - kRansHeaderBytes) / 2) {
        return Status::Corrupt;
    }
    RansReader reader;
    for (unsigned lane = 0; lane < kRansLanes; ++lane) {
        reader.x[lane] = loadLe32(payload + 4 + 4 * lane);
        if (reader.x[lane] < kRansLow || reader.x[lane] >= 1u << 31) {
            return Status::Corrupt;
        }
    }
    // Each sample takes at most one word: a plane with more is refused before they are copied
    // where the decoding loops may read past them.
    if (wordCount > n) {
        return Status::Corrupt;
    }
    const uint8_t* words = payload + kRansHeaderBytes;
    // The decoding loops read a little past the words. Nearly every plane has that much of the
    // frame after its words and is read where it lies; only the last ones are copied first.
    if (readable - (kPlaneHeaderBytes + kRansHeaderBytes + 2 * wordCount) >= kRansReadPadding) {
        reader.words = words;
    } else {
        std::copy(words, words + 2 * wordCount, scratch.words.begin());
        std::fill(scratch.words.begin() + static_cast<ptrdiff_t>(2 * wordCount),
                  scratch.words.begin() + static_cast<ptrdiff_t>(2 * wordCount + kRansReadPadding),
                  uint8_t{0});
        reader.words = scratch.words.data();
    }
    reader.end = reader.words + 2 * wordCount;
    const uint8_t* rawStart = words + 2 * wordCount;
    const uint64_t rawBytes = payloadSize - kRansHeaderBytes - 2 * wordCount;
    BitReader raw(rawStart, rawBytes);

    const ActivityRows activityRows(scratch.activityRows.data(), width);
    uint8_t* contexts = activityRows.contexts();
    T* const midGrey = reinterpret_cast<T*>(scratch.midGrey.data());
    std::fill(midGrey, midGrey + width, static_cast<T>(1u << (t.depth - 1)));
    // The residuals of a band, of the samples' type: an 8-bit plane's tokens are its residuals.
    T* const zRows = reinterpret_cast<T*>(scratch.z.data());
    const uint8_t cap = t.classContexts ? uint8_t{255} : uint8_t{code::kActivityCap};
    const auto rebuild = [&](const T* above, const T* z, T* out, uint32_t n, code::Predictor p) {
        if constexpr (sizeof(T) == 1) {
            k.rebuild8(above, z, out, width, n, p, t.mirrorsAndAverages, scratch.rebuild.data());
        } else {
            k.rebuild(above, z, out, width, n, t.depth, p, t.mirrorsAndAverages,
                      scratch.rebuild.data());
        }
    };
    // The slice's first row predicts from the left whatever the predictor, which is what the
    // median makes of the mid-grey row above it; an averaged plane rebuilds it on its own, and
    // its first band takes one row more so that whole vectors of rows follow.
    const bool firstRowApart = predictor != code::Predictor::Median;
    uint32_t row = 0;
    for (uint32_t band = 0, bandRows = 0; band < rows; band += bandRows) {
        bandRows = bandRowsAt(band, rows);
        if (band == 0 && firstRowApart && bandRows < rows) {
            ++bandRows;
        }
        for (uint32_t y = 0; y < bandRows; ++y, ++row) {
            T* z = zRows + size_t{y} * width;
            if (t.classContexts) {
                k.classContextRow(activityRows.above(row), activityRows.twoAbove(row), width,
                                  t.classBounds, contexts);
            } else {
                k.contextRow(activityRows.above(row), activityRows.twoAbove(row), width, contexts);
            }
            if constexpr (sizeof(T) == 1) {
                k.ransDecodeRow8(reader, t.dec.get(), contexts, cap, activityRows.row(row), z,
                                 width);
            } else {
                k.ransDecodeRow(reader, t.dec.get(), contexts, cap, activityRows.row(row), z,
                                width);
                k.takeRawBits(raw, t.rawBits, t.base, z, width);
            }
        }
        T* out = samples + size_t{band} * width;
        if (band > 0) {
            rebuild(out - width, zRows, out, bandRows, predictor);
        } else if (firstRowApart) {
            rebuild(midGrey, zRows, out, 1, code::Predictor::Median);
            rebuild(out, zRows + width, out + width, bandRows - 1, predictor);
        } else {
            rebuild(midGrey, zRows, out, bandRows, predictor);
        }
        if (reader.overrun || raw.overrun()) {
            return Status::Truncated;
        }
    }
    for (const uint32_t x : reader.x) {
        if (x != kRansLow) {
            return Status::Corrupt;
        }
    }
    if (reader.words != reader.end || reader.smallestEntry < 256 || !endsCleanly(raw, rawBytes)) {
        return Status::Corrupt;
    }
    return Status::Ok;
}

template Status decodePlane(const Kernels&, const uint8_t*, size_t, size_t, uint32_t, uint32_t,
                            const PlaneTables&, uint8_t*, size_t*, uint8_t*, PlaneDecodeScratch&);
template Status decodePlane(const Kernels&, const uint8_t*, size_t, size_t, uint32_t, uint32_t,
                            const PlaneTables&, uint16_t*, size_t*, uint8_t*, PlaneDecodeScratch&);

} // namespace kvcodec
