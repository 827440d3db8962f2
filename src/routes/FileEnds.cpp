#include "routes/FileEnds.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "files/MMBlade.h"
#include "files/MMMPEG.h"
#include "files/MMWave.h"

namespace strataeq::routes {
namespace {

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

}  // namespace

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

void CheckReadableInput(const std::string& path) {
  // Non-blocking: a FIFO without a writer yet is readable, not a hang.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw EMMError(path + ": " + std::strerror(errno));
  struct stat st {};
  const bool folder = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
  ::close(fd);
  if (folder) throw EMMError(path + ": is a folder, not a sound file");
}

TFileKind KindOf(const std::string& path) {
  const auto dot = path.find_last_of('.');
  if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return TFileKind::Wav;
  std::string ext = path.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  return ext == "mp3" ? TFileKind::Mp3 : TFileKind::Wav;
}

bool IsStreamOutput(const std::string& path) {
  struct stat st {};
  return path == "-" || (::stat(path.c_str(), &st) == 0 && (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)));
}

TFileKind OutputKind(const std::string& path, const std::string& to) {
  const std::filesystem::path name = std::filesystem::path(path).filename();
  const std::string ext = path == "-" ? std::string() : Lower(name.extension().string());
  if (ext == ".wav" || ext == ".mp3") {
    if (!to.empty() && "." + to != ext)
      throw EMMError("the output " + path + " is named as " + ext + " but --to says " + to + ": rename it or drop --to");
    return ext == ".mp3" ? TFileKind::Mp3 : TFileKind::Wav;
  }
  if (!to.empty() && (ext.empty() || IsStreamOutput(path))) return to == "mp3" ? TFileKind::Mp3 : TFileKind::Wav;
  if (ext.empty())
    throw EMMError("the output " + path + " has no extension: give --to wav or --to mp3 to say what to write");
  throw EMMError("the output " + path + " is not a .wav or .mp3 file: refusing to write audio as " + ext +
                 " (outputs are .wav or .mp3; --to wav|mp3 names the type for a stream or a name without extension)");
}


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
  wav_->Wave().SetIOBufferSize(kInputIOBufferSize);
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

std::int64_t TFileSource::Position() const {
  return wav_ ? std::max<std::int64_t>(wav_->Wave().Position(), 0) : mpeg_->Position();
}

std::int64_t TFileSource::Length() const { return wav_ ? wav_->Wave().LengthInBytes() : mpeg_->Frames(); }

std::int64_t TFileSource::ExactFrames() const {
  if (wav_) {
    const TWaveFormatEx* f = FileFormat();
    return f && f->nBlockAlign ? wav_->Wave().LengthInBytes() / f->nBlockAlign : -1;
  }
  return mpeg_->Samples() > 0 ? mpeg_->Samples() : -1;
}

TOutputFile::TOutputFile(std::string finalName) {
  struct stat st {};
  existed_ = finalName != "-" && ::stat(finalName.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  if (const int err = file_.Create(finalName)) {
    if (err == ENOTSUP)
      throw EMMError("Unable to write " + finalName + ": it is neither a file, a character device nor a FIFO");
    throw EMMError("Unable to write " + finalName + ": " + std::strerror(err));
  }
}

void TOutputFile::Commit() {
  if (const int err = file_.Commit())
    throw EMMError("Unable to write " + file_.Name() + ": " + WriteErrorText(err) + "; " + LeftBehind());
}

std::string TOutputFile::LeftBehind() const {
  if (file_.IsStream()) return file_.Name() + " got only part of the output";
  return file_.Name() + (existed_ ? " is left as it was" : " was not written");
}

std::string WriteErrorText(int error) {
  if (error == ENOSPC || error == EDQUOT) return "the disk is full";
  if (error == ENODATA) return "the stream ended before the length its header gives";
  return std::strerror(error ? error : EIO);
}

TFileSink::TFileSink(TOutputFile& out, TFileKind kind, const TSinkOptions& o) { Build({}, &out.Target(), kind, o); }

TFileSink::TFileSink(const std::string& path, TFileKind kind, const TSinkOptions& o) {
  if (IsStreamOutput(path)) {
    stream_ = std::make_unique<TOutputFile>(path);
    Build({}, &stream_->Target(), kind, o);
    return;
  }
  // A link stays; the file it names is the one written.
  std::error_code ec;
  const std::filesystem::path p(path);
  std::filesystem::path real = std::filesystem::is_symlink(p, ec) ? std::filesystem::weakly_canonical(p, ec) : p;
  if (ec) real = p;
  Build(real.string(), nullptr, kind, o);
}

void TFileSink::Build(const std::string& path, TAtomicFile* target, TFileKind kind, const TSinkOptions& o) {
  if (kind == TFileKind::Mp3) {
    TMMBitrates bitrate{};
    if (!BitrateFromKbps(o.Bitrate, bitrate)) throw EBadBitrate("--bitrate: no MP3 bit rate of " + std::to_string(o.Bitrate) + " kbit/s");
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

bool TFileSink::Failed() const {
  return wav_ ? wav_->WriteStop() != TMMWriteStop::wsNone : mp3_->WriteError() != 0;
}

bool TFileSink::StreamCut() const { return wav_ && wav_->WriteError() == ENODATA; }

std::string TFileSink::Failure() const {
  if (mp3_) return mp3_->WriteError() ? WriteErrorText(mp3_->WriteError()) : std::string();
  switch (wav_->WriteStop()) {
    case TMMWriteStop::wsDiskFull: return "the disk is full";
    case TMMWriteStop::wsWriteError: return WriteErrorText(wav_->WriteError());
    case TMMWriteStop::wsSizeLimit: return "the file reached the 4 GB limit of a WAV file";
    case TMMWriteStop::wsNone: break;
  }
  return {};
}

void TFileSink::SetOnWriteStop(std::function<void()> handler) {
  auto fire = [handler = std::move(handler)](TObject*) {
    if (handler) handler();
  };
  if (wav_)
    wav_->OnWriteStop = fire;
  else
    mp3_->OnWriteStop = fire;
}

void TFileSink::SetStreamLength(std::int64_t bytes) {
  if (wav_) wav_->SetStreamLength(bytes);
}

void TFileSink::CheckInput(const TWaveFormatEx* f, const std::string& inputPath) const {
  if (!mp3_ || !f) return;
  const std::uint32_t rate = f->nSamplesPerSec;
  if (rate == 32000 || rate == 44100 || rate == 48000) return;
  throw EMMError("Unsupported Input Format: MP3 output takes 32000, 44100 or 48000 Hz; " + inputPath + " is " +
                 std::to_string(rate) + " Hz");
}

std::int64_t TFileSink::BytesWritten() const { return wav_ ? wav_->Wave().LengthInBytes() : 0; }

double TFileSink::SecondsWritten() const {
  const TWaveFormatEx* f = wav_ ? wav_->Wave().PWaveFormat() : nullptr;
  return f && f->nAvgBytesPerSec ? static_cast<double>(BytesWritten()) / f->nAvgBytesPerSec : 0.0;
}

void TFileSink::SetWavFormat(const TWaveFormatEx* format) {
  if (wav_) wav_->SetFileFormat(format);
}

}  // namespace strataeq::routes
