// Cost of one push and one pull through a chain of five passive components.
#include <benchmark/benchmark.h>

#include <array>
#include <vector>

#include "foundation/MMDSPObj.h"

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

}  // namespace
