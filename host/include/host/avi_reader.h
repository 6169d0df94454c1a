// Reads back the structure of an OpenDML AVI file as the plug-in writes it: the "AVI " RIFF
// with its header list, movi list and idx1, then any "AVIX" RIFFs with their movi lists.
// The reader walks the chunks themselves instead of trusting the indexes, then checks every
// index and every count of the headers against what it found: it is the one check of a file's
// layout, for korvadin probe and for the tests alike. What does not fit is listed in problems()
// rather than thrown, so a damaged file still shows everything that can be read. A render that was
// stopped hard leaves its last RIFF and movi list open, still carrying the placeholder size the
// writer gives a list it has just begun; the reader takes such a list to run on over the chunks
// that follow. Offsets are 64-bit and the file is read piecewise, never whole.
#pragma once

#include "host/media/byte_source.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace host {

class AviReader {
public:
    struct Riff {
        std::string type; // "AVI " or "AVIX"
        uint64_t offset = 0;
        uint32_t size = 0;            // as declared
        bool open = false;            // never closed: the size is still the placeholder
        std::optional<uint64_t> movi; // offset of its movi list's header
        bool moviOpen = false;        // likewise for the movi list
    };

    struct MainHeader {
        uint32_t microSecPerFrame = 0, maxBytesPerSec = 0, flags = 0, totalFrames = 0;
        uint32_t streams = 0, suggestedBufferSize = 0, width = 0, height = 0;
        uint64_t at = 0; // offset of the avih content
    };

    struct SuperIndexEntry {
        uint64_t offset = 0;
        uint32_t size = 0, duration = 0;
    };

    struct Chunk {
        std::string id;                   // "00dc", "01wb", ...
        uint32_t stream = 0;              // from the id's two digits
        uint64_t offset = 0;              // file offset of the data, 8 bytes past the chunk header
        uint32_t size = 0;                // without the pad byte
        size_t riff = 0;                  // index into riffs()
        std::optional<bool> idx1KeyFrame; // as idx1 lists it (first RIFF only)
        std::optional<bool> ixKeyFrame;   // as the stream's standard index lists it
        bool keyFrame = false;            // what the indexes say, the standard index first
    };

    struct Stream {
        std::string fccType, fccHandler; // four characters each
        uint32_t scale = 0, rate = 0, length = 0, suggestedBufferSize = 0, sampleSize = 0;
        std::vector<uint8_t> header; // strh content, as on file
        std::vector<uint8_t> format; // strf content: BITMAPINFOHEADER + codec data, WAVEFORMATEX
        uint64_t headerAt = 0, indexAt = 0; // offsets of the strh and indx content
        uint32_t indexSize = 0;             // of the indx content, as reserved
        std::string indexChunkId;           // dwChunkId of the super index
        uint32_t superIndexInUse = 0;
        std::vector<SuperIndexEntry> superIndex; // the entries in use
        std::vector<Chunk> chunks;               // in file order
    };

    // Throws std::runtime_error when the file cannot be read or does not begin with an AVI RIFF.
    explicit AviReader(const std::string& path);
    // The same for bytes from anywhere; the source must know its size.
    explicit AviReader(std::unique_ptr<ByteSource> in);
    ~AviReader();

    uint64_t fileSize() const { return m_fileSize; }
    const std::vector<Riff>& riffs() const { return m_riffs; }
    const std::optional<MainHeader>& mainHeader() const { return m_mainHeader; }
    const std::optional<uint32_t>& dmlhTotalFrames() const { return m_dmlhTotalFrames; }
    const std::optional<uint64_t>& dmlhOffset() const { return m_dmlhAt; } // of its content
    const std::vector<Stream>& streams() const { return m_streams; }
    const std::vector<std::string>& problems() const { return m_problems; }
    // A data chunk whose declared size runs past the end of the file: the write that the end
    // of the file interrupted. Its offset is that of the data, its size as declared.
    const std::optional<Chunk>& cutShort() const { return m_cutShort; }

    // The chunk's data; std::runtime_error if the file ends before it does.
    std::vector<uint8_t> readChunk(const Chunk& chunk);
    // The same into `bytes`, whose storage a reader of many chunks reuses.
    void readChunk(const Chunk& chunk, std::vector<uint8_t>& bytes);
    // Up to `size` bytes from `offset`: fewer where the file ends.
    std::vector<uint8_t> readUpTo(uint64_t offset, uint64_t size);

private:
    struct Header;
    struct StandardIndex;
    struct Walk;
    uint64_t walkRiff(Header& riff, size_t index, Walk& walk);
    void walkHeaderList(uint64_t begin, uint64_t end);
    void walkStreamList(uint64_t begin, uint64_t end);
    uint64_t walkMovi(Header& movi, size_t riff, Walk& walk);
    void crossCheck(Walk& walk);
    void checkCounts();
    // Visits the chunks between begin and end; returns where the walk stopped. Inside a list
    // that was never closed (openType), it stops before the first chunk such a list cannot hold.
    template <class Visit>
    uint64_t forEachChunk(uint64_t begin, uint64_t end, Visit&& visit,
                          const std::string* openType = nullptr);
    std::vector<uint8_t> readAt(uint64_t offset, uint64_t size);
    void readAt(uint64_t offset, uint64_t size, std::vector<uint8_t>& bytes);
    void problem(std::string text);

    std::unique_ptr<ByteSource> m_in;
    uint64_t m_fileSize = 0;
    std::vector<Riff> m_riffs;
    std::optional<MainHeader> m_mainHeader;
    std::optional<uint32_t> m_dmlhTotalFrames;
    std::optional<uint64_t> m_dmlhAt;
    std::optional<Chunk> m_cutShort;
    std::vector<Stream> m_streams;
    std::vector<std::string> m_problems;
    size_t m_unlisted = 0; // problems beyond the listed ones
};

} // namespace host
