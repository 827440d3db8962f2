// MPEG audio input through the decoder library "mpegint.dll": the process-wide binding,
// TMMMpeg (one decoder instance and the decoded file's properties) and TMMMPEGFile, the
// chain source of 16-bit PCM.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "codecs/mpegint/mpegint.h"
#include "foundation/MMDSPObj.h"

namespace strataeq {

STRATAEQ_DECLARE_ERROR(EMMMpegError);

enum class TMpegVersion : std::uint8_t { v2LSF, v1 };
enum class TSampleMode : std::uint8_t { smStereo, smJointStereo, smDualChannel, smSingleChannel };
enum class TChannelMode { cmLeft, cmRight, cmBoth, cmDownMix };

using TMpegFileInfo = MPEG_FILE_INFO;

// The decoder library's entry points, bound by name.
struct TMpegDecoderApi {
  MPEG_VERSION_FN Version = nullptr;
  MPEG_INIT_FN Init = nullptr;
  MPEG_DONE_FN Done = nullptr;
  void* SetDecodeCallback = nullptr;  // bound, never called
  void* SetDecodeMode = nullptr;
  void* SetFileOffset = nullptr;
  void* ScanFile = nullptr;
  void* EncryptFile = nullptr;
  void* ReadID3Tag = nullptr;
  MPEG_HANDLE_FN Clear = nullptr;
  MPEG_HANDLE_INT_FN SetTrailingHeader = nullptr;
  MPEG_HANDLE_INT_FN SetExactPosition = nullptr;
  MPEG_SETFILENAME_FN SetFileName = nullptr;
  MPEG_GETFILENAME_FN GetFileName = nullptr;
  MPEG_HANDLE_FN GetEmpty = nullptr;
  MPEG_GETFILEINFO_FN GetFileInfo = nullptr;
  MPEG_HANDLE_INT_FN SetChannelMode = nullptr;
  MPEG_HANDLE_INTPTR_FN GetChannelMode = nullptr;
  MPEG_HANDLE_INT_FN SetPosition = nullptr;
  MPEG_HANDLE_FN GetPosition = nullptr;
  MPEG_HANDLE_FN OpenFile = nullptr;
  MPEG_HANDLE_FN CloseFile = nullptr;
  MPEG_HANDLE_FN ResetFile = nullptr;
  MPEG_READDATA_FN ReadDataBytes = nullptr;
  MPEG_HANDLE_FN GetDone = nullptr;
  MPEG_ERRORTEXT_FN GetErrorText = nullptr;
};

// Loads the decoder library on the first call of the process and keeps it; later calls
// give the same answer. Null when the library is missing or refused; the reason has then
// been shown through the message handler once.
const TMpegDecoderApi* MpegDecoderApi();
// Shows the loader's messages ("Unable to load mpegint.dll", "Invalid Mpeg Decoder DLL
// version"). The GUI installs a message box; the default writes the text to stderr.
void SetMpegMessageHandler(std::function<void(const std::string&)> handler);
// Forgets the binding so that the next MpegDecoderApi loads again. Only while no
// TMMMpeg exists: for tests that swap libraries through STRATAEQ_LIBRARY_PATH.
void UnloadMpegDecoder();
// Binds these entry points instead of a loaded library, with the same checks (false,
// and the message shown, when refused); a library already loaded stays loaded. For
// decoders linked into the program (the fuzzer) and for tests that watch the calls.
// Only while no TMMMpeg exists.
bool SetMpegDecoderApi(const TMpegDecoderApi& api);

class TMMMpeg : public TObject {
 public:
  // Raises "Unable to load mpegint.dll" without the library.
  TMMMpeg();
  ~TMMMpeg() override;
  TMMMpeg(const TMMMpeg&) = delete;
  TMMMpeg& operator=(const TMMMpeg&) = delete;

  std::string FileName() const;
  // Closes the file if open, then hands the name to the library; failure raises.
  void SetFileName(const std::string& name);
  std::int32_t TrailingHeader() const { return trailingHeader_; }
  void SetTrailingHeader(std::int32_t value);
  bool Exactposition() const { return exactPosition_; }
  void SetExactposition(bool value);
  TChannelMode ChannelMode() const;
  // Refused while the file is open; rebuilds the output format and fires OnChange.
  void SetChannelMode(TChannelMode value);

  // The file's properties; without a file v1 and zeros.
  TMpegVersion Version() const;
  std::int32_t Layer() const { return info_.layer; }
  TSampleMode Mode() const { return static_cast<TSampleMode>(info_.mode); }
  std::int32_t BitRate() const { return info_.bit_rate; }
  std::int32_t SampleRate() const { return info_.sample_rate; }
  std::int32_t PlayBackRate() const { return info_.playback_rate; }
  std::int32_t Frames() const { return info_.frames; }
  std::int32_t Time() const { return info_.time; }  // milliseconds
  double MsPerFrame() const { return info_.ms_per_frame; }
  // Sample frames the file decodes to, the encoder's delay and padding trimmed when an
  // Info tag gives them; 0 when unknown.
  std::int64_t Samples() const { return info_.samples; }
  // From the file's Info tag; -1 when it has none.
  std::int32_t EncoderDelay() const { return info_.encoder_delay; }
  std::int32_t EncoderPadding() const { return info_.encoder_padding; }
  const TMpegFileInfo& FileInfo() const { return info_; }

  // The decoded PCM format; null without a file.
  const TWaveFormatEx* PWaveFormat() const { return format_.get(); }
  bool Empty() const { return !fileSet_.load(); }
  bool Opened() const { return opened_.load(); }

  void OpenFile();
  void CloseFile();
  void ResetFile();
  // Current frame of the decoded output.
  std::int32_t Position() const;
  // While open: asks the library for two frames earlier and decodes forward to frame n,
  // so that the decoder's bit reservoir is filled again.
  void SetPosition(std::int32_t frame);
  // Bytes of PCM stored, 0 at the end; an error of the library raises. Decoder thread.
  std::int32_t ReadDataBytes(void* buffer, std::int32_t bytes);
  // The end of the stream was reached.
  bool Done() const;

  TNotifyEvent OnChange;

 private:
  static void Notify(std::int32_t code, void* user);
  void FileInfoChanged();
  void RebuildFormat();
  void RethrowNotifyError();
  [[noreturn]] void Raise(std::int32_t code, const std::string& prefix = {}) const;
  void Check(std::int32_t code, const std::string& prefix = {}) const {
    if (code != 0) Raise(code, prefix);
  }

  const TMpegDecoderApi* api_;
  MPEG_HANDLE handle_ = nullptr;
  std::int32_t trailingHeader_ = 0;
  bool exactPosition_ = false;
  TMpegFileInfo info_{};
  PWaveFormatEx format_;
  std::atomic<bool> fileSet_{false};
  std::atomic<bool> opened_{false};
  std::exception_ptr notifyError_;
  // Whole frames are decoded into it when seeking; holds the largest, 1152 stereo samples.
  std::uint8_t scratch_[4609];
};

class TMMMPEGFile : public TMMDSPComponent {
 public:
  TMMMPEGFile();  // raises "Unable to load mpegint.dll" without the library
  ~TMMMPEGFile() override;

  TMMMpeg& Mpeg() { return *mpeg_; }
  const TMMMpeg& Mpeg() const { return *mpeg_; }

  bool Enabled() const { return enabled_.load(); }
  void SetEnabled(bool value) { enabled_ = value; }
  std::string FileName() const { return mpeg_->FileName(); }
  void SetFileName(const std::string& value) { mpeg_->SetFileName(value); }
  std::int32_t TrailingHeader() const { return mpeg_->TrailingHeader(); }
  void SetTrailingHeader(std::int32_t value) { mpeg_->SetTrailingHeader(value); }
  TMpegVersion Version() const { return mpeg_->Version(); }
  std::int32_t Layer() const { return mpeg_->Layer(); }
  TSampleMode Mode() const { return mpeg_->Mode(); }
  std::int32_t BitRate() const { return mpeg_->BitRate(); }
  std::int32_t SampleRate() const { return mpeg_->SampleRate(); }
  std::int32_t PlayBackRate() const { return mpeg_->PlayBackRate(); }
  std::int32_t Frames() const { return mpeg_->Frames(); }
  std::int32_t Time() const { return mpeg_->Time(); }
  std::int64_t Samples() const { return mpeg_->Samples(); }
  std::int32_t EncoderDelay() const { return mpeg_->EncoderDelay(); }
  std::int32_t EncoderPadding() const { return mpeg_->EncoderPadding(); }
  TChannelMode ChannelMode() const { return mpeg_->ChannelMode(); }
  void SetChannelMode(TChannelMode value) { mpeg_->SetChannelMode(value); }
  bool Exactposition() const { return mpeg_->Exactposition(); }
  void SetExactposition(bool value) { mpeg_->SetExactposition(value); }
  // The decoder's current frame (the progress of a file run).
  std::int32_t Position() const { return mpeg_->Position(); }

  void Open() override;
  void Close() override;
  void Start() override;
  void Stop() override;
  void BufferLoad(PMMWaveHdr lpwh, bool& MoreBuffers) override;

  TNotifyEvent OnChange;

 private:
  std::unique_ptr<TMMMpeg> mpeg_;
  std::atomic<bool> enabled_{true};
  bool fileOpened_ = false;
  std::atomic<bool> fileStarted_{false};
  std::int32_t startFrame_ = 0;
};

}  // namespace strataeq
