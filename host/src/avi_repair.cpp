#include "host/avi_repair.h"

#include "avi/avi_layout.h"
#include "host/avi_reader.h"
#include "media/byte_file.h"

#include <algorithm>
#include <stdexcept>

namespace host {

using namespace IOPlugin;
using namespace IOPlugin::avi;

namespace {

constexpr uint64_t kCopyBlock = uint64_t{1} << 20;

uint32_t fourccOf(const std::string& text) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4 && i < text.size(); ++i) {
        value |= uint32_t(uint8_t(text[i])) << (8 * i);
    }
    return value;
}

// Two digits of the stream's index, then "dc" for video, "wb" for audio: the writer's ids.
std::string chunkIdOf(size_t stream, const std::string& fccType) {
    const std::string digits = {char('0' + stream / 10), char('0' + stream % 10)};
    return digits + (fccType == "vids" ? "dc" : fccType == "auds" ? "wb" : "??");
}

// A chunk with its header and pad byte.
uint64_t paddedLength(uint64_t size) {
    return 8 + size + size % 2;
}

void appendChunk(std::vector<uint8_t>& out, uint32_t id, std::span<const uint8_t> data) {
    append(out, id);
    append(out, static_cast<uint32_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
    if (data.size() % 2 != 0) {
        out.push_back(0);
    }
}

void appendList(std::vector<uint8_t>& out, uint32_t id, uint64_t size, uint32_t type) {
    append(out, id);
    append(out, static_cast<uint32_t>(size));
    append(out, type);
}

std::vector<uint8_t> le32(uint64_t value) {
    std::vector<uint8_t> bytes;
    append(bytes, static_cast<uint32_t>(value));
    return bytes;
}

// The size the writer reserves for each super index: an entry for the first RIFF and one for
// each "AVIX" RIFF up to the largest file.
uint64_t superIndexReserve(const AviLimits& limits) {
    uint64_t entries = 1;
    if (limits.maxFileSize > limits.firstRiffLimit) {
        entries =
            (limits.maxFileSize - limits.firstRiffLimit - 1 + limits.riffLimit) / limits.riffLimit +
            1;
    }
    return superindex::kHeaderSize + superindex::kEntrySize * entries;
}

void addWrite(RepairPlan& plan, uint64_t offset, std::vector<uint8_t> bytes) {
    if (!bytes.empty()) {
        plan.steps.push_back({RepairStep::Kind::Write, offset, std::move(bytes), 0, 0});
    }
}

// Chunks that follow each other in both files are copied as one range.
void addCopy(RepairPlan& plan, uint64_t offset, uint64_t from, uint64_t size) {
    if (!plan.steps.empty()) {
        RepairStep& last = plan.steps.back();
        if (last.kind == RepairStep::Kind::Copy && last.offset + last.size == offset &&
            last.from + last.size == from) {
            last.size += size;
            return;
        }
    }
    plan.steps.push_back({RepairStep::Kind::Copy, offset, {}, from, size});
}

std::string describe(const AviReader::Chunk& c) {
    return "chunk '" + c.id + "' at offset " + std::to_string(c.offset - 8) + ", " +
           std::to_string(c.size) + " bytes";
}

class FileTarget : public RepairTarget {
public:
    FileTarget(const std::string& path, bool create) : m_file(path, create) {}
    void write(uint64_t offset, std::span<const uint8_t> bytes) override {
        m_file.writeAt(offset, bytes.data(), bytes.size());
    }
    void resize(uint64_t size) override { m_file.resize(size); }
    void flush() override { m_file.flush(); }

private:
    media::UpdateFile m_file;
};

} // namespace

std::unique_ptr<RepairTarget> openRepairTarget(const std::string& path, bool create) {
    return std::make_unique<FileTarget>(path, create);
}

void RepairPlan::apply(AviReader& source, RepairTarget& target) const {
    for (const RepairStep& step : steps) {
        switch (step.kind) {
        case RepairStep::Kind::Write:
            target.write(step.offset, step.bytes);
            break;
        case RepairStep::Kind::Resize:
            target.resize(step.offset);
            break;
        case RepairStep::Kind::Copy:
            for (uint64_t done = 0; done < step.size;) {
                const auto block =
                    source.readUpTo(step.from + done, std::min(kCopyBlock, step.size - done));
                if (block.empty()) {
                    throw std::runtime_error("the damaged file ends before " +
                                             std::to_string(step.from + step.size));
                }
                target.write(step.offset + done, block);
                done += block.size();
            }
            break;
        }
    }
    target.flush();
}

// What ends a RIFF after its last chunk: the standard indexes that close its movi list, and in
// the first RIFF the idx1 chunk after it.
struct AviRepair::Tail {
    struct Entry {
        size_t stream;
        uint64_t offset;
        uint32_t size, duration;
    };
    uint64_t start = 0;
    std::vector<uint8_t> indexes, idx1;
    std::vector<Entry> entries; // for the super indexes

    uint64_t moviEnd() const { return start + indexes.size(); }
    uint64_t end() const { return moviEnd() + idx1.size(); }
};

AviRepair::AviRepair(AviReader& file, PacketCheck check, const AviLimits& limits)
    : m_file(file), m_limits(limits) {
    const auto& streams = file.streams();
    const auto& main = file.mainHeader();
    const bool headerComplete =
        main && !streams.empty() && main->streams == streams.size() && !file.riffs().empty() &&
        file.riffs()[0].movi &&
        std::all_of(streams.begin(), streams.end(), [](const AviReader::Stream& s) {
            return s.header.size() == strh::kSize && !s.format.empty();
        });
    if (!headerComplete) {
        throw std::runtime_error("the file's header was never completed (the render stopped "
                                 "before its first frame): there are no frames to recover");
    }
    std::vector<const AviReader::Chunk*> chunks;
    for (const auto& s : streams) {
        for (const auto& c : s.chunks) {
            chunks.push_back(&c);
        }
    }
    std::sort(chunks.begin(), chunks.end(),
              [](const auto* a, const auto* b) { return a->offset < b->offset; });
    std::vector<uint64_t> seen(streams.size());
    for (const AviReader::Chunk* c : chunks) {
        const uint64_t n = ++seen[c->stream];
        if (check && streams[c->stream].fccType == "vids") {
            if (const auto why = check(c->stream, file.readChunk(*c))) {
                m_dropped.push_back({"frame " + std::to_string(n) + " of stream " +
                                         std::to_string(c->stream) + " (" + describe(*c) + ")",
                                     "it does not decode: " + *why});
                m_refused.push_back({c->riff, c->offset - 8});
                continue;
            }
        }
        m_kept.push_back({c->stream, c->offset, c->size, c->riff});
    }
    if (const auto& cut = file.cutShort()) {
        m_dropped.push_back(
            {"the last " + describe(*cut), "it is cut short: the file ends " +
                                               std::to_string(file.fileSize() - cut->offset) +
                                               " bytes into its data"});
    }
}

std::vector<std::pair<uint64_t, uint64_t>> AviRepair::kept() const {
    std::vector<std::pair<uint64_t, uint64_t>> kept(m_file.streams().size());
    for (const Kept& k : m_kept) {
        ++kept[k.stream].first;
        kept[k.stream].second += durationOf(k);
    }
    return kept;
}

// Video chunks are frames; audio chunks hold whole sample frames of the stream's block size.
uint32_t AviRepair::durationOf(const Kept& chunk) const {
    const AviReader::Stream& s = m_file.streams()[chunk.stream];
    return s.fccType == "auds" && s.sampleSize != 0 ? chunk.size / s.sampleSize : 1;
}

AviRepair::Tail AviRepair::tailOf(const Riff& riff, bool first) const {
    const auto& streams = m_file.streams();
    const auto isVideo = [&](size_t s) { return streams[s].fccType == "vids"; };
    Tail t;
    t.start = riff.chunks.empty()
                  ? riff.movi + 12
                  : riff.chunks.back().at + paddedLength(riff.chunks.back().chunk->size);
    for (size_t s = 0; s < streams.size(); ++s) {
        std::vector<uint8_t> ix(stdindex::kHeaderSize, 0);
        uint32_t count = 0, duration = 0;
        for (const Placed& p : riff.chunks) {
            if (p.chunk->stream == s) {
                ++count;
                duration += durationOf(*p.chunk);
                append(ix, static_cast<uint32_t>(p.at + 8 - riff.movi));
                append(ix, p.chunk->size | (isVideo(s) ? 0 : stdindex::kNotKeyFrame));
            }
        }
        if (count == 0) {
            continue;
        }
        const std::string id = chunkIdOf(s, streams[s].fccType);
        set(ix, stdindex::longsPerEntry, uint16_t{2});
        set(ix, stdindex::indexType, stdindex::kIndexOfChunks);
        set(ix, stdindex::entriesInUse, count);
        set(ix, stdindex::chunkId, fourccOf(id));
        set(ix, stdindex::baseOffset, riff.movi);
        t.entries.push_back({s, t.moviEnd(), static_cast<uint32_t>(8 + ix.size()), duration});
        appendChunk(t.indexes, fourccOf("ix" + id.substr(0, 2)), ix);
    }
    if (first) {
        std::vector<uint8_t> entries;
        for (const Placed& p : riff.chunks) {
            append(entries, fourccOf(chunkIdOf(p.chunk->stream, streams[p.chunk->stream].fccType)));
            append(entries, isVideo(p.chunk->stream) ? idx1::kKeyFrame : uint32_t{0});
            append(entries, static_cast<uint32_t>(p.at - riff.movi - 8));
            append(entries, p.chunk->size);
        }
        appendChunk(t.idx1, riffFourcc("idx1"), entries);
    }
    return t;
}

std::vector<uint8_t> AviRepair::streamHeader(size_t stream) const {
    std::vector<uint8_t> header = m_file.streams()[stream].header;
    uint32_t length = 0, largest = 0;
    for (const Kept& k : m_kept) {
        if (k.stream == stream) {
            length += durationOf(k);
            largest = std::max(largest, k.size);
        }
    }
    set(header, strh::length, length);
    set(header, strh::suggestedBufferSize, largest);
    return header;
}

std::vector<uint8_t> AviRepair::mainHeader(const std::vector<Riff>& riffs) const {
    const AviReader::MainHeader& main = *m_file.mainHeader();
    std::vector<uint32_t> framesInFirst(m_file.streams().size());
    for (const Placed& p : riffs.front().chunks) {
        framesInFirst[p.chunk->stream] += m_file.streams()[p.chunk->stream].fccType == "vids";
    }
    uint64_t largest = 0;
    for (const Kept& k : m_kept) {
        largest = std::max(largest, paddedLength(k.size));
    }
    std::vector<uint8_t> header(avih::kSize, 0);
    set(header, avih::microSecPerFrame, main.microSecPerFrame);
    set(header, avih::flags, avih::kHasIndex);
    set(header, avih::totalFrames, *std::max_element(framesInFirst.begin(), framesInFirst.end()));
    set(header, avih::streams, static_cast<uint32_t>(m_file.streams().size()));
    set(header, avih::suggestedBufferSize, static_cast<uint32_t>(largest));
    set(header, avih::width, main.width);
    set(header, avih::height, main.height);
    return header;
}

std::vector<uint8_t> AviRepair::extendedHeader() const {
    uint32_t frames = 0;
    for (size_t s = 0; s < m_file.streams().size(); ++s) {
        if (m_file.streams()[s].fccType == "vids") {
            frames = std::max(frames, get(streamHeader(s), strh::length));
        }
    }
    std::vector<uint8_t> header(dmlh::kSize, 0);
    set(header, dmlh::totalFrames, frames);
    return header;
}

// Entries beyond the reserved room are counted but not written, as the writer does.
std::vector<uint8_t> AviRepair::superIndex(size_t stream, const std::vector<Tail>& tails,
                                           uint64_t reserved) const {
    std::vector<uint8_t> index(superindex::kHeaderSize, 0);
    uint32_t count = 0;
    for (const Tail& t : tails) {
        for (const Tail::Entry& e : t.entries) {
            if (e.stream == stream) {
                ++count;
                append(index, e.offset);
                append(index, e.size);
                append(index, e.duration);
            }
        }
    }
    set(index, superindex::longsPerEntry, uint16_t{4});
    set(index, superindex::indexType, superindex::kIndexOfIndexes);
    set(index, superindex::entriesInUse, count);
    set(index, superindex::chunkId, fourccOf(chunkIdOf(stream, m_file.streams()[stream].fccType)));
    index.resize(reserved, 0);
    return index;
}

RepairPlan AviRepair::intoNewFile() const {
    const auto& streams = m_file.streams();
    const uint64_t reserve = superIndexReserve(m_limits);
    const auto strlSize = [&](const AviReader::Stream& s) {
        return 4 + paddedLength(strh::kSize) + paddedLength(s.format.size()) +
               paddedLength(reserve);
    };
    const uint64_t odmlSize = 4 + paddedLength(dmlh::kSize);
    uint64_t hdrlSize = 4 + paddedLength(avih::kSize) + 8 + odmlSize;
    for (const auto& s : streams) {
        hdrlSize += 8 + strlSize(s);
    }

    // The writer's test before each chunk: would the chunk, the standard indexes with one more
    // entry and, in the first RIFF, idx1 with its new entry still fit into the current RIFF?
    std::vector<Riff> riffs{{0, 12 + 8 + hdrlSize, {}}};
    uint64_t at = riffs[0].movi + 12, legacy = 0;
    std::vector<uint64_t> pending(streams.size());
    for (const Kept& k : m_kept) {
        const bool first = riffs.size() == 1;
        uint64_t total = at - riffs.back().offset + paddedLength(k.size) + 8;
        for (const uint64_t n : pending) {
            total += 32 + 8 * n;
        }
        if (first) {
            total += legacy + 24;
        }
        if (total > (first ? m_limits.firstRiffLimit : m_limits.riffLimit)) {
            at = tailOf(riffs.back(), first).end();
            riffs.push_back({at, at + 12, {}});
            at += 24;
            std::fill(pending.begin(), pending.end(), 0);
        }
        riffs.back().chunks.push_back({&k, at});
        at += paddedLength(k.size);
        ++pending[k.stream];
        legacy += riffs.size() == 1 ? idx1::kEntrySize : 0;
    }
    std::vector<Tail> tails;
    for (size_t r = 0; r < riffs.size(); ++r) {
        tails.push_back(tailOf(riffs[r], r == 0));
    }

    std::vector<uint8_t> head;
    appendList(head, kRiffId, tails[0].end() - 8, riffFourcc("AVI "));
    appendList(head, kListId, hdrlSize, riffFourcc("hdrl"));
    appendChunk(head, riffFourcc("avih"), mainHeader(riffs));
    for (size_t s = 0; s < streams.size(); ++s) {
        appendList(head, kListId, strlSize(streams[s]), riffFourcc("strl"));
        appendChunk(head, riffFourcc("strh"), streamHeader(s));
        appendChunk(head, riffFourcc("strf"), streams[s].format);
        appendChunk(head, riffFourcc("indx"), superIndex(s, tails, reserve));
    }
    appendList(head, kListId, odmlSize, riffFourcc("odml"));
    appendChunk(head, riffFourcc("dmlh"), extendedHeader());

    RepairPlan plan;
    for (size_t r = 0; r < riffs.size(); ++r) {
        if (r > 0) {
            appendList(head, kRiffId, tails[r].end() - riffs[r].offset - 8, riffFourcc("AVIX"));
        }
        appendList(head, kListId, tails[r].moviEnd() - riffs[r].movi - 8, riffFourcc("movi"));
        addWrite(plan, r > 0 ? riffs[r].offset : 0, std::move(head));
        head.clear();
        for (const Placed& p : riffs[r].chunks) {
            // The pad byte of a chunk that ends the damaged file may be missing; the write after
            // it leaves a zero there.
            const uint64_t from = p.chunk->data - 8;
            addCopy(plan, p.at, from,
                    std::min(paddedLength(p.chunk->size), m_file.fileSize() - from));
        }
        std::vector<uint8_t> tail = tails[r].indexes;
        tail.insert(tail.end(), tails[r].idx1.begin(), tails[r].idx1.end());
        addWrite(plan, tails[r].start, std::move(tail));
    }
    plan.fileSize = tails.back().end();
    return plan;
}

RepairPlan AviRepair::inPlace() const {
    const auto& streams = m_file.streams();
    const auto& found = m_file.riffs();
    for (const auto& s : streams) {
        if (s.indexSize < superindex::kHeaderSize || !m_file.dmlhOffset()) {
            throw std::runtime_error("the header has no room for the indexes of a finished "
                                     "file; repair into a new file (-o) instead");
        }
    }
    // The RIFFs stay where they are, up to the last one with a chunk to keep.
    size_t last = 0;
    for (const Kept& k : m_kept) {
        last = std::max(last, k.riff);
    }
    std::vector<Riff> riffs;
    for (size_t r = 0; r <= last; ++r) {
        riffs.push_back({found[r].offset, found[r].movi.value_or(0), {}});
    }
    for (const Kept& k : m_kept) {
        riffs[k.riff].chunks.push_back({&k, k.data - 8});
    }
    std::vector<Tail> tails;
    for (size_t r = 0; r < riffs.size(); ++r) {
        tails.push_back(tailOf(riffs[r], r == 0));
    }

    RepairPlan plan;
    // Only what differs is written, so a file that needs nothing is not touched.
    const auto patch = [&](uint64_t offset, std::vector<uint8_t> bytes) {
        if (m_file.readUpTo(offset, bytes.size()) != bytes) {
            addWrite(plan, offset, std::move(bytes));
        }
    };
    // A refused packet among those kept becomes a JUNK chunk, which every reader skips.
    for (const auto& [riff, at] : m_refused) {
        if (riff < riffs.size() && at < tails[riff].start) {
            patch(at, {'J', 'U', 'N', 'K'});
        }
    }
    for (size_t r = 0; r < riffs.size(); ++r) {
        const Tail& t = tails[r];
        std::vector<uint8_t> tail = t.indexes;
        tail.insert(tail.end(), t.idx1.begin(), t.idx1.end());
        bool rewrite = false;
        if (r == last) {
            // Everything after the last chunk kept is rebuilt unless it already is the tail.
            rewrite = m_file.readUpTo(t.start, tail.size() + 1) != tail;
            if (rewrite) {
                plan.steps.push_back({RepairStep::Kind::Resize, t.start, {}, 0, 0});
            }
        } else if (found[r].open || found[r].moviOpen || !found[r].movi ||
                   found[r].offset + 8 + found[r].size != t.end() ||
                   m_file.readUpTo(riffs[r].movi + 4, 4) != le32(t.moviEnd() - riffs[r].movi - 8)) {
            throw std::runtime_error("RIFF " + std::to_string(r) +
                                     " has no room for its indexes where it is; repair into a "
                                     "new file (-o) instead");
        }
        // The order the writer closes a RIFF in: indexes, movi size, idx1, RIFF size.
        if (rewrite) {
            addWrite(plan, t.start, t.indexes);
        } else {
            patch(t.start, t.indexes);
        }
        patch(riffs[r].movi + 4, le32(t.moviEnd() - riffs[r].movi - 8));
        if (rewrite) {
            addWrite(plan, t.moviEnd(), t.idx1);
        } else {
            patch(t.moviEnd(), t.idx1);
        }
        patch(riffs[r].offset + 4, le32(t.end() - riffs[r].offset - 8));
    }
    for (size_t s = 0; s < streams.size(); ++s) {
        patch(streams[s].headerAt, streamHeader(s));
        patch(streams[s].indexAt, superIndex(s, tails, streams[s].indexSize));
    }
    patch(m_file.mainHeader()->at, mainHeader(riffs));
    patch(*m_file.dmlhOffset(), extendedHeader());
    plan.fileSize = tails.back().end();
    return plan;
}

bool AviRepair::needed() const {
    try {
        return !inPlace().steps.empty();
    } catch (const std::runtime_error&) {
        return true;
    }
}

} // namespace host
