#include "app/cli/FileEnds.h"

#include <cstring>

#include "app/cli/CliSupport.h"
#include "files/MMBlade.h"
#include "files/MMMPEG.h"
#include "files/MMWave.h"

namespace strataeq::cli {

TFileSource::TFileSource(const std::string& path) {
  CheckReadableInput(path);
  if (KindOf(path) == TFileKind::Mp3) {
    mpeg_ = std::make_unique<TMMMPEGFile>();  // raises when the decoder library is missing
    try {
      mpeg_->SetFileName(path);
    } catch (const EMMError& e) {
      throw EMMError(path + ": " + kNotMpeg + " (" + e.what() + ")");
    }
    if (!mpeg_->PWaveFormat()) throw EMMError(path + ": " + kNotMpeg);
    return;
  }
  wav_ = std::make_unique<TMMWaveFile>();
  wav_->Wave().SetTimeFormat(TMMTimeFormats::tfByte);
  wav_->Wave().SetIOBufferSize(kIOBufferSize);
  try {
    wav_->Wave().SetFileName(path);
  } catch (const EMMError& e) {
    throw EMMError(path + ": " + e.what());
  }
  const std::uint16_t tag = EffectiveFormatTag(wav_->Wave().PWaveFormat());
  if (tag != WAVE_FORMAT_PCM && tag != WAVE_FORMAT_IEEE_FLOAT)
    throw EMMError(path + ": Sorry, using compressed wave file (ACM) is not supported !");
}

void TFileSource::CheckEqualizable(const std::string& path) const {
  const TWaveFormatEx* f = FileFormat();
  if (wav_ ? IsLinearWaveFormat(f) : IsValidPcmFormat(f) && f->wBitsPerSample == 16) return;
  std::string what = path;
  if (f) {
    what += " is " + std::to_string(f->wBitsPerSample) + "-bit" + (IsFloatFormat(f) ? " float, " : ", ") +
            std::to_string(f->nChannels) + (f->nChannels == 1 ? " channel, " : " channels, ") +
            std::to_string(f->nSamplesPerSec) + " Hz";
  }
  throw EMMError(LoadResString(msg::InvalidWaveFormat) +
                 ": the equalizer takes 8-, 16-, 24-, 32-bit or 32-bit float samples with 1 or 2 channels at 8000 to "
                 "192000 Hz; " + what);
}

const TWaveFormatEx* TFileSource::FileFormat() const {
  return wav_ ? wav_->Wave().PWaveFormat() : Component()->PWaveFormat();
}

void TFileSource::SetChainSampleType(TPcmSampleType type) {
  if (wav_) wav_->SetChainSampleType(type);
}

TFileSource::~TFileSource() = default;

TMMDSPComponent* TFileSource::Component() const {
  return wav_ ? static_cast<TMMDSPComponent*>(wav_.get()) : mpeg_.get();
}

const TWaveFormatEx* TFileSource::Format() const { return Component()->PWaveFormat(); }

double TFileSource::BytesPerSecond() const {
  const TWaveFormatEx* f = Format();
  return f && f->nAvgBytesPerSec ? f->nAvgBytesPerSec : 1.0;
}

std::int64_t TFileSource::TotalBytes() const {
  if (wav_) {
    const TWaveFormatEx* file = FileFormat();
    const TWaveFormatEx* chain = Format();
    if (!file || !chain || !file->nBlockAlign) return 0;
    return wav_->Wave().LengthInBytes() / file->nBlockAlign * chain->nBlockAlign;
  }
  if (mpeg_->Samples() > 0 && Format()) return mpeg_->Samples() * Format()->nBlockAlign;
  return static_cast<std::int64_t>(static_cast<double>(mpeg_->Time()) / 1000.0 * BytesPerSecond());
}

TOutputFile::TOutputFile(std::string finalName) {
  if (const int err = file_.Create(finalName))
    throw EMMError("Unable to write " + finalName + ": " + std::strerror(err));
}

void TOutputFile::Commit() {
  if (const int err = file_.Commit())
    throw EMMError("Unable to write " + file_.FinalName() + ": " + std::strerror(err));
}

TFileSink::TFileSink(TOutputFile& out, const TCliOptions& o) : TFileSink({}, &out.Target(), out.FinalName(), o) {}

TFileSink::TFileSink(const std::string& path, const TCliOptions& o) : TFileSink(path, nullptr, path, o) {}

TFileSink::TFileSink(const std::string& path, TAtomicFile* target, const std::string& finalName, const TCliOptions& o) {
  if (KindOf(finalName) == TFileKind::Mp3) {
    TMMBitrates bitrate{};
    if (!BitrateFromKbps(o.Bitrate, bitrate)) throw EUsageError("--bitrate: no MP3 bit rate of " + std::to_string(o.Bitrate) + " kbit/s");
    mp3_ = std::make_unique<TMMMP3Encoder>();
    mp3_->SetBitrate(bitrate);
    mp3_->SetFileType(o.Mp3InWave ? TMMFileType::ftWAV : TMMFileType::ftRAW);
    if (target)
      mp3_->SetTarget(target);
    else
      mp3_->SetFileName(path);
    return;
  }
  wav_ = std::make_unique<TMMWaveFile>();
  wav_->Wave().SetTimeFormat(TMMTimeFormats::tfByte);
  wav_->Wave().SetIOBufferSize(kIOBufferSize);
  wav_->Wave().SetFileMustExist(false);
  if (target)
    wav_->SetTarget(target);
  else
    wav_->Wave().SetFileName(path);
}

TFileSink::~TFileSink() = default;

TMMDSPComponent* TFileSink::Component() const {
  return wav_ ? static_cast<TMMDSPComponent*>(wav_.get()) : mp3_.get();
}

std::string TFileSink::StoppedEarly() const {
  if (!wav_) return {};
  switch (wav_->WriteStop()) {
    case TMMWriteStop::wsDiskFull: return "the disk is full";
    case TMMWriteStop::wsWriteError: return "writing the file failed";
    case TMMWriteStop::wsSizeLimit: return "the file reached the 4 GB limit of a WAV file";
    case TMMWriteStop::wsNone: break;
  }
  return {};
}

void TFileSink::CheckInput(const TWaveFormatEx* f, const std::string& inputPath) const {
  if (!mp3_ || !f) return;
  const std::uint32_t rate = f->nSamplesPerSec;
  if (rate == 32000 || rate == 44100 || rate == 48000) return;
  throw EMMError("Unsupported Input Format: MP3 output takes 32000, 44100 or 48000 Hz; " + inputPath + " is " +
                 std::to_string(rate) + " Hz");
}

std::int64_t TFileSink::BytesWritten() const { return wav_ ? wav_->Wave().LengthInBytes() : 0; }

void TFileSink::SetWavFormat(const TWaveFormatEx* format) {
  if (wav_) wav_->SetFileFormat(format);
}

}  // namespace strataeq::cli
