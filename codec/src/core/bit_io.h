// Bit-level writing and reading, most significant bit first.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvcodec {

inline void storeLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline uint16_t loadLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint64_t loadBe64(const uint8_t* p) {
    uint64_t v;
    __builtin_memcpy(&v, p, 8);
    return __builtin_bswap64(v);
}

inline void storeLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

inline uint32_t loadLe32(const uint8_t* p) {
    return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

inline void storeBe64(uint8_t* p, uint64_t v) {
    v = __builtin_bswap64(v);
    __builtin_memcpy(p, &v, 8);
}

// Writes without a branch per code: every put stores 8 bytes at the current byte, so the
// caller leaves 8 bytes of room after the last byte it keeps.
class BitWriter {
public:
    explicit BitWriter(uint8_t* out) : m_begin(out), m_pos(out) {}

    // n <= 56; v holds no bits above n.
    void put(uint64_t v, unsigned n) {
        m_acc = (m_acc << n) | v;
        m_bits += n;
        // The pending bits, left-aligned; in two steps so that no bits pending is no shift by 64.
        storeBe64(m_pos, (m_acc << (63 - m_bits)) << 1);
        m_pos += m_bits >> 3;
        m_bits &= 7;
    }

    size_t bytesWritten() const { return static_cast<size_t>(m_pos - m_begin); }

    // Pads the last byte with zeros; returns the total byte count.
    size_t finish() {
        if (m_bits > 0) {
            *m_pos++ = static_cast<uint8_t>(m_acc << (8 - m_bits));
            m_bits = 0;
        }
        return bytesWritten();
    }

private:
    uint8_t* m_begin;
    uint8_t* m_pos;
    uint64_t m_acc = 0;
    unsigned m_bits = 0;
};

// Reads past the end as zeros and remembers that it did, so a truncated stream is detected
// without a bounds check per code. The bytes after the stream that belong to the same buffer
// (`readable` counts them with the stream's own) may be loaded by the fast refill: a valid
// stream never consumes them, and one that does is caught by overrun().
class BitReader {
public:
    BitReader(const uint8_t* data, size_t size, size_t readable)
        : m_begin(data), m_pos(data), m_end(data + size), m_limit(data + readable) {
        refill();
    }
    BitReader(const uint8_t* data, size_t size) : BitReader(data, size, size) {}

    // Call before reading up to 48 bits.
    void refill() {
        if (m_count > 48) {
            return;
        }
        if (room() >= 8) {
            refillFast();
            return;
        }
        while (m_count <= 48) {
            uint64_t b = 0;
            if (m_pos < m_end) {
                b = *m_pos++;
            } else {
                ++m_phantomBytes;
            }
            m_buf |= b << (56 - m_count);
            m_count += 8;
        }
    }

    // The same without a branch, for loops that have checked room() for every call: each
    // loads 8 bytes and moves on by at most 7.
    void refillFast() {
        m_buf |= loadBe64(m_pos) >> m_count;
        m_pos += (63 - m_count) >> 3;
        m_count |= 56;
    }

    // Bytes that may still be loaded.
    ptrdiff_t room() const { return m_limit - m_pos; }

    uint32_t peek(unsigned n) const { return static_cast<uint32_t>(m_buf >> (64 - n)); }
    void skip(unsigned n) {
        m_buf <<= n;
        m_count -= n;
    }
    // n in 0..32, without a branch for 0.
    uint32_t readUpTo(unsigned n) { return static_cast<uint32_t>(readWide(n)); }
    // n in 0..48 after a refill, without a branch for 0.
    uint64_t readWide(unsigned n) {
        const uint64_t v = (m_buf >> (63 - n)) >> 1;
        skip(n);
        return v;
    }
    // n in 1..32
    uint32_t read(unsigned n) {
        const uint32_t v = peek(n);
        skip(n);
        return v;
    }

    // True once a bit beyond the end has been consumed.
    bool overrun() const { return consumed() > static_cast<uint64_t>(m_end - m_begin) * 8; }
    // Bits consumed so far.
    uint64_t consumed() const {
        return (static_cast<uint64_t>(m_pos - m_begin) + m_phantomBytes) * 8 - m_count;
    }

private:
    const uint8_t* m_begin;
    const uint8_t* m_pos;
    const uint8_t* m_end;
    const uint8_t* m_limit;
    uint64_t m_buf = 0;
    unsigned m_count = 0;
    uint64_t m_phantomBytes = 0;
};

// A valid stream of `bytes` ends within its last byte, padded with zeros.
inline bool endsCleanly(BitReader& br, uint64_t bytes) {
    const uint64_t bitsLeft = bytes * 8 - br.consumed();
    return bitsLeft < 8 && (bitsLeft == 0 || br.peek(static_cast<unsigned>(bitsLeft)) == 0);
}

// Samples stored as they are, `depth` bits each in scan order, as every version keeps a plane
// that coding would not make smaller: exactly storedBytes of them, or the plane is refused.
inline uint64_t storedBytes(uint64_t samples, unsigned depth) {
    return (samples * depth + 7) / 8;
}

template <typename T>
bool readStored(const uint8_t* payload, uint64_t size, size_t n, unsigned depth, T* samples) {
    if (size != storedBytes(n, depth)) {
        return false;
    }
    BitReader br(payload, size);
    for (size_t i = 0; i < n; ++i) {
        br.refill();
        samples[i] = static_cast<T>(br.read(depth));
    }
    return true;
}

} // namespace kvcodec
