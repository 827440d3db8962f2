/* The MPEG audio decoder library "mpegint.dll" (libmpegint.so): a plain C interface.
 * Every function that returns a status returns MPEG_OK (0) or one of the MPEG_ERR_...
 * codes; mpeg_GetErrorText turns a code into a text. The program binds the entry points
 * by name at run time, so their names and signatures are fixed. */
#ifndef STRATAEQ_MPEGINT_H
#define STRATAEQ_MPEGINT_H

#include <stdint.h>

#ifdef __cplusplus
#include <cstddef>
extern "C" {
#endif

#if defined(MPEGINT_BUILD)
#define MPEGINT_API __attribute__((visibility("default")))
#else
#define MPEGINT_API
#endif

/* What mpeg_Version answers; programs refuse 16 and below. */
#define MPEGINT_VERSION 20

typedef struct mpeg_decoder* MPEG_HANDLE;

/* Called synchronously from mpeg_SetFileName, mpeg_Clear and mpeg_ScanFile once the
 * decoder's file info has changed. user is the pointer given to mpeg_Init. */
typedef void (*MPEG_NOTIFY)(int32_t code, void* user);
#define MPEG_NOTIFY_FILE_SET 1
#define MPEG_NOTIFY_FILE_CLEARED 2

enum {
  MPEG_OK = 0,
  MPEG_ERR_HANDLE = 1,         /* no decoder behind the handle */
  MPEG_ERR_MEMORY = 2,
  MPEG_ERR_LIBRARY = 3,        /* the decoding engine could not be set up */
  MPEG_ERR_NO_FILE = 4,        /* no file is set */
  MPEG_ERR_OPEN = 5,           /* the file cannot be opened for reading */
  MPEG_ERR_NOT_MPEG = 6,       /* no MPEG audio frames found */
  MPEG_ERR_NOT_OPEN = 7,       /* the file is not open for decoding */
  MPEG_ERR_IS_OPEN = 8,        /* not allowed while the file is open for decoding */
  MPEG_ERR_PARAMETER = 9,
  MPEG_ERR_DECODE = 10,        /* the stream is damaged beyond recovery */
  MPEG_ERR_FORMAT_CHANGED = 11,/* sample rate or channels change inside the stream */
  MPEG_ERR_SEEK = 12,
  MPEG_ERR_NAME_TOO_LONG = 13, /* the buffer cannot hold the file name */
  MPEG_ERR_NOT_SUPPORTED = 14,
  MPEG_ERR_NO_TAG = 15,        /* the file has no ID3 version 1 tag */
  MPEG_ERR_FILE_CHANGED = 16,  /* the file no longer matches what was found when it was set */
  MPEG_ERR_LAST = 16
};

/* TMpegVersion */
#define MPEG_VERSION_2_LSF 0 /* MPEG 2 and 2.5, lower sampling frequencies */
#define MPEG_VERSION_1 1

/* TSampleMode */
#define MPEG_MODE_STEREO 0
#define MPEG_MODE_JOINT_STEREO 1
#define MPEG_MODE_DUAL_CHANNEL 2
#define MPEG_MODE_SINGLE_CHANNEL 3

/* TChannelMode: which audio the decoder delivers. Left, right and down-mix give one
 * channel; both gives the file's channels. */
#define MPEG_CHANNELS_LEFT 0
#define MPEG_CHANNELS_RIGHT 1
#define MPEG_CHANNELS_BOTH 2
#define MPEG_CHANNELS_DOWNMIX 3

#pragma pack(push, 1)
typedef struct MPEG_FILE_INFO {
  uint8_t version;       /* MPEG_VERSION_... of the first frame */
  int32_t layer;         /* 1, 2 or 3 */
  int32_t sample_rate;   /* of the stream, Hz */
  int32_t playback_rate; /* of the decoded PCM, Hz */
  int32_t bit_rate;      /* kbit/s; the average for variable bit rate streams */
  uint8_t mode;          /* MPEG_MODE_... of the first frame */
  int32_t frames;        /* audio frames in the stream (an Info/Xing frame is not counted) */
  int32_t time;          /* play time in milliseconds */
  double ms_per_frame;
  /* Sample frames the decoder delivers: with an Info tag (LAME/Xing) the encoder's delay
   * and padding are trimmed; without one every decoded frame counts, as in mpg123.
   * 0 when unknown. */
  int64_t samples;
  int32_t encoder_delay;   /* from the Info tag, -1 without one */
  int32_t encoder_padding; /* from the Info tag, -1 without one */
  uint8_t reserved[118];
} MPEG_FILE_INFO;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(MPEG_FILE_INFO) == 168);
static_assert(offsetof(MPEG_FILE_INFO, layer) == 1);
static_assert(offsetof(MPEG_FILE_INFO, sample_rate) == 5);
static_assert(offsetof(MPEG_FILE_INFO, playback_rate) == 9);
static_assert(offsetof(MPEG_FILE_INFO, bit_rate) == 13);
static_assert(offsetof(MPEG_FILE_INFO, mode) == 17);
static_assert(offsetof(MPEG_FILE_INFO, frames) == 18);
static_assert(offsetof(MPEG_FILE_INFO, time) == 22);
static_assert(offsetof(MPEG_FILE_INFO, ms_per_frame) == 26);
static_assert(offsetof(MPEG_FILE_INFO, samples) == 34);
static_assert(offsetof(MPEG_FILE_INFO, encoder_delay) == 42);
static_assert(offsetof(MPEG_FILE_INFO, reserved) == 50);
#endif

typedef void (*MPEG_DECODE_CALLBACK)(void* data, int32_t bytes, void* user);

/* The entry points, in the order a program binds them. */
MPEGINT_API int32_t mpeg_Version(void);
/* *error: in, 0; out, the status. Returns null on failure. */
MPEGINT_API MPEG_HANDLE mpeg_Init(int32_t* error, MPEG_NOTIFY notify, void* user);
/* Releases the decoder and sets *handle to null. */
MPEGINT_API int32_t mpeg_Done(MPEG_HANDLE* handle);
/* Not supported by this decoder (MPEG_ERR_NOT_SUPPORTED). */
MPEGINT_API int32_t mpeg_SetDecodeCallback(MPEG_HANDLE h, MPEG_DECODE_CALLBACK callback, void* user);
/* Only mode 0 (decode to PCM) is supported. */
MPEGINT_API int32_t mpeg_SetDecodeMode(MPEG_HANDLE h, int32_t mode);
/* Bytes at the start of the file that are not audio; applies to files set afterwards. */
MPEGINT_API int32_t mpeg_SetFileOffset(MPEG_HANDLE h, int32_t offset);
/* Reads the set file's info again, then notifies. */
MPEGINT_API int32_t mpeg_ScanFile(MPEG_HANDLE h);
/* Not supported (MPEG_ERR_NOT_SUPPORTED). */
MPEGINT_API int32_t mpeg_EncryptFile(MPEG_HANDLE h, const char* target, const char* key);
/* Copies the 128-byte ID3 version 1 tag of the set file into tag. */
MPEGINT_API int32_t mpeg_ReadID3Tag(MPEG_HANDLE h, uint8_t* tag);
/* Forgets the file (closing it), then notifies. */
MPEGINT_API int32_t mpeg_Clear(MPEG_HANDLE h);
/* Bytes at the end of the file that are not audio (besides tags the decoder finds
 * itself); applies to files set or opened afterwards. Negative counts as 0. */
MPEGINT_API int32_t mpeg_SetTrailingHeader(MPEG_HANDLE h, int32_t bytes);
/* Nonzero: also walk the whole file when it is opened, so that seeking finds every
 * frame in an index instead of decoding forward to it. (The file is always walked when
 * it is set, for the exact frame count and play time.) */
MPEGINT_API int32_t mpeg_SetExactPosition(MPEG_HANDLE h, int32_t exact);
/* Closes any open file, then checks the new one and reads its file info; notifies in
 * both outcomes. An empty name clears. On failure no file is set. */
MPEGINT_API int32_t mpeg_SetFileName(MPEG_HANDLE h, const char* name);
MPEGINT_API int32_t mpeg_GetFileName(MPEG_HANDLE h, char* buffer, int32_t size);
/* Nonzero when no file is set. */
MPEGINT_API int32_t mpeg_GetEmpty(MPEG_HANDLE h);
MPEGINT_API int32_t mpeg_GetFileInfo(MPEG_HANDLE h, MPEG_FILE_INFO* info);
/* MPEG_CHANNELS_...; refused while the file is open. */
MPEGINT_API int32_t mpeg_SetChannelMode(MPEG_HANDLE h, int32_t mode);
MPEGINT_API int32_t mpeg_GetChannelMode(MPEG_HANDLE h, int32_t* mode);
/* Frame n of the decoded output. While open the decoder goes there at once; otherwise
 * the next open starts there. */
MPEGINT_API int32_t mpeg_SetPosition(MPEG_HANDLE h, int32_t frame);
/* Frames of output delivered so far (while open), else the frame the next open starts at. */
MPEGINT_API int32_t mpeg_GetPosition(MPEG_HANDLE h);
/* Opens the set file for decoding at the kept position. */
MPEGINT_API int32_t mpeg_OpenFile(MPEG_HANDLE h);
/* Closes it, keeping the position for the next open (frame 0 after the end was reached). */
MPEGINT_API int32_t mpeg_CloseFile(MPEG_HANDLE h);
/* Restarts decoding at the start. */
MPEGINT_API int32_t mpeg_ResetFile(MPEG_HANDLE h);
/* Decodes into buffer: 16-bit signed little-endian PCM, whole sample frames. Returns the
 * bytes stored (fewer than asked only at the end), 0 at the end, or minus an error code.
 * An error is kept: later reads repeat it until a reset or a position change. */
MPEGINT_API int32_t mpeg_ReadDataBytes(MPEG_HANDLE h, void* buffer, int32_t bytes);
/* Nonzero once decoding has reached the end of the stream. */
MPEGINT_API int32_t mpeg_GetDone(MPEG_HANDLE h);
MPEGINT_API int32_t mpeg_GetErrorText(int32_t code, char* buffer, int32_t size);

/* Pointer types for binding the entry points by name. */
typedef int32_t (*MPEG_VERSION_FN)(void);
typedef MPEG_HANDLE (*MPEG_INIT_FN)(int32_t*, MPEG_NOTIFY, void*);
typedef int32_t (*MPEG_DONE_FN)(MPEG_HANDLE*);
typedef int32_t (*MPEG_HANDLE_FN)(MPEG_HANDLE);
typedef int32_t (*MPEG_HANDLE_INT_FN)(MPEG_HANDLE, int32_t);
typedef int32_t (*MPEG_HANDLE_INTPTR_FN)(MPEG_HANDLE, int32_t*);
typedef int32_t (*MPEG_SETFILENAME_FN)(MPEG_HANDLE, const char*);
typedef int32_t (*MPEG_GETFILENAME_FN)(MPEG_HANDLE, char*, int32_t);
typedef int32_t (*MPEG_GETFILEINFO_FN)(MPEG_HANDLE, MPEG_FILE_INFO*);
typedef int32_t (*MPEG_READDATA_FN)(MPEG_HANDLE, void*, int32_t);
typedef int32_t (*MPEG_ERRORTEXT_FN)(int32_t, char*, int32_t);

#ifdef __cplusplus
}
#endif

#endif
