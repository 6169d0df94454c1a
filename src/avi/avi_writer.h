// One AVI file in the OpenDML layout: a first RIFF "AVI " with the header list, a movi list
// and the legacy idx1 index, then as many "AVIX" RIFFs as the data needs. Each stream has a
// super index reserved at full size in the header list and one standard index per movi list.
// Data chunks go to the file in the order they are handed in; the headers carry provisional
// counts until finalize rewrites them in place.
#pragma once

#include "avi/avi_layout.h"
#include "avi/riff_writer.h"
#include "fileio/file.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace IOPlugin {

// Sizes at which the writer starts a new RIFF, and the file size that the super indexes are
// reserved for. Tests give small values to reach RIFF switches with small files.
struct AviLimits {
    uint64_t maxFileSize = 0x80000000000; // 8 TiB
    uint64_t firstRiffLimit = 0x3FFFFFFE; // the "AVI " RIFF, its idx1 included
    uint64_t riffLimit = 0x7FFFFFFE;      // each "AVIX" RIFF
};

struct PendingIndexEntry {
    uint64_t dataPos; // file position of the chunk's data
    uint32_t size;
    uint32_t duration;
    bool keyFrame;
};

struct SuperIndexEntry {
    uint64_t offset; // file position of the standard index chunk's header
    uint32_t size;   // of the whole ix chunk, header included
    uint32_t duration;
};

// A standard index as it lies in the file: the 24-byte header and 8 bytes per chunk.
struct StandardIndex {
    std::vector<uint8_t> bytes;
};

class AviStream {
public:
    AviStream(const AviStream&) = delete;
    AviStream& operator=(const AviStream&) = delete;

    uint64_t index() const { return m_index; }
    // The stream header ("strh") and format ("strf") as they will be written.
    ByteImage<avi::strh::kSize>& header() { return m_header; }
    const ByteImage<avi::strh::kSize>& header() const { return m_header; }
    std::vector<uint8_t>& format() { return m_format; }
    const std::vector<uint8_t>& format() const { return m_format; }

    // Two digits of the index, then "dc" for video, "wb" for audio, "??" for anything else.
    uint32_t chunkId() const;
    // Derives the chunk id again from the index and the header's fccType; call it after
    // filling in the header.
    void resetChunkId();

    // Makes this an audio stream: header and format (16-byte WAVEFORMATEX, or the 40-byte
    // extensible form when the short one cannot describe the samples).
    void setAudioFormat(uint16_t formatTag, uint16_t channels, uint32_t samplesPerSec,
                        uint16_t bitsPerSample, uint32_t channelMask);

private:
    friend class AviWriter;
    AviStream(uint64_t index, uint32_t fccType);

    uint64_t m_index;
    ByteImage<avi::strh::kSize> m_header{};
    std::vector<uint8_t> m_format;
    ByteImage<avi::superindex::kHeaderSize> m_superIndex{};
    std::vector<SuperIndexEntry> m_superEntries;
    std::vector<StandardIndex> m_stdIndexes;
    int64_t m_indxPos = -1;
    uint64_t m_indxReserved = 0;
    int64_t m_strhPos = -1;
    std::vector<PendingIndexEntry> m_pending; // chunks of the current movi list
};

class AviWriter {
public:
    static constexpr uint64_t kMaxStreams = 100; // chunk ids carry the index in two digits

    // The file is not owned and must outlive the writer. Writes nothing.
    explicit AviWriter(fileio::File& file, const AviLimits& limits = {});
    // Finalizes if that has not been done, swallowing failures, and closes whatever is open.
    ~AviWriter();
    AviWriter(const AviWriter&) = delete;
    AviWriter& operator=(const AviWriter&) = delete;

    // Adds a stream of the given type ("vids", "auds") and returns its index. Streams are added
    // before writeHeader. A 101st stream is refused with std::length_error.
    uint64_t addStream(uint32_t fccType);
    ByteImage<avi::avih::kSize>& mainHeader() { return m_mainHeader; }
    const ByteImage<avi::avih::kSize>& mainHeader() const { return m_mainHeader; }
    // std::out_of_range for an index that names no stream.
    AviStream& stream(uint64_t index) { return *m_streams.at(index); }
    const AviStream& stream(uint64_t index) const { return *m_streams.at(index); }
    uint64_t streamCount() const { return m_streams.size(); }

    // Writes everything up to the first movi list, which stays open.
    void writeHeader();
    // Appends one data chunk of stream `index`, first starting a new RIFF if the chunk would
    // make the current one outgrow its limit. The size is stored in 32 bits.
    void writeChunk(uint64_t index, const void* data, uint64_t size, uint32_t duration,
                    bool keyFrame);
    // Ends the last RIFF and rewrites the headers and super indexes in place. Runs to the end
    // whatever fails, then throws one fileio::Error. Only the first call after writeHeader
    // does anything.
    void finalize();

private:
    uint64_t superIndexReserve() const;
    // One plain chunk with the given content; returns the file position of the content.
    int64_t writeWholeChunk(uint32_t id, const void* data, uint32_t size);
    void writeStandardIndexes();
    // Ends the current movi list and RIFF as far as they are open; returns whether ending the
    // movi list failed. With swallow, failures are reported by the result, else thrown.
    bool closeRiff(bool swallow);
    uint32_t largestVideoLength() const;

    fileio::File& m_file;
    RiffWriter m_riff;
    uint64_t m_riffStart = 0;
    uint64_t m_moviStart = 0;
    int64_t m_mainHeaderPos = -1;
    int64_t m_extHeaderPos = -1;
    bool m_firstRiff = true;
    bool m_headerWritten = false;
    ByteImage<avi::avih::kSize> m_mainHeader{};
    ByteImage<avi::dmlh::kSize> m_extHeader{};
    std::vector<std::unique_ptr<AviStream>> m_streams;
    std::vector<uint8_t> m_oldIndex; // idx1 entries of the first RIFF, as in the file
    uint64_t m_maxFileSize;
    uint64_t m_firstRiffLimit;
    uint64_t m_riffLimit;
};

} // namespace IOPlugin
