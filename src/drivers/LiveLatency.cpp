#include "drivers/LiveLatency.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "drivers/MMRingBf.h"
#include "drivers/MMWavIn.h"
#include "drivers/MMWavOut.h"
#include "foundation/MMPCMSup.h"
#include "platform/WaveApi.h"

namespace strataeq {
namespace {

constexpr std::int32_t kFrameBytes = 4;       // 16-bit stereo
constexpr std::int32_t kFrameStep = 32;       // buffer sizes in steps of 32 frames
constexpr std::int32_t kMinFrames = 64;
constexpr std::int32_t kMaxFrames = 2048;     // the design buffer
constexpr std::int32_t kPlannedOutputs = 3;
constexpr std::int32_t kPlannedSlots = 8;
constexpr std::int32_t kPlannedPrime = 3;
constexpr double kServerMs = 3.0;             // what the servers' own scheduling adds

double BytesToMs(double bytes, std::int32_t sampleRate) { return 1000.0 * bytes / (kFrameBytes * sampleRate); }

}  // namespace

double TLiveLatencyPlan::ExpectedMs(std::int32_t sampleRate, std::int32_t fftLength) const {
  const double buffer = BytesToMs(BufferSize, sampleRate);
  return buffer * (1 + PrimeSlots() + OutputBuffers) + 1000.0 * (fftLength / 4) / sampleRate;
}

TLiveLatencyPlan DesignLatencyPlan() { return TLiveLatencyPlan{}; }

TLiveLatencyPlan PlanLiveLatency(double targetMs, std::int32_t sampleRate, std::int32_t fftLength) {
  TLiveLatencyPlan plan;
  plan.OutputBuffers = kPlannedOutputs;
  plan.RingSlots = kPlannedSlots;
  plan.RingPrime = kPlannedPrime;
  const double eqMs = 1000.0 * (fftLength / 4) / sampleRate;
  const double perBuffer = (targetMs - eqMs - kServerMs) / (1 + plan.PrimeSlots() + plan.OutputBuffers);
  std::int32_t frames = static_cast<std::int32_t>(std::floor(perBuffer * sampleRate / 1000.0));
  frames = std::clamp(frames / kFrameStep * kFrameStep, kMinFrames, kMaxFrames);
  plan.BufferSize = frames * kFrameBytes;
  const double bufferUs = 1e6 * frames / sampleRate;
  // The server holds all the playback buffers, so its clock paces them; recording
  // arrives in fragments no longer than a buffer.
  plan.PlaybackUsec = static_cast<std::uint32_t>(bufferUs * plan.OutputBuffers);
  plan.RecordUsec = static_cast<std::uint32_t>(bufferUs);
  return plan;
}

TLiveLatencyPlan FitLiveLatencyPlan(const TLiveLatencyPlan& plan, const TWaveServerBuffer& in,
                                    const TWaveServerBuffer& out, std::int32_t sampleRate) {
  auto framesOf = [&](std::uint32_t usec) {
    return static_cast<std::int32_t>((static_cast<std::int64_t>(usec) * sampleRate + 999999) / 1000000);
  };
  TLiveLatencyPlan fitted = plan;
  std::int32_t frames = plan.BufferSize / kFrameBytes;
  // Buffers below the server's block went silent on PipeWire; playback that never
  // reaches the server's level never starts.
  const std::int32_t block = std::max(framesOf(in.BlockUsec), framesOf(out.BlockUsec));
  if (block > frames) frames = std::min((block + kFrameStep - 1) / kFrameStep * kFrameStep, kMaxFrames);
  fitted.BufferSize = frames * kFrameBytes;
  const std::int32_t kept = framesOf(out.BufferUsec);
  if (kept > frames * fitted.OutputBuffers) fitted.OutputBuffers = (kept + frames - 1) / frames;
  if (fitted.BufferSize == plan.BufferSize && fitted.OutputBuffers == plan.OutputBuffers) return plan;
  const double bufferUs = 1e6 * frames / sampleRate;
  if (plan.PlaybackUsec) fitted.PlaybackUsec = static_cast<std::uint32_t>(bufferUs * fitted.OutputBuffers);
  if (plan.RecordUsec) fitted.RecordUsec = static_cast<std::uint32_t>(bufferUs);
  return fitted;
}

TLiveLatencyPlan FitLiveLatencyToServer(const TLiveLatencyPlan& plan, int inDevice, int outDevice,
                                        std::int32_t sampleRate) {
  ApplyStreamTiming(plan);
  const TWaveFormatEx f = BuildPcmFormat(16, 2, static_cast<std::uint32_t>(sampleRate));
  TWaveServerBuffer in, out;
  HWAVEIN hi = 0;
  if (waveInOpen(&hi, inDevice, &f, nullptr, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) return plan;
  waveInGetServerBuffer(hi, &in);
  waveInClose(hi);
  HWAVEOUT ho = 0;
  if (waveOutOpen(&ho, outDevice, &f, nullptr, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) return plan;
  waveOutGetServerBuffer(ho, &out);
  waveOutClose(ho);
  return FitLiveLatencyPlan(plan, in, out, sampleRate);
}

void ApplyStreamTiming(const TLiveLatencyPlan& plan) {
  SetWaveStreamTiming({plan.PlaybackUsec, plan.RecordUsec});
}

int TRouteStallWatch::Update(std::int64_t position, std::int64_t elapsed) {
  const std::int64_t span = elapsed - lastElapsed_;
  lastElapsed_ = elapsed;
  const bool moved = lastPosition_ < 0 || (position != lastPosition_ && position - lastPosition_ >= span / 2);
  lastPosition_ = position;
  if (moved) {
    ++moves_;
    stalled_ = 0;
    counted_ = false;
    return 0;
  }
  stalled_ += span;
  if (stalled_ <= graceFrames_ || counted_) return 0;
  counted_ = true;
  return 1;
}

void TGapMerge::Reset() {
  for (auto& r : recent_) r.store(std::numeric_limits<std::int64_t>::min() / 2, std::memory_order_relaxed);
}

bool TGapMerge::Add(std::int64_t ns) {
  if (ns < 0) return true;
  for (const auto& r : recent_)
    if (std::abs(ns - r.load(std::memory_order_relaxed)) < kWindowNs) return false;
  recent_[next_.fetch_add(1, std::memory_order_relaxed) % kRecent].store(ns, std::memory_order_relaxed);
  return true;
}

int TRouteStallWatch::AddUnderflows(std::int64_t total) {
  if (total < underflows_) underflows_ = 0;  // a new device
  const std::int64_t fresh = total - underflows_;
  underflows_ = total;
  if (fresh <= 0 || counted_) return 0;
  if (stalled_ > 0) {  // the silence this stall is: counted once, now
    counted_ = true;
    return 1;
  }
  return static_cast<int>(fresh);
}

TRecordingWatch::TVerdict TRecordingWatch::Update(std::int64_t recorded, std::int64_t elapsed) {
  if (recorded != recorded_) {
    recorded_ = recorded;
    movedAt_ = elapsed;
  }
  // Sound that flows well past a reconnect ends the run of tries.
  if (reconnectedAt_ >= 0 && elapsed - reconnectedAt_ > 2 * graceFrames_ && elapsed - movedAt_ < graceFrames_)
    tries_ = 0;
  if (elapsed - movedAt_ < graceFrames_) return TVerdict::Fine;
  return ++tries_ > maxTries_ ? TVerdict::GiveUp : TVerdict::Reconnect;
}

void TRecordingWatch::Reconnected() {
  recorded_ = 0;
  movedAt_ = reconnectedAt_ = 0;
}

double MeasuredLiveLatencyMs(const TMMWaveIn& in, const TMMRingBuffer& ring, const TMMWaveOut& out,
                             std::int32_t fftLength) {
  const TWaveFormatEx* f = out.PWaveFormat();
  if (!in.Handle() || !out.Handle() || !f || f->nAvgBytesPerSec == 0) return 0;
  std::uint64_t inUsec = 0, outUsec = 0;
  waveInGetLatency(in.Handle(), &inUsec);
  waveOutGetLatency(out.Handle(), &outUsec);
  const double bytes = static_cast<double>(in.BufferSize()) + ring.BytesQueued() +
                       static_cast<double>(out.BufferSize()) * out.BuffersInUse();
  return (inUsec + outUsec) / 1000.0 + 1000.0 * bytes / f->nAvgBytesPerSec +
         1000.0 * (fftLength / 4) / f->nSamplesPerSec;
}

}  // namespace strataeq
