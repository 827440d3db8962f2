#include "files/MMWave.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <istream>
#include <iterator>
#include <ostream>

namespace strataeq {
namespace {

const char* const kErrReading = "Error reading wave file";
const char* const kErrInvalid = "Invalid wave file...";
const char* const kErrMemoryWave = "Can't write to MemoryWave";
const char* const kErrIOBuffer = "Unable to setup file IO buffer";
const char* const kErrOpen = "Unable to open wave file";
const char* const kErrCreate = "Unable to create wave file";
const char* const kErrSeek = "Error seeking file position";

struct TagName {
  std::uint16_t Tag;
  const char* Name;
};
// Searched in order; the first match wins.
constexpr TagName kTagNames[] = {
    {0x0000, "Unknown"},
    {0x0001, "PCM"},
    {0x020C, "PCM 32"},
    {0x0002, "Microsoft ADPCM"},
    {0x0003, "Mediavision's ADPCM"},
    {0x0005, "IBM CVSD"},
    {0x0006, "CCITT A-Law"},
    {0x0007, "CCITT mu-Law"},
    {0x0010, "OKI ADPCM"},
    {0x0011, "IMA ADPCM"},
    {0x0011, "DVI ADPCM"},
    {0x0012, "Mediaspace's ADPCM"},
    {0x0013, "Sierra's ADPCM"},
    {0x0014, "CCITT G.723 ADPCM"},
    {0x0015, "Digisound DIGISTD"},
    {0x0016, "Digisound DIGIFIX"},
    {0x0017, "Dialogic OKI ADPCM"},
    {0x0020, "Yamaha ADPCM"},
    {0x0021, "Sonarc"},
    {0x0022, "DSP Group's Truespeech"},
    {0x0023, "Echo SC1"},
    {0x0024, "Audiofile AF36"},
    {0x0025, "Audio Processing Technology"},
    {0x0026, "Audiofile AF10"},
    {0x0030, "Dolby AC2"},
    {0x0209, "Dolby AC2"},
    {0x0031, "GSM 6.10"},
    {0x0033, "Antex ADPCME"},
    {0x0039, "CS IMA ADPCM"},
    {0x0040, "CCITT G.721 ADPCM"},
    {0x0050, "MPEG 1"},
    {0x0055, "MPEG Layer-3"},
    {0x0200, "Creative's ADPCM"},
    {0x1001, "Olivetti's ADPCM"},
    {0x0204, "CDI-C"},
    {0x0205, "CDI-B"},
    {0x0206, "Antex-DVI-OKI ADPCME"},
    {0xFFFF, "*DEVELOPMENT ONLY TAG*"},
};

constexpr std::int32_t kMinIOBuffer = 8192;
constexpr std::size_t kLoadPiece = 65536;

// A full path; a relative name is taken from the working folder.
std::string ExpandName(const std::string& name) {
  if (name.empty()) return {};
  std::error_code ec;
  auto full = std::filesystem::absolute(std::filesystem::path(name), ec);
  if (ec) return name;
  return full.lexically_normal().string();
}

// Size on disk, -1 when the file is not there.
std::int64_t DiskFileSize(const std::string& name) {
  struct stat st {};
  if (name.empty() || ::stat(name.c_str(), &st) != 0) return -1;
  return static_cast<std::int64_t>(st.st_size);
}

bool SameFormat(const TWaveFormatEx* a, const TWaveFormatEx* b) {
  return a && b && a->wFormatTag == b->wFormatTag && a->nChannels == b->nChannels &&
         a->nSamplesPerSec == b->nSamplesPerSec && a->wBitsPerSample == b->wBitsPerSample &&
         a->nBlockAlign == b->nBlockAlign;
}

}  // namespace

class THeaderKeeper {
 public:
  // A duplicate of the writer's descriptor, never the file's name again: the name may
  // have been replaced since the file was created.
  THeaderKeeper(int fd, std::int64_t dataOffset, const std::atomic<std::int64_t>& dataBytes)
      : fd_(fd >= 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1), dataOffset_(dataOffset), dataBytes_(dataBytes) {
    if (fd_ >= 0) thread_ = std::thread([this] { Run(); });
  }
  ~THeaderKeeper() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  THeaderKeeper(const THeaderKeeper&) = delete;
  THeaderKeeper& operator=(const THeaderKeeper&) = delete;

 private:
  void Run() {
    std::unique_lock lock(mutex_);
    std::int64_t written = 0;
    while (!wake_.wait_for(lock, std::chrono::milliseconds(500), [this] { return stop_; })) {
      const std::int64_t n = dataBytes_.load(std::memory_order_relaxed);
      // Also after the writer's buffer carried the header's zero sizes to the disk,
      // which happens while the data grows.
      if (n == written) continue;
      written = n;
      Put(4, dataOffset_ - 8 + n);
      Put(dataOffset_ - 4, n);
    }
  }
  // pwrite: the shared file position of the writer is not moved.
  void Put(std::int64_t offset, std::int64_t value) {
    const auto v = static_cast<std::uint32_t>(std::clamp<std::int64_t>(value, 0, 0xFFFFFFFFll));
    const std::uint8_t b[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                               static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
    if (::pwrite(fd_, b, 4, offset) != 4) return;  // the finished file gets its sizes on close anyway
  }

  int fd_;
  std::int64_t dataOffset_;
  const std::atomic<std::int64_t>& dataBytes_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

std::string FormatTagName(std::uint16_t tag) {
  for (const TagName& t : kTagNames)
    if (t.Tag == tag) return t.Name;
  return "Unknown";
}

// --- TMMWave -------------------------------------------------------------------

TMMWave::TMMWave(bool memoryWave) : memoryWave_(memoryWave) {}

TMMWave::~TMMWave() {
  try {
    Clear();
  } catch (...) {
  }
}

void TMMWave::Assign(const TMMWave& source) {
  if (&source == this) return;
  timeFormat_ = source.timeFormat_;
  fileMustExist_ = source.fileMustExist_;
  ioBufferSize_ = source.ioBufferSize_;
  maxRiffSize_ = source.maxRiffSize_;
  if (source.memoryWave_ && !source.memory_.empty()) {
    LoadFromMemory(source.memory_.data(), source.memory_.size());
    fileName_ = source.fileName_;
    return;
  }
  memoryWave_ = source.memoryWave_;
  if (source.fileName_.empty()) {
    Clear();
    fileName_.clear();
    Changed();
  } else {
    SetFileName(source.fileName_);
  }
}

void TMMWave::Clear() {
  keeper_.reset();
  // The system's simple sound player has no counterpart here: nothing to stop.
  if (block_) wioFreeFileInfo(block_);
  open_ = false;
  memory_.clear();
  memory_.shrink_to_fit();
  Sync();
}

void TMMWave::Changed() {
  const auto observers = observers_;  // a handler may unsubscribe
  for (const auto& [id, fn] : observers)
    if (fn) fn(this);
}

int TMMWave::Subscribe(TMMWaveObserver observer) {
  const int id = nextObserver_++;
  observers_.emplace_back(id, std::move(observer));
  return id;
}

void TMMWave::Unsubscribe(int id) {
  std::erase_if(observers_, [id](const auto& o) { return o.first == id; });
}

void TMMWave::Sync() {
  if (!block_) {
    position_ = 0;
    samples_ = 0;
    dataBytes_ = 0;
    bytesLeft_ = 0;
    return;
  }
  position_.store(block_->Position, std::memory_order_relaxed);
  samples_.store(block_->Samples, std::memory_order_relaxed);
  dataBytes_.store(block_->DataBytes, std::memory_order_relaxed);
  bytesLeft_.store(block_->BytesLeft, std::memory_order_relaxed);
}

void TMMWave::RebuildRange() {
  if (!block_) return;
  block_->FirstSample = 0;
  block_->EndSample = block_->Samples;
  block_->Position = std::clamp<std::int64_t>(block_->Position, 0, block_->EndSample);
  Sync();
}

void TMMWave::TakeBlock(PWaveIOCB block) {
  Clear();
  block_ = std::move(block);
  block_->IOBufferSize = ioBufferSize_;
  block_->MaxRiffSize = maxRiffSize_;
  RebuildRange();
}

std::vector<std::uint8_t> TMMWave::ReadWholeFile(const std::string& name) {
  auto io = TMMIO::OpenFile(name, MMIO_READ, 0);
  if (!io) throw EMMWaveError(kErrReading);
  const std::int64_t size = io->Size();
  std::vector<std::uint8_t> bytes;
  try {
    bytes.resize(static_cast<std::size_t>(size));
  } catch (const std::exception&) {
    throw EMMWaveError(kErrReading);
  }
  std::int64_t done = 0;
  while (done < size) {
    const std::int64_t piece = std::min<std::int64_t>(kLoadPiece, size - done);
    if (io->Read(bytes.data() + done, piece) != piece) throw EMMWaveError(kErrReading);
    done += piece;
    if (OnProgress) {
      bool cancel = false;
      OnProgress(this, done, size, cancel);
      if (cancel) throw EMMWaveError(kErrReading);
    }
  }
  return bytes;
}

void TMMWave::SetFileName(const std::string& name) {
  const std::string full = ExpandName(name);
  if (full.empty()) {
    Clear();
    fileName_.clear();
    Changed();
    return;
  }
  const std::int64_t onDisk = DiskFileSize(full);
  if (full == fileName_ && (block_ ? onDisk == FileSize() : onDisk < 0)) return;

  if (memoryWave_) {
    std::vector<std::uint8_t> bytes = ReadWholeFile(full);
    PWaveIOCB block;
    if (wioMemoryOpen(block, bytes.data(), bytes.size()) != WIOERR_NOERROR) throw EMMWaveError(kErrInvalid);
    TakeBlock(std::move(block));
    memory_ = std::move(bytes);  // the block's view moves with the vector's storage
    block_->Memory = {memory_.data(), memory_.size()};
    fileName_ = full;
    Changed();
    return;
  }

  PWaveIOCB block;
  const int status = wioFileOpen(block, full, WIO_FILE, ioBufferSize_);
  if (status == WIOERR_NOERROR) {
    TakeBlock(std::move(block));
    fileName_ = full;
    Changed();
    return;
  }
  if (wioFileExists(full)) {
    // A RIFF WAVE file with an unusable format is as invalid as any other file.
    if (status == WIOERR_BADFORMAT || !wioIsRiffWaveFile(full)) throw EMMWaveError(kErrInvalid);
    throw EMMWaveError(kErrReading);
  }
  if (fileMustExist_) throw EMMWaveError(kErrReading);
  Clear();
  fileName_ = full;  // the file to be created later
  Changed();
}

void TMMWave::SetTimeFormat(TMMTimeFormats value) {
  if (value == timeFormat_) return;
  timeFormat_ = value;
  RebuildRange();
  Changed();
}

void TMMWave::SetFileMustExist(bool value) {
  if (memoryWave_) return;
  fileMustExist_ = value;
}

void TMMWave::SetIOBufferSize(std::int32_t value) {
  value = std::max(value, kMinIOBuffer);
  ioBufferSize_ = value;
  if (block_ && block_->Handle && wioSetIOBuffer(*block_, value) != WIOERR_NOERROR) throw EMMWaveError(kErrIOBuffer);
  if (block_) block_->IOBufferSize = value;
}

void TMMWave::SetMaxRiffSize(std::int64_t value) {
  maxRiffSize_ = std::clamp<std::int64_t>(value, 0, RiffSizeLimit);
  if (block_) block_->MaxRiffSize = maxRiffSize_;
}

std::uint16_t TMMWave::FormatTag() const { return block_ ? block_->Format()->wFormatTag : 0; }
std::string TMMWave::FormatString() const { return FormatTagName(FormatTag()); }
std::uint32_t TMMWave::SampleRate() const { return block_ ? block_->Format()->nSamplesPerSec : 11025; }
std::uint16_t TMMWave::BitLength() const { return block_ ? block_->Format()->wBitsPerSample : 0; }
TMMMode TMMWave::Mode() const {
  return block_ && block_->Format()->nChannels == 2 ? TMMMode::mStereo : TMMMode::mMono;
}
std::int64_t TMMWave::FileSize() const { return block_ ? block_->FileSize : 0; }
std::int64_t TMMWave::DataSize() const { return block_ ? ToUnits(samples_.load(std::memory_order_relaxed)) : 0; }

std::int64_t TMMWave::ToUnits(std::int64_t samples) const {
  if (!block_) return samples;
  switch (timeFormat_) {
    case TMMTimeFormats::tfByte: return wioSamplesToBytes(block_->Format(), samples);
    case TMMTimeFormats::tfMillisecond: return wioSamplesToMs(block_->Format(), samples);
    case TMMTimeFormats::tfSample: break;
  }
  return samples;
}

std::int64_t TMMWave::ToSamples(std::int64_t units) const {
  if (!block_) return units;
  switch (timeFormat_) {
    case TMMTimeFormats::tfByte: return wioBytesToSamples(block_->Format(), units);
    case TMMTimeFormats::tfMillisecond: return wioMsToSamples(block_->Format(), units);
    case TMMTimeFormats::tfSample: break;
  }
  return units;
}

void TMMWave::CreateFile(const TWaveFormatEx* format, const std::string& name) {
  if (memoryWave_) throw EMMWaveError(kErrMemoryWave);
  const std::string full = ExpandName(name);
  PWaveIOCB block = wioCreateBlock(format);
  Clear();
  fileName_ = full;
  if (!block) throw EMMWaveError(kErrCreate);
  block->IOBufferSize = ioBufferSize_;
  block->MaxRiffSize = maxRiffSize_;
  if (wioFileCreate(*block, full) != WIOERR_NOERROR) throw EMMWaveError(kErrCreate);
  block_ = std::move(block);
  open_ = true;
  RebuildRange();
  keeper_ = std::make_unique<THeaderKeeper>(block_->Handle->Descriptor(), block_->DataOffset, dataBytes_);
  Changed();
}

void TMMWave::CreateFile(const TWaveFormatEx* format, TAtomicFile& target, std::int64_t streamBytes) {
  if (memoryWave_) throw EMMWaveError(kErrMemoryWave);
  PWaveIOCB block = wioCreateBlock(format);
  Clear();
  fileName_ = target.TempName().empty() ? target.FinalName() : target.TempName();
  if (!block || !target.IsOpen()) throw EMMWaveError(kErrCreate);
  block->IOBufferSize = ioBufferSize_;
  block->MaxRiffSize = maxRiffSize_;
  if (wioFileCreate(*block, fileName_, target.Handle(), target.IsStream(), streamBytes) != WIOERR_NOERROR)
    throw EMMWaveError(kErrCreate);
  block_ = std::move(block);
  open_ = true;
  RebuildRange();
  Changed();
}

void TMMWave::OpenFile(bool forWriting) {
  if (!block_) throw EMMWaveError(kErrOpen);
  // A handle left open read-only cannot continue the file.
  if (forWriting && block_->Handle && !block_->Handle->Writable()) wioFileClose(*block_);
  if (!block_->Handle && wioFileReopen(*block_, forWriting) != WIOERR_NOERROR) throw EMMWaveError(kErrOpen);
  if (wioSetIOBuffer(*block_, ioBufferSize_) != WIOERR_NOERROR) throw EMMWaveError(kErrIOBuffer);
  RebuildRange();
  open_ = true;
  Seek(block_->Position - block_->FirstSample);
}

bool TMMWave::CloseFile() {
  keeper_.reset();
  if (!block_) return true;
  const bool ok = wioFileClose(*block_) == WIOERR_NOERROR;
  open_ = false;
  block_->Position = 0;
  block_->BytesLeft = 0;
  Sync();
  return ok;
}

void TMMWave::SeekToEnd() {
  if (!block_ || !open_) return;
  if (wioWaveSeekEnd(*block_) != WIOERR_NOERROR) throw EMMWaveError(kErrSeek);
  Sync();
}

void TMMWave::Seek(std::int64_t samples) {
  if (wioWaveSeek(*block_, samples) != WIOERR_NOERROR && wioWaveSeek(*block_, samples) != WIOERR_NOERROR)
    throw EMMWaveError(kErrSeek);
  Sync();
}

std::int64_t TMMWave::Read(void* buffer, std::int64_t n) {
  if (!block_ || !block_->Handle || block_->BytesLeft <= 0) return -1;
  if (n <= 0) return 0;
  const std::int64_t r = wioWaveRead(*block_, buffer, n);
  if (r <= 0) {
    // The file holds fewer bytes than its header promised: the range ends here.
    block_->BytesLeft = 0;
    block_->Position = block_->EndSample;
    Sync();
    return 0;
  }
  Sync();
  return r;
}

std::int64_t TMMWave::Write(const void* buffer, std::int64_t n) {
  if (memoryWave_) throw EMMWaveError(kErrMemoryWave);
  if (!block_ || !block_->Handle) return -1;
  const std::int64_t w = wioWaveWrite(*block_, buffer, n);
  Sync();
  return w;
}

std::int64_t TMMWave::FlushedBytes() const {
  // Written in order: the buffer holds at most its size before the position.
  if (!block_ || !block_->Handle) return 0;
  return std::max<std::int64_t>(block_->Handle->Tell() - block_->Handle->BufferSize(), 0);
}

bool TMMWave::CanWrite(std::int64_t n) const { return block_ && block_->Handle && wioWaveFits(*block_, n); }

int TMMWave::WriteError() const {
  if (!block_) return 0;
  if (block_->Error != 0) return block_->Error;
  return block_->Handle ? block_->Handle->Error() : 0;
}

std::int64_t TMMWave::Position() const {
  return block_ ? ToUnits(position_.load(std::memory_order_relaxed)) : -1;
}

void TMMWave::SetPosition(std::int64_t value) {
  if (!block_) return;
  const std::int64_t samples = ToSamples(value);
  if (open_ && block_->Handle) {
    Seek(samples);
  } else {
    block_->Position = std::clamp<std::int64_t>(block_->FirstSample + samples, block_->FirstSample,
                                                block_->EndSample);
    Sync();
  }
}

std::int64_t TMMWave::Length() const {
  return block_ ? ToUnits(block_->EndSample - block_->FirstSample) : 0;
}

std::int64_t TMMWave::LengthInBytes() const {
  if (!block_) return 0;
  return std::min(wioSamplesToBytes(block_->Format(), block_->EndSample - block_->FirstSample),
                  dataBytes_.load(std::memory_order_relaxed));
}

std::string TMMWave::Info(int index) const {
  if (!block_ || index < 0 || index >= InfoCount) return {};
  return block_->Info.Text(index);
}

void TMMWave::SetInfo(int index, std::string_view text) {
  if (!block_ || index < 0 || index >= InfoCount) return;
  block_->Info.SetText(index, text);
  if (block_->Handle && block_->Handle->Writable()) block_->Written = true;  // written back on close
}

TDispList TMMWave::DispList() const { return block_ ? block_->Disp : TDispList{}; }

void TMMWave::SetDispList(TDispList list) {
  if (!block_) return;
  block_->Disp = std::move(list);
  if (block_->Handle && block_->Handle->Writable()) block_->Written = true;
}

void TMMWave::LoadFromMemory(const void* data, std::size_t size) {
  memoryWave_ = true;
  fileMustExist_ = true;
  if (!data || size == 0) {
    Clear();
    fileName_.clear();
    Changed();
    return;
  }
  std::vector<std::uint8_t> bytes(static_cast<const std::uint8_t*>(data),
                                  static_cast<const std::uint8_t*>(data) + size);
  PWaveIOCB block;
  if (wioMemoryOpen(block, bytes.data(), bytes.size()) != WIOERR_NOERROR) throw EMMWaveError(kErrInvalid);
  TakeBlock(std::move(block));
  memory_ = std::move(bytes);
  block_->Memory = {memory_.data(), memory_.size()};
  fileName_.clear();
  Changed();
}

void TMMWave::LoadFromStream(std::istream& stream) {
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
  if (stream.bad()) throw EMMWaveError(kErrReading);
  LoadFromMemory(bytes.data(), bytes.size());
}

void TMMWave::SaveToStream(std::ostream& stream) const {
  stream.write(reinterpret_cast<const char*>(memory_.data()), static_cast<std::streamsize>(memory_.size()));
}

// --- TMMCustomWaveFile ---------------------------------------------------------

TMMCustomWaveFile::TMMCustomWaveFile() : wave_(std::make_unique<TMMWave>()) {
  observer_ = wave_->Subscribe([this](TMMWave*) { WaveChanged(); });
}

TMMCustomWaveFile::~TMMCustomWaveFile() {
  try {
    Close();
  } catch (...) {
  }
  wave_->Unsubscribe(observer_);
}

namespace {
constexpr std::int64_t kConvertFrames = 1024;
// A converting writer packs this much at a time: a piece as large as the file's IO
// buffer is written straight through, in one system call, without a copy into it.
constexpr std::int64_t kWritePieceBytes = 65536;
}  // namespace

void TMMCustomWaveFile::SetChainSampleType(TPcmSampleType value) {
  if (value == chainType_) return;
  chainType_ = value;
  WaveChanged();
}

void TMMCustomWaveFile::SetFileFormat(const TWaveFormatEx* value) { fileFormat_ = CopyFormat(value); }

void TMMCustomWaveFile::PrepareConversion(const TWaveFormatEx* from, const TWaveFormatEx* to) {
  conversion_ = {};
  converting_ = false;
  const TPcmSampleType a = SampleTypeOf(from), b = SampleTypeOf(to);
  if (a == b || a == TPcmSampleType::stNone || b == TPcmSampleType::stNone || from->nChannels != to->nChannels)
    return;
  conversion_.From = a;
  conversion_.To = b;
  conversion_.Channels = from->nChannels;
  conversion_.FromFrame = from->nBlockAlign;
  conversion_.ToFrame = to->nBlockAlign;
  conversion_.Dither = SampleBytes(b) <= 2 && (a == TPcmSampleType::stFloat32 || SampleBytes(a) > SampleBytes(b));
  conversion_.Frames = Input() ? std::max<std::int64_t>(kConvertFrames, kWritePieceBytes / std::max<int>(to->nBlockAlign, 1))
                              : kConvertFrames;
  raw_.assign(static_cast<std::size_t>(conversion_.Frames * std::max(conversion_.FromFrame, conversion_.ToFrame)), 0);
  floats_.assign(static_cast<std::size_t>(conversion_.Frames * conversion_.Channels), 0.0f);
  converting_ = true;
}

std::int32_t TMMCustomWaveFile::ReadConverted(std::uint8_t* data, std::int32_t room) {
  const TConversion& c = conversion_;
  const std::int64_t wanted = room / c.ToFrame;
  if (c.To == TPcmSampleType::stFloat32 && c.FromFrame <= c.ToFrame) {
    // Float is the chain's own coding: the file's samples are read (in one go, past the
    // file's buffer) into the end of the chain's buffer and widened there in place.
    const std::int64_t want = wanted * c.FromFrame;
    std::uint8_t* raw = data + wanted * c.ToFrame - want;
    const std::int64_t r = wave_->Read(raw, want);
    const std::int64_t got = r > 0 ? r / c.FromFrame : 0;
    SamplesToFloat(c.From, raw, reinterpret_cast<float*>(data), static_cast<std::size_t>(got * c.Channels));
    return static_cast<std::int32_t>(got * c.ToFrame);
  }
  std::int64_t done = 0;
  while (done < wanted) {
    const std::int64_t k = std::min(wanted - done, c.Frames);
    const std::int64_t want = k * c.FromFrame;
    const std::int64_t r = wave_->Read(raw_.data(), want);
    const std::int64_t got = r > 0 ? r / c.FromFrame : 0;
    if (got == 0) break;
    const auto samples = static_cast<std::size_t>(got * c.Channels);
    SamplesToFloat(c.From, raw_.data(), floats_.data(), samples);
    FloatToSamples(c.To, floats_.data(), data + done * c.ToFrame, samples, c.Dither ? &dither_ : nullptr);
    done += got;
    if (r < want || wave_->BytesLeft() <= 0) break;
  }
  return static_cast<std::int32_t>(done * c.ToFrame);
}

bool TMMCustomWaveFile::WriteConverted(const std::uint8_t* data, std::int64_t frames) {
  const TConversion& c = conversion_;
  for (std::int64_t done = 0; done < frames;) {
    const std::int64_t k = std::min(frames - done, c.Frames);
    const auto samples = static_cast<std::size_t>(k * c.Channels);
    const float* from = floats_.data();
    if (c.From == TPcmSampleType::stFloat32)
      from = reinterpret_cast<const float*>(data + done * c.FromFrame);  // no copy of the chain's floats
    else
      SamplesToFloat(c.From, data + done * c.FromFrame, floats_.data(), samples);
    FloatToSamples(c.To, from, raw_.data(), samples, c.Dither ? &dither_ : nullptr);
    if (wave_->Write(raw_.data(), k * c.ToFrame) != k * c.ToFrame) return false;
    done += k;
  }
  return true;
}

void TMMCustomWaveFile::SetPWaveFormat(const TWaveFormatEx* format) {
  TMMDSPComponent::SetPWaveFormat(format);
  const TWaveFormatEx* f = PWaveFormat();
  silence_ = f && f->wFormatTag == WAVE_FORMAT_PCM && f->wBitsPerSample == 8 ? 128 : 0;
}

void TMMCustomWaveFile::WaveChanged() {
  Fire(OnChange);
  try {
    // While open the component keeps the format the chain opened with; the wave
    // only changes then because this component created its file from that format.
    if (!fileOpened_ && !opening_ && (wave_->FileMustExist() || wave_->PWaveFormat())) {
      const TWaveFormatEx* f = wave_->PWaveFormat();
      if (chainType_ != TPcmSampleType::stNone && !Input() && IsLinearWaveFormat(f)) {
        const TWaveFormatExtensible chain = BuildWaveFormat(chainType_, f->nChannels, f->nSamplesPerSec);
        SetPWaveFormat(&chain.Format);
      } else {
        SetPWaveFormat(f);
      }
    }
  } catch (...) {
    Fire(OnChanged);
    throw;
  }
  Fire(OnChanged);
}

void TMMCustomWaveFile::Open() {
  TMMDSPComponent::Open();
  if (fileOpened_) return;
  writeStop_ = TMMWriteStop::wsNone;
  writeError_ = 0;
  if (Input()) {
    SetPWaveFormat(Input()->PWaveFormat());
    const TWaveFormatEx* chain = PWaveFormat();
    converting_ = false;
    const TWaveFormatEx* f = chain;
    if (chain && fileFormat_ && fileFormat_->nChannels == chain->nChannels &&
        fileFormat_->nSamplesPerSec == chain->nSamplesPerSec) {
      f = fileFormat_.get();
      PrepareConversion(chain, f);
    }
    if (f && (target_ || !wave_->FileName().empty())) {
      if (target_ || overwriteExisting_ || !wave_->HasData()) {
        opening_ = true;
        try {
          if (target_)
            wave_->CreateFile(f, *target_, streamBytes_);
          else
            wave_->CreateFile(f, wave_->FileName());
        } catch (...) {
          opening_ = false;
          throw;
        }
        opening_ = false;
      } else {
        // Appending samples of another format would corrupt the file.
        if (!SameFormat(f, wave_->PWaveFormat())) throw EMMWaveError("Unable to open wave file");
        wave_->OpenFile(true);
        wave_->SeekToEnd();
      }
      fileOpened_ = true;
    }
  } else if (wave_->HasData()) {
    PrepareConversion(wave_->PWaveFormat(), PWaveFormat());
    wave_->OpenFile();
    startPosition_ = wave_->Position();
    fileOpened_ = true;
  }
  if (fileOpened_) SynchronizedCall([this] { Fire(OnOpen); });
}

void TMMCustomWaveFile::Start() {
  TMMDSPComponent::Start();
  if (fileOpened_ && !fileStarted_) {
    if (!Input()) wave_->SetPosition(startPosition_);
    fileStarted_ = true;
  }
}

void TMMCustomWaveFile::Stop() {
  if (fileOpened_ && fileStarted_) fileStarted_ = false;
  TMMDSPComponent::Stop();
}

void TMMCustomWaveFile::Reset() { TMMDSPComponent::Reset(); }

void TMMCustomWaveFile::Close() {
  if (fileOpened_) {
    Stop();
    if (Input() && !wave_->FileName().empty() && PWaveFormat() && !wave_->HasData()) {
      const std::uint8_t zeros[4] = {0, 0, 0, 0};  // a data chunk is never left empty
      wave_->Write(zeros, 4);
    }
    const bool finished = wave_->CloseFile();
    fileOpened_ = false;
    if (!finished && Input() && writeStop_ == TMMWriteStop::wsNone) {
      writeError_ = wave_->WriteError() ? wave_->WriteError() : EIO;
      writeStop_ = TMMWriteStop::wsWriteError;
      Fire(OnWriteStop);
    }
    SynchronizedCall([this] { Fire(OnClose); });
  }
  TMMDSPComponent::Close();
}

void TMMCustomWaveFile::StopWriting(TMMWriteStop reason, int error) {
  writeError_ = error;
  writeStop_ = reason;
  Close();
  Fire(OnWriteStop);
}

void TMMCustomWaveFile::WriteBuffer(PMMWaveHdr lpwh) {
  if (!fileStarted_ || !enabled_ || lpwh->dwBytesRecorded <= 0) return;
  const std::string& name = wave_->FileName();
  if (name.empty()) return;
  const std::int64_t frames = converting_ ? lpwh->dwBytesRecorded / conversion_.FromFrame : 0;
  const std::int64_t n = converting_ ? frames * conversion_.ToFrame : lpwh->dwBytesRecorded;
  // A device or a FIFO has no free space to run out of.
  if (!(target_ && target_->IsStream()) &&
      !HasDiskSpace(target_ ? target_->SpacePath() : name, wave_->IOBufferSize() + n + 10240)) {
    StopWriting(TMMWriteStop::wsDiskFull, ENOSPC);
    return;
  }
  if (!wave_->CanWrite(n)) {
    StopWriting(TMMWriteStop::wsSizeLimit, 0);
    return;
  }
  const bool written = converting_ ? frames == 0 || WriteConverted(reinterpret_cast<const std::uint8_t*>(lpwh->lpData), frames)
                                   : wave_->Write(lpwh->lpData, n) == n;
  if (!written) {
    StopWriting(TMMWriteStop::wsWriteError, wave_->WriteError() ? wave_->WriteError() : EIO);
    return;
  }
  if (target_) target_->StartWriteback(wave_->FlushedBytes());
}

void TMMCustomWaveFile::BufferReady(PMMWaveHdr lpwh) {
  if (Input()) WriteBuffer(lpwh);
  TMMDSPComponent::BufferReady(lpwh);
}

void TMMCustomWaveFile::BufferLoad(PMMWaveHdr lpwh, bool& MoreBuffers) {
  if (Input()) {
    TMMDSPComponent::BufferLoad(lpwh, MoreBuffers);
    WriteBuffer(lpwh);
    return;
  }
  if (!wave_->HasData()) {
    lpwh->dwBytesRecorded = 0;
    MoreBuffers = false;
    return;
  }
  if (!fileStarted_ || !enabled_) {
    GlobalFillMem(lpwh->lpData, lpwh->dwBufferLength, silence_);
    lpwh->dwBytesRecorded = static_cast<std::int32_t>(lpwh->dwBufferLength);
    MoreBuffers = true;
    return;
  }
  const std::int64_t r =
      converting_ ? ReadConverted(reinterpret_cast<std::uint8_t*>(lpwh->lpData),
                                  static_cast<std::int32_t>(std::min<std::uint32_t>(lpwh->dwBufferLength, 0x7FFFFFFF)))
                  : wave_->Read(lpwh->lpData, lpwh->dwBufferLength);
  lpwh->dwBytesRecorded = r > 0 ? static_cast<std::int32_t>(r) : 0;
  if (lpwh->dwBytesRecorded <= 0) {
    MoreBuffers = false;
    return;
  }
  if (wave_->BytesLeft() > 0) {
    MoreBuffers = true;
    return;
  }
  if (!lpwh->LoopRec) {
    MoreBuffers = false;
    return;
  }
  if (lpwh->LoopCount > 0) --lpwh->LoopTempCount;
  if (lpwh->LoopCount != 0 && lpwh->LoopTempCount < 0) {
    MoreBuffers = false;
    return;
  }
  wave_->SetPosition(0);
  Fire(OnLooping);
  MoreBuffers = true;
  lpwh->LoopMark = -1;
}

}  // namespace strataeq
