#include "drivers/LiveLatency.h"

#include <algorithm>
#include <cmath>

#include "drivers/MMRingBf.h"
#include "drivers/MMWavIn.h"
#include "drivers/MMWavOut.h"
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

void ApplyStreamTiming(const TLiveLatencyPlan& plan) {
  SetWaveStreamTiming({plan.PlaybackUsec, plan.RecordUsec});
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
