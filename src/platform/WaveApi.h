// The wave device API the drivers are written against: enumeration, capabilities,
// open (also query-only), buffer preparation, queueing, transport, position, close and
// error texts, over a backend: the PulseAudio client (default) or in-process virtual
// devices (STRATAEQ_AUDIO=virtual, or installed by a test).
//
// Contract the drivers rely on:
// - the open confirmation is delivered before the open call returns, the close
//   confirmation before the close call returns;
// - buffers come back in the order they were queued, one report each, with the done
//   flag set before the report;
// - reset returns every queued buffer, each with a report, before it returns;
// - reports of one device never overlap and never arrive while its reset runs elsewhere;
// - a device that fails mid-stream (lost device, lost server) sends one error report
//   and keeps its buffers until reset or close, which always succeed;
// - a report must not call back into the API for the same device.
#pragma once

#include "platform/MMSystem.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace strataeq {

struct TWaveFormatEx;
struct TMMWaveHdr;
class TEvent;

using HWAVEIN = std::uintptr_t;   // 0: no device
using HWAVEOUT = std::uintptr_t;  // 0: no device

enum class TWaveDir { Input, Output };

inline constexpr MMRESULT WAVERR_BADFORMAT = 32;
inline constexpr MMRESULT WAVERR_STILLPLAYING = 33;
inline constexpr MMRESULT WAVERR_UNPREPARED = 34;
inline constexpr MMRESULT WAVERR_SYNC = 35;
// Failures of a running device, reported through the error report.
inline constexpr MMRESULT WAVERR_DEVICELOST = 36;
inline constexpr MMRESULT WAVERR_SERVERLOST = 37;
inline constexpr MMRESULT WAVERR_TIMEOUT = 38;

// Reports (the msg argument of the callback).
inline constexpr std::uint32_t MM_WOM_OPEN = 0x3BB;
inline constexpr std::uint32_t MM_WOM_CLOSE = 0x3BC;
inline constexpr std::uint32_t MM_WOM_DONE = 0x3BD;   // param1: the buffer record
inline constexpr std::uint32_t MM_WIM_OPEN = 0x3BE;
inline constexpr std::uint32_t MM_WIM_CLOSE = 0x3BF;
inline constexpr std::uint32_t MM_WIM_DATA = 0x3C0;   // param1: the buffer record
inline constexpr std::uint32_t MM_WOM_ERROR = 0x3D0;  // param1: the error code
inline constexpr std::uint32_t MM_WIM_ERROR = 0x3D1;  // param1: the error code

// Buffer record flags (dwFlags). The device sets and clears them atomically; a driver
// reads them with WaveHdrFlags while the buffer may be queued.
inline constexpr std::uint32_t WHDR_DONE = 0x01;
inline constexpr std::uint32_t WHDR_PREPARED = 0x02;
inline constexpr std::uint32_t WHDR_BEGINLOOP = 0x04;
inline constexpr std::uint32_t WHDR_ENDLOOP = 0x08;
inline constexpr std::uint32_t WHDR_INQUEUE = 0x10;

// Open flags.
inline constexpr std::uint32_t WAVE_FORMAT_QUERY = 0x0001;
inline constexpr std::uint32_t CALLBACK_NULL = 0x00000;
inline constexpr std::uint32_t CALLBACK_FUNCTION = 0x30000;

inline constexpr int WAVE_MAPPER = -1;

// Standard-format bits of the capability records: rate class (11025, 22050, 44100)
// by 8/16 bits and mono/stereo.
inline constexpr std::uint32_t WAVE_FORMAT_1M08 = 0x001, WAVE_FORMAT_1S08 = 0x002,
                               WAVE_FORMAT_1M16 = 0x004, WAVE_FORMAT_1S16 = 0x008,
                               WAVE_FORMAT_2M08 = 0x010, WAVE_FORMAT_2S08 = 0x020,
                               WAVE_FORMAT_2M16 = 0x040, WAVE_FORMAT_2S16 = 0x080,
                               WAVE_FORMAT_4M08 = 0x100, WAVE_FORMAT_4S08 = 0x200,
                               WAVE_FORMAT_4M16 = 0x400, WAVE_FORMAT_4S16 = 0x800;
inline constexpr std::uint32_t WAVE_FORMAT_ALL_STANDARD = 0xFFF;

// Capability records. Product names are not cut to a fixed length: server device
// descriptions are often longer than the 31 characters a fixed record holds.
struct TWaveInCaps {
  std::uint16_t wMid = 0;
  std::uint16_t wPid = 0;
  std::uint32_t vDriverVersion = 0;
  std::string szPname;
  std::uint32_t dwFormats = 0;
  std::uint16_t wChannels = 0;
};
struct TWaveOutCaps {
  std::uint16_t wMid = 0;
  std::uint16_t wPid = 0;
  std::uint32_t vDriverVersion = 0;
  std::string szPname;
  std::uint32_t dwFormats = 0;
  std::uint16_t wChannels = 0;
  std::uint32_t dwSupport = 0;
};

inline constexpr std::uint32_t TIME_MS = 0x0001;
inline constexpr std::uint32_t TIME_SAMPLES = 0x0002;
inline constexpr std::uint32_t TIME_BYTES = 0x0004;
// A device position. The counter is 32 bits wide and wraps round.
struct TMMTime {
  std::uint32_t wType = TIME_SAMPLES;
  std::uint32_t value = 0;
};

// The device report procedure: hwave is the device, instance the value given at open.
using TWaveCallback = void (*)(std::uintptr_t hwave, std::uint32_t msg, std::uintptr_t instance,
                               std::uintptr_t param1, std::uintptr_t param2);

// Reads or changes a record's flags while the device may hold it.
std::uint32_t WaveHdrFlags(const TMMWaveHdr* hdr);
void SetWaveHdrFlags(TMMWaveHdr* hdr, std::uint32_t set, std::uint32_t clear);

std::uint32_t waveInGetNumDevs();
MMRESULT waveInGetDevCaps(int deviceId, TWaveInCaps* caps);
// Copies the text of an error code into text (at most size - 1 characters);
// MMSYSERR_BADERRNUM for an unknown code.
MMRESULT waveInGetErrorText(MMRESULT error, char* text, std::uint32_t size);
// With WAVE_FORMAT_QUERY only asks whether the device takes the format; hwi may be null.
MMRESULT waveInOpen(HWAVEIN* hwi, int deviceId, const TWaveFormatEx* format, TWaveCallback callback,
                    std::uintptr_t instance, std::uint32_t flags);
MMRESULT waveInClose(HWAVEIN hwi);
MMRESULT waveInPrepareHeader(HWAVEIN hwi, TMMWaveHdr* hdr);
MMRESULT waveInUnprepareHeader(HWAVEIN hwi, TMMWaveHdr* hdr);
MMRESULT waveInAddBuffer(HWAVEIN hwi, TMMWaveHdr* hdr);
MMRESULT waveInStart(HWAVEIN hwi);
// Stops recording; a partly filled buffer is returned, empty ones stay queued.
MMRESULT waveInStop(HWAVEIN hwi);
MMRESULT waveInReset(HWAVEIN hwi);
MMRESULT waveInGetPosition(HWAVEIN hwi, TMMTime* time);

std::uint32_t waveOutGetNumDevs();
MMRESULT waveOutGetDevCaps(int deviceId, TWaveOutCaps* caps);
MMRESULT waveOutGetErrorText(MMRESULT error, char* text, std::uint32_t size);
MMRESULT waveOutOpen(HWAVEOUT* hwo, int deviceId, const TWaveFormatEx* format, TWaveCallback callback,
                     std::uintptr_t instance, std::uint32_t flags);
MMRESULT waveOutClose(HWAVEOUT hwo);
MMRESULT waveOutPrepareHeader(HWAVEOUT hwo, TMMWaveHdr* hdr);
MMRESULT waveOutUnprepareHeader(HWAVEOUT hwo, TMMWaveHdr* hdr);
MMRESULT waveOutWrite(HWAVEOUT hwo, TMMWaveHdr* hdr);
// A paused device keeps its queued buffers.
MMRESULT waveOutPause(HWAVEOUT hwo);
MMRESULT waveOutRestart(HWAVEOUT hwo);
MMRESULT waveOutReset(HWAVEOUT hwo);
MMRESULT waveOutGetPosition(HWAVEOUT hwo, TMMTime* time);

// The error text as a string; empty for an unknown code.
std::string WaveErrorText(MMRESULT error);

// What the server holds of an open device beyond the driver's own buffers, in
// microseconds: recorded but not yet delivered, or handed over but not yet heard.
MMRESULT waveInGetLatency(HWAVEIN hwi, std::uint64_t* usec);
MMRESULT waveOutGetLatency(HWAVEOUT hwo, std::uint64_t* usec);

// Server-side buffering asked for by devices opened from now on: the playback
// target length and the recording fragment, in microseconds. 0 leaves the choice to
// the backend (about two buffers for playback, 20 ms fragments for recording).
struct TWaveStreamTiming {
  std::uint32_t PlaybackUsec = 0;
  std::uint32_t RecordUsec = 0;
};
void SetWaveStreamTiming(const TWaveStreamTiming& timing);
TWaveStreamTiming WaveStreamTiming();

// The sizes the server really runs for an open device, in microseconds: its buffer
// (playback: the length it keeps filled; recording: the fragment it hands over) and
// the block in which it asks for or hands over sound. Zeros where the backend has none.
struct TWaveServerBuffer {
  std::uint32_t BufferUsec = 0;
  std::uint32_t BlockUsec = 0;
};
MMRESULT waveInGetServerBuffer(HWAVEIN hwi, TWaveServerBuffer* sizes);
MMRESULT waveOutGetServerBuffer(HWAVEOUT hwo, TWaveServerBuffer* sizes);
// The clock of loss times: steady, in nanoseconds.
inline std::int64_t WaveClockNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
// Sound a stream lost since its open, each loss a gap the listener hears: how many,
// and when the latest ones were (WaveClockNs), loss n (from 1) at Times[n % kTimes].
struct TWaveLosses {
  static constexpr std::uint64_t kTimes = 8;
  std::uint64_t Count = 0;
  std::array<std::int64_t, kTimes> Times{};
  // The time of loss n, or -1 once newer losses took its place.
  std::int64_t TimeOf(std::uint64_t n) const { return n + kTimes > Count ? Times[n % kTimes] : -1; }
};
// Kept by the one thread that sees a stream's losses, read from any.
class TWaveLossLog {
 public:
  void Add() {
    const std::uint64_t n = count_.load(std::memory_order_relaxed) + 1;
    times_[n % TWaveLosses::kTimes].store(WaveClockNs(), std::memory_order_relaxed);
    count_.store(n, std::memory_order_release);
  }
  void Read(TWaveLosses* out) const {
    out->Count = count_.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < TWaveLosses::kTimes; ++i) out->Times[i] = times_[i].load(std::memory_order_relaxed);
  }

 private:
  std::atomic<std::uint64_t> count_{0};
  std::array<std::atomic<std::int64_t>, TWaveLosses::kTimes> times_{};
};
// The times the server ran out of sound queued for the playback device while it
// played (each a silence); none where the backend cannot tell.
MMRESULT waveOutGetUnderflows(HWAVEOUT hwo, TWaveLosses* losses);
// The times recorded sound was lost before it reached us (the server's overrun, a
// hole, or no buffer queued to take it): each a jump the listener hears.
MMRESULT waveInGetOverruns(HWAVEIN hwi, TWaveLosses* losses);

// The sound server's own name of a device (the mapper: the current default), for
// talking to the server about it; empty where the backend has no such names.
std::string WaveDeviceServerName(TWaveDir dir, int deviceId);
// The device number of the device with that server name; -2 (InvalidId) if none.
int WaveDeviceByServerName(TWaveDir dir, const std::string& name);

// --- backends -----------------------------------------------------------------

// One open device. All calls come with the backend's own locking done by the stream.
class TWaveStream {
 public:
  virtual ~TWaveStream() = default;
  virtual MMRESULT Prepare(TMMWaveHdr* hdr) = 0;
  virtual MMRESULT Unprepare(TMMWaveHdr* hdr) = 0;
  virtual MMRESULT Queue(TMMWaveHdr* hdr) = 0;  // add buffer (input) or write (output)
  virtual MMRESULT Start() = 0;                 // input start, output restart
  virtual MMRESULT Stop() = 0;                  // input stop, output pause
  virtual MMRESULT Reset() = 0;
  virtual MMRESULT Position(TMMTime* time) = 0;
  virtual MMRESULT Close() = 0;                 // sends the close report
  virtual MMRESULT Latency(std::uint64_t* usec) {
    *usec = 0;
    return MMSYSERR_NOERROR;
  }
  virtual MMRESULT ServerBuffer(TWaveServerBuffer* sizes) {
    *sizes = {};
    return MMSYSERR_NOERROR;
  }
  virtual MMRESULT Underflows(TWaveLosses* losses) {
    *losses = {};
    return MMSYSERR_NOERROR;
  }
  virtual MMRESULT Overruns(TWaveLosses* losses) {
    *losses = {};
    return MMSYSERR_NOERROR;
  }
};

class TWaveBackend {
 public:
  virtual ~TWaveBackend() = default;
  virtual std::string Name() const = 0;
  virtual std::uint32_t NumDevs(TWaveDir dir) = 0;
  virtual MMRESULT GetDevCaps(TWaveDir dir, int deviceId, TWaveOutCaps* caps) = 0;
  virtual std::string DeviceServerName(TWaveDir, int) { return {}; }
  // Query-only when callback-less and query is true. On success the stream has sent
  // its open report.
  virtual MMRESULT Open(TWaveDir dir, int deviceId, const TWaveFormatEx& format, bool query,
                        TWaveCallback callback, std::uintptr_t instance, std::uintptr_t handle,
                        std::unique_ptr<TWaveStream>& stream) = 0;
};

// The backend the API uses. The first use picks it: "virtual" when STRATAEQ_AUDIO is
// "virtual", otherwise PulseAudio.
TWaveBackend& ActiveWaveBackend();
// Makes backend the active one (tests). Open devices of the old backend must be closed.
void SetWaveBackend(std::shared_ptr<TWaveBackend> backend);
std::shared_ptr<TWaveBackend> CreatePulseBackend();

// Reports the device callback queues for a driver's worker thread: a fixed ring that
// never allocates after construction, so a device thread can post into it freely.
class TWaveReportQueue {
 public:
  struct Report {
    std::uint32_t Msg = 0;
    std::uintptr_t Handle = 0;
    std::uintptr_t Param = 0;
  };

  explicit TWaveReportQueue(std::size_t capacity);
  ~TWaveReportQueue();
  TWaveReportQueue(const TWaveReportQueue&) = delete;
  TWaveReportQueue& operator=(const TWaveReportQueue&) = delete;

  // False when the ring is full (cannot happen while capacity exceeds the buffers).
  bool Post(const Report& r);
  bool Take(Report& r);
  // Drops every queued report numbered msg.
  void Remove(std::uint32_t msg);
  // Signalled (auto-reset) whenever a report is posted.
  TEvent& Arrived() { return *arrived_; }

 private:
  std::mutex mutex_;
  std::unique_ptr<Report[]> ring_;
  std::size_t capacity_;
  std::size_t head_ = 0;
  std::size_t count_ = 0;
  std::unique_ptr<TEvent> arrived_;
};

}  // namespace strataeq
