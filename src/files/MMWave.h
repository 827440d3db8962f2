// TMMWave, a wave file (or a wave held in memory) with its properties, and
// TMMWaveFile, the chain component that reads a wave as a source or writes one as a
// sink.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <string_view>
#include <utility>
#include <vector>

#include "files/MMWaveIO.h"
#include "foundation/MMDSPObj.h"
#include "platform/AtomicFile.h"

namespace strataeq {

STRATAEQ_DECLARE_ERROR(EMMWaveError);

class TMMWave;
class THeaderKeeper;

// Sender, current byte, number of bytes; the handler may set Cancel.
using TMMWaveProgress =
    std::function<void(TObject* Sender, std::int64_t CurByte, std::int64_t NumBytes, bool& Cancel)>;
using TMMWaveObserver = std::function<void(TMMWave* Sender)>;

// The name of a format tag, "Unknown" for an unlisted one.
std::string FormatTagName(std::uint16_t tag);

// One wave file. Lifecycle calls and property changes belong to the main thread;
// Read, Write, Position, DataSize and BytesLeft may be used by the one thread that
// moves the data while the wave is open.
class TMMWave : public TObject {
 public:
  // A memory wave holds the whole file in memory and is never written.
  explicit TMMWave(bool memoryWave = false);
  ~TMMWave() override;
  TMMWave(const TMMWave&) = delete;
  TMMWave& operator=(const TMMWave&) = delete;

  // Copies the settings and the wave (the same file, or a copy of the memory).
  void Assign(const TMMWave& source);

  const std::string& FileName() const { return fileName_; }
  void SetFileName(const std::string& name);
  TMMTimeFormats TimeFormat() const { return timeFormat_; }
  void SetTimeFormat(TMMTimeFormats value);
  bool FileMustExist() const { return fileMustExist_; }
  void SetFileMustExist(bool value);
  std::int32_t IOBufferSize() const { return ioBufferSize_; }
  void SetIOBufferSize(std::int32_t value);  // at least 8192

  std::uint16_t FormatTag() const;
  std::string FormatString() const;
  std::uint32_t SampleRate() const;  // 11025 without a file
  std::uint16_t BitLength() const;
  TMMMode Mode() const;
  std::int64_t FileSize() const;
  std::int64_t DataSize() const;  // in TimeFormat units

  // The largest RIFF size a written file may reach (at most 0xFFFFFFFF, the
  // format's limit). A write that would pass it fails and writes nothing.
  std::int64_t MaxRiffSize() const { return maxRiffSize_; }
  void SetMaxRiffSize(std::int64_t value);

  bool IsMemoryWave() const { return memoryWave_; }
  bool Empty() const { return !block_; }
  // A file with at least one sample.
  bool HasData() const { return block_ && samples_.load(std::memory_order_relaxed) > 0; }
  bool IsOpen() const { return open_; }
  // Read from a header whose sizes were never written: the program that wrote the
  // file did not close it. The audio is taken to run to the end of the file.
  bool Unfinished() const { return block_ && block_->Unfinished; }
  const TWaveFormatEx* PWaveFormat() const { return block_ ? block_->Format() : nullptr; }

  // Makes a new file (deleting one of that name) and leaves it open for writing.
  void CreateFile(const TWaveFormatEx* format, const std::string& name);
  // Writes the new wave into the target's open file instead of opening a name; the
  // wave's name becomes where the target's bytes go. A stream target gets a header with
  // the sizes of streamBytes of data (-1: not known, the streaming sizes).
  void CreateFile(const TWaveFormatEx* format, TAtomicFile& target, std::int64_t streamBytes = -1);
  // Opens the file for streaming at the current position, for reading only unless
  // forWriting asks to continue it.
  void OpenFile(bool forWriting = false);
  // A file being written: how many of its first bytes have left the I/O buffer.
  std::int64_t FlushedBytes() const;
  // Finishes a written file and closes it. False when finishing failed.
  bool CloseFile();
  // Open wave: continue after the last sample.
  void SeekToEnd();

  // Bytes read from the played range, 0 when the file delivered nothing, -1
  // without a file or when no bytes are left.
  std::int64_t Read(void* buffer, std::int64_t n);
  // Bytes written, -1 on failure (a full disk, the RIFF size limit, no open file).
  std::int64_t Write(const void* buffer, std::int64_t n);
  // Whether n more bytes at the current position keep the file within MaxRiffSize.
  bool CanWrite(std::int64_t n) const;
  // Why a write or finishing the file failed (an errno value), 0 when nothing did.
  int WriteError() const;

  // In TimeFormat units; -1 without a file.
  std::int64_t Position() const;
  void SetPosition(std::int64_t value);
  std::int64_t Length() const;
  std::int64_t LengthInBytes() const;
  std::int64_t BytesLeft() const { return bytesLeft_.load(std::memory_order_relaxed); }

  // The file's INFO texts (index into the 23 identifiers) and DISP entries; they are
  // written back when a written file is finished. Nothing without a file.
  std::string Info(int index) const;
  void SetInfo(int index, std::string_view text);
  TDispList DispList() const;
  void SetDispList(TDispList list);

  // Observers are told of every change of file, format or time format.
  int Subscribe(TMMWaveObserver observer);
  void Unsubscribe(int id);

  // The memory wave's file image ("Data"): loading makes this a memory wave.
  void LoadFromStream(std::istream& stream);
  void SaveToStream(std::ostream& stream) const;
  void LoadFromMemory(const void* data, std::size_t size);
  const std::vector<std::uint8_t>& MemoryData() const { return memory_; }

  TMMWaveProgress OnProgress;

 private:
  void Clear();
  void Changed();
  void TakeBlock(PWaveIOCB block);
  void RebuildRange();
  void Sync();
  void Seek(std::int64_t samples);
  std::int64_t ToUnits(std::int64_t samples) const;
  std::int64_t ToSamples(std::int64_t units) const;
  std::vector<std::uint8_t> ReadWholeFile(const std::string& name);

  bool memoryWave_;
  std::string fileName_;
  TMMTimeFormats timeFormat_ = TMMTimeFormats::tfSample;
  bool fileMustExist_ = true;
  std::int32_t ioBufferSize_ = 32768;
  std::int64_t maxRiffSize_ = RiffSizeLimit;
  PWaveIOCB block_;
  std::vector<std::uint8_t> memory_;
  bool open_ = false;
  // Mirrors of the block's counters for readers on other threads.
  std::atomic<std::int64_t> position_{0};
  std::atomic<std::int64_t> samples_{0};
  std::atomic<std::int64_t> dataBytes_{0};
  std::atomic<std::int64_t> bytesLeft_{0};
  std::vector<std::pair<int, TMMWaveObserver>> observers_;
  int nextObserver_ = 1;
  // While a new file is written: its header's sizes, rewritten twice a second from a
  // thread of its own, so a crash leaves a file that reads up to the last update.
  std::unique_ptr<THeaderKeeper> keeper_;
};

// Why a sink stopped writing before it was closed.
enum class TMMWriteStop {
  wsNone,       // writing normally, or never stopped
  wsDiskFull,   // less free space than the I/O buffer + the buffer + 10240 bytes
  wsWriteError, // the write failed
  wsSizeLimit,  // the next buffer would have passed the RIFF size limit
};

// A wave in the chain: a source without an Input, a sink with one.
class TMMCustomWaveFile : public TMMDSPComponent {
 public:
  TMMCustomWaveFile();
  ~TMMCustomWaveFile() override;

  TMMWave& Wave() { return *wave_; }
  const TMMWave& Wave() const { return *wave_; }
  void SetWave(const TMMWave& value) { wave_->Assign(value); }
  bool Enabled() const { return enabled_.load(); }
  void SetEnabled(bool value) { enabled_ = value; }
  bool OverwriteExisting() const { return overwriteExisting_; }
  void SetOverwriteExisting(bool value) { overwriteExisting_ = value; }
  // A sink with a target writes a new file into the target's temporary file at each
  // Open (whatever the wave's name), and its owner commits or discards it after Close.
  // Not owned; null writes by the wave's name.
  TAtomicFile* Target() const { return target_; }
  void SetTarget(TAtomicFile* value) { target_ = value; }
  // A sink that finished its file early (the file is valid up to there) says why;
  // wsNone after a complete run. Cleared by Open. Finishing the file at Close failing
  // counts as wsWriteError.
  TMMWriteStop WriteStop() const { return writeStop_.load(); }
  // The errno behind wsDiskFull (ENOSPC) and wsWriteError; 0 otherwise.
  int WriteError() const { return writeError_.load(); }
  // Sink on a stream target: the data bytes the run will write, for the header (-1,
  // the default: not known).
  void SetStreamLength(std::int64_t bytes) { streamBytes_ = bytes; }
  // 128 for 8-bit PCM, else 0.
  std::uint8_t SilenceByte() const { return silence_.load(); }

  // Source: the sample coding the chain gets, converted from the file's; stNone
  // (the default) gives the file's own samples. Conversions to 16 bits or fewer from
  // a wider coding are dithered (TPDF).
  TPcmSampleType ChainSampleType() const { return chainType_; }
  void SetChainSampleType(TPcmSampleType value);
  // Sink: the format written, converted from the chain's (same channels and rate);
  // none (the default) writes the chain's format.
  const TWaveFormatEx* FileFormat() const { return fileFormat_.get(); }
  void SetFileFormat(const TWaveFormatEx* value);

  void SetPWaveFormat(const TWaveFormatEx* format) override;
  void Open() override;
  void Close() override;
  void Start() override;
  void Stop() override;
  void Reset() override;
  void BufferReady(PMMWaveHdr lpwh) override;
  void BufferLoad(PMMWaveHdr lpwh, bool& MoreBuffers) override;

  TNotifyEvent OnOpen, OnClose, OnChange, OnChanged, OnLooping;
  // A sink stopped writing (WriteStop says why); on the thread that wrote or closed.
  TNotifyEvent OnWriteStop;

 protected:
  // The wave's observer: OnChange, the wave's format for the component, OnChanged.
  virtual void WaveChanged();

 private:
  void WriteBuffer(PMMWaveHdr lpwh);
  bool WriteConverted(const std::uint8_t* data, std::int64_t frames);
  std::int32_t ReadConverted(std::uint8_t* data, std::int32_t room);
  // Source and sink ends of a conversion, set by Open.
  struct TConversion {
    TPcmSampleType From = TPcmSampleType::stNone, To = TPcmSampleType::stNone;
    int Channels = 0, FromFrame = 0, ToFrame = 0;
    std::int64_t Frames = 0;  // converted at a time
    bool Dither = false;
  };
  void PrepareConversion(const TWaveFormatEx* from, const TWaveFormatEx* to);
  void StopWriting(TMMWriteStop reason, int error);
  void Fire(const TNotifyEvent& e) {
    if (e) e(this);
  }

  std::unique_ptr<TMMWave> wave_;
  std::atomic<bool> enabled_{true};
  bool overwriteExisting_ = true;
  TAtomicFile* target_ = nullptr;
  std::atomic<bool> fileOpened_{false};
  bool opening_ = false;  // the wave changes because Open creates its file
  std::atomic<bool> fileStarted_{false};
  std::atomic<std::uint8_t> silence_{128};
  std::int64_t startPosition_ = 0;
  std::atomic<TMMWriteStop> writeStop_{TMMWriteStop::wsNone};
  std::atomic<int> writeError_{0};
  std::int64_t streamBytes_ = -1;
  int observer_ = 0;
  TPcmSampleType chainType_ = TPcmSampleType::stNone;
  PWaveFormatEx fileFormat_;
  TConversion conversion_;
  bool converting_ = false;
  std::vector<std::uint8_t> raw_;  // one chunk of samples in the other coding
  std::vector<float> floats_;
  TDither dither_;
};

class TMMWaveFile : public TMMCustomWaveFile {
 public:
  using TMMCustomWaveFile::TMMCustomWaveFile;
};

}  // namespace strataeq
