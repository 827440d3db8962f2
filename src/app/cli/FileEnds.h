// The file ends of the command line's chains: a WAV or MP3 source, a WAV or MP3 sink.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "app/cli/CliOptions.h"
#include "foundation/MMDSPObj.h"
#include "platform/AtomicFile.h"

namespace strataeq {
class TMMWaveFile;
class TMMMPEGFile;
class TMMMP3Encoder;
}  // namespace strataeq

namespace strataeq::cli {

inline constexpr std::int32_t kIOBufferSize = 8192;

// The text the window shows for an MP3 file the decoder refuses.
inline constexpr const char* kNotMpeg = "This is not a valid MPEG Layer 3 file !";

class TFileSource {
 public:
  // Reads the file's header; raises the component's error for a file it cannot use.
  explicit TFileSource(const std::string& path);
  ~TFileSource();
  TMMDSPComponent* Component() const;
  const TWaveFormatEx* Format() const;  // what the chain gets
  // The file's own format: the WAV file's, or the decoder's 16-bit PCM.
  const TWaveFormatEx* FileFormat() const;
  bool IsWav() const { return wav_ != nullptr; }
  // A WAV source delivers its samples converted to type (stNone: as they are).
  void SetChainSampleType(TPcmSampleType type);
  double BytesPerSecond() const;
  std::int64_t TotalBytes() const;  // of PCM the source will deliver
  // Raises the equalizer's "Invalid WaveFormat", saying why, for audio it cannot take.
  void CheckEqualizable(const std::string& path) const;

 private:
  std::unique_ptr<TMMWaveFile> wav_;
  std::unique_ptr<TMMMPEGFile> mpeg_;
};

// An output written beside its final name under a name nobody can guess, and moved
// there only when complete, so a failed run never touches an existing file of the
// user's. The one way a command makes its outputs: TOutputFile out(name); a TFileSink
// on it; run the chain; out.Commit(). Destroyed uncommitted, the file is removed.
class TOutputFile {
 public:
  // Raises EMMError when the file cannot be created.
  explicit TOutputFile(std::string finalName);
  const std::string& FinalName() const { return file_.FinalName(); }
  const std::string& Temp() const { return file_.TempName(); }
  TAtomicFile& Target() { return file_; }
  // Raises EMMError, the final name untouched, when the file cannot be moved into place.
  void Commit();

 private:
  TAtomicFile file_;
};

class TFileSink {
 public:
  // Writes the output file (created when the chain opens) as WAV or MP3 by its final
  // name's extension.
  TFileSink(TOutputFile& out, const TCliOptions& options);
  // Writes path itself, replacing a file of that name when the chain opens.
  TFileSink(const std::string& path, const TCliOptions& options);
  ~TFileSink();
  TMMDSPComponent* Component() const;
  // Why a WAV sink finished its file early; empty when it did not.
  std::string StoppedEarly() const;
  // Raises the encoder's "Unsupported Input Format", saying why, for audio an MP3 sink
  // cannot take (it would fail only once the chain opens).
  void CheckInput(const TWaveFormatEx* format, const std::string& inputPath) const;
  // Audio bytes in a WAV sink's file.
  std::int64_t BytesWritten() const;
  // A WAV sink writes this format, converted from the chain's.
  void SetWavFormat(const TWaveFormatEx* format);

 private:
  TFileSink(const std::string& path, TAtomicFile* target, const std::string& finalName, const TCliOptions& options);

  std::unique_ptr<TMMWaveFile> wav_;
  std::unique_ptr<TMMMP3Encoder> mp3_;
};

}  // namespace strataeq::cli
