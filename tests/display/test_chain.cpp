// The displays behind a playback device on the virtual backend, the connector under an
// audio thread that captures while the main thread reconfigures, and the Qt loop
// draining the platform queue.
#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <thread>

#include "display/MMConect.h"
#include "display/MMOscope.h"
#include "display/MMSpectr.h"
#include "drivers/MMWavOut.h"
#include "platform/qt/QtMessageLoop.h"
#include "platform/WaveApiVirtual.h"

namespace strataeq {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr auto kWait = std::chrono::seconds(20);

// An endless 16-bit stereo tone, continuous across buffers.
class TToneSource : public TMMDSPComponent {
 public:
  TToneSource(double frequency, double amplitude) : frequency_(frequency), amplitude_(amplitude) {}
  void BufferLoad(PMMWaveHdr h, bool& more) override {
    auto* s = reinterpret_cast<std::int16_t*>(h->lpData);
    const int frames = static_cast<int>(h->dwBufferLength / 4);
    for (int i = 0; i < frames; ++i, ++n_)
      s[2 * i] = s[2 * i + 1] = static_cast<std::int16_t>(std::lround(amplitude_ * std::sin(2 * kPi * frequency_ * n_ / 44100)));
    h->dwBytesRecorded = frames * 4;
    more = true;
  }

 private:
  double frequency_, amplitude_;
  std::int64_t n_ = 0;
};

TEST(DisplayChain, ATonePlayedReachesTheAnalyserAndTheOscilloscope) {
  auto audio = TVirtualAudio::Install(1, 1);
  const int bin = 20;  // 6890.625 Hz on 128 points
  TToneSource tone(bin * 44100.0 / 128, 16000);
  const TWaveFormatEx f = BuildPcmFormat(TMMBits::b16Bit, TMMMode::mStereo, 44100);
  tone.SetPWaveFormat(&f);
  TMMConnector connector;
  TMMSpectrum spectrum;
  spectrum.resize(322, 100);
  spectrum.Analysis().SetLogAmp(true);
  spectrum.SetWindow(TMMFFTWindow::fwRectangular);
  spectrum.show();
  TMMOscope scope;
  scope.resize(130, 47);
  scope.show();
  connector.SetSpectrum1(&spectrum);
  connector.SetOscope1(&scope);
  int frames = 0;
  connector.OnTrigger = [&](TObject*) { ++frames; };
  {
    auto out = std::make_unique<TMMWaveOut>();
    out->SetBufferSize(4096);
    out->SetNumBuffers(4);
    out->SetInput(&tone);
    out->SetOutput(&connector);
    out->Start();
    ASSERT_TRUE(connector.IsStarted());
    EXPECT_EQ(spectrum.Analysis().SampleRate(), 44100) << "the device's format reached the displays";
    ASSERT_TRUE(RunUntil(
        [&] {
          audio->Step(TWaveDir::Output, 0, 1);
          return frames >= 40 && spectrum.Analysis().HighestLevel() > 0;
        },
        kWait));
    EXPECT_EQ(spectrum.Analysis().HighestBin(), bin);
    const int column = spectrum.Analysis().HighestColumn();
    EXPECT_EQ(spectrum.Analysis().FirstBin(column), bin) << "the highest bar sits at the tone's column";
    std::int16_t top = 0;
    for (int i = 0; i < scope.Columns(); ++i) top = std::max(top, scope.Trace()[i]);
    EXPECT_NEAR(top, 16000, 1600) << "the oscilloscope sees the tone";
    out->Stop();
    ASSERT_TRUE(RunUntil([&] { return !out->HasState(TMMWaveOutState::wosStarted); }, kWait));
    out->Close();
  }
  EXPECT_FALSE(connector.IsStarted());
  EXPECT_EQ(spectrum.Analysis().HighestLevel(), 0) << "RefreshOnStop cleared the analyser";
  SetWaveBackend(nullptr);
}

// The audio thread keeps capturing while the main thread distributes, starts, stops,
// disables and destroys displays. ThreadSanitizer watches this one.
TEST(DisplayChain, CaptureRacesNothingTheMainThreadDoes) {
  class TSource : public TMMDSPComponent {} source;
  const TWaveFormatEx f = BuildPcmFormat(TMMBits::b16Bit, TMMMode::mStereo, 44100);
  source.SetPWaveFormat(&f);
  TMMConnector connector;
  connector.SetBufferSize(2048);
  source.SetOutput(&connector);
  connector.SetSynchronize(false);
  TWaveHdrBlock buffer = AllocWaveHeader(2048);
  buffer->dwBufferLength = 2048;
  buffer->dwBytesRecorded = 2048;
  auto* s = reinterpret_cast<std::int16_t*>(buffer->lpData);
  for (int i = 0; i < 1024; ++i) s[i] = static_cast<std::int16_t>(10000 * std::sin(i * 0.3));

  std::atomic<bool> stop{false};
  std::atomic<int> captures{0};
  std::thread audio([&] {
    while (!stop) {
      connector.BufferReady(buffer.get());
      ++captures;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  int delivered = 0;
  for (int round = 0; round < 20; ++round) {
    auto spectrum = std::make_unique<TMMSpectrum>();
    auto scope = std::make_unique<TMMOscope>();
    spectrum->resize(100, 60);
    spectrum->show();
    scope->resize(100, 40);
    scope->show();
    connector.SetSpectrum1(spectrum.get());
    connector.SetOscope1(scope.get());
    connector.OnTrigger = [&](TObject*) { ++delivered; };
    connector.Open();
    connector.Start();
    const int before = captures;
    RunUntil([&] { return captures > before + 10; }, kWait);
    connector.SetEnabled(false);
    connector.SetEnabled(true);
    RunUntil([&] { return captures > before + 20; }, kWait);
    if (round % 2 == 0) spectrum.reset();  // destroyed while attached and running
    connector.Stop();
    connector.Close();
  }
  stop = true;
  audio.join();
  EXPECT_GT(delivered, 0);
  EXPECT_EQ(connector.Spectrum1(), nullptr) << "a destroyed analyser leaves its slot";
}

}  // namespace
}  // namespace strataeq

namespace strataeq {
namespace {

// The Qt loop drains the platform's queue: a message posted from a worker is handled
// on the GUI thread without anyone calling ProcessPendingMessages.
TEST(QtMessageLoop, TheQtLoopHandlesMessagesPostedFromAnotherThread) {
  TQtMessageLoop adaptor;
  QEventLoop events;
  std::thread::id handledOn;
  int handled = 0;
  TNotifyWindow window([&](TMessage& m) {
    handled += static_cast<int>(m.WParam);
    handledOn = std::this_thread::get_id();
    if (handled == 3) events.quit();
  });
  std::thread worker([&] {
    PostMessage(window.Handle(), 1234, 1);
    PostMessage(window.Handle(), 1234, 2);
  });
  QTimer::singleShot(20000, &events, &QEventLoop::quit);  // a guard, not a measurement
  events.exec();
  worker.join();
  EXPECT_EQ(handled, 3);
  EXPECT_EQ(handledOn, std::this_thread::get_id());
}

}  // namespace
}  // namespace strataeq
