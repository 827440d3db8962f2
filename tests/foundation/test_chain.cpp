#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "foundation/MMDSPObj.h"
#include "platform/Messages.h"

#include <atomic>

namespace strataeq {
namespace {

using Log = std::vector<std::string>;

// A passive component that records the lifecycle calls it receives.
class Probe : public TMMDSPComponent {
 public:
  Probe(std::string name, Log* log, TConnectionProps props = {}) : TMMDSPComponent(props), log_(log) {
    SetName(std::move(name));
  }
  void Open() override { Record("Open"); TMMDSPComponent::Open(); }
  void Close() override { Record("Close"); TMMDSPComponent::Close(); }
  void Start() override { Record("Start"); TMMDSPComponent::Start(); }
  void Stop() override { if (Opened()) Record("Stop"); TMMDSPComponent::Stop(); }

 private:
  void Record(const char* op) { if (log_) log_->push_back(Name() + "." + op); }
  Log* log_;
};

class ProbeDriver : public TMMCustomSoundComponent {
 public:
  ProbeDriver(std::string name, Log* log, TConnectionProps props = {}) : TMMCustomSoundComponent(props), log_(log) {
    SetName(std::move(name));
  }
  // The driver's own step comes after the propagation, as a real driver marks itself last.
  void Open() override { TMMCustomSoundComponent::Open(); log_->push_back(Name() + ".Open"); }
  void Close() override { TMMCustomSoundComponent::Close(); log_->push_back(Name() + ".Close"); }
  void Start() override { TMMCustomSoundComponent::Start(); log_->push_back(Name() + ".Start"); }
  void Stop() override {
    const bool was = Opened();
    TMMCustomSoundComponent::Stop();
    if (was) log_->push_back(Name() + ".Stop");
  }

 private:
  Log* log_;
};

TEST(ChainLinks, ConnectingOutputSetsBothSidesAndPropertyNames) {
  Probe a("A", nullptr), b("B", nullptr);
  a.SetOutput(&b);
  EXPECT_EQ(b.Input(), &a);
  EXPECT_EQ(a.Output(), &b);
  EXPECT_EQ(a.OutputPropertyName(), "Input");
  EXPECT_EQ(b.InputPropertyName(), "Output");
}

TEST(ChainLinks, RewiringAnInputTakesItFromItsOldReader) {
  Probe a("A", nullptr), b("B", nullptr), d("D", nullptr);
  a.SetOutput(&b);
  d.SetInput(&a);
  EXPECT_EQ(b.Input(), nullptr);
  EXPECT_EQ(a.Output(), &d);
  EXPECT_EQ(d.Input(), &a);
}

TEST(ChainLinks, SelfLinksCyclesAndUnpublishedSidesAreIgnored) {
  Probe a("A", nullptr), b("B", nullptr), c("C", nullptr);
  a.SetOutput(&b);
  b.SetOutput(&c);
  a.SetInput(&c);  // c is downstream of a
  EXPECT_EQ(a.Input(), nullptr);
  b.SetInput(&c);
  EXPECT_EQ(b.Input(), &a);
  a.SetOutput(&a);
  EXPECT_EQ(a.Output(), &b);

  // A recording device publishes no Input; an encoder no Output.
  Probe waveIn("WaveIn", nullptr, {.Input = false, .Output = true});
  Probe encoder("Encoder", nullptr, {.Input = true, .Output = false});
  Probe x("X", nullptr);
  x.SetOutput(&waveIn);
  EXPECT_EQ(x.Output(), nullptr);
  encoder.SetOutput(&x);  // x's Input would be the encoder, whose class has no "Output"
  EXPECT_EQ(x.Input(), nullptr);
  x.SetInput(&encoder);
  EXPECT_EQ(x.Input(), nullptr);
  x.SetInput(&waveIn);
  EXPECT_EQ(x.Input(), &waveIn);
}

TEST(ChainLinks, DestroyingTheMiddleUnlinksBothNeighbours) {
  Probe a("A", nullptr), c("C", nullptr);
  {
    Probe b("B", nullptr);
    a.SetOutput(&b);
    b.SetOutput(&c);
  }
  EXPECT_EQ(a.Output(), nullptr);
  EXPECT_EQ(c.Input(), nullptr);
}

TEST(ChainFormat, TravelsDownAndLeavesWithTheInput) {
  Probe a("A", nullptr), b("B", nullptr), c("C", nullptr);
  b.SetOutput(&c);
  const TWaveFormatEx f = BuildPcmFormat(16, 2, 44100);
  a.SetPWaveFormat(&f);
  a.SetOutput(&b);
  ASSERT_NE(c.PWaveFormat(), nullptr);
  EXPECT_NE(c.PWaveFormat(), b.PWaveFormat());  // each holds its own copy
  EXPECT_EQ(c.PWaveFormat()->nSamplesPerSec, 44100u);
  const TWaveFormatEx g = BuildPcmFormat(8, 1, 8000);
  a.SetPWaveFormat(&g);
  EXPECT_EQ(c.PWaveFormat()->nSamplesPerSec, 8000u);
  b.SetInput(nullptr);
  EXPECT_EQ(b.PWaveFormat(), nullptr);
  EXPECT_EQ(c.PWaveFormat(), nullptr);
}

TEST(ChainBufferSize, RealSizeIsWholeFramesAtLeastOne) {
  const TWaveFormatEx f = BuildPcmFormat(16, 2, 44100);
  Probe p("P", nullptr);
  p.SetPWaveFormat(&f);
  for (auto [asked, real] : {std::pair{1000, 1000}, {1002, 1000}, {2, 4}}) {
    p.SetBufferSize(asked);
    p.Open();
    EXPECT_EQ(p.BufferSize(), real) << asked;
    p.Close();
    EXPECT_EQ(p.BufferSize(), asked);
  }
  p.Start();
  EXPECT_FALSE(p.Started());  // not opened
}

TEST(ChainLifecycle, DriverOpensItsSegmentThenTheNextDriverAndItselfLast) {
  Log log;
  ProbeDriver waveIn("WaveIn", &log, {.Input = false, .Output = true});
  Probe eq("Eq", &log), ring("Ring", &log);
  ProbeDriver waveOut("WaveOut", &log);
  Probe conn("Conn", &log);
  waveIn.SetOutput(&eq);
  eq.SetOutput(&ring);
  ring.SetOutput(&waveOut);
  waveOut.SetOutput(&conn);
  const TWaveFormatEx f = BuildPcmFormat(16, 2, 44100);
  waveIn.SetPWaveFormat(&f);
  waveIn.SetBufferSize(8190);

  waveIn.Open();
  EXPECT_EQ(log, (Log{"Eq.Open", "Ring.Open", "Conn.Open", "WaveOut.Open", "WaveIn.Open"}));
  EXPECT_TRUE(waveOut.UpstreamDriver());
  EXPECT_FALSE(waveIn.UpstreamDriver());
  // Every component of both segments got the upstream driver's stored size.
  for (TMMDSPComponent* c : {(TMMDSPComponent*)&eq, (TMMDSPComponent*)&ring, (TMMDSPComponent*)&waveOut,
                             (TMMDSPComponent*)&conn, (TMMDSPComponent*)&waveIn})
    EXPECT_EQ(c->BufferSize(), 8188) << c->Name();

  log.clear();
  waveIn.Start();
  EXPECT_EQ(log, (Log{"Eq.Start", "Ring.Start", "Conn.Start", "WaveOut.Start", "WaveIn.Start"}));

  log.clear();
  waveIn.Stop();
  EXPECT_EQ(log, (Log{"Conn.Stop", "WaveOut.Stop", "Eq.Stop", "Ring.Stop", "WaveIn.Stop"}));

  log.clear();
  waveIn.Close();
  EXPECT_EQ(log, (Log{"Conn.Close", "WaveOut.Close", "Eq.Close", "Ring.Close", "WaveIn.Close"}));
  EXPECT_EQ(waveOut.BufferSize(), 8190);
}

TEST(ChainLifecycle, DriverInTheMiddleStartsItsWalkAtThePassiveHead) {
  Log log;
  Probe source("Source", &log), eq("Eq", &log), sink("Sink", &log);
  ProbeDriver trigger("Trigger", &log);
  source.SetOutput(&eq);
  eq.SetOutput(&trigger);
  trigger.SetOutput(&sink);
  const TWaveFormatEx f = BuildPcmFormat(16, 2, 44100);
  source.SetPWaveFormat(&f);
  trigger.SetBufferSize(8192);

  trigger.Open();
  EXPECT_EQ(log, (Log{"Source.Open", "Eq.Open", "Sink.Open", "Trigger.Open"}));
  EXPECT_FALSE(trigger.UpstreamDriver());
  EXPECT_EQ(source.BufferSize(), 8192);
  log.clear();
  trigger.Close();
  EXPECT_EQ(log, (Log{"Source.Close", "Eq.Close", "Sink.Close", "Trigger.Close"}));
}

TEST(ChainLifecycle, ConnectingStopsAStartedComponent) {
  Probe a("A", nullptr), b("B", nullptr);
  a.Open();
  a.Start();
  ASSERT_TRUE(a.Started());
  a.SetOutput(&b);
  EXPECT_FALSE(a.Started());
  EXPECT_TRUE(a.Opened());
}

TEST(ChainBuffers, PushRunsDownstreamAndPullAsksUpstream) {
  Probe a("A", nullptr), b("B", nullptr), c("C", nullptr);
  a.SetOutput(&b);
  b.SetOutput(&c);
  std::vector<std::string> seen;
  a.OnBufferReady = [&](TObject* s, PMMWaveHdr) { seen.push_back(static_cast<TComponent*>(s)->Name()); };
  c.OnBufferReady = [&](TObject* s, PMMWaveHdr) { seen.push_back(static_cast<TComponent*>(s)->Name()); };
  TMMWaveHdr h{};
  a.BufferReady(&h);
  EXPECT_EQ(seen, (std::vector<std::string>{"A", "C"}));

  a.OnBufferLoad = [](TObject*, PMMWaveHdr r, bool& more) {
    r->dwBytesRecorded = 12;
    more = true;
  };
  bool more = false;
  c.BufferLoad(&h, more);
  EXPECT_EQ(h.dwBytesRecorded, 12);
  EXPECT_TRUE(more);
}

}  // namespace
}  // namespace strataeq

namespace strataeq {
namespace {

class SyncThread : public TMMDSPThread {
 public:
  using TMMDSPThread::TMMDSPThread;
  std::atomic<bool> ranOnMain{false};
  std::atomic<bool> done{false};

 protected:
  void Execute() override {
    SynchronizedCall([this] { ranOnMain = IsMainThread(); });
    done = true;
  }
};

TEST(SynchronizedCall, WorkerOfTheThreadListRunsTheMethodOnTheMainThread) {
  TMMDSPComponent owner;
  SyncThread t(&owner);
  t.Resume();
  ASSERT_TRUE(RunUntil([&] { return t.done.load(); }, std::chrono::seconds(10)));
  EXPECT_TRUE(t.WaitFor());
  EXPECT_TRUE(t.ranOnMain);

  bool direct = false;
  SynchronizedCall([&] { direct = IsMainThread(); });  // on the main thread: a direct call
  EXPECT_TRUE(direct);
}

}  // namespace
}  // namespace strataeq
