// In-process wave devices for tests and for machines without sound: input k records
// what was fed to it and what output k plays (loop back), silence otherwise. The
// clock is stepped by the caller (default) or paced in real time by a device thread.
// Faults can be injected: a busy device, a refused format, a failing call, a device
// lost mid-stream, an early wrap of the position counter.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/WaveApi.h"

namespace strataeq {

// The calls a fault can be injected into.
enum class TWaveOp { Open, Prepare, Unprepare, Queue, Start, Stop, Reset, Position, Close };

class TVirtualAudio : public TWaveBackend {
 public:
  TVirtualAudio(int inputs, int outputs);
  ~TVirtualAudio() override;

  // Makes fresh virtual devices the active backend of the wave API.
  static std::shared_ptr<TVirtualAudio> Install(int inputs = 2, int outputs = 2);

  std::string Name() const override { return "virtual"; }
  std::uint32_t NumDevs(TWaveDir dir) override;
  MMRESULT GetDevCaps(TWaveDir dir, int deviceId, TWaveOutCaps* caps) override;
  MMRESULT Open(TWaveDir dir, int deviceId, const TWaveFormatEx& format, bool query, TWaveCallback callback,
                std::uintptr_t instance, std::uintptr_t handle, std::unique_ptr<TWaveStream>& stream) override;

  // Paced: a device thread completes buffers in real time. Stepped (the default):
  // nothing moves until Step.
  void SetPaced(bool paced);
  // Inputs with nothing fed record a 16-bit sine of this frequency (1/4 of full
  // scale) instead of silence; 0 (the default) records silence.
  void SetInputTone(double hz) { toneHz_ = hz; }
  // Completes up to buffers queued buffers of a running device, on the calling
  // thread, and returns how many were completed.
  int Step(TWaveDir dir, int device, int buffers = 1);
  // Records bytes into the input's current buffer without completing it unless it
  // fills up (a stop then returns it partly filled). Returns the bytes recorded.
  int StepBytes(int device, int bytes);
  int QueuedBuffers(TWaveDir dir, int device) const;
  bool IsOpen(TWaveDir dir, int device) const;
  // Input started, or output not paused.
  bool IsRunning(TWaveDir dir, int device) const;

  // Bytes input device records before anything else (then loop back, then silence).
  void FeedInput(int device, const void* data, std::size_t bytes);
  // Every byte output device has played since it was installed or cleared.
  std::vector<std::uint8_t> Played(int device) const;
  void ClearPlayed(int device);

  void SetDeviceName(TWaveDir dir, int device, std::string name);
  void SetBusy(TWaveDir dir, int device, bool busy);
  // Open and query-only open answer WAVERR_BADFORMAT.
  void SetRefuseFormats(TWaveDir dir, int device, bool refuse);
  void SetStandardFormats(TWaveDir dir, int device, std::uint32_t formats);
  // The next call of op on the device fails once with code (Open: not a query).
  void FailNext(TWaveDir dir, int device, TWaveOp op, MMRESULT code);
  // The device fails now (or after buffers more completed buffers): an open stream
  // sends its error report, and opens fail until RestoreDevice.
  void LoseDevice(TWaveDir dir, int device, MMRESULT code = WAVERR_DEVICELOST);
  void LoseDeviceAfter(TWaveDir dir, int device, int buffers, MMRESULT code = WAVERR_DEVICELOST);
  void RestoreDevice(TWaveDir dir, int device);
  // Modulus of the position counters in samples: a power of two of at least 2^20
  // (the default is 2^32, the counter's width).
  void SetPositionWrap(std::uint64_t samples);
  // The open output device reports an underflow, as a server does that ran out of
  // queued sound (the stream's count goes up by one).
  void InjectUnderflow(int device);
  // The open output stream stops playing, with no error and no underflow, as PipeWire's
  // server can hold a stream still; the device's next stream plays.
  void HoldStream(int device);
  // The open input device reports recorded sound lost before it was taken.
  void InjectOverrun(int device);

 private:
  double toneHz_ = 0;
  class Stream;
  friend class Stream;
  struct Device {
    std::string name;
    bool busy = false;
    bool refuse = false;
    bool lost = false;
    std::uint32_t formats = WAVE_FORMAT_ALL_STANDARD;
    int loseAfter = 0;
    MMRESULT loseCode = WAVERR_DEVICELOST;
    TWaveOp failOp = TWaveOp::Open;
    MMRESULT failCode = MMSYSERR_NOERROR;
    Stream* stream = nullptr;
    TWaveLosses losses;                // of the stream open now: underflows, or overruns of a recording
    std::deque<std::uint8_t> fifo;     // input: bytes to record
    std::vector<std::uint8_t> played;  // output: bytes played
  };

  Device* DeviceAt(TWaveDir dir, int device);  // holds mutex_
  const Device* DeviceAt(TWaveDir dir, int device) const;
  MMRESULT TakeFault(Device& d, TWaveOp op);   // holds mutex_
  bool CompleteOne(Stream& s);                 // holds delivery_
  void FillInput(Stream& s, Device& d, TMMWaveHdr* h, std::size_t upTo);  // holds mutex_
  void Fail(Stream& s, MMRESULT code);         // holds delivery_
  void PacedLoop();

  mutable std::mutex mutex_;  // device and stream state
  std::mutex delivery_;       // one report at a time, in order; taken before mutex_
  std::vector<Device> inputs_, outputs_;
  std::uint64_t wrap_ = std::uint64_t(1) << 32;

  std::mutex pacedMutex_;
  std::condition_variable pacedWake_;
  bool pacedQuit_ = false;
  std::thread paced_;
};

// The backend STRATAEQ_AUDIO=virtual selects: two inputs, two outputs, paced;
// STRATAEQ_VIRTUAL_TONE=HZ makes the inputs record a sine (sound playing).
std::shared_ptr<TWaveBackend> CreateVirtualBackendFromEnvironment();

}  // namespace strataeq
