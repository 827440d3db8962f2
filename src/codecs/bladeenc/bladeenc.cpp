// The encoder library over libmp3lame: constant bit rate, no resampling, no ID3 tags, so
// the output is plain MPEG-1 Layer III frames at the input's rate, led by an Info frame
// when the caller asks for one.
#include "codecs/bladeenc/bladeenc.h"

#include <lame/lame.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

constexpr uint32_t kMagic = 0x424C4145;  // "BLAE"
constexpr int kFrameSamples = 1152;       // per channel, MPEG-1 Layer III
// LAME's worst case for one chunk is 1.25 x samples + 7200 bytes; a flush needs 7200.
constexpr uint32_t kOutputBufferSize = 16384;
// The largest MPEG-1 Layer III frame: 320 kbit/s at 32000 Hz, padded.
constexpr uint32_t kMaxFrameBytes = 1441;

bool ValidRate(uint32_t rate) { return rate == 32000 || rate == 44100 || rate == 48000; }

bool ValidBitrate(uint16_t kbps) {
  static const uint16_t rates[] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
  for (uint16_t r : rates)
    if (r == kbps) return true;
  return false;
}

void Silent(const char*, va_list) {}

lame_global_flags* CreateEncoder(const BE_CONFIG& config, bool infoTag) {
  lame_global_flags* g = lame_init();
  if (!g) return nullptr;
  MPEG_mode mode = STEREO;
  switch (config.mode) {
    case BE_MP3_MODE_JSTEREO: mode = JOINT_STEREO; break;
    case BE_MP3_MODE_DUALCHANNEL: mode = DUAL_CHANNEL; break;
    case BE_MP3_MODE_MONO: mode = MONO; break;
    default: break;
  }
  lame_set_errorf(g, Silent);
  lame_set_debugf(g, Silent);
  lame_set_msgf(g, Silent);
  lame_set_num_channels(g, config.mode == BE_MP3_MODE_MONO ? 1 : 2);
  lame_set_in_samplerate(g, static_cast<int>(config.sample_rate));
  lame_set_out_samplerate(g, static_cast<int>(config.sample_rate));
  lame_set_VBR(g, vbr_off);
  lame_set_brate(g, config.bitrate);
  lame_set_mode(g, mode);
  lame_set_extension(g, config.private_bit != 0);
  lame_set_error_protection(g, config.crc != 0);
  lame_set_copyright(g, config.copyright != 0);
  lame_set_original(g, config.original != 0);
  // The Info frame goes at the start of the stream and is finished only after the flush:
  // only a caller that can write it there asks for it.
  lame_set_bWriteVbrTag(g, infoTag ? 1 : 0);
  lame_set_write_id3tag_automatic(g, 0);
  if (lame_init_params(g) < 0) {
    lame_close(g);
    return nullptr;
  }
  return g;
}

}  // namespace

struct be_stream {
  uint32_t magic = kMagic;
  BE_CONFIG config{};
  lame_global_flags* lame = nullptr;
  int channels = 2;
  bool flushed = false;  // the next chunk starts a new run of frames
  bool encoded = false;  // a chunk has gone into the stream
  bool tagged = false;   // the stream so far is one run that began with an Info frame
  uint32_t tagBytes = 0;  // of the finished Info frame, after the flush
  uint8_t tag[kMaxFrameBytes];
};

namespace {

be_stream* Get(HBE_STREAM s) { return s && s->magic == kMagic ? s : nullptr; }

}  // namespace

extern "C" {

uint32_t beInitStream(const BE_CONFIG* config, uint32_t* samples, uint32_t* buffer_size, HBE_STREAM* stream) {
  if (!config || !samples || !buffer_size || !stream) return BE_ERR_INVALID_FORMAT_PARAMETERS;
  *stream = nullptr;
  if (config->config_kind != BE_CONFIG_MP3) return BE_ERR_INVALID_FORMAT;
  if (!ValidRate(config->sample_rate) || config->mode > BE_MP3_MODE_MONO || !ValidBitrate(config->bitrate))
    return BE_ERR_INVALID_FORMAT_PARAMETERS;

  auto* s = new (std::nothrow) be_stream;
  if (!s) return BE_ERR_NO_MORE_HANDLES;
  s->config = *config;
  s->channels = config->mode == BE_MP3_MODE_MONO ? 1 : 2;
  s->lame = CreateEncoder(*config, false);
  if (!s->lame) {
    delete s;
    return BE_ERR_INVALID_FORMAT_PARAMETERS;
  }
  *samples = static_cast<uint32_t>(kFrameSamples * s->channels);
  *buffer_size = kOutputBufferSize;
  *stream = s;
  return BE_ERR_SUCCESSFUL;
}

uint32_t beEncodeChunk(HBE_STREAM stream, uint32_t samples, const int16_t* in, uint8_t* out, uint32_t* out_bytes) {
  be_stream* s = Get(stream);
  if (!s) return BE_ERR_INVALID_HANDLE;
  if (!out || !out_bytes || (samples > 0 && !in)) return BE_ERR_INVALID_FORMAT_PARAMETERS;
  *out_bytes = 0;
  if (samples > static_cast<uint32_t>(kFrameSamples * s->channels)) return BE_ERR_INVALID_FORMAT_PARAMETERS;
  if (s->flushed) {
    // A flushed encoder is finished: the new run gets a fresh one with the same settings.
    // A second run has no Info frame of its own, and the first one's would cut it off.
    lame_global_flags* fresh = CreateEncoder(s->config, false);
    if (!fresh) return BE_ERR_NO_MORE_HANDLES;
    lame_close(s->lame);
    s->lame = fresh;
    s->flushed = false;
    s->tagged = false;
    s->tagBytes = 0;
  }
  s->encoded = true;
  // A stray sample that does not complete a frame of all channels is dropped.
  const int frames = static_cast<int>(samples) / s->channels;
  if (frames == 0) return BE_ERR_SUCCESSFUL;
  const int n = s->channels == 2
                    ? lame_encode_buffer_interleaved(s->lame, const_cast<short*>(in), frames, out,
                                                     static_cast<int>(kOutputBufferSize))
                    : lame_encode_buffer(s->lame, in, in, frames, out, static_cast<int>(kOutputBufferSize));
  if (n < 0) return n == -1 ? BE_ERR_BUFFER_TOO_SMALL : BE_ERR_INVALID_FORMAT_PARAMETERS;
  *out_bytes = static_cast<uint32_t>(n);
  return BE_ERR_SUCCESSFUL;
}

uint32_t beDeinitStream(HBE_STREAM stream, uint8_t* out, uint32_t* out_bytes) {
  be_stream* s = Get(stream);
  if (!s) return BE_ERR_INVALID_HANDLE;
  if (!out || !out_bytes) return BE_ERR_INVALID_FORMAT_PARAMETERS;
  *out_bytes = 0;
  if (s->flushed) return BE_ERR_SUCCESSFUL;
  const int n = lame_encode_flush(s->lame, out, static_cast<int>(kOutputBufferSize));
  if (n < 0) return BE_ERR_BUFFER_TOO_SMALL;
  s->flushed = true;
  *out_bytes = static_cast<uint32_t>(n);
  if (s->tagged) {
    const size_t t = lame_get_lametag_frame(s->lame, s->tag, sizeof s->tag);
    s->tagBytes = t <= sizeof s->tag ? static_cast<uint32_t>(t) : 0;
  }
  return BE_ERR_SUCCESSFUL;
}

uint32_t beInfoTag(HBE_STREAM stream, uint8_t* out, uint32_t* out_bytes) {
  be_stream* s = Get(stream);
  if (!s) return BE_ERR_INVALID_HANDLE;
  if (!out_bytes) return BE_ERR_INVALID_FORMAT_PARAMETERS;
  *out_bytes = 0;
  if (!s->encoded) {
    if (!s->tagged) {
      lame_global_flags* fresh = CreateEncoder(s->config, true);
      if (!fresh) return BE_ERR_NO_MORE_HANDLES;
      lame_close(s->lame);
      s->lame = fresh;
      s->tagged = true;
    }
    return BE_ERR_SUCCESSFUL;
  }
  if (!s->tagged || !s->flushed || s->tagBytes == 0) return BE_ERR_SUCCESSFUL;
  if (!out) return BE_ERR_INVALID_FORMAT_PARAMETERS;
  std::memcpy(out, s->tag, s->tagBytes);
  *out_bytes = s->tagBytes;
  return BE_ERR_SUCCESSFUL;
}

uint32_t beCloseStream(HBE_STREAM stream) {
  be_stream* s = Get(stream);
  if (!s) return BE_ERR_INVALID_HANDLE;
  lame_close(s->lame);
  s->magic = 0;
  delete s;
  return BE_ERR_SUCCESSFUL;
}

void beVersion(BE_VERSION* version) {
  if (!version) return;
  std::memset(version, 0, sizeof *version);
  version->dll_major = 1;
  version->dll_minor = 0;
  lame_version_t v{};
  get_lame_version_numerical(&v);
  version->engine_major = static_cast<uint8_t>(v.major);
  version->engine_minor = static_cast<uint8_t>(v.minor);
  std::snprintf(version->homepage, sizeof version->homepage, "%s", "https://lame.sourceforge.io/");
}

}  // extern "C"
