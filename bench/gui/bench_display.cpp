// The displays: one analyser frame (analysis and drawing at 322 x 100, on screen),
// one oscilloscope frame, one 25 ms pass of the window's three displays, the connector's
// capture of a buffer, and the GUI thread's CPU share while a live stream feeds the
// window's three displays.
//   strataeq_gui_bench --benchmark_filter=Display
//   STRATAEQ_SHARE_SECONDS=30 strataeq_gui_bench --benchmark_filter=GuiThreadShare
// The share is the GUI thread's own CPU time over the wall time; process_cpu_percent
// adds every other thread.
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <QWidget>
#include <benchmark/benchmark.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "display/MMConect.h"
#include "display/MMOscope.h"
#include "display/MMSpectr.h"
#include "platform/qt/QtMessageLoop.h"

namespace strataeq {
namespace {

std::vector<std::int16_t> Tones(int frames) {
  std::vector<std::int16_t> s(2 * frames);
  for (int i = 0; i < frames; ++i)
    s[2 * i] = s[2 * i + 1] = static_cast<std::int16_t>(12000 * std::sin(i * 0.05) + 4000 * std::sin(i * 0.9) + (i * 7919 % 200));
  return s;
}

// The window's analyser settings.
void WindowAnalyser(TMMSpectrum& s, TMMChannel channel) {
  s.resize(322, 100);
  const TWaveFormatEx f = BuildPcmFormat(TMMBits::b16Bit, TMMMode::mStereo, 44100);
  s.SetDataFormat(&f);
  s.Analysis().SetChannel(channel);
  s.Analysis().SetGain(TMMSpectrumGain::sg9db);
  s.Analysis().SetLogAmp(true);
  s.SetWindow(TMMFFTWindow::fwRectangular);
  s.Analysis().SetDecayMode(TMMDecayMode::dmStepUp);
  s.Analysis().SetDecay(7);
  s.SetDrawInactive(false);
  s.SetBar1Color(clLime);
  s.SetBar2Color(clYellow);
  s.SetInactive1Color(clGreen);
  s.SetInactive2Color(clSilver);
}

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

void BM_DisplaySpectrumFrame(benchmark::State& state) {
  TMMSpectrum s;
  WindowAnalyser(s, TMMChannel::chLeft);
  s.SetFFTLength(static_cast<int>(state.range(0)));
  s.show();
  const auto data = Tones(4096);
  for (auto _ : state) {
    s.ProcessFrame(data.data());
    benchmark::DoNotOptimize(s.FrameImage().constBits());  // composes the frame
  }
  state.SetLabel("analysis + drawing, 322x100, N=" + std::to_string(state.range(0)));
}
BENCHMARK(BM_DisplaySpectrumFrame)->Arg(128)->Arg(4096)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);

void BM_DisplaySpectrumAnalysisOnly(benchmark::State& state) {
  TMMSpectrumAnalysis a;
  a.SetBitLength(TMMBits::b16Bit);
  a.SetMode(TMMMode::mStereo);
  a.SetSampleRate(44100);
  a.SetLogAmp(true);
  a.SetGain(TMMSpectrumGain::sg9db);
  a.SetDecayMode(TMMDecayMode::dmStepUp);
  a.SetFFTLength(static_cast<int>(state.range(0)));
  a.SetArea(320, 98);
  const auto data = Tones(4096);
  for (auto _ : state) a.ProcessFrame(data.data());
}
BENCHMARK(BM_DisplaySpectrumAnalysisOnly)->Arg(128)->Arg(4096)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);

void BM_DisplayOscopeFrame(benchmark::State& state) {
  TMMOscope o;
  o.resize(130, 47);
  o.SetForegroundColor(clLime);
  const TWaveFormatEx f = BuildPcmFormat(TMMBits::b16Bit, TMMMode::mStereo, 44100);
  o.SetDataFormat(&f);
  o.show();
  const auto data = Tones(128);
  for (auto _ : state) {
    o.ProcessFrame(data.data());
    benchmark::DoNotOptimize(o.FrameImage().constBits());
  }
  state.SetLabel("130x47, trace + drawing");
}
BENCHMARK(BM_DisplayOscopeFrame)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);

// One screen refresh of the live window at FFT 256: the frames of 25 ms of a tone (500 Hz
// left, 3000 Hz right, as bench/window.sh plays), 4 or 5 to each analyser and 8 or 9 to
// the oscilloscope, then the paint that shows them. The pass waits out the refresh
// before it runs, as the pump does, so the paint is not put off; the CPU time counts
// the work alone. A steadier figure than the window's CPU share on a shared machine.
void BM_DisplayWindowPass(benchmark::State& state) {
  QWidget window;
  window.resize(663, 278);
  auto* left = new TMMSpectrum(&window);
  auto* right = new TMMSpectrum(&window);
  auto* scope = new TMMOscope(&window);
  WindowAnalyser(*left, TMMChannel::chLeft);
  WindowAnalyser(*right, TMMChannel::chRight);
  for (TMMSpectrum* s : {left, right}) {
    s->SetFFTLength(256);
    s->SetBar1Color(clAqua), s->SetBar2Color(clAqua), s->SetBar3Color(clRed);
    s->SetInactive1Color(clTeal), s->SetInactive2Color(clTeal);
  }
  left->move(6, 170);
  right->move(335, 170);
  scope->setGeometry(69, 89, 130, 47);
  scope->SetForegroundColor(clLime);
  const TWaveFormatEx f = BuildPcmFormat(TMMBits::b16Bit, TMMMode::mStereo, 44100);
  scope->SetDataFormat(&f);
  window.show();
  QCoreApplication::processEvents();

  constexpr int kSamples = 44100 * 4;  // four seconds, looped
  std::vector<std::int16_t> tone(2 * kSamples + 2 * 4096);
  for (std::size_t i = 0; i < tone.size() / 2; ++i) {
    tone[2 * i] = static_cast<std::int16_t>(std::lround(9830 * std::sin(2 * 3.14159265358979 * 500 * i / 44100)));
    tone[2 * i + 1] = static_cast<std::int16_t>(std::lround(9830 * std::sin(2 * 3.14159265358979 * 3000 * i / 44100)));
  }
  std::int64_t played = 0;  // sample frames
  std::int64_t spectrumAt = 0, scopeAt = 0;
  const std::int32_t scopeFrame = scope->FrameSize() / 4;
  auto next = std::chrono::steady_clock::now();
  for (auto _ : state) {
    state.PauseTiming();
    next += std::chrono::milliseconds(TMMDIBGraphicControl::kScreenInterval);
    std::this_thread::sleep_until(next);
    state.ResumeTiming();
    played += 44100 / 40;
    for (; spectrumAt + 256 <= played; spectrumAt += 256)
      for (TMMSpectrum* s : {left, right}) s->ProcessFrame(tone.data() + 2 * (spectrumAt % kSamples));
    for (; scopeAt + scopeFrame <= played; scopeAt += scopeFrame) scope->ProcessFrame(tone.data() + 2 * (scopeAt % kSamples));
    QCoreApplication::sendPostedEvents();  // the update requests: the paint and flush
  }
  state.SetLabel("2 analysers + oscilloscope, frames and paint of 25 ms");
}
BENCHMARK(BM_DisplayWindowPass)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond)->Iterations(400);

class TBenchSource : public TMMDSPComponent {};

// Counts the analyser frames the connector hands out.
class TFrameCounter : public TMMConnectorDisplay {
 public:
  std::int32_t FrameSize() const override { return 512; }
  void SetDataFormat(const TWaveFormatEx*) override {}
  void ProcessFrame(const void*) override { ++frames; }
  void ResetDisplay() override {}
  int frames = 0;
};

void BM_DisplayConnectorCapture(benchmark::State& state) {
  TBenchSource source;
  const TWaveFormatEx f = BuildPcmFormat(TMMBits::b16Bit, TMMMode::mStereo, 44100);
  source.SetPWaveFormat(&f);
  TMMConnector c;
  c.SetBufferSize(8192);
  source.SetOutput(&c);
  TMMSpectrum s;  // assigned, so that the capture marks a kind
  c.SetSpectrum1(&s);
  c.SetAutoTrigger(false);
  c.Open();
  c.Start();
  ProcessPendingMessages();
  TWaveHdrBlock h = AllocWaveHeader(8192);
  h->dwBufferLength = h->dwBytesRecorded = 8192;
  for (auto _ : state) c.BufferReady(h.get());
  state.SetBytesProcessed(state.iterations() * 8192);
  c.Stop();
  c.Close();
}
BENCHMARK(BM_DisplayConnectorCapture)->Unit(benchmark::kMicrosecond);

// The GUI thread under the Qt loop while a paced 44.1 kHz 16-bit stereo stream
// (4096-byte buffers every 23.2 ms) feeds two analysers and an oscilloscope.
void BM_GuiThreadShare(benchmark::State& state) {
  const int seconds = qEnvironmentVariableIsSet("STRATAEQ_SHARE_SECONDS")
                          ? qEnvironmentVariableIntValue("STRATAEQ_SHARE_SECONDS")
                          : 30;
  TQtMessageLoop loop;
  QWidget window;
  window.resize(663, 278);
  auto* left = new TMMSpectrum(&window);
  auto* right = new TMMSpectrum(&window);
  auto* scope = new TMMOscope(&window);
  WindowAnalyser(*left, TMMChannel::chLeft);
  WindowAnalyser(*right, TMMChannel::chRight);
  right->move(335, 170);
  scope->resize(130, 47);
  scope->SetForegroundColor(clLime);
  window.show();

  TBenchSource source;
  const TWaveFormatEx f = BuildPcmFormat(TMMBits::b16Bit, TMMMode::mStereo, 44100);
  source.SetPWaveFormat(&f);
  TMMConnector c;
  c.SetBufferSize(4096);
  source.SetOutput(&c);
  TMMConnector::SetEnterIdle(true);
  c.SetSpectrum1(left);
  c.SetSpectrum2(right);
  c.SetOscope1(scope);
  TFrameCounter counter;
  c.SetSpectrum3(&counter);
  c.Open();
  c.Start();

  const auto data = Tones(1024 * 64);
  for (auto _ : state) {
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
      TWaveHdrBlock h = AllocWaveHeader(4096);
      h->dwBufferLength = h->dwBytesRecorded = 4096;
      auto next = std::chrono::steady_clock::now();
      std::size_t offset = 0;
      while (!stop) {
        std::memcpy(h->lpData, data.data() + offset, 4096);
        offset = (offset + 2048) % (data.size() - 2048);
        c.BufferReady(h.get());
        next += std::chrono::microseconds(4096LL * 1000000 / 176400);
        std::this_thread::sleep_until(next);
      }
    });
    const double cpu0 = ThreadCpuSeconds();
    timespec p0{}, p1{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &p0);
    const auto wall0 = std::chrono::steady_clock::now();
    QEventLoop events;
    QTimer::singleShot(seconds * 1000, &events, &QEventLoop::quit);
    events.exec();
    const double cpu = ThreadCpuSeconds() - cpu0;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &p1);
    const double process = (p1.tv_sec - p0.tv_sec) + (p1.tv_nsec - p0.tv_nsec) * 1e-9;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    stop = true;
    feeder.join();
    state.counters["gui_cpu_percent"] = 100.0 * cpu / wall;
    state.counters["gui_cpu_ms"] = cpu * 1000;
    // Every thread: the feeder, the connector's waker, Qt's image conversion threads.
    state.counters["process_cpu_percent"] = 100.0 * process / wall;
    state.counters["frames_per_s"] = counter.frames / wall;  // 344.5 per second are played
    state.counters["pump_cycles_per_s"] = static_cast<double>(TMMConnector::PumpCycles()) / wall;
  }
  c.Stop();
  c.Close();
}
BENCHMARK(BM_GuiThreadShare)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace strataeq
