#include "avi/riff_writer.h"

#include "avi/byte_image.h"
#include "fileio/errors.h"

namespace IOPlugin {

std::string fourccText(uint32_t fourcc) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        const auto byte = static_cast<uint8_t>(fourcc >> (8 * i));
        if (byte >= 0x20 && byte <= 0x7E) {
            text += static_cast<char>(byte);
        } else {
            text += "[" + std::to_string(byte) + "]";
        }
    }
    return text;
}

RiffWriter& RiffWriter::openChunk(uint32_t id, uint32_t size, bool isList, uint32_t listType) {
    const uint64_t position = static_cast<uint64_t>(m_file.tell());
    ByteImage<12> header{};
    putLE(header.data(), id, 4);
    putLE(header.data() + 4, size, 4);
    putLE(header.data() + 8, listType, 4);
    const uint32_t length = isList ? 12 : 8;
    const uint64_t written = m_file.write(header.data(), length);
    if (written != length) {
        throw fileio::WriteError(length, written);
    }
    auto chunk = std::make_unique<RiffChunk>();
    chunk->id = id;
    chunk->size = size;
    chunk->listType = isList ? listType : 0;
    chunk->position = position;
    chunk->bytesWritten = length;
    chunk->parent = std::move(m_current);
    m_current = std::move(chunk);
    return *this;
}

void RiffWriter::writeData(const void* data, uint32_t count) {
    const uint64_t written = m_file.write(data, count);
    if (m_current) {
        m_current->bytesWritten += static_cast<uint32_t>(written);
    }
    if (written != count) {
        throw fileio::WriteError(count, written);
    }
}

RiffChunkInfo RiffWriter::closeChunk() {
    if (!m_current) {
        return {};
    }
    std::unique_ptr<RiffChunk> chunk = std::move(m_current);
    m_current = std::move(chunk->parent);
    if (m_current) {
        m_current->bytesWritten += chunk->bytesWritten;
    }

    bool failed = false;
    const uint32_t contentSize = chunk->bytesWritten - 8;
    if (contentSize != chunk->size) {
        chunk->size = contentSize;
        uint8_t field[4];
        putLE(field, contentSize, 4);
        failed = m_file.writeAt(field, 4, static_cast<int64_t>(chunk->position + 4)) != 4;
    }
    if (chunk->bytesWritten % 2 != 0) {
        const uint8_t pad = 0;
        const uint64_t written = m_file.write(&pad, 1);
        if (m_current) {
            m_current->bytesWritten += static_cast<uint32_t>(written);
        }
        failed = failed || written != 1;
    }
    if (failed) {
        const bool isList = chunk->id == kListId || chunk->id == kRiffId;
        throw fileio::Error("Failed to close riff chunk: " +
                            fourccText(isList ? chunk->listType : chunk->id));
    }
    return {chunk->id, chunk->size, chunk->listType, chunk->position};
}

void RiffWriter::closeAll() noexcept {
    while (m_current) {
        try {
            closeChunk();
        } catch (...) {
            // The chunk is popped either way; what failed was reported where it mattered.
        }
    }
}

} // namespace IOPlugin
