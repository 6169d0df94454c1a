#include "davinci/encoder/korvadin_codec.h"

#include <cstdio>

namespace IOPlugin {

namespace {

// The library promises a text for every value; an empty one keeps a broken library from
// taking the message (and the host) down with it.
std::string libraryText(int32_t category, int32_t value) {
    const char* text = korvadin_get_string(category, value);
    return text != nullptr ? std::string(text) : std::string();
}

std::string number(uint32_t value) {
    return std::to_string(value);
}

std::string formatName(uint32_t format) {
    return libraryText(KORVADIN_STRING_FORMAT, static_cast<int32_t>(format)) + "(" +
           number(format) + ")";
}

// "0x" in front of the platform's own %p text, so messages compare with the library's logs.
std::string hexPointer(const void* pointer) {
    char text[64];
    std::snprintf(text, sizeof text, "0x%p", pointer);
    return text;
}

// The context text is built only for a failed call: a successful frame costs no formatting
// and no korvadin_get_string.
template <class Context>
void check(int32_t result, Context&& context) {
    if (result != 0) {
        throw KorvadinError(context(), result);
    }
}

} // namespace

KorvadinError::KorvadinError(const std::string& context, int32_t code)
    : std::runtime_error("Korvadin error (" + std::to_string(code) +
                         "): " + libraryText(KORVADIN_STRING_RESULT, code) + ": " + context),
      m_code(code) {}

std::string describeFormat(const korvadin_format* format) {
    if (format == nullptr) {
        return "null";
    }
    const std::string base = "{" + number(format->width) + "," + number(format->height) + "," +
                             formatName(format->format) + "}";
    if (format->format != KORVADIN_FORMAT_EXTENDED) {
        return base;
    }
    const auto* ex = reinterpret_cast<const korvadin_format_ex*>(format);
    return "{" + base + "," + number(ex->param1) + "," + formatName(ex->subFormat) + "," +
           number(ex->param2) + "," +
           libraryText(KORVADIN_STRING_PARAM3, static_cast<int32_t>(ex->param3)) + "(" +
           number(ex->param3) + ")," + number(ex->range) + "," + number(ex->fieldOrder) + "}";
}

std::string describeSizePointer(const uint32_t* size) {
    if (size == nullptr) {
        return "null";
    }
    return "{" + hexPointer(size) + "," + number(*size) + "}";
}

std::string describePointer(const void* pointer) {
    return pointer == nullptr ? "null" : hexPointer(pointer);
}

std::string describePlanes(const korvadin_planes* planes) {
    if (planes == nullptr) {
        return "null";
    }
    std::string text = "{";
    for (int i = 0; i < 4; ++i) {
        const korvadin_plane& plane = planes->plane[i];
        text += (i == 0 ? "{" : ",{") + hexPointer(plane.data) + "," + number(plane.pitch) + "," +
                number(plane.size) + "}";
    }
    return text + "}";
}

KorvadinCodec::KorvadinCodec() {
    check(korvadin_library_init(&m_instance),
          [] { return std::string("KorvadinCodec(): korvadin_library_init()"); });
    // A failed open is not followed by korvadin_library_close: the library only promises to
    // accept that call right after korvadin_close, and a stray one could undo the
    // initialisation of an instance that another encoder is using.
    check(korvadin_open(&m_instance),
          [] { return std::string("KorvadinCodec(): korvadin_open()"); });
}

KorvadinCodec::~KorvadinCodec() {
    if (m_instance != 0) {
        korvadin_close(m_instance);
        korvadin_library_close();
    }
}

void KorvadinCodec::compressQuery(const korvadin_format& in, const korvadin_format& out) {
    uint64_t scratch = 0;
    uint32_t* const reserved = nullptr;
    check(korvadin_compress_query(m_instance, &in, &out, &scratch, reserved), [&] {
        return "compressQuery(" + describeFormat(&in) + ", " + describeFormat(&out) + ", " +
               describeSizePointer(reserved) + ")";
    });
}

void KorvadinCodec::compressBegin(const korvadin_format_ex& in, const korvadin_format_ex& out,
                                  const uint8_t*& cookie, uint64_t& cookieSize,
                                  uint32_t& compBufferSize) {
    check(korvadin_compress_begin(m_instance, &in, &out, &cookie, &cookieSize, &compBufferSize),
          [&] {
              return "compressBegin(" + describeFormat(&in.base) + ", " +
                     describeFormat(&out.base) + ", " + describeSizePointer(&compBufferSize) + ")";
          });
}

void KorvadinCodec::initPlanesCommon(const korvadin_format_ex& desc, korvadin_planes& planes,
                                     uint8_t* inputData) {
    check(korvadin_init_planes_common(m_instance, &desc, &planes, inputData), [&] {
        return "initPlanesCommon(" + describeFormat(&desc.base) + ", " +
               describePointer(inputData) + ")";
    });
}

void KorvadinCodec::compress(const korvadin_planes& planes, uint8_t* outData,
                             uint32_t& compressedSize) {
    check(korvadin_compress(m_instance, &planes, outData, &compressedSize), [&] {
        return "compress(" + describePlanes(&planes) + ", " + describePointer(outData) + ")";
    });
}

} // namespace IOPlugin
