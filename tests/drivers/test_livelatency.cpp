#include "drivers/LiveLatency.h"

#include <gtest/gtest.h>

#include <chrono>

#include "drivers/MMRingBf.h"
#include "drivers/MMWavIn.h"
#include "drivers/MMWavOut.h"
#include "platform/Messages.h"
#include "platform/WaveApi.h"
#include "platform/WaveApiVirtual.h"
#include "wave_test_util.h"

namespace strataeq {
namespace {

TEST(LiveLatencyPlan, DesignValuesAndPlansForTargetsStayWithinThem) {
  const TLiveLatencyPlan design = DesignLatencyPlan();
  EXPECT_EQ(design.BufferSize, 8192);
  EXPECT_EQ(design.OutputBuffers, 20);
  EXPECT_EQ(design.PrimeSlots(), 11);
  EXPECT_EQ(design.PlaybackUsec, 0u) << "the design values leave the server its own choice";
  // 1 + 11 + 20 buffers of 46.4 ms, and a quarter of FFT 4096 at 44.1 kHz.
  EXPECT_NEAR(design.ExpectedMs(44100, 4096), 32 * 8192 / 176.4 + 1024 / 44.1, 0.01);

  for (const int fft : {256, 4096}) {
    double previous = 0;
    for (const double target : {20.0, 40.0, 80.0, 200.0}) {
      const TLiveLatencyPlan p = PlanLiveLatency(target, 44100, fft);
      const double expected = p.ExpectedMs(44100, fft);
      const int buffers = 1 + p.PrimeSlots() + p.OutputBuffers;
      if (expected > 1000.0 * buffers * 64 / 44100 + fft / 4 / 44.1 + 0.01) {  // beyond the smallest buffers
        EXPECT_LE(expected, target) << "FFT " << fft << ", target " << target;
      }
      EXPECT_GE(expected, previous) << "a larger target never gives smaller buffers";
      previous = expected;
      EXPECT_EQ(p.BufferSize % 128, 0) << "whole frames in steps of 32";
      EXPECT_GE(p.BufferSize, 256);
      EXPECT_GT(p.RingSlots, p.PrimeSlots()) << "room above the priming level";
      EXPECT_GT(p.PlaybackUsec, 0u);
      EXPECT_GT(p.RecordUsec, 0u);
    }
  }
  const TLiveLatencyPlan p40 = PlanLiveLatency(40, 44100, 256);
  EXPECT_GE(p40.ExpectedMs(44100, 256), 30.0) << "the budget is used, not wasted on tiny buffers";
  // FFT 4096 delays 23 ms by itself: a 20 ms target gets the smallest buffers.
  EXPECT_EQ(PlanLiveLatency(20, 44100, 4096).BufferSize, 64 * 4);
}

// A live route on virtual devices (no server-side delay) in the state its plan
// describes: one recorded buffer, the primed ring slots and the playback buffers
// queued. The measured figure is then the planned one, and grows with the ring.
// PipeWire's server grants a 20 ms plan's playback (3 x 96 frames) 16 ms with 5.35 ms
// blocks: the plan grows to buffers of a block and playback buffers that fill it.
TEST(LiveLatencyPlan, GrowsToWhatTheServerRunsAndStallsCountAsDropouts) {
  const TLiveLatencyPlan p = PlanLiveLatency(20, 44100, 256);
  ASSERT_EQ(p.BufferSize, 96 * 4);
  EXPECT_EQ(FitLiveLatencyPlan(p, {}, {}, 44100).BufferSize, p.BufferSize) << "nothing known, nothing changed";
  const TWaveServerBuffer asked{p.PlaybackUsec, p.PlaybackUsec / 4};
  const TLiveLatencyPlan same = FitLiveLatencyPlan(p, {p.RecordUsec, p.RecordUsec}, asked, 44100);
  EXPECT_EQ(same.BufferSize, p.BufferSize);
  EXPECT_EQ(same.OutputBuffers, p.OutputBuffers);
  const TLiveLatencyPlan f = FitLiveLatencyPlan(p, {5351, 5351}, {16054, 5351}, 44100);
  EXPECT_EQ(f.BufferSize, 256 * 4) << "236 frames a block, in steps of 32";
  EXPECT_GE(f.BufferSize / 4 * f.OutputBuffers, 708) << "fills the server's 16 ms";
  EXPECT_EQ(f.PlaybackUsec, static_cast<std::uint32_t>(1e6 * 256 * f.OutputBuffers / 44100));
  EXPECT_GT(f.ExpectedMs(44100, 256), 20) << "the target cannot be met, and the plan says by how much";

  TRouteStallWatch watch(44100);  // 1 s grace; readings once a second
  EXPECT_EQ(watch.Update(0, 44100), 0);
  EXPECT_EQ(watch.Update(44100, 88200), 0);
  EXPECT_EQ(watch.Update(44100, 132300), 0) << "within the grace";
  EXPECT_EQ(watch.Update(44100, 154350), 1) << "past it, the stall is one silence";
  EXPECT_EQ(watch.Update(44100, 176400), 0) << "however long it lasts";
  EXPECT_EQ(watch.Stalled(), 88200);
  EXPECT_EQ(watch.Update(66150, 198450), 0);
  EXPECT_EQ(watch.Stalled(), 0);
  EXPECT_EQ(watch.Update(66150, 220500), 0) << "a new stall starts its grace again";
  // The underflow that began a stall is its silence, counted at once; the stall past
  // its grace and further underflows in it add nothing.
  EXPECT_EQ(watch.AddUnderflows(1), 1);
  EXPECT_EQ(watch.Update(66150, 264600), 0) << "1.5 s stalled, counted by its underflow";
  EXPECT_EQ(watch.AddUnderflows(3), 0);
  EXPECT_EQ(watch.Update(110250, 308700), 0);
  EXPECT_EQ(watch.Moves(), 4);
  EXPECT_EQ(watch.AddUnderflows(4), 1) << "a lone underflow while sound moves";
  EXPECT_EQ(watch.AddUnderflows(1), 1) << "a reopened device counts from 0";
  // A position that creeps (a stuck stream whose reported delay wobbles) plays nothing.
  std::int64_t at = 110250;
  int counted = 0;
  for (std::int64_t t = 352800; t <= 352800 + 3 * 44100; t += 44100) counted += watch.Update(at += 300, t);
  EXPECT_EQ(counted, 1);
  EXPECT_EQ(watch.Moves(), 4);
}

TEST(LiveLatencyMeasure, ARouteInItsPlannedStateMeasuresThePlannedDelay) {
  auto audio = TVirtualAudio::Install(2, 2);
  const TLiveLatencyPlan plan = PlanLiveLatency(40, 44100, 256);
  TMMWaveIn in;
  TMMRingBuffer ring;
  TMMWaveOut out;
  in.SetBufferSize(plan.BufferSize);
  in.SetMode(TMMMode::mStereo);
  in.SetBitLength(TMMBits::b16Bit);
  in.SetSampleRate(44100);
  in.SetCallBackMode(TMMCBMode::cmThread);
  ring.SetBufferSize(plan.BufferSize);
  ring.SetNumBuffers(plan.RingSlots);
  ring.SetPrimeSlots(plan.RingPrime);
  ring.SetQueueMode(TMMQueueMode::qmDuplex);
  out.SetBufferSize(plan.BufferSize);
  out.SetNumBuffers(plan.OutputBuffers);
  out.SetCallBackMode(TMMCBMode::cmThread);
  out.SetDeviceID(1);
  in.SetOutput(&ring);
  ring.SetOutput(&out);
  EXPECT_EQ(MeasuredLiveLatencyMs(in, ring, out, 256), 0.0) << "closed devices have no delay";

  bool stopped = false;
  in.OnStop = [&](TObject*) { stopped = true; };
  in.Start();
  for (int k = 1; k <= plan.PrimeSlots(); ++k) {
    ASSERT_EQ(audio->Step(TWaveDir::Input, 0, 1), 1);
    ASSERT_TRUE(RunUntil([&] { return ring.BuffersUsed() == k; }, std::chrono::seconds(20)));
  }
  EXPECT_NEAR(MeasuredLiveLatencyMs(in, ring, out, 256), plan.ExpectedMs(44100, 256), 0.01);
  ASSERT_EQ(audio->Step(TWaveDir::Input, 0, 1), 1);
  ASSERT_TRUE(RunUntil([&] { return ring.BuffersUsed() == plan.PrimeSlots() + 1; }, std::chrono::seconds(20)));
  EXPECT_NEAR(MeasuredLiveLatencyMs(in, ring, out, 256),
              plan.ExpectedMs(44100, 256) + 1000.0 * plan.BufferSize / 176400, 0.01);

  in.Stop();
  ASSERT_TRUE(RunUntil([&] { return stopped; }, std::chrono::seconds(20)));
  in.Close();
  ProcessPendingMessages();
  SetWaveBackend(nullptr);
}

// A recording that delivers nothing for the grace time is reconnected; one that stays
// silent after each of three reconnects in a row is given up, while sound that flows
// again after a reconnect starts the count of tries afresh.
TEST(RecordingWatch, ReconnectsARecordingThatDeliversNothingAndGivesUpAfterThreeTries) {
  using V = TRecordingWatch::TVerdict;
  constexpr std::int64_t kSecond = 44100;
  TRecordingWatch watch(2 * kSecond, 3);
  std::int64_t t = 0, recorded = 0;
  auto second = [&](bool flowing) {
    t += kSecond;
    if (flowing) recorded += kSecond;
    return watch.Update(recorded, t);
  };
  for (int i = 0; i < 5; ++i) ASSERT_EQ(second(true), V::Fine);
  EXPECT_EQ(second(false), V::Fine) << "a second without sound is within the grace";
  EXPECT_EQ(second(false), V::Reconnect);
  for (int round = 0; round < 2; ++round) {  // a reconnect that brings sound back
    watch.Reconnected();
    t = recorded = 0;
    for (int i = 0; i < 5; ++i) ASSERT_EQ(second(true), V::Fine);
    second(false);
    EXPECT_EQ(second(false), V::Reconnect) << round;
  }
  for (int tries = 2; tries <= 3; ++tries) {  // reconnects that bring nothing
    watch.Reconnected();
    t = recorded = 0;
    second(false);
    EXPECT_EQ(second(false), V::Reconnect) << tries;
  }
  watch.Reconnected();
  t = recorded = 0;
  second(false);
  EXPECT_EQ(second(false), V::GiveUp);
}

}  // namespace
}  // namespace strataeq
