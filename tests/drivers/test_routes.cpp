// Whole routes on paced virtual devices, as the window builds them: stops at random
// moments end in exactly one OnStop per started driver and never hang, a stop the
// device refuses still ends in its OnStop, a live route that clips allocates
// nothing on its audio threads, and every gap injected into a live route is counted.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "drivers/LiveLatency.h"
#include "drivers/MMBlockQ.h"
#include "drivers/MMRingBf.h"
#include "drivers/MMTrigg.h"
#include "drivers/MMWavIn.h"
#include "drivers/MMWavOut.h"
#include "eq/MMEQ.h"
#include "platform/WaveApiVirtual.h"
#include "wave_test_util.h"
#include "../../bench/tools/ToneGaps.h"

// Counts allocations on threads marked as audio threads while the watch is on, or with
// gEveryWorker on every thread but the test's own and the test sink's (which stores).
namespace {
thread_local bool tAudioThread = false;
thread_local bool tExempt = false;
std::atomic<bool> gWatch{false};
std::atomic<bool> gEveryWorker{false};
std::atomic<int> gAudioAllocations{0};
}  // namespace

void* operator new(std::size_t n) {
  if ((tAudioThread || (gEveryWorker.load(std::memory_order_relaxed) && !tExempt)) &&
      gWatch.load(std::memory_order_relaxed))
    gAudioAllocations.fetch_add(1);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace strataeq {
namespace {

using namespace std::chrono_literals;

enum class TRouteKind { FileToDevice, DeviceToDevice, DeviceToFile };

// One route: [pattern source | recorder] -> ring -> equalizer -> [player | sink].
struct TRoute {
  std::unique_ptr<test::TPatternSource> file;
  std::unique_ptr<TMMWaveIn> in;
  TMMRingBuffer ring;
  TMMEqualizer eq;
  std::unique_ptr<TMMWaveOut> out;
  test::TRecordingSink sink;
  std::atomic<int> inStops{0}, outStops{0};

  TRoute(TRouteKind kind, TMMCBMode mode, std::int64_t fileBytes, float gainDb) {
    const TWaveFormatEx f = BuildPcmFormat(TMMBits::b16Bit, TMMMode::mStereo, 44100);
    eq.Filters()->Add(new TMMEQFilter(0, 22050, gainDb));
    ring.SetBufferSize(1024);
    ring.SetQueueMode(kind == TRouteKind::DeviceToDevice ? TMMQueueMode::qmDuplex : TMMQueueMode::qmRead);
    if (kind == TRouteKind::FileToDevice) {
      file = std::make_unique<test::TPatternSource>(fileBytes);
      file->SetPWaveFormat(&f);
      file->SetOutput(&ring);
    } else {
      in = std::make_unique<TMMWaveIn>();
      in->SetBufferSize(1024);
      in->SetNumBuffers(4);
      in->SetCallBackMode(mode);
      in->SetMode(TMMMode::mStereo);
      in->SetBitLength(TMMBits::b16Bit);
      in->SetSampleRate(44100);
      in->OnStop = [this](TObject*) { ++inStops; };
      in->SetOutput(&ring);
    }
    ring.SetOutput(&eq);
    if (kind == TRouteKind::DeviceToFile) {
      eq.SetOutput(&sink);
    } else {
      out = std::make_unique<TMMWaveOut>();
      out->SetBufferSize(1024);
      out->SetNumBuffers(4);
      out->SetCallBackMode(mode);
      out->OnStop = [this](TObject*) { ++outStops; };
      eq.SetOutput(out.get());
    }
  }
  TMMDSPComponent& Driver() { return in ? static_cast<TMMDSPComponent&>(*in) : *out; }
};

class Routes : public ::testing::Test {
 protected:
  void SetUp() override {
    audio = TVirtualAudio::Install(2, 2);
    audio->SetInputTone(1000);
    audio->SetPaced(true);
  }
  void TearDown() override {
    ProcessPendingMessages();
    audio->SetPaced(false);
    SetWaveBackend(nullptr);
  }
  std::shared_ptr<TVirtualAudio> audio;
};

// STRATAEQ_STRESS_STOPS sets the number of stops (CI runs a few dozen).
TEST_F(Routes, StopsAtRandomMomentsEndInOneOnStopEachAndNeverHang) {
  const char* env = std::getenv("STRATAEQ_STRESS_STOPS");
  const int stops = env ? std::atoi(env) : 36;
  std::mt19937 rng(20261207);
  test::TAppCapture capture;  // a close during a run may report a refused buffer
  int hangs = 0;
  for (int i = 0; i < stops; ++i) {
    const auto kind = static_cast<TRouteKind>(i % 3);
    const TMMCBMode mode = rng() % 4 == 0 ? TMMCBMode::cmWindow : TMMCBMode::cmThread;
    TRoute r(kind, mode, 4096 + static_cast<std::int64_t>(rng() % 65536), rng() % 2 ? 18.0f : 0.0f);
    r.Driver().Start();
    const bool outStarted = r.out && r.out->Started();
    const bool inStarted = r.in && r.in->Started();
    ASSERT_TRUE(outStarted || inStarted) << i;
    // The random moment: while buffers go through, between them, or at once.
    const auto moment = std::chrono::microseconds(rng() % 30000);
    RunUntil([] { return false; }, std::chrono::duration_cast<std::chrono::milliseconds>(moment));
    switch (rng() % 3) {
      case 0: r.Driver().Stop(); break;
      case 1: std::thread([&] { r.Driver().Stop(); }).join(); break;
      default: r.Driver().Close(); break;  // closing stops first
    }
    const bool settled = RunUntil(
        [&] { return r.inStops.load() == (inStarted ? 1 : 0) && r.outStops.load() == (outStarted ? 1 : 0); }, 5s);
    if (!settled) {
      ++hangs;
      ADD_FAILURE() << "stop " << i << " (route " << i % 3 << ") did not end: " << r.inStops << " / " << r.outStops;
    }
    r.Driver().Close();
    r.ring.CloseQueue();
    ProcessPendingMessages();
    EXPECT_EQ(r.inStops.load(), inStarted ? 1 : 0) << i;
    EXPECT_EQ(r.outStops.load(), outStarted ? 1 : 0) << i;
    EXPECT_FALSE(audio->IsOpen(TWaveDir::Input, 0)) << i;
    EXPECT_FALSE(audio->IsOpen(TWaveDir::Output, 0)) << i;
    if (HasFailure()) break;
  }
  EXPECT_EQ(hangs, 0);
}

TEST_F(Routes, AStopTheDeviceRefusesStillEndsInItsOnStopWithItsError) {
  test::TAppCapture capture;
  for (const TRouteKind kind : {TRouteKind::FileToDevice, TRouteKind::DeviceToFile}) {
    TRoute r(kind, TMMCBMode::cmThread, -1, 0);
    test::TEventLog log;
    (r.in ? r.in->OnStop : r.out->OnStop) = log.Note("stop");
    (r.in ? r.in->OnError : r.out->OnError) = log.Note("error");
    r.Driver().Start();
    RunUntil([] { return false; }, 20ms);
    if (r.in)
      audio->FailNext(TWaveDir::Input, 0, TWaveOp::Reset, MMSYSERR_ERROR);
    else
      audio->FailNext(TWaveDir::Output, 0, TWaveOp::Reset, MMSYSERR_ERROR);
    const std::string error = test::ErrorOf([&] {
      r.Driver().Stop();
      RunUntil([&] { return log.Count("stop") > 0; }, 2s);
    });
    // From the main thread the stop completes in the call (or in the stop message a
    // buffer in flight leaves behind, whose error goes to the application's handler).
    const std::string reported = error.empty() && !capture.Exceptions().empty() ? capture.Exceptions()[0] : error;
    EXPECT_NE(reported.find("Reset"), std::string::npos) << reported;
    EXPECT_EQ(log.All(), (std::vector<std::string>{"error", "stop"}));
    EXPECT_FALSE(r.Driver().Started());
    r.Driver().Close();
    r.ring.CloseQueue();
    EXPECT_FALSE(audio->IsOpen(kind == TRouteKind::DeviceToFile ? TWaveDir::Input : TWaveDir::Output, 0));
  }
}

TEST_F(Routes, AClippingLiveRouteAllocatesNothingOnItsAudioThreads) {
  TRoute r(TRouteKind::DeviceToDevice, TMMCBMode::cmThread, -1, 18);
  r.out->SetDeviceID(1);  // input 0 records the tone, not output 0's loop back
  // The recorder's worker pushes, the player's worker pulls through the equalizer.
  r.in->OnBufferReady = [](TObject*, PMMWaveHdr) { tAudioThread = true; };
  r.eq.OnBufferLoad = [](TObject*, PMMWaveHdr, bool&) { tAudioThread = true; };
  int overflows = 0;
  bool offMain = false;
  r.eq.OnPcmOverflow = [&](TObject*) {
    ++overflows;
    offMain = offMain || !IsMainThread();
  };
  r.in->Start();
  ASSERT_TRUE(RunUntil([&] { return r.eq.ClippedBuffers() >= 4; }, 10s));
  const std::int64_t clippedBefore = r.eq.ClippedBuffers();
  const int before = gAudioAllocations.load();
  gWatch = true;
  RunUntil([] { return false; }, 300ms);
  gWatch = false;
  EXPECT_EQ(gAudioAllocations.load(), before);
  EXPECT_GT(r.eq.ClippedBuffers(), clippedBefore + 4);
  EXPECT_GE(overflows, 1);
  EXPECT_FALSE(offMain);
  r.in->Close();
  r.ring.CloseQueue();
  // A buffer still in flight completes the stop in its stop message, later.
  EXPECT_TRUE(RunUntil([&] { return r.inStops.load() == 1 && r.outStops.load() == 1; }, 5s));
  ProcessPendingMessages();
  EXPECT_EQ(r.inStops.load(), 1);
  EXPECT_EQ(r.outStops.load(), 1);
}


using bench::HeardGaps;

// A device route driven a buffer at a time, its drop-outs counted as the route counts
// them, one per silence however many buffers it lasts: a recording that stalls beyond
// what the ring holds (a silence), again 29 ms later (a second one), the excess it
// leaves taken back by resampling (no skip), a recording so far ahead that it fills the
// ring (one skip), and a server underflow each add exactly what was heard.
TEST_F(Routes, EveryGapInjectedIntoALiveRouteIsCountedOnce) {
  audio->SetPaced(false);
  TRoute r(TRouteKind::DeviceToDevice, TMMCBMode::cmThread, -1, 0);
  r.out->SetDeviceID(1);
  r.ring.SetNumBuffers(8);
  r.ring.SetPrimeSlots(3);
  std::atomic<int> dropouts{0};
  r.ring.OnSlotDropped = r.ring.OnOverlow = [&](TObject*) { ++dropouts; };
  r.ring.OnEmpty = [&](TObject*) { dropouts += r.ring.EmptyReadsInARow() == 1; };
  TRouteStallWatch watch(2 * 44100);
  r.in->Start();
  ASSERT_TRUE(RunUntil([&] { return audio->QueuedBuffers(TWaveDir::Output, 1) == 4; }, 5s));
  auto record = [&](int n) {
    for (int i = 0; i < n; ++i) {
      ASSERT_EQ(audio->Step(TWaveDir::Input, 0), 1);
      ASSERT_TRUE(RunUntil([&] { return audio->QueuedBuffers(TWaveDir::Input, 0) == 4; }, 5s));
    }
  };
  int queued = 4;  // playback buffers
  auto play = [&](int n) {
    for (int i = 0; i < n; ++i) {
      ASSERT_EQ(audio->Step(TWaveDir::Output, 1), 1);
      ASSERT_TRUE(RunUntil([&] { return audio->QueuedBuffers(TWaveDir::Output, 1) == queued; }, 5s));
    }
  };
  auto steady = [&](int n) {
    for (int i = 0; i < n; ++i) {
      record(1);
      play(1);
    }
  };
  std::int64_t elapsed = 0;
  auto reading = [&] {  // what the command line does once a second
    elapsed += 44100;
    dropouts += watch.Update(r.out->Position(), elapsed);
    dropouts += watch.AddUnderflows(static_cast<std::int64_t>(r.out->Underflows().Count));
  };
  constexpr int kPlanned = 2 * 1024;  // bytes reads leave behind: one slot below the level of 3
  record(3);  // primes the ring at its level
  steady(200);
  reading();
  ASSERT_EQ(dropouts.load(), 0) << "a route at its planned level loses nothing";
  ASSERT_EQ(r.ring.BytesQueued(), kPlanned);

  // The recording stalls for four buffers, then delivers them at once: the two slots
  // queued cover half of it, two reads in a row find nothing (one silence). Five
  // buffers later it stalls for six: four slots cover it, two reads find nothing (a
  // second silence). The slots above the level are then read a little faster until the
  // delay is back.
  play(4);
  record(4);
  EXPECT_EQ(dropouts.load(), 1);
  steady(5);
  play(6);
  record(6);
  steady(1600);
  EXPECT_EQ(r.ring.SlotsLost(), 0);
  EXPECT_EQ(dropouts.load(), 2);
  EXPECT_NEAR(r.ring.BytesQueued(), kPlanned, 256) << "the planned delay, within a quarter of a slot";
  EXPECT_NEAR(r.ring.RateRatio(), 1.0, 0.0005);

  // So far ahead that the ring fills: one skip back to the level, counted once.
  while (!r.ring.IsFull()) record(1);
  steady(100);
  EXPECT_EQ(r.ring.SlotsLost(), 6);
  EXPECT_EQ(dropouts.load(), 3);

  // What was played, fitted to the tone recorded, shows the same gaps.
  EXPECT_EQ(HeardGaps(audio->Played(1), 1000, 256, r.eq.FFTLength() / 4, 8192), 3);

  audio->InjectUnderflow(1);
  steady(10);
  reading();
  EXPECT_EQ(dropouts.load(), 4);
  reading();
  EXPECT_EQ(dropouts.load(), 4) << "an underflow counts once";

  // The queue grows by a buffer after the server ran dry: the ring's level pays for it
  // at first and is then pulled back by resampling, all without a gap.
  ASSERT_TRUE(r.out->GrowQueue());
  queued = 5;
  record(1);
  play(1);
  EXPECT_EQ(r.out->BuffersInUse(), 5);
  steady(1200);
  EXPECT_NEAR(r.ring.BytesQueued(), kPlanned, 256);
  EXPECT_EQ(dropouts.load(), 4);
  EXPECT_EQ(HeardGaps(audio->Played(1), 1000, 256, r.eq.FFTLength() / 4, 8192), 3);

  r.in->Close();
  r.ring.CloseQueue();
  ProcessPendingMessages();
}

// One file on three threads, as the command line runs it: source -> read-ahead queue
// -> [equalizer] -> trigger -> write-behind queue -> sink.
struct TFileRoute {
  TFileRoute(test::TPatternSource& source, bool withEq) {
    const TWaveFormatEx f = BuildPcmFormat(TMMBits::b16Bit, TMMMode::mStereo, 44100);
    source.SetPWaveFormat(&f);
    eq.Filters()->Add(new TMMEQFilter(0, 22050, 18));  // clips
    eq.SetAligned(true);
    eq.SetThreads(2);  // the right channel on a helper thread
    trigger.SetBufferSize(8192);
    trigger.SetInterval(0);
    trigger.OnStop = [this](TObject*) { stopped = true; };
    source.SetOutput(&readAhead);
    readAhead.SetOutput(withEq ? static_cast<TMMDSPComponent*>(&eq) : &trigger);
    if (withEq) eq.SetOutput(&trigger);
    trigger.SetOutput(&writeBehind);
    writeBehind.SetOutput(&sink);
  }
  TMMBlockQueue readAhead{TMMBlockQueueMode::bqReadAhead}, writeBehind{TMMBlockQueueMode::bqWriteBehind};
  TMMEqualizer eq;
  TMMTrigger trigger;
  test::TRecordingSink sink;
  std::atomic<bool> stopped{false};
};

// A source that pauses 1 ms every so many loads (0: never).
struct TPacedSource : test::TPatternSource {
  using TPatternSource::TPatternSource;
  void BufferLoad(PMMWaveHdr h, bool& more) override {
    if (every > 0 && ++loads % every == 0) std::this_thread::sleep_for(1ms);
    TPatternSource::BufferLoad(h, more);
  }
  int every = 0, loads = 0;  // the reader's thread alone
};

// Runs the route to its end while its sink pauses 1 ms every slowSink pushes (0: never).
void RunWithSlowSink(TFileRoute& r, int slowSink) {
  int pushes = 0;  // the writer's thread alone
  r.sink.OnPush = [&](PMMWaveHdr) {
    if (slowSink > 0 && ++pushes % slowSink == 0) std::this_thread::sleep_for(1ms);
  };
  r.trigger.Start();
  EXPECT_TRUE(RunUntil([&] { return r.stopped.load(); }, 30s));
  r.trigger.Close();
}

// The reader, the filter and its helper allocate nothing per block.
TEST_F(Routes, AFileOnThreeThreadsAllocatesNothingPerBlockOnTheFilterThread) {
  const std::int64_t total = (4 << 20) + 4 * 1001;  // the last block partly filled
  test::TPatternSource source(total);
  TFileRoute r(source, true);
  r.sink.OnPush = [](PMMWaveHdr) { tExempt = true; };
  tExempt = true;
  gEveryWorker = true;
  std::atomic<int> watched{0};
  r.eq.OnBufferLoad = [&](TObject*, PMMWaveHdr, bool&) {
    tAudioThread = true;
    if (gWatch.load()) ++watched;
  };
  r.trigger.Start();
  ASSERT_TRUE(RunUntil([&] { return r.sink.Count() >= 2 || r.stopped; }, 10s));
  const int before = gAudioAllocations.load();
  gWatch = true;
  ASSERT_TRUE(RunUntil([&] { return r.stopped.load(); }, 60s));
  gWatch = false;
  gEveryWorker = false;
  EXPECT_EQ(gAudioAllocations.load(), before);
  EXPECT_GT(watched.load(), 40);  // 64 KB pulls
  EXPECT_GT(r.eq.ClippedBuffers(), 40);
  r.trigger.Close();
  EXPECT_EQ(static_cast<std::int64_t>(r.sink.Data().size()), total);
}

// The equalizer filters the blocks the read-ahead queue holds where they are: with
// buffers of a whole block or of a part of one, with and without the helper, and with
// either side the slow one, the sink gets the bytes of one thread's chain, to the last.
TEST_F(Routes, AnEqualizerBehindTheReadAheadQueueGivesTheOneThreadBytes) {
  const std::int64_t total = 9 * 65536 + 4 * 1001;  // the last block partly filled
  auto oneThread = [&](std::int32_t buffer) {
    test::TPatternSource source(total);
    const TWaveFormatEx f = BuildPcmFormat(TMMBits::b16Bit, TMMMode::mStereo, 44100);
    source.SetPWaveFormat(&f);
    TMMEqualizer eq;
    eq.Filters()->Add(new TMMEQFilter(0, 22050, 18));
    eq.SetAligned(true);
    TMMTrigger trigger;
    trigger.SetBufferSize(buffer);
    trigger.SetInterval(0);
    std::atomic<bool> stopped{false};
    trigger.OnStop = [&](TObject*) { stopped = true; };
    test::TRecordingSink sink;
    source.SetOutput(&eq);
    eq.SetOutput(&trigger);
    trigger.SetOutput(&sink);
    trigger.Start();
    EXPECT_TRUE(RunUntil([&] { return stopped.load(); }, 30s));
    trigger.Close();
    return sink.Data();
  };
  struct TCase {
    std::int32_t buffer;
    bool helper;
    int slowSource, slowSink;  // a 1 ms pause every so many calls; 0: none
  };
  const TCase cases[] = {{65536, false, 0, 0}, {65536, true, 0, 2}, {8192, false, 3, 0}, {8192, true, 0, 0}, {4096, false, 0, 5}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.buffer << " bytes, helper " << c.helper << ", source " << c.slowSource
                                    << ", sink " << c.slowSink);
    const auto want = oneThread(c.buffer);
    ASSERT_EQ(static_cast<std::int64_t>(want.size()), total);
    TPacedSource source(total);
    source.every = c.slowSource;
    TFileRoute r(source, true);
    r.eq.SetThreads(c.helper ? 2 : 1);
    r.trigger.SetBufferSize(c.buffer);
    RunWithSlowSink(r, c.slowSink);
    EXPECT_TRUE(r.sink.Data() == want);
    if (HasFailure()) break;
  }
}

// A source that fails midway: what it gave before reaches the sink whole, nothing is
// made up after it, and the failure reaches the application as on one thread.
TEST_F(Routes, AFailureBehindTheReadAheadQueueEndsTheRunAfterWhatCameBefore) {
  struct TFailingSource : test::TPatternSource {
    void BufferLoad(PMMWaveHdr h, bool& more) override {
      if (++loads > 5) throw EMMError("damaged frame");
      TPatternSource::BufferLoad(h, more);
    }
    int loads = 0;  // the reader's thread alone
  } source;
  test::TAppCapture capture;
  TFileRoute r(source, false);
  r.trigger.Start();
  ASSERT_TRUE(RunUntil([&] { return !capture.Exceptions().empty(); }, 10s));
  r.trigger.Close();
  EXPECT_NE(capture.Exceptions()[0].find("damaged frame"), std::string::npos) << capture.Exceptions()[0];
  EXPECT_EQ(r.sink.Data(), test::Pattern(0, 5 * 65536));
}

// Each queue wakes its other side only when that side waits and what it waits for has
// come (a writer once several blocks are there): whichever side is the slow one, and
// however few the blocks, every byte arrives in order and the run ends.
TEST_F(Routes, BothQueuesMoveEveryByteInOrderWhicheverSideIsSlowAndHoweverFewTheBlocks) {
  struct TCase {
    std::int32_t blocks;
    int slowSource, slowSink;  // a 1 ms pause every so many calls; 0: none
  };
  const TCase cases[] = {{2, 0, 0}, {2, 3, 0}, {2, 0, 1}, {3, 1, 2}, {5, 0, 1}, {16, 2, 0}, {16, 0, 3}, {16, 1, 1}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.blocks << " blocks, source " << c.slowSource << ", sink " << c.slowSink);
    const std::int64_t total = 21 * 65536 + 4 * 777;  // the last block partly filled
    TPacedSource source(total);
    source.every = c.slowSource;
    TFileRoute r(source, false);
    r.readAhead.SetNumBlocks(c.blocks);
    r.writeBehind.SetNumBlocks(c.blocks);
    RunWithSlowSink(r, c.slowSink);
    EXPECT_EQ(r.sink.Data(), test::Pattern(0, static_cast<std::size_t>(total)));
    if (HasFailure()) break;
  }
}

}  // namespace
}  // namespace strataeq
