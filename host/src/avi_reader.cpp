#include "host/avi_reader.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <unordered_map>

namespace host {

namespace {

constexpr size_t kMaxProblems = 200;
constexpr uint32_t kMaxFormatSize = 1 << 20;
constexpr uint32_t kNotKeyFrame = 0x80000000u;

uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t le32(const uint8_t* p) {
    return le16(p) | uint32_t{le16(p + 2)} << 16;
}
uint64_t le64(const uint8_t* p) {
    return le32(p) | uint64_t{le32(p + 4)} << 32;
}
std::string fourcc(const uint8_t* p) {
    return std::string(p, p + 4);
}

// A FourCC for messages: unprintable bytes become '?'.
std::string shown(const std::string& id) {
    std::string s = id;
    for (char& c : s)
        if (c < 0x20 || c > 0x7E)
            c = '?';
    return "'" + s + "'";
}

std::string at(uint64_t offset) {
    return " at offset " + std::to_string(offset);
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The stream number of "NNxx" data chunks and "ixNN" index chunks.
std::optional<uint32_t> streamOf(const std::string& id, bool index) {
    const char* d = id.data() + (index ? 2 : 0);
    if (!isDigit(d[0]) || !isDigit(d[1]))
        return std::nullopt;
    return uint32_t((d[0] - '0') * 10 + (d[1] - '0'));
}

// A list the writer began and never closed ends before the first chunk it cannot hold: RIFFs
// do not nest, and neither a list nor idx1 lies inside a movi list.
bool endsOpenList(const std::string& listType, const std::string& id) {
    return id == "RIFF" || (listType == "movi" && (id == "LIST" || id == "idx1"));
}

} // namespace

struct AviReader::Header {
    std::string id;
    uint64_t offset = 0;   // of the header
    uint64_t size = 0;     // within the parent
    uint32_t declared = 0; // as written
    std::string listType;  // for RIFF and LIST
    bool open = false;     // a RIFF or movi list that still has the placeholder size
    uint64_t data() const { return offset + 8; }
    uint64_t end() const { return data() + size; }
    bool isList(const char* type) const { return id == "LIST" && listType == type; }
};

struct AviReader::StandardIndex {
    uint64_t offset = 0; // of the ix chunk header
    uint32_t stream = 0;
    std::string chunkId;
    uint64_t base = 0;
    std::vector<std::pair<uint32_t, uint32_t>> entries; // offset, size with the key frame bit
    bool listed = false;                                // by a super index entry
};

struct AviReader::Walk {
    std::vector<StandardIndex> indexes;
    std::optional<uint64_t> firstMovi;
    std::optional<std::vector<uint8_t>> idx1;
};

AviReader::AviReader(const std::string& path) : AviReader(openInput(path)) {}

AviReader::AviReader(std::unique_ptr<ByteSource> in) : m_in(std::move(in)) {
    const std::string& name = m_in->name();
    if (!m_in->size())
        throw std::runtime_error(name + ": not a regular file; an AVI file is read by seeking");
    m_fileSize = *m_in->size();
    uint8_t head[12] = {};
    if (!m_in->readExact(head, 12) || fourcc(head) != "RIFF" || fourcc(head + 8) != "AVI ")
        throw std::runtime_error(name + ": not an AVI file (it does not begin with RIFF 'AVI ')");

    // The top level is walked like any list, so a truncated last RIFF still shows its chunks.
    Walk walk;
    forEachChunk(0, m_fileSize, [&](Header& h) {
        const char* expected = m_riffs.empty() ? "AVI " : "AVIX";
        if (h.id != "RIFF") {
            problem("chunk " + shown(h.id) + at(h.offset) + " where a RIFF should begin");
            return;
        }
        m_riffs.push_back({h.listType, h.offset, h.declared, h.open, {}, false});
        if (h.listType == expected)
            walkRiff(h, m_riffs.size() - 1, walk);
        else
            problem("RIFF" + at(h.offset) + " is of type " + shown(h.listType) + ", not '" +
                    expected + "'");
    });
    crossCheck(walk);
    checkCounts();
    if (m_unlisted)
        m_problems.push_back("... and " + std::to_string(m_unlisted) + " more problems");
}

void AviReader::problem(std::string text) {
    if (m_problems.size() < kMaxProblems)
        m_problems.push_back(std::move(text));
    else
        ++m_unlisted;
}

AviReader::~AviReader() = default;

std::vector<uint8_t> AviReader::readChunk(const Chunk& chunk) {
    std::vector<uint8_t> bytes;
    readChunk(chunk, bytes);
    return bytes;
}

void AviReader::readChunk(const Chunk& chunk, std::vector<uint8_t>& bytes) {
    if (chunk.offset > m_fileSize || chunk.size > m_fileSize - chunk.offset)
        throw std::runtime_error(m_in->name() + ": chunk " + shown(chunk.id) + at(chunk.offset) +
                                 " runs past the end of the file");
    readAt(chunk.offset, chunk.size, bytes);
}

std::vector<uint8_t> AviReader::readUpTo(uint64_t offset, uint64_t size) {
    std::vector<uint8_t> bytes;
    if (offset < m_fileSize)
        readAt(offset, std::min(size, m_fileSize - offset), bytes);
    return bytes;
}

std::vector<uint8_t> AviReader::readAt(uint64_t offset, uint64_t size) {
    std::vector<uint8_t> bytes;
    readAt(offset, size, bytes);
    return bytes;
}

void AviReader::readAt(uint64_t offset, uint64_t size, std::vector<uint8_t>& bytes) {
    bytes.resize(static_cast<size_t>(size));
    m_in->seek(offset);
    if (!m_in->readExact(bytes.data(), bytes.size()))
        throw std::runtime_error(m_in->name() + ": the file ends before " +
                                 std::to_string(offset + size));
}

// A header that does not fit or a size that runs past the parent ends the walk of that parent
// with a problem; every step moves at least 8 bytes.
template <class Visit>
uint64_t AviReader::forEachChunk(uint64_t begin, uint64_t end, Visit&& visit,
                                 const std::string* openType) {
    uint64_t p = begin;
    while (p < end) {
        if (end - p < 8) {
            problem(std::to_string(end - p) + " stray bytes" + at(p) +
                    ", too few for a chunk header");
            return end;
        }
        auto bytes = readAt(p, 8);
        Header h{fourcc(&bytes[0]), p, le32(&bytes[4]), le32(&bytes[4]), {}};
        if (openType && endsOpenList(*openType, h.id))
            return p;
        const bool isList = h.id == "LIST" || h.id == "RIFF";
        if (h.size > end - p - 8) {
            problem("chunk " + shown(h.id) + at(p) + " declares " + std::to_string(h.size) +
                    " bytes, past the end of its parent at " + std::to_string(end));
            if (!isList && end == m_fileSize && streamOf(h.id, false) && !m_cutShort)
                m_cutShort =
                    Chunk{h.id, *streamOf(h.id, false), h.data(), h.declared, 0, {}, {}, false};
            // A list cut short (a truncated file) still shows the chunks that are complete.
            if (!isList || end - p < 12)
                return end;
            h.size = end - p - 8;
        }
        if (isList) {
            if (h.size < 4) {
                problem("list" + at(p) + " is too short to hold its type");
            } else {
                h.listType = fourcc(readAt(p + 8, 4).data());
                // Its content, if it was never closed, runs on to where the walk inside it stops.
                const bool mayBeOpen = h.id == "RIFF" || h.listType == "movi";
                if (mayBeOpen && h.declared == 4 && end - p > 12) {
                    const std::string next = end - p >= 16 ? fourcc(readAt(p + 12, 4).data()) : "";
                    h.open = !endsOpenList(h.listType, next);
                    if (h.open)
                        h.size = end - p - 8;
                }
                visit(h);
            }
        } else {
            visit(h);
        }
        p = h.end() + (h.open ? 0 : h.size & 1);
    }
    return std::min(p, end);
}

uint64_t AviReader::walkRiff(Header& riff, size_t index, Walk& walk) {
    bool haveMovi = false;
    const std::string which = "RIFF " + std::to_string(index);
    const uint64_t stop = forEachChunk(
        riff.data() + 4, riff.end(),
        [&](Header& h) {
            if (h.isList("hdrl") && index == 0 && !m_mainHeader) {
                walkHeaderList(h.data() + 4, h.end());
            } else if (h.isList("movi") && !haveMovi) {
                haveMovi = true;
                m_riffs[index].movi = h.offset;
                m_riffs[index].moviOpen = h.open;
                if (index == 0)
                    walk.firstMovi = h.offset;
                walkMovi(h, index, walk);
            } else if (h.id == "idx1" && index == 0 && !walk.idx1) {
                walk.idx1 = readAt(h.data(), h.size);
            } else if (h.id != "JUNK") {
                problem("unexpected chunk " + shown(h.id) + at(h.offset) + " in " + which);
            }
        },
        riff.open ? &riff.listType : nullptr);
    if (!haveMovi)
        problem(which + " has no movi list");
    if (riff.open) {
        riff.size = stop - riff.data();
        problem(which + at(riff.offset) + " was never closed: its size is still the placeholder");
    }
    return stop;
}

void AviReader::walkHeaderList(uint64_t begin, uint64_t end) {
    forEachChunk(begin, end, [&](const Header& h) {
        if (h.id == "avih") {
            if (h.size < 40) {
                problem("avih" + at(h.offset) + " is only " + std::to_string(h.size) + " bytes");
                return;
            }
            auto b = readAt(h.data(), 40);
            m_mainHeader =
                MainHeader{le32(&b[0]),  le32(&b[4]),  le32(&b[12]), le32(&b[16]), le32(&b[24]),
                           le32(&b[28]), le32(&b[32]), le32(&b[36]), h.data()};
        } else if (h.isList("strl")) {
            walkStreamList(h.data() + 4, h.end());
        } else if (h.isList("odml")) {
            forEachChunk(h.data() + 4, h.end(), [&](const Header& d) {
                if (d.id == "dmlh" && d.size >= 4) {
                    m_dmlhTotalFrames = le32(readAt(d.data(), 4).data());
                    m_dmlhAt = d.data();
                }
            });
        }
    });
    if (!m_mainHeader)
        problem("the header list has no main header (avih)");
    else if (m_mainHeader->streams != m_streams.size())
        problem("the main header counts " + std::to_string(m_mainHeader->streams) +
                " streams, the header list holds " + std::to_string(m_streams.size()));
}

void AviReader::walkStreamList(uint64_t begin, uint64_t end) {
    Stream& s = m_streams.emplace_back();
    const std::string which = "stream " + std::to_string(m_streams.size() - 1);
    bool haveHeader = false;
    forEachChunk(begin, end, [&](const Header& h) {
        if (h.id == "strh") {
            if (h.size < 48) {
                problem("strh of " + which + " is only " + std::to_string(h.size) + " bytes");
                return;
            }
            auto b = readAt(h.data(), std::min<uint64_t>(h.size, 56));
            s.header = b;
            s.headerAt = h.data();
            haveHeader = true;
            s.fccType = fourcc(&b[0]);
            s.fccHandler = fourcc(&b[4]);
            s.scale = le32(&b[20]);
            s.rate = le32(&b[24]);
            s.length = le32(&b[32]);
            s.suggestedBufferSize = le32(&b[36]);
            s.sampleSize = le32(&b[44]);
        } else if (h.id == "strf") {
            if (h.size > kMaxFormatSize)
                problem("strf of " + which + " is " + std::to_string(h.size) + " bytes long");
            else
                s.format = readAt(h.data(), h.size);
        } else if (h.id == "indx") {
            if (h.size < 24) {
                problem("indx of " + which + " is only " + std::to_string(h.size) + " bytes");
                return;
            }
            auto b = readAt(h.data(), 24);
            s.indexAt = h.data();
            s.indexSize = static_cast<uint32_t>(h.size);
            if (le16(&b[0]) != 4 || b[3] != 0)
                problem("indx of " + which + " is not a super index of 4-word entries");
            s.superIndexInUse = le32(&b[4]);
            s.indexChunkId = fourcc(&b[8]);
            const uint64_t room = (h.size - 24) / 16;
            if (s.superIndexInUse > room)
                problem("indx of " + which + " has " + std::to_string(s.superIndexInUse) +
                        " entries in use but room for " + std::to_string(room));
            const uint64_t n = std::min<uint64_t>(s.superIndexInUse, room);
            auto e = readAt(h.data() + 24, 16 * n);
            for (uint64_t i = 0; i < n; ++i)
                s.superIndex.push_back(
                    {le64(&e[16 * i]), le32(&e[16 * i + 8]), le32(&e[16 * i + 12])});
        }
    });
    if (!haveHeader)
        problem(which + " has no stream header (strh)");
}

uint64_t AviReader::walkMovi(Header& movi, size_t riff, Walk& walk) {
    const uint64_t stop = forEachChunk(
        movi.data() + 4, movi.end(),
        [&](const Header& h) {
            if (h.id.starts_with("ix") && streamOf(h.id, true)) {
                if (h.size < 24) {
                    problem("standard index " + shown(h.id) + at(h.offset) + " is only " +
                            std::to_string(h.size) + " bytes");
                    return;
                }
                auto b = readAt(h.data(), h.size);
                StandardIndex ix{h.offset, *streamOf(h.id, true), fourcc(&b[8]), le64(&b[12]), {}};
                if (le16(&b[0]) != 2 || b[3] != 1)
                    problem("standard index" + at(h.offset) + " is not an index of 2-word entries");
                const uint64_t room = (h.size - 24) / 8, inUse = le32(&b[4]);
                if (inUse > room)
                    problem("standard index" + at(h.offset) + " has " + std::to_string(inUse) +
                            " entries in use but room for " + std::to_string(room));
                for (uint64_t i = 0; i < std::min(inUse, room); ++i)
                    ix.entries.emplace_back(le32(&b[24 + 8 * i]), le32(&b[28 + 8 * i]));
                walk.indexes.push_back(std::move(ix));
            } else if (auto stream = streamOf(h.id, false)) {
                if (*stream >= m_streams.size()) {
                    problem("chunk " + shown(h.id) + at(h.offset) +
                            " belongs to no stream of the header");
                    return;
                }
                m_streams[*stream].chunks.push_back(
                    Chunk{h.id, *stream, h.data(), h.declared, riff, {}, {}, false});
            } else if (h.id != "JUNK") {
                problem("unexpected chunk " + shown(h.id) + at(h.offset) + " in a movi list");
            }
        },
        movi.open ? &movi.listType : nullptr);
    if (movi.open) {
        movi.size = stop - movi.data();
        problem("the movi list" + at(movi.offset) + " was never closed");
    }
    return stop;
}

void AviReader::crossCheck(Walk& walk) {
    std::unordered_map<uint64_t, Chunk*> byData;
    for (auto& s : m_streams)
        for (auto& c : s.chunks)
            byData[c.offset] = &c;
    auto find = [&](uint64_t dataPos, const std::string& id, uint32_t size) -> Chunk* {
        auto it = byData.find(dataPos);
        if (it == byData.end() || it->second->id != id || it->second->size != size)
            return nullptr;
        return it->second;
    };

    // The legacy index counts from the first movi list's type field.
    if (walk.firstMovi && !walk.idx1) {
        problem("the first RIFF has no idx1");
    } else if (walk.firstMovi) {
        const auto& b = *walk.idx1;
        if (b.size() % 16 != 0)
            problem("idx1 is " + std::to_string(b.size()) + " bytes, not a multiple of 16");
        for (size_t i = 0; i + 16 <= b.size(); i += 16) {
            const std::string id = fourcc(&b[i]);
            const uint64_t header = *walk.firstMovi + 8 + le32(&b[i + 8]);
            if (Chunk* c = find(header + 8, id, le32(&b[i + 12])))
                c->idx1KeyFrame = (le32(&b[i + 4]) & 0x10) != 0;
            else
                problem("idx1 entry " + std::to_string(i / 16) + " (" + shown(id) + " of " +
                        std::to_string(le32(&b[i + 12])) + " bytes" + at(header) +
                        ") matches no data chunk");
        }
    }

    std::unordered_map<uint64_t, StandardIndex*> ixByOffset;
    for (auto& ix : walk.indexes)
        ixByOffset[ix.offset] = &ix;
    for (size_t si = 0; si < m_streams.size(); ++si) {
        const Stream& s = m_streams[si];
        for (size_t e = 0; e < s.superIndex.size(); ++e) {
            const auto& entry = s.superIndex[e];
            const std::string where =
                "super index entry " + std::to_string(e) + " of stream " + std::to_string(si);
            auto it = ixByOffset.find(entry.offset);
            if (it == ixByOffset.end() || it->second->stream != si) {
                problem(where + " points" + at(entry.offset) + " where no standard index of " +
                        "the stream is");
                continue;
            }
            StandardIndex& ix = *it->second;
            ix.listed = true;
            const uint64_t n = ix.entries.size();
            uint64_t bytes = 0;
            for (auto [offset, size] : ix.entries)
                bytes += size & ~kNotKeyFrame;
            const uint64_t duration = s.sampleSize ? bytes / s.sampleSize : n;
            if (entry.size != 32 + 8 * n)
                problem(where + " gives size " + std::to_string(entry.size) + ", its index is " +
                        std::to_string(32 + 8 * n) + " bytes");
            if (entry.duration != duration)
                problem(where + " gives duration " + std::to_string(entry.duration) +
                        ", its index covers " + std::to_string(duration));
        }
    }
    for (const auto& ix : walk.indexes) {
        const std::string where = "standard index" + at(ix.offset);
        if (!ix.listed)
            problem(where + " is in no super index");
        if (ix.stream < m_streams.size() && ix.chunkId != m_streams[ix.stream].indexChunkId)
            problem(where + " is for chunks " + shown(ix.chunkId) + ", its stream's are " +
                    shown(m_streams[ix.stream].indexChunkId));
        for (size_t i = 0; i < ix.entries.size(); ++i) {
            auto [offset, size] = ix.entries[i];
            if (Chunk* c = find(ix.base + offset, ix.chunkId, size & ~kNotKeyFrame))
                c->ixKeyFrame = (size & kNotKeyFrame) == 0;
            else
                problem(where + " entry " + std::to_string(i) + " (" +
                        std::to_string(size & ~kNotKeyFrame) + " bytes" + at(ix.base + offset) +
                        ") matches no data chunk of " + shown(ix.chunkId));
        }
    }

    std::vector<bool> indexed(m_streams.size());
    for (const auto& ix : walk.indexes)
        if (ix.stream < indexed.size())
            indexed[ix.stream] = true;
    for (size_t si = 0; si < m_streams.size(); ++si) {
        // One problem for a stream without any standard index, not one per chunk.
        if (!indexed[si] && !m_streams[si].chunks.empty())
            problem("stream " + std::to_string(si) + " has chunks but no standard index");
        for (auto& c : m_streams[si].chunks) {
            const std::string what = "chunk " + shown(c.id) + at(c.offset - 8);
            if (!c.ixKeyFrame && indexed[si])
                problem(what + " is in no standard index");
            if (c.riff == 0 && walk.idx1 && !c.idx1KeyFrame)
                problem(what + " is not in idx1");
            if (c.ixKeyFrame && c.idx1KeyFrame && *c.ixKeyFrame != *c.idx1KeyFrame)
                problem(what + ": idx1 and the standard index disagree about the key frame");
            c.keyFrame = c.ixKeyFrame.value_or(c.idx1KeyFrame.value_or(false));
        }
    }
}

// Every count a reader takes from the headers against the chunks the walk found: the streams'
// lengths and largest chunks, the main header's frames of the first RIFF and largest chunk with
// its header, and the extended header's frames of the whole file.
void AviReader::checkCounts() {
    uint32_t largestChunk = 0, firstRiffFrames = 0, allFrames = 0;
    for (size_t si = 0; si < m_streams.size(); ++si) {
        const Stream& s = m_streams[si];
        const std::string which = "stream " + std::to_string(si);
        const bool video = s.fccType == "vids";
        const std::string kind = video ? "dc" : s.fccType == "auds" ? "wb" : "";
        uint64_t length = 0, inFirstRiff = 0;
        uint32_t largest = 0;
        for (const Chunk& c : s.chunks) {
            if (!kind.empty() && c.id.substr(2) != kind)
                problem("chunk " + shown(c.id) + at(c.offset - 8) + " is not a chunk of " + which +
                        ", whose type is " + shown(s.fccType));
            // Audio counts sample frames, everything else chunks.
            length += s.sampleSize != 0 ? c.size / s.sampleSize : 1;
            inFirstRiff += c.riff == 0;
            largest = std::max(largest, c.size);
            largestChunk = std::max(largestChunk, 8 + c.size + c.size % 2);
        }
        if (length != s.length)
            problem(which + "'s header gives length " + std::to_string(s.length) +
                    ", its chunks hold " + std::to_string(length));
        if (largest != s.suggestedBufferSize)
            problem(which + "'s header gives " + std::to_string(s.suggestedBufferSize) +
                    " bytes as its largest chunk, which is " + std::to_string(largest));
        if (video) {
            firstRiffFrames = std::max(firstRiffFrames, uint32_t(inFirstRiff));
            allFrames = std::max(allFrames, uint32_t(s.chunks.size()));
        }
    }
    if (m_mainHeader) {
        if ((m_mainHeader->flags & 0x10) == 0)
            problem("the main header does not say that the file has an index");
        if (m_mainHeader->totalFrames != firstRiffFrames)
            problem("the main header counts " + std::to_string(m_mainHeader->totalFrames) +
                    " frames, the first RIFF holds " + std::to_string(firstRiffFrames));
        if (m_mainHeader->suggestedBufferSize != largestChunk)
            problem("the main header gives " + std::to_string(m_mainHeader->suggestedBufferSize) +
                    " bytes as the largest chunk, which is " + std::to_string(largestChunk));
    }
    if (m_dmlhTotalFrames && *m_dmlhTotalFrames != allFrames)
        problem("the extended header counts " + std::to_string(*m_dmlhTotalFrames) +
                " frames, the file holds " + std::to_string(allFrames));
}

} // namespace host
