// One open instance of the codec library, with its result codes turned into exceptions.
#pragma once

#include "davinci/encoder/korvadin_library.h"

#include <cstdint>
#include <stdexcept>
#include <string>

namespace IOPlugin {

// A failed library call: the message names the call with its arguments and carries the
// library's own text for the code.
class KorvadinError : public std::runtime_error {
public:
    KorvadinError(const std::string& context, int32_t code);
    int32_t code() const { return m_code; }

private:
    int32_t m_code;
};

// Text forms of the values passed to the library, for the messages of failed calls.
// A format whose code is KORVADIN_FORMAT_EXTENDED is read as the korvadin_format_ex it begins.
std::string describeFormat(const korvadin_format* format);
std::string describeSizePointer(const uint32_t* size);
std::string describePointer(const void* pointer);
std::string describePlanes(const korvadin_planes* planes);

class KorvadinCodec {
public:
    // Initialises the library and opens an instance; throws KorvadinError when either fails.
    KorvadinCodec();
    ~KorvadinCodec();
    KorvadinCodec(const KorvadinCodec&) = delete;
    KorvadinCodec& operator=(const KorvadinCodec&) = delete;

    // Each call throws KorvadinError on any result but 0.
    void compressQuery(const korvadin_format& in, const korvadin_format& out);
    void compressBegin(const korvadin_format_ex& in, const korvadin_format_ex& out,
                       const uint8_t*& cookie, uint64_t& cookieSize, uint32_t& compBufferSize);
    void initPlanesCommon(const korvadin_format_ex& desc, korvadin_planes& planes,
                          uint8_t* inputData);
    void compress(const korvadin_planes& planes, uint8_t* outData, uint32_t& compressedSize);

private:
    uint32_t m_instance = 0;
};

} // namespace IOPlugin
