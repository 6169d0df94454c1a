#include "avi/avi_writer.h"

#include "fileio/errors.h"

#include <algorithm>
#include <stdexcept>

namespace IOPlugin {

using namespace avi;

namespace {

constexpr uint32_t kVids = riffFourcc("vids");
constexpr uint32_t kAuds = riffFourcc("auds");

// "ix" followed by the two digits of the stream's data chunk id.
uint32_t standardIndexId(uint32_t chunkId) {
    return (riffFourcc("ix00") & 0xFFFF) | (chunkId & 0xFFFF) << 16;
}

} // namespace

AviStream::AviStream(uint64_t index, uint32_t fccType) : m_index(index) {
    set(m_header, strh::fccType, fccType);
    set(m_superIndex, superindex::longsPerEntry, uint16_t{4});
    set(m_superIndex, superindex::indexType, superindex::kIndexOfIndexes);
    resetChunkId();
}

uint32_t AviStream::chunkId() const {
    return get(m_superIndex, superindex::chunkId);
}

void AviStream::resetChunkId() {
    const uint32_t type = get(m_header, strh::fccType);
    const uint32_t suffix = type == kVids   ? riffFourcc("00dc")
                            : type == kAuds ? riffFourcc("00wb")
                                            : riffFourcc("00??");
    const uint32_t digits = uint32_t('0' + m_index / 10) | uint32_t('0' + m_index % 10) << 8;
    set(m_superIndex, superindex::chunkId, (suffix & 0xFFFF0000) | digits);
}

void AviStream::setAudioFormat(uint16_t formatTag, uint16_t channels, uint32_t samplesPerSec,
                               uint16_t bitsPerSample, uint32_t channelMask) {
    m_header.fill(0);
    set(m_header, strh::fccType, kAuds);
    const uint32_t bytesPerSample = (uint32_t(bitsPerSample) + 7) / 8;
    const auto blockAlign = static_cast<uint16_t>(bytesPerSample * channels);
    const uint32_t avgBytesPerSec = blockAlign * samplesPerSec;
    set(m_header, strh::scale, uint32_t{blockAlign});
    set(m_header, strh::rate, avgBytesPerSec);
    set(m_header, strh::sampleSize, uint32_t{blockAlign});
    set(m_header, strh::quality, uint32_t{10000});

    // The short form cannot carry a channel layout other than the default one of mono or
    // stereo, nor samples whose valid bits differ from their container.
    const bool extensible = channels > 2 || (channels == 1 && channelMask != 0) ||
                            (channels == 2 && channelMask != 3) ||
                            (formatTag == 1 && bitsPerSample > 16) ||
                            bitsPerSample != 8 * bytesPerSample;
    std::vector<uint8_t> format(extensible ? wave::kExtensibleSize : wave::kShortSize, 0);
    set(format, wave::formatTag, extensible ? wave::kExtensibleTag : formatTag);
    set(format, wave::channels, channels);
    set(format, wave::samplesPerSec, samplesPerSec);
    set(format, wave::avgBytesPerSec, avgBytesPerSec);
    set(format, wave::blockAlign, blockAlign);
    set(format, wave::bitsPerSample, static_cast<uint16_t>(8 * bytesPerSample));
    if (extensible) {
        set(format, wave::cbSize, wave::kExtensibleCbSize);
        set(format, wave::validBitsPerSample, bitsPerSample);
        set(format, wave::channelMask, channelMask);
        set(format, wave::subFormatData1, uint32_t{formatTag});
        set(format, wave::subFormatData3, uint16_t{0x0010});
        std::copy(std::begin(wave::kSubFormatTail), std::end(wave::kSubFormatTail),
                  format.begin() + wave::kSubFormatData4);
    }
    m_format = std::move(format);
    resetChunkId();
}

AviWriter::AviWriter(fileio::File& file, const AviLimits& limits)
    : m_file(file), m_riff(file), m_maxFileSize(limits.maxFileSize),
      m_firstRiffLimit(limits.firstRiffLimit), m_riffLimit(limits.riffLimit) {
    if (m_riffLimit == 0 || superIndexReserve() > UINT32_MAX - 8) {
        throw std::invalid_argument("AviWriter: limits give no usable super index size");
    }
    set(m_mainHeader, avih::flags, avih::kHasIndex);
}

AviWriter::~AviWriter() {
    try {
        finalize();
    } catch (...) {
        // A destructor cannot report; a caller that wants to know calls finalize first.
    }
    m_riff.closeAll();
}

uint64_t AviWriter::addStream(uint32_t fccType) {
    if (m_streams.size() >= kMaxStreams) {
        throw std::length_error(
            "AviWriter::addStream: a file holds at most 100 streams (chunk ids have two digits)");
    }
    const uint64_t index = m_streams.size();
    m_streams.push_back(std::unique_ptr<AviStream>(new AviStream(index, fccType)));
    set(m_mainHeader, avih::streams, static_cast<uint32_t>(m_streams.size()));
    return index;
}

// One entry for the first RIFF and one for each AVIX RIFF needed to reach the largest file.
uint64_t AviWriter::superIndexReserve() const {
    uint64_t entries = 1;
    if (m_maxFileSize > m_firstRiffLimit) {
        entries = (m_maxFileSize - m_firstRiffLimit - 1 + m_riffLimit) / m_riffLimit + 1;
    }
    if (entries > (UINT32_MAX - superindex::kHeaderSize) / superindex::kEntrySize) {
        return UINT64_MAX;
    }
    return superindex::kEntrySize * entries + superindex::kHeaderSize;
}

int64_t AviWriter::writeWholeChunk(uint32_t id, const void* data, uint32_t size) {
    ChunkGuard chunk(m_riff.openChunk(id, size, false, 0));
    m_riff.writeData(data, size);
    return static_cast<int64_t>(chunk.close().position + 8);
}

void AviWriter::writeHeader() {
    if (m_headerWritten) {
        throw std::logic_error("AviWriter::writeHeader: already called, header is already written");
    }
    m_riffStart = static_cast<uint64_t>(m_file.tell());
    m_riff.openChunk(kRiffId, 4, true, riffFourcc("AVI "));
    m_firstRiff = true;
    {
        ChunkGuard hdrl(m_riff.openChunk(kListId, 4, true, riffFourcc("hdrl")));
        m_mainHeaderPos = writeWholeChunk(riffFourcc("avih"), m_mainHeader.data(), avih::kSize);
        const std::vector<uint8_t> zeros(superIndexReserve(), 0);
        for (auto& stream : m_streams) {
            ChunkGuard strl(m_riff.openChunk(kListId, 4, true, riffFourcc("strl")));
            stream->m_strhPos =
                writeWholeChunk(riffFourcc("strh"), stream->m_header.data(), strh::kSize);
            writeWholeChunk(riffFourcc("strf"), stream->m_format.data(),
                            static_cast<uint32_t>(stream->m_format.size()));
            stream->m_indxReserved = zeros.size();
            stream->m_indxPos = writeWholeChunk(riffFourcc("indx"), zeros.data(),
                                                static_cast<uint32_t>(zeros.size()));
            strl.close();
        }
        ChunkGuard odml(m_riff.openChunk(kListId, 4, true, riffFourcc("odml")));
        m_extHeaderPos = writeWholeChunk(riffFourcc("dmlh"), m_extHeader.data(), dmlh::kSize);
        odml.close();
        hdrl.close();
    }
    m_moviStart = static_cast<uint64_t>(m_file.tell());
    m_riff.openChunk(kListId, 4, true, riffFourcc("movi"));
    m_headerWritten = true;
}

void AviWriter::writeChunk(uint64_t index, const void* data, uint64_t size, uint32_t duration,
                           bool keyFrame) {
    if (!m_headerWritten) {
        throw std::logic_error(
            "AviWriter::writeChunk: header is not written, writeHeader() must be called first");
    }
    // What the current RIFF will hold if this chunk goes in: the chunk, a standard index per
    // stream with one more entry, and in the first RIFF the idx1 chunk with its new entry.
    const uint64_t riffSoFar = static_cast<uint64_t>(m_file.tell()) - m_riffStart;
    const uint64_t chunkLength = size + 8 + size % 2;
    uint64_t indexes = 8;
    for (const auto& stream : m_streams) {
        indexes += 32 + 8 * stream->m_pending.size();
    }
    uint64_t total = riffSoFar + chunkLength + indexes;
    if (m_firstRiff) {
        total += m_oldIndex.size() + 24;
    }
    if (total > (m_firstRiff ? m_firstRiffLimit : m_riffLimit)) {
        closeRiff(false);
        m_riffStart = static_cast<uint64_t>(m_file.tell());
        m_riff.openChunk(kRiffId, 4, true, riffFourcc("AVIX"));
        m_firstRiff = false;
        m_moviStart = static_cast<uint64_t>(m_file.tell());
        m_riff.openChunk(kListId, 4, true, riffFourcc("movi"));
    }

    AviStream& target = stream(index);
    const auto size32 = static_cast<uint32_t>(size);
    const auto dataPos = static_cast<uint64_t>(writeWholeChunk(target.chunkId(), data, size32));
    target.m_pending.push_back({dataPos, size32, duration, keyFrame});
    set(target.m_header, strh::length, get(target.m_header, strh::length) + duration);
    if (size32 > get(target.m_header, strh::suggestedBufferSize)) {
        set(target.m_header, strh::suggestedBufferSize, size32);
    }
    if (m_firstRiff) {
        append(m_oldIndex, target.chunkId());
        append(m_oldIndex, keyFrame ? idx1::kKeyFrame : uint32_t{0});
        append(m_oldIndex, static_cast<uint32_t>(dataPos - 8 - m_moviStart - 8));
        append(m_oldIndex, size32);
    }
    if (chunkLength > get(m_mainHeader, avih::suggestedBufferSize)) {
        set(m_mainHeader, avih::suggestedBufferSize, static_cast<uint32_t>(chunkLength));
    }
}

void AviWriter::writeStandardIndexes() {
    for (auto& stream : m_streams) {
        if (stream->m_pending.empty()) {
            continue;
        }
        const auto position = static_cast<uint64_t>(m_file.tell());
        const auto count = static_cast<uint32_t>(stream->m_pending.size());
        StandardIndex index{std::vector<uint8_t>(stdindex::kHeaderSize, 0)};
        set(index.bytes, stdindex::longsPerEntry, uint16_t{2});
        set(index.bytes, stdindex::indexType, stdindex::kIndexOfChunks);
        set(index.bytes, stdindex::entriesInUse, count);
        set(index.bytes, stdindex::chunkId, stream->chunkId());
        set(index.bytes, stdindex::baseOffset, m_moviStart);
        uint32_t duration = 0;
        for (const PendingIndexEntry& entry : stream->m_pending) {
            append(index.bytes, static_cast<uint32_t>(entry.dataPos - m_moviStart));
            append(index.bytes, entry.size | (entry.keyFrame ? 0 : stdindex::kNotKeyFrame));
            duration += entry.duration;
        }
        stream->m_stdIndexes.push_back(std::move(index));
        stream->m_superEntries.push_back(
            {position, static_cast<uint32_t>(stdindex::kEntrySize * count + 32), duration});
        set(stream->m_superIndex, superindex::entriesInUse,
            get(stream->m_superIndex, superindex::entriesInUse) + 1);
        stream->m_pending.clear();
        const std::vector<uint8_t>& bytes = stream->m_stdIndexes.back().bytes;
        writeWholeChunk(standardIndexId(stream->chunkId()), bytes.data(),
                        static_cast<uint32_t>(bytes.size()));
    }
}

bool AviWriter::closeRiff(bool swallow) {
    bool moviFailed = false;
    const RiffChunk* current = m_riff.currentChunk();
    if (current != nullptr && current->isList(riffFourcc("movi"))) {
        try {
            ChunkGuard movi(m_riff);
            writeStandardIndexes();
            movi.close();
        } catch (...) {
            if (!swallow) {
                throw;
            }
            moviFailed = true;
        }
    }
    current = m_riff.currentChunk();
    if (current != nullptr &&
        (current->isList(riffFourcc("AVI ")) || current->isList(riffFourcc("AVIX")))) {
        try {
            ChunkGuard riff(m_riff);
            if (m_firstRiff) {
                writeWholeChunk(riffFourcc("idx1"), m_oldIndex.data(),
                                static_cast<uint32_t>(m_oldIndex.size()));
                set(m_mainHeader, avih::totalFrames, largestVideoLength());
            }
            riff.close();
        } catch (...) {
            if (!swallow) {
                throw;
            }
            return true;
        }
    }
    return moviFailed;
}

uint32_t AviWriter::largestVideoLength() const {
    uint32_t frames = 0;
    for (const auto& stream : m_streams) {
        if (get(stream->m_header, strh::fccType) == kVids) {
            frames = std::max(frames, get(stream->m_header, strh::length));
        }
    }
    return frames;
}

void AviWriter::finalize() {
    bool failed = closeRiff(true);
    if (!m_headerWritten) {
        return;
    }
    m_headerWritten = false;
    set(m_extHeader, dmlh::totalFrames, largestVideoLength());

    // Each rewrite is tried on its own, so that one failure costs no more than its own bytes.
    const auto rewrite = [&](int64_t position, const void* data, uint64_t size) {
        if (position < 0) {
            return;
        }
        try {
            failed = m_file.writeAt(data, size, position) != size || failed;
        } catch (...) {
            failed = true;
        }
    };
    rewrite(m_mainHeaderPos, m_mainHeader.data(), avih::kSize);
    rewrite(m_extHeaderPos, m_extHeader.data(), dmlh::kSize);
    for (const auto& stream : m_streams) {
        rewrite(stream->m_strhPos, stream->m_header.data(), strh::kSize);
        std::vector<uint8_t> indx(stream->m_superIndex.begin(), stream->m_superIndex.end());
        for (const SuperIndexEntry& entry : stream->m_superEntries) {
            append(indx, entry.offset);
            append(indx, entry.size);
            append(indx, entry.duration);
        }
        rewrite(stream->m_indxPos, indx.data(),
                std::min<uint64_t>(stream->m_indxReserved, indx.size()));
    }
    if (failed) {
        throw fileio::Error("AviWriter::finalize: failed to correctly finalize avi");
    }
}

} // namespace IOPlugin
