// The encoder library over libmp3lame: constant bit rate, no resampling, no ID3 tags, so
// the output is plain MPEG-1 Layer III frames at the input's rate, led by an Info frame
// when the caller asks for one.
#include "codecs/bladeenc/bladeenc.h"

#include <lame/lame.h>

#include <algorithm>
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

// LAME leaves its Info frame out when one frame of the stream's bit rate cannot hold it
// (below 64 kbit/s at 44.1 kHz stereo, 56 mono, 48 at 32 kHz): decoders would then keep
// the encoder's delay and padding. Such a stream gets an Info frame of ours in the
// smallest frame of a higher bit rate that holds it (each frame carries its own rate).
constexpr uint32_t kInfoTagBytes = 120 + 36;  // Xing part ("Info" ... quality), LAME part
const uint16_t kBitrates[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};

uint32_t SideInfoBytes(int channels) { return channels == 1 ? 17 : 32; }
uint32_t FrameBytes(uint32_t kbps, uint32_t rate) { return 144000 * kbps / rate; }

// The bit rate index of the smallest unpadded frame that holds the header, the side
// information and the tag; 0 when the stream's own frames do (LAME writes the tag).
int OwnTagBitrateIndex(const BE_CONFIG& config, int channels) {
  const uint32_t need = 4 + SideInfoBytes(channels) + kInfoTagBytes;
  if (FrameBytes(config.bitrate, config.sample_rate) >= need) return 0;
  for (int i = 1; i < 15; ++i)
    if (FrameBytes(kBitrates[i], config.sample_rate) >= need) return i;
  return 14;
}

// CRC-16 as the LAME tag uses it (polynomial 0x8005, reflected, starting at 0).
uint16_t Crc16(uint16_t crc, const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int b = 0; b < 8; ++b) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
  }
  return crc;
}

void PutBE(uint8_t* p, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * (bytes - 1 - i)));
}

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
  // Our own Info frame (LAME's does not fit): its bit rate index (0: none), whether its
  // placeholder has gone out, and the frames' bytes and CRC that it records.
  int ownTagIndex = 0;
  bool placed = false;
  uint32_t musicBytes = 0;
  uint16_t musicCrc = 0;
};

namespace {

be_stream* Get(HBE_STREAM s) { return s && s->magic == kMagic ? s : nullptr; }

uint32_t OwnTagFrameBytes(const be_stream& s) { return FrameBytes(kBitrates[s.ownTagIndex], s.config.sample_rate); }

// The first four bytes of our Info frame: MPEG-1 Layer III without CRC, the stream's
// rate, mode and flags at the tag's bit rate.
void PutOwnTagHeader(const be_stream& s, uint8_t* p) {
  const uint32_t rate = s.config.sample_rate;
  const int rateIndex = rate == 44100 ? 0 : rate == 48000 ? 1 : 2;
  p[0] = 0xFF;
  p[1] = 0xFB;
  p[2] = static_cast<uint8_t>(s.ownTagIndex << 4 | rateIndex << 2 | (s.config.private_bit ? 1 : 0));
  p[3] = static_cast<uint8_t>((s.config.mode & 3) << 6 | (s.config.copyright ? 8 : 0) | (s.config.original ? 4 : 0));
}

// The Info frame LAME would write: frame count, byte count, a linear table of contents,
// and the LAME part with the encoder's delay and padding and both CRCs.
void BuildOwnTag(be_stream& s) {
  const uint32_t size = OwnTagFrameBytes(s);
  uint8_t* t = s.tag;
  std::memset(t, 0, size);
  PutOwnTagHeader(s, t);
  uint8_t* x = t + 4 + SideInfoBytes(s.channels);
  const uint32_t total = size + s.musicBytes;
  std::memcpy(x, "Info", 4);
  PutBE(x + 4, 0x0F, 4);  // frames, bytes, table of contents, quality
  PutBE(x + 8, static_cast<uint32_t>(lame_get_frameNum(s.lame)), 4);
  PutBE(x + 12, total, 4);
  for (int i = 0; i < 100; ++i) x[16 + i] = static_cast<uint8_t>(i * 256 / 100);
  PutBE(x + 116, static_cast<uint32_t>(std::max(0, 100 - 10 * lame_get_VBR_q(s.lame) - lame_get_quality(s.lame))), 4);
  uint8_t* l = x + 120;
  char version[16];
  std::snprintf(version, sizeof version, "LAME%-9s", get_lame_short_version());
  std::memcpy(l, version, 9);
  l[9] = 0x01;  // revision 0, constant bit rate
  l[10] = static_cast<uint8_t>(std::min(255, (lame_get_lowpassfreq(s.lame) + 50) / 100));
  l[20] = static_cast<uint8_t>(std::min<uint32_t>(s.config.bitrate, 255));
  const uint32_t delay = static_cast<uint32_t>(std::clamp(lame_get_encoder_delay(s.lame), 0, 4095));
  const uint32_t padding = static_cast<uint32_t>(std::clamp(lame_get_encoder_padding(s.lame), 0, 4095));
  PutBE(l + 21, delay << 12 | padding, 3);
  const uint32_t rate = s.config.sample_rate;
  l[24] = static_cast<uint8_t>((rate < 44100 ? 0 : rate == 44100 ? 1 : 2) << 6);
  PutBE(l + 28, total, 4);
  PutBE(l + 32, s.musicCrc, 2);
  PutBE(l + 34, Crc16(0, t, static_cast<size_t>(l + 34 - t)), 2);
  s.tagBytes = size;
}

// Counts what LAME wrote into the stream for our Info frame.
void CountMusic(be_stream& s, const uint8_t* p, int n) {
  if (!s.ownTagIndex || n <= 0) return;
  s.musicBytes += static_cast<uint32_t>(n);
  s.musicCrc = Crc16(s.musicCrc, p, static_cast<size_t>(n));
}

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
    s->ownTagIndex = 0;
  }
  s->encoded = true;
  // A stray sample that does not complete a frame of all channels is dropped.
  const int frames = static_cast<int>(samples) / s->channels;
  if (frames == 0) return BE_ERR_SUCCESSFUL;
  // Our Info frame's place leads the stream: a frame of silence until it is written.
  uint32_t lead = 0;
  if (s->ownTagIndex && !s->placed) {
    lead = OwnTagFrameBytes(*s);
    std::memset(out, 0, lead);
    PutOwnTagHeader(*s, out);
    s->placed = true;
  }
  uint8_t* at = out + lead;
  const int room = static_cast<int>(kOutputBufferSize - lead);
  const int n = s->channels == 2
                    ? lame_encode_buffer_interleaved(s->lame, const_cast<short*>(in), frames, at, room)
                    : lame_encode_buffer(s->lame, in, in, frames, at, room);
  if (n < 0) return n == -1 ? BE_ERR_BUFFER_TOO_SMALL : BE_ERR_INVALID_FORMAT_PARAMETERS;
  CountMusic(*s, at, n);
  *out_bytes = lead + static_cast<uint32_t>(n);
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
  CountMusic(*s, out, n);
  if (s->tagged && s->ownTagIndex) {
    if (s->placed) BuildOwnTag(*s);
  } else if (s->tagged) {
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
      const int own = OwnTagBitrateIndex(s->config, s->channels);
      lame_global_flags* fresh = CreateEncoder(s->config, own == 0);
      if (!fresh) return BE_ERR_NO_MORE_HANDLES;
      lame_close(s->lame);
      s->lame = fresh;
      s->tagged = true;
      s->ownTagIndex = own;
      s->placed = false;
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
