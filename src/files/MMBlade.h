// MP3 output through the encoder library "BLADEENC.DLL": TMMMP3Encoder, a chain sink
// that encodes the 16-bit PCM pushed to it into a raw MPEG stream or a RIFF WAVE file
// with the MPEG Layer-3 format.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "codecs/bladeenc/bladeenc.h"
#include "foundation/MMDSPObj.h"

namespace strataeq {

class TMMWave;
class TAtomicFile;

enum class TMMFileType { ftWAV, ftRAW };
enum class TMMChannelMode { cmStereo, cmDualChannel, cmMono };
enum class TMMBitrates { br32, br40, br48, br56, br64, br80, br96, br112, br128, br160, br192, br224, br256, br320 };

// Kilobits per second: the number in the value's name.
int BitrateKbps(TMMBitrates value);
// The value for a number of kilobits per second; false when there is none.
bool BitrateFromKbps(int kbps, TMMBitrates& value);

// The encoder library's entry points, bound by name.
struct TBladeEncoderApi {
  BE_INIT_STREAM_FN InitStream = nullptr;
  BE_ENCODE_CHUNK_FN EncodeChunk = nullptr;
  BE_DEINIT_STREAM_FN DeinitStream = nullptr;
  BE_CLOSE_STREAM_FN CloseStream = nullptr;
  BE_VERSION_FN Version = nullptr;  // bound, never called
  BE_INFO_TAG_FN InfoTag = nullptr;  // optional: raw streams then start with an Info frame
};
// Loads the library when first asked and keeps it; null when it cannot be loaded (the
// next call tries again).
const TBladeEncoderApi* BladeEncoderApi();
// Forgets the library so that the next call loads again. Only while no encoder is
// open: for tests that swap libraries through STRATAEQ_LIBRARY_PATH.
void UnloadBladeEncoder();
// The text raised when the library cannot be loaded.
std::string BladeLoadFailureMessage();

#pragma pack(push, 1)
// The format record of a RIFF WAVE file holding MPEG Layer-3 audio.
struct TMpegLayer3WaveFormat {
  TWaveFormatEx wfx;
  std::uint16_t wID;
  std::uint32_t fdwFlags;
  std::uint16_t nBlockSize;
  std::uint16_t nFramesPerBlock;
  std::uint16_t nCodecDelay;
};
#pragma pack(pop)
static_assert(sizeof(TMpegLayer3WaveFormat) == 30);
static_assert(offsetof(TMpegLayer3WaveFormat, wID) == 18);
static_assert(offsetof(TMpegLayer3WaveFormat, fdwFlags) == 20);
static_assert(offsetof(TMpegLayer3WaveFormat, nBlockSize) == 24);
static_assert(offsetof(TMpegLayer3WaveFormat, nFramesPerBlock) == 26);
static_assert(offsetof(TMpegLayer3WaveFormat, nCodecDelay) == 28);

inline constexpr std::uint16_t WAVE_FORMAT_MPEGLAYER3 = 0x55;

TMpegLayer3WaveFormat BuildMpegLayer3Format(int channels, std::uint32_t rate, int kbps);

struct TMP3EncoderFlags {
  bool Privat = false;
  bool CRC = false;
  bool Copyright = false;
  bool Original = false;
};
// The configuration record for input of the given format: mode 3 for one channel,
// otherwise 2 for cmDualChannel and 0 for the other two.
BE_CONFIG BuildEncoderConfig(const TWaveFormatEx& input, TMMChannelMode mode, TMMBitrates bitrate,
                             const TMP3EncoderFlags& flags);

class TMMMP3Encoder : public TMMDSPComponent {
 public:
  TMMMP3Encoder();
  ~TMMMP3Encoder() override;

  const std::string& FileName() const { return fileName_; }
  void SetFileName(const std::string& value);
  // With a target the encoder writes into the target's temporary file at each Open
  // (whatever FileName says), and its owner commits or discards it after Close. Not
  // owned.
  TAtomicFile* Target() const { return target_; }
  void SetTarget(TAtomicFile* value);
  TMMFileType FileType() const { return fileType_; }
  void SetFileType(TMMFileType value);
  TMMChannelMode ChannelMode() const { return channelMode_; }
  void SetChannelMode(TMMChannelMode value) { channelMode_ = value; }
  TMMBitrates Bitrate() const { return bitrate_; }
  void SetBitrate(TMMBitrates value) { bitrate_ = value; }
  bool Copyright() const { return flags_.Copyright; }
  void SetCopyright(bool value) { flags_.Copyright = value; }
  bool Privat() const { return flags_.Privat; }
  void SetPrivat(bool value) { flags_.Privat = value; }
  bool CRC() const { return flags_.CRC; }
  void SetCRC(bool value) { flags_.CRC = value; }
  bool Original() const { return flags_.Original; }
  void SetOriginal(bool value) { flags_.Original = value; }

  // MP3 bytes written to the file since Open.
  std::int64_t BytesWritten() const { return bytesWritten_.load(); }
  // Why writing the file failed since Open (an errno value: ENOSPC for a disk whose free
  // space ran out, EFBIG, EIO...), 0 when nothing failed. The encoder closes itself then.
  int WriteError() const { return writeError_.load(); }
  // Writing failed (WriteError says why); on the thread that wrote or closed.
  TNotifyEvent OnWriteStop;

  void Open() override;
  void Close() override;
  void Start() override;
  void Stop() override;
  // Encodes the buffer when started, then passes it on. Driver thread.
  void BufferReady(PMMWaveHdr lpwh) override;

 private:
  void CreateOutput(const TWaveFormatEx& input, int kbps);
  void CloseOutput();
  void Release();
  void Flush();
  void WriteInfoTag();
  void Encode(const std::uint8_t* data, std::size_t bytes);
  // False when the bytes could not all be written (the caller closes).
  bool EncodeChunk(const std::uint8_t* data, std::uint32_t samples);
  bool WriteOutput(const std::uint8_t* data, std::uint32_t bytes);
  // Writes the gathered frames out; false when they could not all be written.
  bool WritePending();
  void WriteFailed(int error);
  bool Streaming() const;

  std::string fileName_;
  TAtomicFile* target_ = nullptr;
  std::string diskPath_;  // where the bytes go, for the free-space test
  TMMFileType fileType_ = TMMFileType::ftRAW;
  TMMChannelMode channelMode_ = TMMChannelMode::cmStereo;
  TMMBitrates bitrate_ = TMMBitrates::br128;
  TMP3EncoderFlags flags_;

  const TBladeEncoderApi* api_ = nullptr;
  std::atomic<bool> encOpened_{false};
  std::atomic<bool> encStarted_{false};
  bool closing_ = false;
  HBE_STREAM stream_ = nullptr;
  std::uint32_t chunkSamples_ = 0;
  std::size_t chunkBytes_ = 0;
  std::uint32_t outputSize_ = 0;
  std::unique_ptr<std::uint8_t[]> chunk_;
  std::size_t held_ = 0;
  std::unique_ptr<std::uint8_t[]> output_;
  // Encoded frames gathered for one write (one free-space check and one system call per
  // block, not per frame); a stream gets each chunk at once.
  std::unique_ptr<std::uint8_t[]> pending_;
  std::size_t pendingBytes_ = 0;
  int fd_ = -1;
  std::unique_ptr<TMMWave> wave_;
  std::atomic<std::int64_t> bytesWritten_{0};
  std::atomic<int> writeError_{0};
};

}  // namespace strataeq
