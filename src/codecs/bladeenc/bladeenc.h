/* The MP3 encoder library "BLADEENC.DLL" (libbladeenc.so): a plain C interface. The
 * program binds the entry points by name at run time. Functions return BE_ERR_SUCCESSFUL
 * (0) or one of the BE_ERR_... codes. */
#ifndef STRATAEQ_BLADEENC_H
#define STRATAEQ_BLADEENC_H

#include <stdint.h>

#ifdef __cplusplus
#include <cstddef>
extern "C" {
#endif

#if defined(BLADEENC_BUILD)
#define BLADEENC_API __attribute__((visibility("default")))
#else
#define BLADEENC_API
#endif

typedef struct be_stream* HBE_STREAM;

#define BE_CONFIG_MP3 0

#define BE_MP3_MODE_STEREO 0
#define BE_MP3_MODE_JSTEREO 1
#define BE_MP3_MODE_DUALCHANNEL 2
#define BE_MP3_MODE_MONO 3

#define BE_ERR_SUCCESSFUL 0x00000000u
#define BE_ERR_INVALID_FORMAT 0x00000001u            /* not an MP3 configuration */
#define BE_ERR_INVALID_FORMAT_PARAMETERS 0x00000002u /* rate, mode, bitrate or sample count */
#define BE_ERR_NO_MORE_HANDLES 0x00000003u
#define BE_ERR_INVALID_HANDLE 0x00000004u
#define BE_ERR_BUFFER_TOO_SMALL 0x00000005u

/* Boolean fields: 0 false, anything else (the program sends all bits set) true. */
#pragma pack(push, 1)
typedef struct BE_CONFIG {
  uint32_t config_kind;  /* BE_CONFIG_MP3 */
  uint32_t sample_rate;  /* 32000, 44100 or 48000 */
  uint8_t mode;          /* BE_MP3_MODE_...; mono means 1-channel input, else 2 channels */
  uint16_t bitrate;      /* kbit/s: 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320 */
  uint32_t private_bit;
  uint32_t crc;
  uint32_t copyright;
  uint32_t original;
} BE_CONFIG;

typedef struct BE_VERSION {
  uint8_t dll_major;
  uint8_t dll_minor;
  uint8_t engine_major;
  uint8_t engine_minor;
  uint8_t day;
  uint8_t month;
  uint16_t year;
  char homepage[129];
} BE_VERSION;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(BE_CONFIG) == 27);
static_assert(offsetof(BE_CONFIG, sample_rate) == 4);
static_assert(offsetof(BE_CONFIG, mode) == 8);
static_assert(offsetof(BE_CONFIG, bitrate) == 9);
static_assert(offsetof(BE_CONFIG, private_bit) == 11);
static_assert(offsetof(BE_CONFIG, crc) == 15);
static_assert(offsetof(BE_CONFIG, copyright) == 19);
static_assert(offsetof(BE_CONFIG, original) == 23);
#endif

/* Opens a stream. *samples: 16-bit samples (all channels counted) per chunk that
 * beEncodeChunk takes; *buffer_size: bytes the output buffer of every call must hold. */
BLADEENC_API uint32_t beInitStream(const BE_CONFIG* config, uint32_t* samples, uint32_t* buffer_size,
                                   HBE_STREAM* stream);
/* Encodes up to one chunk of interleaved 16-bit samples; *out_bytes gets the MP3 bytes
 * stored in out (often 0: the encoder holds back data until it has whole frames). */
BLADEENC_API uint32_t beEncodeChunk(HBE_STREAM stream, uint32_t samples, const int16_t* in, uint8_t* out,
                                    uint32_t* out_bytes);
/* Flushes the encoder into out. Encoding may go on afterwards on the same stream; it
 * then starts a new run of frames. */
BLADEENC_API uint32_t beDeinitStream(HBE_STREAM stream, uint8_t* out, uint32_t* out_bytes);
BLADEENC_API uint32_t beCloseStream(HBE_STREAM stream);
BLADEENC_API void beVersion(BE_VERSION* version);
/* The Info frame (LAME tag: encoder delay, padding, frame count) by which decoders trim
 * the stream to exactly the samples encoded. Optional: a program that does not bind it
 * gets the stream without one.
 * Called before the first chunk, it asks for the frame: the stream then begins with a
 * placeholder frame, and *out_bytes is 0. After beDeinitStream it stores the finished
 * frame in out (buffer_size bytes are enough); the caller writes it over the first
 * *out_bytes bytes of the stream. *out_bytes is 0 when there is nothing to write: no
 * frame was asked for, the stream is not flushed, or a later run followed the first. */
BLADEENC_API uint32_t beInfoTag(HBE_STREAM stream, uint8_t* out, uint32_t* out_bytes);

typedef uint32_t (*BE_INIT_STREAM_FN)(const BE_CONFIG*, uint32_t*, uint32_t*, HBE_STREAM*);
typedef uint32_t (*BE_ENCODE_CHUNK_FN)(HBE_STREAM, uint32_t, const int16_t*, uint8_t*, uint32_t*);
typedef uint32_t (*BE_DEINIT_STREAM_FN)(HBE_STREAM, uint8_t*, uint32_t*);
typedef uint32_t (*BE_CLOSE_STREAM_FN)(HBE_STREAM);
typedef void (*BE_VERSION_FN)(BE_VERSION*);
typedef uint32_t (*BE_INFO_TAG_FN)(HBE_STREAM, uint8_t*, uint32_t*);

#ifdef __cplusplus
}
#endif

#endif
