// The file ends of the routes: a WAV or MP3 source, a WAV or MP3 sink, and the output
// file that replaces its final name only when complete.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "foundation/MMDSPObj.h"
#include "platform/AtomicFile.h"

namespace strataeq {
class TMMWaveFile;
class TMMMPEGFile;
class TMMMP3Encoder;
}  // namespace strataeq

namespace strataeq::routes {

// True when both paths name the same existing file (links and hard links included).
bool SameFile(const std::string& a, const std::string& b);

// Raises EMMError naming path and the reason when it cannot be opened for reading or is
// a folder, so that an input's failure says more than the component's own message.
void CheckReadableInput(const std::string& path);

enum class TFileKind { Wav, Mp3 };
// By the name's extension, case-insensitively; anything but .mp3 counts as WAV.
TFileKind KindOf(const std::string& path);
// What an output is written as: by its extension, .wav or .mp3 in any letter case, or
// by to ("wav" or "mp3") for "-", a device, a FIFO or a name without extension. Raises
// EMMError for anything else, and for a to that contradicts the extension.
TFileKind OutputKind(const std::string& path, const std::string& to);
// "-", or a name (links followed) of a character device or a FIFO: written as a stream.
bool IsStreamOutput(const std::string& path);

// A bit rate the encoder does not have; the command line reports it as a usage error.
class EBadBitrate : public EMMError {
 public:
  using EMMError::EMMError;
};

// How an MP3 sink encodes.
struct TSinkOptions {
  int Bitrate = 128;        // kbit/s, one of the encoder's rates
  bool Mp3InWave = false;   // the MP3 stream in a WAV container
};

inline constexpr std::int32_t kIOBufferSize = 8192;
// A WAV input is read in larger pieces: on one thread the chain pulls 8 KB a cycle, and
// one read each is most of the reading's system time.
inline constexpr std::int32_t kInputIOBufferSize = 65536;

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
  // Frames the source will deliver when that is known exactly (a WAV file, an MP3 file
  // whose length the decoder knows); -1 otherwise.
  std::int64_t ExactFrames() const;
  // Where the source is and its length, in the file's own units: a WAV file's bytes,
  // an MP3 file's frames.
  std::int64_t Position() const;
  std::int64_t Length() const;
  // Raises the equalizer's "Invalid WaveFormat", saying why, for audio it cannot take.
  void CheckEqualizable(const std::string& path) const;

 private:
  std::unique_ptr<TMMWaveFile> wav_;
  std::unique_ptr<TMMMPEGFile> mpeg_;
};

// An output written as an unnamed file beside its final name, and moved there only
// when complete, so a failed run never touches an existing file of the user's; "-", a
// device and a FIFO are written directly. The one way a command makes its outputs:
// TOutputFile out(name); a TFileSink on it; run the chain; out.Commit(). Destroyed
// uncommitted, the file is removed.
class TOutputFile {
 public:
  // Raises EMMError when the file cannot be created.
  explicit TOutputFile(std::string finalName);
  // The name as given.
  const std::string& FinalName() const { return file_.Name(); }
  TAtomicFile& Target() { return file_; }
  bool IsStream() const { return file_.IsStream(); }
  // Raises EMMError, the final name untouched, when the file cannot be moved into place.
  void Commit();
  // What a failed run leaves, for its message: "OUT is left as it was", "OUT was not
  // written", or for a stream that it got part of the output.
  std::string LeftBehind() const;

 private:
  TAtomicFile file_;
  bool existed_ = false;
};

// The reason of a failed write for a message: "the disk is full" for ENOSPC, a WAV
// stream that ended short of its header for ENODATA, else the system's text ("File too
// large", "Input/output error").
std::string WriteErrorText(int error);

class TFileSink {
 public:
  // Writes the output file (created when the chain opens) as kind.
  TFileSink(TOutputFile& out, TFileKind kind, const TSinkOptions& options);
  // Writes path itself, replacing a file of that name when the chain opens (the file a
  // link names, the link kept); "-", a device or a FIFO is written as a stream.
  TFileSink(const std::string& path, TFileKind kind, const TSinkOptions& options);
  ~TFileSink();
  TMMDSPComponent* Component() const;
  // Why the sink stopped writing (a write failed, the disk filled, a WAV file reached
  // its 4 GB limit); empty while it did not.
  std::string Failure() const;
  bool Failed() const;
  // A WAV stream stopped before the length its header gives.
  bool StreamCut() const;
  // Called on the writing thread when the sink stops writing.
  void SetOnWriteStop(std::function<void()> handler);
  // A WAV sink on a stream writes the header for this many data bytes.
  void SetStreamLength(std::int64_t bytes);
  // Raises the encoder's "Unsupported Input Format", saying why, for audio an MP3 sink
  // cannot take (it would fail only once the chain opens).
  void CheckInput(const TWaveFormatEx* format, const std::string& inputPath) const;
  // Audio bytes in a WAV sink's file.
  std::int64_t BytesWritten() const;
  // Audio seconds in a WAV sink's file.
  double SecondsWritten() const;
  // A WAV sink writes this format, converted from the chain's.
  void SetWavFormat(const TWaveFormatEx* format);

 private:
  void Build(const std::string& path, TAtomicFile* target, TFileKind kind, const TSinkOptions& options);

  std::unique_ptr<TOutputFile> stream_;  // a stream the sink writes by its path
  std::unique_ptr<TMMWaveFile> wav_;
  std::unique_ptr<TMMMP3Encoder> mp3_;
};

}  // namespace strataeq::routes
