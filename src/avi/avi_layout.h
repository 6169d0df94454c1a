// The fixed records of an OpenDML AVI file: their sizes and the offsets of their fields.
#pragma once

#include "avi/byte_image.h"

#include <cstdint>

namespace IOPlugin::avi {

// "avih": the main header.
namespace avih {
inline constexpr size_t kSize = 56;
inline constexpr Field<uint32_t> microSecPerFrame{0};
inline constexpr Field<uint32_t> maxBytesPerSec{4};
inline constexpr Field<uint32_t> paddingGranularity{8};
inline constexpr Field<uint32_t> flags{12};
inline constexpr Field<uint32_t> totalFrames{16};
inline constexpr Field<uint32_t> initialFrames{20};
inline constexpr Field<uint32_t> streams{24};
inline constexpr Field<uint32_t> suggestedBufferSize{28};
inline constexpr Field<uint32_t> width{32};
inline constexpr Field<uint32_t> height{36};
inline constexpr uint32_t kHasIndex = 0x10;
} // namespace avih

// "strh": a stream header.
namespace strh {
inline constexpr size_t kSize = 56;
inline constexpr Field<uint32_t> fccType{0};
inline constexpr Field<uint32_t> fccHandler{4};
inline constexpr Field<uint32_t> flags{8};
inline constexpr Field<uint16_t> priority{12};
inline constexpr Field<uint16_t> language{14};
inline constexpr Field<uint32_t> initialFrames{16};
inline constexpr Field<uint32_t> scale{20};
inline constexpr Field<uint32_t> rate{24};
inline constexpr Field<uint32_t> start{28};
inline constexpr Field<uint32_t> length{32};
inline constexpr Field<uint32_t> suggestedBufferSize{36};
inline constexpr Field<uint32_t> quality{40};
inline constexpr Field<uint32_t> sampleSize{44};
inline constexpr Field<int16_t> frameLeft{48};
inline constexpr Field<int16_t> frameTop{50};
inline constexpr Field<int16_t> frameRight{52};
inline constexpr Field<int16_t> frameBottom{54};
} // namespace strh

// "strf" of a video stream: BITMAPINFOHEADER, followed by the codec's data.
namespace bih {
inline constexpr size_t kSize = 40;
inline constexpr Field<uint32_t> size{0};
inline constexpr Field<int32_t> width{4};
inline constexpr Field<int32_t> height{8};
inline constexpr Field<uint16_t> planes{12};
inline constexpr Field<uint16_t> bitCount{14};
inline constexpr Field<uint32_t> compression{16};
inline constexpr Field<uint32_t> sizeImage{20};
inline constexpr Field<int32_t> xPelsPerMeter{24};
inline constexpr Field<int32_t> yPelsPerMeter{28};
inline constexpr Field<uint32_t> clrUsed{32};
inline constexpr Field<uint32_t> clrImportant{36};
} // namespace bih

// "strf" of an audio stream: WAVEFORMATEX without cbSize, or WAVEFORMATEXTENSIBLE.
namespace wave {
inline constexpr size_t kShortSize = 16;
inline constexpr size_t kExtensibleSize = 40;
inline constexpr Field<uint16_t> formatTag{0};
inline constexpr Field<uint16_t> channels{2};
inline constexpr Field<uint32_t> samplesPerSec{4};
inline constexpr Field<uint32_t> avgBytesPerSec{8};
inline constexpr Field<uint16_t> blockAlign{12};
inline constexpr Field<uint16_t> bitsPerSample{14};
inline constexpr Field<uint16_t> cbSize{16};
inline constexpr Field<uint16_t> validBitsPerSample{18};
inline constexpr Field<uint32_t> channelMask{20};
inline constexpr Field<uint32_t> subFormatData1{24};
inline constexpr Field<uint16_t> subFormatData2{28};
inline constexpr Field<uint16_t> subFormatData3{30};
inline constexpr size_t kSubFormatData4 = 32;
inline constexpr uint8_t kSubFormatTail[8] = {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
inline constexpr uint16_t kExtensibleTag = 0xFFFE;
inline constexpr uint16_t kExtensibleCbSize = 22;
} // namespace wave

// "indx": a super index (index of standard indexes), and its 16-byte entries.
namespace superindex {
inline constexpr size_t kHeaderSize = 24;
inline constexpr size_t kEntrySize = 16;
inline constexpr Field<uint16_t> longsPerEntry{0};
inline constexpr Field<uint8_t> indexSubType{2};
inline constexpr Field<uint8_t> indexType{3};
inline constexpr Field<uint32_t> entriesInUse{4};
inline constexpr Field<uint32_t> chunkId{8};
inline constexpr uint8_t kIndexOfIndexes = 0;
} // namespace superindex

// "ix##": a standard index, and its 8-byte entries.
namespace stdindex {
inline constexpr size_t kHeaderSize = 24;
inline constexpr size_t kEntrySize = 8;
inline constexpr Field<uint16_t> longsPerEntry{0};
inline constexpr Field<uint8_t> indexSubType{2};
inline constexpr Field<uint8_t> indexType{3};
inline constexpr Field<uint32_t> entriesInUse{4};
inline constexpr Field<uint32_t> chunkId{8};
inline constexpr Field<uint64_t> baseOffset{12};
inline constexpr uint8_t kIndexOfChunks = 1;
inline constexpr uint32_t kNotKeyFrame = 0x80000000;
} // namespace stdindex

// "idx1": the legacy index of the first RIFF, 16 bytes per chunk.
namespace idx1 {
inline constexpr size_t kEntrySize = 16;
inline constexpr uint32_t kKeyFrame = 0x10;
} // namespace idx1

// "dmlh": the extended header.
namespace dmlh {
inline constexpr size_t kSize = 248;
inline constexpr Field<uint32_t> totalFrames{0};
} // namespace dmlh

} // namespace IOPlugin::avi
