// Cost of one push and one pull through a chain of five passive components, and of
// the hand-offs of a file route's three threads.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <vector>

#include "drivers/MMBlockQ.h"
#include "drivers/MMTrigg.h"
#include "foundation/MMDSPObj.h"
#include "foundation/MMPCMSup.h"
#include "platform/Messages.h"

namespace {

using namespace strataeq;

// Fills a pulled buffer; the head of the pull chain.
class Source : public TMMDSPComponent {
 public:
  void BufferLoad(PMMWaveHdr h, bool& more) override {
    h->dwBytesRecorded = static_cast<std::int32_t>(h->dwBufferLength);
    more = true;
  }
};

void BM_ChainPushPull(benchmark::State& state) {
  Source head;
  std::array<TMMDSPComponent, 4> rest;
  TMMDSPComponent* prev = &head;
  for (auto& c : rest) {
    prev->SetOutput(&c);
    prev = &c;
  }
  std::vector<char> data(8192);
  TMMWaveHdr h{};
  h.lpData = data.data();
  h.dwBufferLength = static_cast<std::uint32_t>(data.size());
  bool more = false;
  for (auto _ : state) {
    head.BufferReady(&h);
    rest.back().BufferLoad(&h, more);
    benchmark::DoNotOptimize(h.dwBytesRecorded);
  }
}
BENCHMARK(BM_ChainPushPull);

// Gives total bytes, at once.
class Bounded : public TMMDSPComponent {
 public:
  explicit Bounded(std::int64_t total) : left_(total) {}
  void BufferLoad(PMMWaveHdr h, bool& more) override {
    const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(h->dwBufferLength, left_));
    left_ -= n;
    h->dwBytesRecorded = n;
    more = left_ > 0;
  }

 private:
  std::int64_t left_;
};

// 64 MB through read-ahead queue -> trigger -> write-behind queue, as a file route with
// threads runs, with nothing to filter, read or write: what the hand-offs between the
// three threads cost (the trigger's buffer as the route sets it: 64 KB).
void BM_FileRouteHandOffs(benchmark::State& state) {
  constexpr std::int64_t kTotal = 64 << 20;
  const TWaveFormatEx f = BuildPcmFormat(TMMBits::b16Bit, TMMMode::mStereo, 44100);
  for (auto _ : state) {
    Bounded source(kTotal);
    source.SetPWaveFormat(&f);
    TMMBlockQueue readAhead(TMMBlockQueueMode::bqReadAhead), writeBehind(TMMBlockQueueMode::bqWriteBehind);
    TMMTrigger trigger;
    TMMDSPComponent sink;
    trigger.SetBufferSize(static_cast<std::int32_t>(state.range(0)));
    trigger.SetInterval(0);
    std::atomic<bool> stopped{false};
    trigger.OnStop = [&](TObject*) { stopped = true; };
    source.SetOutput(&readAhead);
    readAhead.SetOutput(&trigger);
    trigger.SetOutput(&writeBehind);
    writeBehind.SetOutput(&sink);
    trigger.Start();
    RunUntil([&] { return stopped.load(); }, std::chrono::seconds(60));
    trigger.Close();
  }
  state.SetBytesProcessed(state.iterations() * kTotal);
}
BENCHMARK(BM_FileRouteHandOffs)->Arg(8192)->Arg(65536)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
