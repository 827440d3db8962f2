#include "files/MMBlade.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>

#include "files/MMWave.h"
#include "platform/AtomicFile.h"
#include "platform/DynLib.h"

namespace strataeq {
namespace {

constexpr const char* kLibraryName = "BLADEENC.DLL";
constexpr const char* kDownloadAddress = "https://lame.sourceforge.io/";
constexpr std::int64_t kDiskReserve = 10240;
// About a second of 128 kbit/s frames per write.
constexpr std::size_t kWriteBlock = 16384;
constexpr std::uint32_t kTrue = 0xFFFFFFFFu;

struct Binding {
  std::mutex mutex;
  bool loaded = false;
  TDynLib library;
  TBladeEncoderApi api;
};

// Never destroyed: the library stays loaded until the process ends.
Binding& TheBinding() {
  static Binding* binding = new Binding;
  return *binding;
}

[[noreturn]] void Fail(const char* text) { throw EMMError(text); }

}  // namespace

int BitrateKbps(TMMBitrates value) {
  static const int kbps[] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
  return kbps[static_cast<int>(value)];
}

bool BitrateFromKbps(int kbps, TMMBitrates& value) {
  for (int i = 0; i <= static_cast<int>(TMMBitrates::br320); ++i) {
    if (BitrateKbps(static_cast<TMMBitrates>(i)) == kbps) {
      value = static_cast<TMMBitrates>(i);
      return true;
    }
  }
  return false;
}

std::string BladeLoadFailureMessage() {
  return std::string("Unable to load Blade Encoder DLL\n\rYou can download the BladeEncoder at:\n\r") +
         kDownloadAddress;
}

const TBladeEncoderApi* BladeEncoderApi() {
  Binding& b = TheBinding();
  std::lock_guard lock(b.mutex);
  if (b.loaded) return &b.api;
  if (!b.library.Load(kLibraryName)) return nullptr;
  TBladeEncoderApi api;
  api.InitStream = b.library.Function<BE_INIT_STREAM_FN>("beInitStream");
  api.EncodeChunk = b.library.Function<BE_ENCODE_CHUNK_FN>("beEncodeChunk");
  api.DeinitStream = b.library.Function<BE_DEINIT_STREAM_FN>("beDeinitStream");
  api.CloseStream = b.library.Function<BE_CLOSE_STREAM_FN>("beCloseStream");
  api.Version = b.library.Function<BE_VERSION_FN>("beVersion");
  api.InfoTag = b.library.Function<BE_INFO_TAG_FN>("beInfoTag");
  if (!api.InitStream || !api.EncodeChunk || !api.DeinitStream || !api.CloseStream) {
    b.library.Unload();
    return nullptr;
  }
  b.api = api;
  b.loaded = true;
  return &b.api;
}

void UnloadBladeEncoder() {
  Binding& b = TheBinding();
  std::lock_guard lock(b.mutex);
  b.library.Unload();
  b.api = TBladeEncoderApi{};
  b.loaded = false;
}

TMpegLayer3WaveFormat BuildMpegLayer3Format(int channels, std::uint32_t rate, int kbps) {
  const double bitsPerSecond = kbps * 1000.0;
  TMpegLayer3WaveFormat f{};
  f.wfx.wFormatTag = WAVE_FORMAT_MPEGLAYER3;
  f.wfx.nChannels = static_cast<std::uint16_t>(channels);
  f.wfx.nSamplesPerSec = rate;
  // Frame bytes (144 x bit rate / rate) times frames per second (rate / 1152).
  f.wfx.nAvgBytesPerSec = static_cast<std::uint32_t>(std::lround(rate * (144.0 * bitsPerSecond / rate) / 1152.0));
  f.wfx.nBlockAlign = 1;
  f.wfx.wBitsPerSample = 0;
  f.wfx.cbSize = 12;
  f.wID = 1;
  f.fdwFlags = 2;  // padding off
  f.nBlockSize = static_cast<std::uint16_t>(144 * kbps * 1000 / static_cast<std::int64_t>(rate));
  f.nFramesPerBlock = 1;
  f.nCodecDelay = 1393;
  return f;
}

BE_CONFIG BuildEncoderConfig(const TWaveFormatEx& input, TMMChannelMode mode, TMMBitrates bitrate,
                             const TMP3EncoderFlags& flags) {
  BE_CONFIG c{};
  c.config_kind = BE_CONFIG_MP3;
  c.sample_rate = input.nSamplesPerSec;
  if (input.nChannels == 1)
    c.mode = BE_MP3_MODE_MONO;
  else
    c.mode = mode == TMMChannelMode::cmDualChannel ? BE_MP3_MODE_DUALCHANNEL : BE_MP3_MODE_STEREO;
  c.bitrate = static_cast<std::uint16_t>(BitrateKbps(bitrate));
  c.private_bit = flags.Privat ? kTrue : 0;
  c.crc = flags.CRC ? kTrue : 0;
  c.copyright = flags.Copyright ? kTrue : 0;
  c.original = flags.Original ? kTrue : 0;
  return c;
}

TMMMP3Encoder::TMMMP3Encoder() : TMMDSPComponent(TConnectionProps{true, false}) {}

TMMMP3Encoder::~TMMMP3Encoder() {
  try {
    Close();
  } catch (...) {
  }
  Release();
}

void TMMMP3Encoder::SetFileName(const std::string& value) {
  if (value == fileName_) return;
  if (encOpened_) throw EMMError(LoadResString(msg::PropertyWhileOpen));
  fileName_ = value;
}

void TMMMP3Encoder::SetTarget(TAtomicFile* value) {
  if (value == target_) return;
  if (encOpened_) throw EMMError(LoadResString(msg::PropertyWhileOpen));
  target_ = value;
}

void TMMMP3Encoder::SetFileType(TMMFileType value) {
  if (value == fileType_) return;
  if (encOpened_) throw EMMError(LoadResString(msg::PropertyWhileOpen));
  fileType_ = value;
}

void TMMMP3Encoder::Open() {
  TMMDSPComponent::Open();
  if (encOpened_ || !PWaveFormat() || !Input() || (fileName_.empty() && !target_)) return;
  api_ = BladeEncoderApi();
  if (!api_) throw EMMError(BladeLoadFailureMessage());
  const TWaveFormatEx input = *PWaveFormat();
  const std::uint32_t rate = input.nSamplesPerSec;
  // The encoder reads interleaved 16-bit frames of one or two channels.
  if (input.wFormatTag != WAVE_FORMAT_PCM || input.wBitsPerSample != 16 || input.nChannels < 1 ||
      input.nChannels > 2 || (rate != 48000 && rate != 44100 && rate != 32000))
    Fail("Unsupported Input Format");
  const BE_CONFIG config = BuildEncoderConfig(input, channelMode_, bitrate_, flags_);
  writeError_ = 0;
  CreateOutput(input, config.bitrate);

  std::uint32_t samples = 0, bufferSize = 0;
  HBE_STREAM stream = nullptr;
  const std::uint32_t rc = api_->InitStream(&config, &samples, &bufferSize, &stream);
  // A chunk of no samples would never be consumed.
  if (rc != BE_ERR_SUCCESSFUL || samples == 0 || bufferSize == 0) {
    if (rc == BE_ERR_SUCCESSFUL) api_->CloseStream(stream);
    CloseOutput();
    Fail("Unable to initialize stream");
  }
  stream_ = stream;
  // Decoders trim the encoder's delay and padding by the Info frame. Only a raw file
  // gets one: in a WAV file the frame would be played as a frame of silence, and a
  // stream cannot go back to fill it in.
  std::uint32_t none = 0;
  if (fileType_ == TMMFileType::ftRAW && !Streaming() && api_->InfoTag &&
      api_->InfoTag(stream_, nullptr, &none) != BE_ERR_SUCCESSFUL) {
    Release();
    Fail("Unable to initialize stream");
  }
  chunkSamples_ = samples;
  chunkBytes_ = 2 * static_cast<std::size_t>(samples);
  outputSize_ = bufferSize;
  try {
    chunk_ = std::make_unique<std::uint8_t[]>(chunkBytes_);
    output_ = std::make_unique<std::uint8_t[]>(outputSize_);
    pending_ = std::make_unique<std::uint8_t[]>(kWriteBlock + outputSize_);
  } catch (...) {
    Release();
    throw;
  }
  held_ = 0;
  bytesWritten_ = 0;
  encOpened_ = true;
}

void TMMMP3Encoder::CreateOutput(const TWaveFormatEx& input, int kbps) {
  diskPath_ = target_ ? target_->SpacePath() : fileName_;
  if (fileType_ == TMMFileType::ftRAW) {
    if (target_) {
      // A duplicate shares the file offset: start over at 0 in an emptied file.
      fd_ = target_->IsOpen() ? ::fcntl(target_->Handle(), F_DUPFD_CLOEXEC, 0) : -1;
      if (fd_ >= 0 && !Streaming() && (::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) != 0)) CloseOutput();
    } else {
      // A link of that name goes, never what it points at; one planted after the
      // unlink makes the exclusive create fail instead of being followed.
      ::unlink(fileName_.c_str());
      fd_ = ::open(fileName_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    }
    if (fd_ < 0) Fail("Unable to create file");
    return;
  }
  const TMpegLayer3WaveFormat format = BuildMpegLayer3Format(input.nChannels, input.nSamplesPerSec, kbps);
  try {
    auto wave = std::make_unique<TMMWave>();
    if (target_)
      wave->CreateFile(&format.wfx, *target_);
    else
      wave->CreateFile(&format.wfx, fileName_);
    wave_ = std::move(wave);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    Fail("Unable to create file");
  }
}

bool TMMMP3Encoder::Streaming() const { return target_ && target_->IsStream(); }

void TMMMP3Encoder::WriteFailed(int error) {
  int none = 0;
  if (writeError_.compare_exchange_strong(none, error ? error : EIO) && OnWriteStop) OnWriteStop(this);
}

void TMMMP3Encoder::CloseOutput() {
  // A file system may report a failed write only when the file is closed.
  if (fd_ >= 0 && ::close(fd_) != 0 && errno != EINTR && encOpened_) WriteFailed(errno);
  fd_ = -1;
  if (wave_) {
    if (!wave_->CloseFile() && encOpened_) WriteFailed(wave_->WriteError());
    wave_.reset();
  }
}

void TMMMP3Encoder::Release() {
  CloseOutput();
  if (stream_) api_->CloseStream(stream_);
  stream_ = nullptr;
  chunk_.reset();
  output_.reset();
  pending_.reset();
  pendingBytes_ = 0;
  held_ = 0;
  encStarted_ = false;
  encOpened_ = false;
}

void TMMMP3Encoder::Start() {
  TMMDSPComponent::Start();
  if (encOpened_ && !encStarted_) {
    held_ = 0;
    encStarted_ = true;
  }
}

void TMMMP3Encoder::Stop() {
  if (encOpened_ && encStarted_) {
    encStarted_ = false;
    Flush();
  }
  TMMDSPComponent::Stop();
}

void TMMMP3Encoder::Flush() {
  if (held_ > 0) {
    const auto samples = static_cast<std::uint32_t>(held_ / 2);
    held_ = 0;
    if (!EncodeChunk(chunk_.get(), samples)) {
      Close();
      return;
    }
  }
  std::uint32_t bytes = 0;
  if (api_->DeinitStream(stream_, output_.get(), &bytes) != BE_ERR_SUCCESSFUL || bytes > outputSize_)
    Fail("Unable to deinitialize stream");
  if (!WriteOutput(output_.get(), bytes) || !WritePending()) Close();
}

void TMMMP3Encoder::Close() {
  if (encOpened_ && !closing_) {
    closing_ = true;
    try {
      Stop();
    } catch (...) {
      // The file and the stream are released whatever the flush did.
      Release();
      closing_ = false;
      TMMDSPComponent::Close();
      throw;
    }
    WriteInfoTag();
    Release();
    closing_ = false;
  }
  TMMDSPComponent::Close();
}

// The finished Info frame replaces the placeholder the stream began with. A failure leaves
// the placeholder, which decoders play as one frame of silence.
void TMMMP3Encoder::WriteInfoTag() {
  if (fd_ < 0 || !api_->InfoTag || !output_ || Streaming() || writeError_ != 0) return;
  std::uint32_t bytes = 0;
  if (api_->InfoTag(stream_, output_.get(), &bytes) != BE_ERR_SUCCESSFUL || bytes == 0 || bytes > outputSize_ ||
      bytes > bytesWritten_.load())
    return;
  std::size_t done = 0;
  while (done < bytes) {
    const ssize_t n = ::pwrite(fd_, output_.get() + done, bytes - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return WriteFailed(n < 0 ? errno : ENOSPC);
    done += static_cast<std::size_t>(n);
  }
}

void TMMMP3Encoder::BufferReady(PMMWaveHdr lpwh) {
  // Started implies opened, and opened implies an output file.
  if (encStarted_ && Input() && lpwh->dwBytesRecorded > 0)
    Encode(reinterpret_cast<const std::uint8_t*>(lpwh->lpData), static_cast<std::size_t>(lpwh->dwBytesRecorded));
  TMMDSPComponent::BufferReady(lpwh);
}

void TMMMP3Encoder::Encode(const std::uint8_t* data, std::size_t bytes) {
  if (held_ > 0) {
    const std::size_t n = Min(chunkBytes_ - held_, bytes);
    std::memcpy(chunk_.get() + held_, data, n);
    held_ += n;
    data += n;
    bytes -= n;
    if (held_ == chunkBytes_) {
      held_ = 0;
      if (!EncodeChunk(chunk_.get(), chunkSamples_)) {
        Close();
        return;
      }
    }
  }
  while (bytes >= chunkBytes_) {
    const std::uint8_t* chunk = data;
    // The encoder reads 16-bit samples: never hand it an odd address.
    if (reinterpret_cast<std::uintptr_t>(chunk) % 2 != 0) {
      std::memcpy(chunk_.get(), data, chunkBytes_);
      chunk = chunk_.get();
    }
    if (!EncodeChunk(chunk, chunkSamples_)) {
      Close();
      return;
    }
    data += chunkBytes_;
    bytes -= chunkBytes_;
  }
  if (bytes > 0) {
    std::memcpy(chunk_.get(), data, bytes);
    held_ = bytes;
  }
}

bool TMMMP3Encoder::EncodeChunk(const std::uint8_t* data, std::uint32_t samples) {
  std::uint32_t bytes = 0;
  // Straight into the gathered block: it always has room for one chunk's output.
  if (api_->EncodeChunk(stream_, samples, reinterpret_cast<const std::int16_t*>(data), pending_.get() + pendingBytes_,
                        &bytes) != BE_ERR_SUCCESSFUL ||
      bytes > outputSize_)
    Fail("Unable to encode data");
  pendingBytes_ += bytes;
  return pendingBytes_ < kWriteBlock && !Streaming() ? true : WritePending();
}

bool TMMMP3Encoder::WriteOutput(const std::uint8_t* data, std::uint32_t bytes) {
  if (bytes == 0) return true;
  if (pendingBytes_ + bytes <= kWriteBlock + outputSize_) {
    std::memcpy(pending_.get() + pendingBytes_, data, bytes);
    pendingBytes_ += bytes;
    return true;
  }
  return WritePending() && WriteOutput(data, bytes);
}

bool TMMMP3Encoder::WritePending() {
  const std::uint8_t* data = pending_.get();
  const std::size_t bytes = pendingBytes_;
  // What failed to go out is dropped: the file keeps whole blocks of frames.
  pendingBytes_ = 0;
  if (bytes == 0) return true;
  // A device or a FIFO has no free space to run out of.
  if (!Streaming() && !HasDiskSpace(diskPath_, static_cast<std::int64_t>(bytes) + kDiskReserve))
    return WriteFailed(ENOSPC), false;
  if (wave_) {
    if (wave_->Write(data, bytes) != static_cast<std::int64_t>(bytes)) return WriteFailed(wave_->WriteError()), false;
  } else {
    if (fd_ < 0) return WriteFailed(EBADF), false;
    std::size_t done = 0;
    while (done < bytes) {
      const ssize_t n = ::write(fd_, data + done, bytes - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return WriteFailed(n < 0 ? errno : ENOSPC), false;
      done += static_cast<std::size_t>(n);
    }
  }
  bytesWritten_ += bytes;
  return true;
}

}  // namespace strataeq
