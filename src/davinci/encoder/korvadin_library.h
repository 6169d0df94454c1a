// Interface of the codec library korvadin_common64, as the module imports it.
// The library's own build compiles against this same header, so the two sides cannot drift.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#if defined(KORVADIN_LIBRARY_BUILD)
#define KORVADIN_API __declspec(dllexport)
#else
#define KORVADIN_API __declspec(dllimport)
#endif
#else
#define KORVADIN_API __attribute__((visibility("default")))
#endif

extern "C" {

// The layouts below cross a binary interface: exact sizes, no padding, little-endian.
#pragma pack(push, 1)

struct korvadin_format {
    uint32_t width;
    uint32_t height;
    uint32_t format;
};

struct korvadin_format_ex {
    korvadin_format base; // base.format is always KORVADIN_FORMAT_EXTENDED
    uint32_t param1;
    uint32_t subFormat;
    uint32_t param2;
    uint32_t param3;
    uint32_t range;
    uint32_t fieldOrder;
};

struct korvadin_plane {
    uint8_t* data;
    uint32_t pitch;
    uint32_t size;
};

struct korvadin_planes {
    korvadin_plane plane[4];
};

#pragma pack(pop)

static_assert(sizeof(korvadin_format) == 12);
static_assert(sizeof(korvadin_format_ex) == 36);
static_assert(sizeof(korvadin_plane) == 16);
static_assert(sizeof(korvadin_planes) == 64);

// Marks a korvadin_format that is the base of a korvadin_format_ex.
#define KORVADIN_FORMAT_EXTENDED 254u

// Categories of korvadin_get_string.
#define KORVADIN_STRING_FORMAT 1
#define KORVADIN_STRING_RESULT 2
#define KORVADIN_STRING_PARAM3 3

KORVADIN_API int32_t korvadin_library_init(uint32_t* instance);
KORVADIN_API int32_t korvadin_open(uint32_t* instance);
KORVADIN_API int32_t korvadin_close(uint32_t instance);
KORVADIN_API int32_t korvadin_library_close(void);
KORVADIN_API int32_t korvadin_compress_query(uint32_t instance, const korvadin_format* in,
                                             const korvadin_format* out, uint64_t* scratch,
                                             uint32_t* reserved);
KORVADIN_API int32_t korvadin_compress_begin(uint32_t instance, const korvadin_format_ex* in,
                                             const korvadin_format_ex* out, const uint8_t** cookie,
                                             uint64_t* cookieSize, uint32_t* compBufferSize);
KORVADIN_API int32_t korvadin_init_planes_common(uint32_t instance, const korvadin_format_ex* desc,
                                                 korvadin_planes* planes, uint8_t* frame);
KORVADIN_API int32_t korvadin_compress(uint32_t instance, const korvadin_planes* planes,
                                       uint8_t* out, uint32_t* compressedSize);
KORVADIN_API const char* korvadin_get_string(int32_t category, int32_t value);

} // extern "C"
