/* Extensions of the codec library korvadin_common64 beyond the nine functions the module
 * imports: the thread count of an encoder instance, the processor features its loops may use,
 * the library's result codes and a decoder that turns configuration bytes and a compressed frame
 * back into the raw layout. */
#ifndef KORVADIN_COMMON64_H
#define KORVADIN_COMMON64_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(KORVADIN_LIBRARY_BUILD)
#define KORVADIN_CODEC_API __declspec(dllexport)
#else
#define KORVADIN_CODEC_API __declspec(dllimport)
#endif
#else
#define KORVADIN_CODEC_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes of every library call; korvadin_get_string(2, code) names each. */
#define KORVADIN_OK 0
#define KORVADIN_E_ARGUMENT (-1)
#define KORVADIN_E_HANDLE (-2)
#define KORVADIN_E_FORMAT (-3)
#define KORVADIN_E_SIZE (-4)
#define KORVADIN_E_STATE (-5)
#define KORVADIN_E_MEMORY (-6)
#define KORVADIN_E_BUFFER (-7)
#define KORVADIN_E_CORRUPT (-8)
#define KORVADIN_E_TRUNCATED (-9)
#define KORVADIN_E_CONFIG (-10)
#define KORVADIN_E_UNBALANCED (-11)

/* Number of threads an encoder instance codes slices on, its caller's included; 0 means one per
 * processor. All instances share the library's one pool of threads, which grows to the largest
 * count asked for. Takes effect at the next korvadin_compress_begin. The compressed bytes do not
 * depend on it. */
KORVADIN_CODEC_API int32_t korvadin_set_thread_count(uint32_t instance, uint32_t threads);
/* The thread count of every instance opened after this call (0: one per processor). */
KORVADIN_CODEC_API void korvadin_set_default_thread_count(uint32_t threads);

/* Processor features the library has faster loops for. */
#define KORVADIN_CPU_X86_AVX2 0x1u   /* x86-64 with AVX2, BMI1, BMI2, LZCNT and POPCNT */
#define KORVADIN_CPU_X86_AVX512 0x2u /* and AVX-512 F, BW and VL; used with the above only */

/* The features of this processor that the library can use. */
KORVADIN_CODEC_API uint32_t korvadin_cpu_features(void);
/* Lets every instance use only the features in mask from its next frame on: 0 runs the portable
 * loops everywhere, for checking them against the faster ones; all features are allowed until
 * this is called. The bytes are the same either way. */
KORVADIN_CODEC_API void korvadin_set_cpu_mask(uint32_t mask);

typedef struct korvadin_decoder korvadin_decoder;

typedef struct korvadin_stream_info {
    uint32_t width;
    uint32_t height;
    uint32_t rawFormat;        /* raw layout code the decoder writes */
    uint32_t compressedFormat; /* compressed format id */
    uint32_t bitDepth;         /* bits kept per sample */
    uint32_t range;
    uint32_t fieldOrder;
    uint64_t rawFrameSize; /* bytes of one decoded frame */
} korvadin_stream_info;

/* Reads the configuration bytes that korvadin_compress_begin returned and prepares a decoder
 * running on `threads` threads (0: one per processor). */
KORVADIN_CODEC_API int32_t korvadin_decoder_open(const uint8_t* config, uint64_t configSize,
                                                 uint32_t threads, korvadin_decoder** decoder);
KORVADIN_CODEC_API int32_t korvadin_decoder_info(const korvadin_decoder* decoder,
                                                 korvadin_stream_info* info);
/* Decodes one compressed frame into `out`, which holds at least rawFrameSize bytes, laid out
 * tightly as the raw layout describes. A damaged frame gives an error code; nothing outside
 * the two buffers is read or written. */
KORVADIN_CODEC_API int32_t korvadin_decode(korvadin_decoder* decoder, const uint8_t* frame,
                                           uint64_t frameSize, uint8_t* out, uint64_t outSize);
KORVADIN_CODEC_API void korvadin_decoder_close(korvadin_decoder* decoder);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif
