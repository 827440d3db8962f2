// Buffering of the live route (recording device -> ring buffer -> equalizer -> playback
// device) for a target end-to-end delay, and the delay the running route has.
//
// A sample waits for its recorded buffer to fill (one buffer), for the ring buffer's
// primed slots ahead of it (more than half the slots), for every playback buffer
// queued ahead of it, and for the equalizer's own delay (a quarter of the FFT length).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace strataeq {

struct TWaveServerBuffer;

class TMMWaveIn;
class TMMRingBuffer;
class TMMWaveOut;

struct TLiveLatencyPlan {
  std::int32_t BufferSize = 8192;     // bytes, the same for the devices and the ring's slots
  std::int32_t OutputBuffers = 20;    // queued at the playback device
  std::int32_t RingSlots = 20;
  std::int32_t RingPrime = 0;         // slots filled before the ring delivers; 0 more than half
  std::uint32_t PlaybackUsec = 0;     // server-side playback buffer; 0 the backend's own choice
  std::uint32_t RecordUsec = 0;       // server-side recording fragment; 0 the backend's own choice

  std::int32_t PrimeSlots() const { return RingPrime > 0 ? RingPrime : RingSlots / 2 + 1; }
  // The delay these values give at the rate, 16-bit stereo, with the FFT length, in ms.
  double ExpectedMs(std::int32_t sampleRate, std::int32_t fftLength) const;
};

// The window's design values: 8192-byte buffers, 20 playback buffers, 20 ring slots.
TLiveLatencyPlan DesignLatencyPlan();

// The largest buffers that keep the expected delay within targetMs (16-bit stereo at
// sampleRate), with three playback buffers and a ring buffer of eight slots primed at
// three: reads leave two behind, which with the wait for a late recording rides out a
// stall of three buffers. The room above takes devices that give several buffers at
// once; the ring drops back to its level after a stall. Targets too small for the
// smallest buffers (64 frames) get those.
TLiveLatencyPlan PlanLiveLatency(double targetMs, std::int32_t sampleRate, std::int32_t fftLength);

// The plan grown to what the server really runs (sizes in microseconds, zeros unknown):
// buffers no smaller than the larger of the two devices' blocks, and enough playback
// buffers to fill what the server keeps for playback (it starts, and after a gap goes
// on, only once about that much is there). Unchanged when the server runs the planned
// sizes.
TLiveLatencyPlan FitLiveLatencyPlan(const TLiveLatencyPlan& plan, const TWaveServerBuffer& in,
                                    const TWaveServerBuffer& out, std::int32_t sampleRate);
// The same with the sizes the server grants when the devices (16-bit stereo at
// sampleRate) are opened with the plan's buffering; the plan as it is when either
// cannot be opened.
TLiveLatencyPlan FitLiveLatencyToServer(const TLiveLatencyPlan& plan, int inDevice, int outDevice,
                                        std::int32_t sampleRate);

// Installs the plan's server-side buffering for devices opened from now on.
void ApplyStreamTiming(const TLiveLatencyPlan& plan);

// The delay of the running route in ms, from what its parts hold now: the recording
// device's server-side delay, one recorded buffer, the ring buffer's queued bytes, the
// playback buffers, the playback device's own delay and the equalizer's. 0 while
// either device is closed.
// Watches a running route's playback position, read about once a second: time in which
// the position moved less than half as far as time did is sound that was never played
// (PipeWire's server can keep a stuck stream's position creeping), one silence however
// long, so a stalled route never reads as healthy. A stall shorter than graceFrames is
// not counted: a null sink of the classic server plays in steps of up to 2 s.
class TRouteStallWatch {
 public:
  explicit TRouteStallWatch(std::int64_t graceFrames) : graceFrames_(graceFrames) {}
  // The position (any unit) and the time in frames since the route started; returns the
  // drop-outs to add for the span since the last reading (1 as a stall passes the grace).
  int Update(std::int64_t position, std::int64_t elapsed);
  // The playback device's underflow count now (it restarts with each open), read
  // after Update; returns the drop-outs to add. An underflow seen early in a stall is
  // that stall's silence, so the stall does not count again once past its grace, and
  // underflows during a counted stall add nothing.
  int AddUnderflows(std::int64_t total);
  // Frames of time since the position last moved.
  std::int64_t Stalled() const { return stalled_; }
  // Readings that found the position moving.
  std::int64_t Moves() const { return moves_; }

 private:
  std::int64_t graceFrames_;
  std::int64_t lastPosition_ = -1;
  std::int64_t lastElapsed_ = 0;
  std::int64_t stalled_ = 0;
  std::int64_t moves_ = 0;
  bool counted_ = false;          // the current stall is counted (by itself or an underflow)
  std::int64_t underflows_ = 0;   // the device's count at the last reading
};

// One stall of the machine is heard as one gap, but several parts of a route report
// it: the ring runs empty, the server runs dry, the recording overruns, then the ring
// overfills. Reports within kWindowNs of a counted one are that gap. Any thread adds.
class TGapMerge {
 public:
  static constexpr std::int64_t kWindowNs = 100'000'000;
  TGapMerge() { Reset(); }
  void Reset();  // a new run: nothing before it merges
  // A report at ns (WaveClockNs; negative: unknown, a gap of its own); true when it
  // is a new gap.
  bool Add(std::int64_t ns);

 private:
  static constexpr unsigned kRecent = 16;
  std::array<std::atomic<std::int64_t>, kRecent> recent_;
  std::atomic<unsigned> next_{0};
};

// Watches the recording side of a running route, read about once a second: a
// recording that delivered nothing for graceFrames (the classic server stops
// delivering to a recording of a suspended monitor) must be reconnected; one that
// stalls again after each of maxTries reconnects in a row is given up.
class TRecordingWatch {
 public:
  enum class TVerdict { Fine, Reconnect, GiveUp };
  TRecordingWatch(std::int64_t graceFrames, int maxTries) : graceFrames_(graceFrames), maxTries_(maxTries) {}
  // The frames recorded since the recording opened, and the time in frames since the
  // route started.
  TVerdict Update(std::int64_t recorded, std::int64_t elapsed);
  // The route reconnected its recording: its counts and its time start again at 0.
  void Reconnected();

 private:
  std::int64_t graceFrames_;
  int maxTries_;
  int tries_ = 0;
  std::int64_t recorded_ = 0;
  std::int64_t movedAt_ = 0;      // when the recording last delivered
  std::int64_t reconnectedAt_ = -1;
};

double MeasuredLiveLatencyMs(const TMMWaveIn& in, const TMMRingBuffer& ring, const TMMWaveOut& out,
                             std::int32_t fftLength);

}  // namespace strataeq
