#include "platform/WaveApi.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/MMPCMSup.h"
#include "platform/Threads.h"
#include "platform/WaveApiVirtual.h"

namespace strataeq {
namespace {

using namespace std::chrono_literals;

TWaveFormatEx Pcm(int bits, int channels, std::uint32_t rate) {
  TWaveFormatEx f{};
  f.wFormatTag = WAVE_FORMAT_PCM;
  f.nChannels = static_cast<std::uint16_t>(channels);
  f.nSamplesPerSec = rate;
  f.wBitsPerSample = static_cast<std::uint16_t>(bits);
  f.nBlockAlign = static_cast<std::uint16_t>(bits * channels / 8);
  f.nAvgBytesPerSec = f.nBlockAlign * rate;
  return f;
}

// A buffer record with its data area, as the drivers allocate them.
struct Buffer {
  explicit Buffer(std::uint32_t size) : data(size) {
    hdr = TMMWaveHdr{};
    hdr.lpData = data.data();
    hdr.dwBufferLength = size;
  }
  TMMWaveHdr hdr;
  std::vector<char> data;
};

struct Report {
  std::uintptr_t handle;
  std::uint32_t msg;
  std::uintptr_t param;
  std::thread::id thread;
};

// Records every device report.
class Reports {
 public:
  static void Callback(std::uintptr_t h, std::uint32_t msg, std::uintptr_t instance, std::uintptr_t p1,
                       std::uintptr_t) {
    auto* self = reinterpret_cast<Reports*>(instance);
    {
      std::lock_guard lock(self->mutex_);
      self->list_.push_back({h, msg, p1, std::this_thread::get_id()});
    }
    self->changed_.notify_all();
  }
  std::uintptr_t Instance() { return reinterpret_cast<std::uintptr_t>(this); }
  std::vector<Report> All() {
    std::lock_guard lock(mutex_);
    return list_;
  }
  std::vector<TMMWaveHdr*> Buffers(std::uint32_t msg) {
    std::vector<TMMWaveHdr*> out;
    for (const Report& r : All())
      if (r.msg == msg) out.push_back(reinterpret_cast<TMMWaveHdr*>(r.param));
    return out;
  }
  int Count(std::uint32_t msg) {
    int n = 0;
    for (const Report& r : All()) n += r.msg == msg;
    return n;
  }
  bool WaitCount(std::uint32_t msg, int n, std::chrono::milliseconds timeout = 10s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
      int c = 0;
      for (const Report& r : list_) c += r.msg == msg;
      return c >= n;
    });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Report> list_;
};

class VirtualWaveApi : public ::testing::Test {
 protected:
  void SetUp() override { audio_ = TVirtualAudio::Install(2, 3); }
  void TearDown() override { SetWaveBackend(nullptr); }
  std::shared_ptr<TVirtualAudio> audio_;
};

TEST_F(VirtualWaveApi, EnumeratesDevicesWithNamesAndTheMapperIsDeviceZero) {
  EXPECT_EQ(waveInGetNumDevs(), 2u);
  EXPECT_EQ(waveOutGetNumDevs(), 3u);
  TWaveInCaps in;
  ASSERT_EQ(waveInGetDevCaps(1, &in), MMSYSERR_NOERROR);
  EXPECT_EQ(in.szPname, "Virtual input 1");
  EXPECT_EQ(in.dwFormats, WAVE_FORMAT_ALL_STANDARD);
  TWaveOutCaps out;
  ASSERT_EQ(waveOutGetDevCaps(WAVE_MAPPER, &out), MMSYSERR_NOERROR);
  EXPECT_EQ(out.szPname, "Virtual output 0");
  EXPECT_EQ(waveOutGetDevCaps(3, &out), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(waveInGetDevCaps(-2, &in), MMSYSERR_BADDEVICEID);
}

TEST_F(VirtualWaveApi, ErrorTextsCoverTheCodesAndRefuseUnknownOnes) {
  char text[255];
  ASSERT_EQ(waveInGetErrorText(MMSYSERR_ALLOCATED, text, sizeof text), MMSYSERR_NOERROR);
  EXPECT_STREQ(text, "The device is already in use by another application");
  ASSERT_EQ(waveOutGetErrorText(WAVERR_DEVICELOST, text, sizeof text), MMSYSERR_NOERROR);
  EXPECT_STREQ(text, "The device was removed or stopped working");
  char small[8];
  ASSERT_EQ(waveOutGetErrorText(WAVERR_BADFORMAT, small, sizeof small), MMSYSERR_NOERROR);
  EXPECT_EQ(std::string(small).size(), 7u);
  EXPECT_EQ(waveInGetErrorText(4711, text, sizeof text), MMSYSERR_BADERRNUM);
}

TEST_F(VirtualWaveApi, OpenReportsBeforeReturningAndHonoursBusyRefusedAndLostDevices) {
  const TWaveFormatEx f = Pcm(16, 2, 44100);
  Reports reports;
  HWAVEIN h = 0;
  ASSERT_EQ(waveInOpen(&h, 0, &f, &Reports::Callback, reports.Instance(), CALLBACK_FUNCTION), MMSYSERR_NOERROR);
  ASSERT_EQ(reports.Count(MM_WIM_OPEN), 1);
  EXPECT_EQ(reports.All()[0].handle, h);
  // One client at a time per device; the query also says so.
  HWAVEIN second = 0;
  EXPECT_EQ(waveInOpen(&second, 0, &f, nullptr, 0, CALLBACK_NULL), MMSYSERR_ALLOCATED);
  EXPECT_EQ(second, 0u);
  EXPECT_EQ(waveInOpen(nullptr, 0, &f, nullptr, 0, WAVE_FORMAT_QUERY), MMSYSERR_ALLOCATED);
  ASSERT_EQ(waveInClose(h), MMSYSERR_NOERROR);
  EXPECT_EQ(reports.Count(MM_WIM_CLOSE), 1);
  EXPECT_EQ(waveInClose(h), MMSYSERR_INVALHANDLE);

  EXPECT_EQ(waveInOpen(nullptr, 1, &f, nullptr, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
  const TWaveFormatEx f24 = Pcm(24, 2, 44100);
  EXPECT_EQ(waveInOpen(nullptr, 1, &f24, nullptr, 0, WAVE_FORMAT_QUERY), WAVERR_BADFORMAT);
  audio_->SetRefuseFormats(TWaveDir::Input, 1, true);
  EXPECT_EQ(waveInOpen(nullptr, 1, &f, nullptr, 0, WAVE_FORMAT_QUERY), WAVERR_BADFORMAT);
  audio_->SetBusy(TWaveDir::Output, 2, true);
  HWAVEOUT o = 0;
  EXPECT_EQ(waveOutOpen(&o, 2, &f, nullptr, 0, CALLBACK_NULL), MMSYSERR_ALLOCATED);
  audio_->LoseDevice(TWaveDir::Output, 1);
  EXPECT_EQ(waveOutOpen(&o, 1, &f, nullptr, 0, CALLBACK_NULL), MMSYSERR_NODRIVER);
  audio_->RestoreDevice(TWaveDir::Output, 1);
  ASSERT_EQ(waveOutOpen(&o, 1, &f, nullptr, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutClose(o), MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutOpen(&o, 7, &f, nullptr, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
}

TEST_F(VirtualWaveApi, InputReturnsBuffersInOrderWithFedBytesThenSilenceAndResetReturnsTheRest) {
  const TWaveFormatEx f = Pcm(8, 1, 8000);
  Reports reports;
  HWAVEIN h = 0;
  ASSERT_EQ(waveInOpen(&h, 0, &f, &Reports::Callback, reports.Instance(), CALLBACK_FUNCTION), MMSYSERR_NOERROR);
  std::vector<std::unique_ptr<Buffer>> bufs;
  for (int i = 0; i < 4; ++i) {
    bufs.push_back(std::make_unique<Buffer>(100));
    EXPECT_EQ(waveInAddBuffer(h, &bufs.back()->hdr), WAVERR_UNPREPARED);
    ASSERT_EQ(waveInPrepareHeader(h, &bufs.back()->hdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInAddBuffer(h, &bufs.back()->hdr), MMSYSERR_NOERROR);
  }
  EXPECT_EQ(waveInAddBuffer(h, &bufs[0]->hdr), WAVERR_STILLPLAYING);
  EXPECT_EQ(waveInUnprepareHeader(h, &bufs[0]->hdr), WAVERR_STILLPLAYING);
  std::vector<char> fed(150);
  for (std::size_t i = 0; i < fed.size(); ++i) fed[i] = static_cast<char>(i);
  audio_->FeedInput(0, fed.data(), fed.size());

  EXPECT_EQ(audio_->Step(TWaveDir::Input, 0, 1), 0) << "nothing is recorded before start";
  ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
  ASSERT_EQ(audio_->Step(TWaveDir::Input, 0, 2), 2);
  const auto data = reports.Buffers(MM_WIM_DATA);
  ASSERT_EQ(data.size(), 2u);
  EXPECT_EQ(data[0], &bufs[0]->hdr);
  EXPECT_EQ(data[1], &bufs[1]->hdr);
  EXPECT_EQ(bufs[0]->hdr.dwBytesRecorded, 100);
  EXPECT_TRUE(WaveHdrFlags(&bufs[0]->hdr) & WHDR_DONE);
  EXPECT_FALSE(WaveHdrFlags(&bufs[0]->hdr) & WHDR_INQUEUE);
  EXPECT_EQ(bufs[0]->data[99], 99);
  EXPECT_EQ(bufs[1]->data[49], static_cast<char>(149));
  EXPECT_EQ(static_cast<unsigned char>(bufs[1]->data[50]), 128u) << "8-bit silence after the fed bytes";
  TMMTime t;
  ASSERT_EQ(waveInGetPosition(h, &t), MMSYSERR_NOERROR);
  EXPECT_EQ(t.wType, TIME_SAMPLES);
  EXPECT_EQ(t.value, 200u);

  // Stop keeps the empty buffers queued; reset returns all of them, still in order.
  ASSERT_EQ(waveInStop(h), MMSYSERR_NOERROR);
  EXPECT_EQ(audio_->Step(TWaveDir::Input, 0, 1), 0);
  EXPECT_EQ(audio_->QueuedBuffers(TWaveDir::Input, 0), 2);
  EXPECT_EQ(waveInClose(h), WAVERR_STILLPLAYING);
  ASSERT_EQ(waveInReset(h), MMSYSERR_NOERROR);
  const auto all = reports.Buffers(MM_WIM_DATA);
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[2], &bufs[2]->hdr);
  EXPECT_EQ(all[3], &bufs[3]->hdr);
  EXPECT_EQ(bufs[3]->hdr.dwBytesRecorded, 0);
  for (auto& b : bufs) EXPECT_EQ(waveInUnprepareHeader(h, &b->hdr), MMSYSERR_NOERROR);
  EXPECT_EQ(waveInClose(h), MMSYSERR_NOERROR);
}

TEST_F(VirtualWaveApi, OutputLoopsBackIntoTheInputOfTheSameNumberAndPauseKeepsBuffersQueued) {
  const TWaveFormatEx f = Pcm(16, 2, 44100);
  Reports inReports, outReports;
  HWAVEIN hi = 0;
  HWAVEOUT ho = 0;
  ASSERT_EQ(waveInOpen(&hi, 1, &f, &Reports::Callback, inReports.Instance(), CALLBACK_FUNCTION), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutOpen(&ho, 1, &f, &Reports::Callback, outReports.Instance(), CALLBACK_FUNCTION), MMSYSERR_NOERROR);
  ASSERT_EQ(waveInStart(hi), MMSYSERR_NOERROR);
  Buffer out(64), in(64);
  for (int i = 0; i < 64; ++i) out.data[static_cast<std::size_t>(i)] = static_cast<char>(i + 1);
  ASSERT_EQ(waveOutPrepareHeader(ho, &out.hdr), MMSYSERR_NOERROR);
  ASSERT_EQ(waveInPrepareHeader(hi, &in.hdr), MMSYSERR_NOERROR);
  ASSERT_EQ(waveInAddBuffer(hi, &in.hdr), MMSYSERR_NOERROR);

  ASSERT_EQ(waveOutPause(ho), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutWrite(ho, &out.hdr), MMSYSERR_NOERROR);
  EXPECT_EQ(audio_->Step(TWaveDir::Output, 1, 1), 0);
  EXPECT_EQ(audio_->QueuedBuffers(TWaveDir::Output, 1), 1);
  ASSERT_EQ(waveOutRestart(ho), MMSYSERR_NOERROR);
  ASSERT_EQ(audio_->Step(TWaveDir::Output, 1, 1), 1);
  EXPECT_EQ(outReports.Count(MM_WOM_DONE), 1);
  TMMTime t;
  ASSERT_EQ(waveOutGetPosition(ho, &t), MMSYSERR_NOERROR);
  EXPECT_EQ(t.value, 16u);
  t.wType = TIME_BYTES;
  ASSERT_EQ(waveOutGetPosition(ho, &t), MMSYSERR_NOERROR);
  EXPECT_EQ(t.wType, TIME_BYTES);
  EXPECT_EQ(t.value, 64u);
  EXPECT_EQ(audio_->Played(1).size(), 64u);

  ASSERT_EQ(audio_->Step(TWaveDir::Input, 1, 1), 1);
  EXPECT_EQ(std::vector<char>(in.data.begin(), in.data.end()), std::vector<char>(out.data.begin(), out.data.end()));

  ASSERT_EQ(waveOutReset(ho), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutGetPosition(ho, &t), MMSYSERR_NOERROR);
  EXPECT_EQ(t.value, 0u) << "reset sets the position back";
  EXPECT_EQ(waveOutUnprepareHeader(ho, &out.hdr), MMSYSERR_NOERROR);
  EXPECT_EQ(waveInUnprepareHeader(hi, &in.hdr), MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutClose(ho), MMSYSERR_NOERROR);
  EXPECT_EQ(waveInClose(hi), MMSYSERR_NOERROR);
}

TEST_F(VirtualWaveApi, PositionCounterWrapsAtTheChosenModulus) {
  audio_->SetPositionWrap(1u << 20);
  const TWaveFormatEx f = Pcm(8, 1, 8000);
  HWAVEOUT h = 0;
  ASSERT_EQ(waveOutOpen(&h, 0, &f, nullptr, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  Buffer b(1u << 18);
  ASSERT_EQ(waveOutPrepareHeader(h, &b.hdr), MMSYSERR_NOERROR);
  std::vector<std::uint32_t> positions;
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(waveOutWrite(h, &b.hdr), MMSYSERR_NOERROR);
    ASSERT_EQ(audio_->Step(TWaveDir::Output, 0, 1), 1);
    TMMTime t;
    ASSERT_EQ(waveOutGetPosition(h, &t), MMSYSERR_NOERROR);
    positions.push_back(t.value);
  }
  EXPECT_EQ(positions, (std::vector<std::uint32_t>{1u << 18, 2u << 18, 3u << 18, 0, 1u << 18}));
  EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

TEST_F(VirtualWaveApi, InjectedCallFailuresHappenOnce) {
  const TWaveFormatEx f = Pcm(16, 1, 22050);
  HWAVEOUT h = 0;
  audio_->FailNext(TWaveDir::Output, 0, TWaveOp::Open, MMSYSERR_NOMEM);
  EXPECT_EQ(waveOutOpen(&h, 0, &f, nullptr, 0, CALLBACK_NULL), MMSYSERR_NOMEM);
  ASSERT_EQ(waveOutOpen(&h, 0, &f, nullptr, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  audio_->FailNext(TWaveDir::Output, 0, TWaveOp::Close, MMSYSERR_ERROR);
  EXPECT_EQ(waveOutClose(h), MMSYSERR_ERROR);
  EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

TEST_F(VirtualWaveApi, LostDeviceSendsOneErrorReportKeepsItsBuffersAndStillResetsAndCloses) {
  const TWaveFormatEx f = Pcm(16, 2, 44100);
  Reports reports;
  HWAVEOUT h = 0;
  ASSERT_EQ(waveOutOpen(&h, 0, &f, &Reports::Callback, reports.Instance(), CALLBACK_FUNCTION), MMSYSERR_NOERROR);
  Buffer a(256), b(256), c(256);
  for (Buffer* x : {&a, &b, &c}) {
    ASSERT_EQ(waveOutPrepareHeader(h, &x->hdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(h, &x->hdr), MMSYSERR_NOERROR);
  }
  audio_->LoseDeviceAfter(TWaveDir::Output, 0, 1);
  EXPECT_EQ(audio_->Step(TWaveDir::Output, 0, 3), 1);
  EXPECT_EQ(reports.Count(MM_WOM_DONE), 1);
  ASSERT_EQ(reports.Count(MM_WOM_ERROR), 1);
  EXPECT_EQ(reports.All().back().param, WAVERR_DEVICELOST);
  EXPECT_EQ(waveOutWrite(h, &a.hdr), WAVERR_DEVICELOST);
  TMMTime t;
  EXPECT_EQ(waveOutGetPosition(h, &t), WAVERR_DEVICELOST);
  audio_->LoseDevice(TWaveDir::Output, 0);
  EXPECT_EQ(reports.Count(MM_WOM_ERROR), 1) << "one report per failure";
  EXPECT_EQ(waveOutPause(h), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
  EXPECT_EQ(reports.Count(MM_WOM_DONE), 3);
  EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

TEST_F(VirtualWaveApi, PacedDevicesPlayInRealTimeOnTheirOwnThread) {
  audio_->SetPaced(true);
  const TWaveFormatEx f = Pcm(16, 2, 44100);
  Reports reports;
  HWAVEOUT h = 0;
  ASSERT_EQ(waveOutOpen(&h, 0, &f, &Reports::Callback, reports.Instance(), CALLBACK_FUNCTION), MMSYSERR_NOERROR);
  std::vector<std::unique_ptr<Buffer>> bufs;
  for (int i = 0; i < 4; ++i) {
    bufs.push_back(std::make_unique<Buffer>(1764));  // 10 ms each
    ASSERT_EQ(waveOutPrepareHeader(h, &bufs.back()->hdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(h, &bufs.back()->hdr), MMSYSERR_NOERROR);
  }
  ASSERT_TRUE(reports.WaitCount(MM_WOM_DONE, 4));
  const auto done = reports.Buffers(MM_WOM_DONE);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(done[static_cast<std::size_t>(i)], &bufs[static_cast<std::size_t>(i)]->hdr);
  EXPECT_NE(reports.All().back().thread, std::this_thread::get_id());
  EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
  audio_->SetPaced(false);
}

TEST(WaveReportQueue, KeepsOrderDropsByNumberAndRefusesWhenFull) {
  TWaveReportQueue q(3);
  EXPECT_TRUE(q.Post({MM_WIM_DATA, 1, 10}));
  EXPECT_TRUE(q.Post({MM_WIM_ERROR, 1, 36}));
  EXPECT_TRUE(q.Post({MM_WIM_DATA, 1, 11}));
  EXPECT_FALSE(q.Post({MM_WIM_DATA, 1, 12}));
  EXPECT_EQ(q.Arrived().WaitFor(0ms), TWaitResult::Signaled);
  q.Remove(MM_WIM_ERROR);
  TWaveReportQueue::Report r;
  ASSERT_TRUE(q.Take(r));
  EXPECT_EQ(r.Param, 10u);
  ASSERT_TRUE(q.Take(r));
  EXPECT_EQ(r.Param, 11u);
  EXPECT_FALSE(q.Take(r));
}

// Against a real server: runs when one is reachable (scripts/pulse-test-server.sh
// starts a private one with two null sinks).
class PulseWaveApi : public ::testing::Test {
 protected:
  void SetUp() override {
    SetWaveBackend(CreatePulseBackend());
    if (waveOutGetNumDevs() == 0) GTEST_SKIP() << "no PulseAudio server reachable";
  }
  void TearDown() override { SetWaveBackend(nullptr); }

  static int FindDevice(bool input, const std::string& part) {
    const int n = static_cast<int>(input ? waveInGetNumDevs() : waveOutGetNumDevs());
    for (int i = 0; i < n; ++i) {
      std::string name;
      if (input) {
        TWaveInCaps c;
        if (waveInGetDevCaps(i, &c) == MMSYSERR_NOERROR) name = c.szPname;
      } else {
        TWaveOutCaps c;
        if (waveOutGetDevCaps(i, &c) == MMSYSERR_NOERROR) name = c.szPname;
      }
      if (name.find(part) != std::string::npos) return i;
    }
    return -2;
  }
};

TEST_F(PulseWaveApi, ListsSinksAndSourcesWithMonitorsByDescription) {
  TWaveOutCaps out;
  ASSERT_EQ(waveOutGetDevCaps(WAVE_MAPPER, &out), MMSYSERR_NOERROR);
  EXPECT_FALSE(out.szPname.empty());
  bool monitor = false;
  for (int i = 0; i < static_cast<int>(waveInGetNumDevs()); ++i) {
    TWaveInCaps c;
    ASSERT_EQ(waveInGetDevCaps(i, &c), MMSYSERR_NOERROR);
    monitor |= c.szPname.rfind("Monitor of ", 0) == 0;
  }
  EXPECT_TRUE(monitor);
  const TWaveFormatEx f = Pcm(16, 2, 44100);
  EXPECT_EQ(waveOutOpen(nullptr, 0, &f, nullptr, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
  const TWaveFormatEx f24 = Pcm(24, 2, 44100);
  EXPECT_EQ(waveOutOpen(nullptr, 0, &f24, nullptr, 0, WAVE_FORMAT_QUERY), WAVERR_BADFORMAT);
}

// Plays a tone into a sink and records it from the sink's monitor.
TEST_F(PulseWaveApi, RecordsFromAMonitorWhatIsPlayedIntoItsSink) {
  std::string sinkName;
  int sink = -2, monitor = -2;
  for (int i = 0; i < static_cast<int>(waveOutGetNumDevs()) && monitor < 0; ++i) {
    TWaveOutCaps c;
    ASSERT_EQ(waveOutGetDevCaps(i, &c), MMSYSERR_NOERROR);
    sink = i;
    sinkName = c.szPname;
    monitor = FindDevice(true, "Monitor of " + sinkName);
  }
  if (monitor < 0) GTEST_SKIP() << "no sink with a monitor source";
  const TWaveFormatEx f = Pcm(16, 2, 44100);
  Reports inReports, outReports;
  HWAVEIN hi = 0;
  HWAVEOUT ho = 0;
  ASSERT_EQ(waveInOpen(&hi, monitor, &f, &Reports::Callback, inReports.Instance(), CALLBACK_FUNCTION),
            MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutOpen(&ho, sink, &f, &Reports::Callback, outReports.Instance(), CALLBACK_FUNCTION),
            MMSYSERR_NOERROR);
  EXPECT_EQ(inReports.Count(MM_WIM_OPEN), 1);
  EXPECT_EQ(outReports.Count(MM_WOM_OPEN), 1);

  constexpr int kBuffers = 12, kBytes = 8192;
  std::vector<std::unique_ptr<Buffer>> ins, outs;
  for (int i = 0; i < kBuffers; ++i) {
    ins.push_back(std::make_unique<Buffer>(kBytes));
    ASSERT_EQ(waveInPrepareHeader(hi, &ins.back()->hdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInAddBuffer(hi, &ins.back()->hdr), MMSYSERR_NOERROR);
  }
  ASSERT_EQ(waveInStart(hi), MMSYSERR_NOERROR);
  int sample = 0;
  for (int i = 0; i < kBuffers; ++i) {
    outs.push_back(std::make_unique<Buffer>(kBytes));
    auto* p = reinterpret_cast<std::int16_t*>(outs.back()->data.data());
    for (int k = 0; k < kBytes / 4; ++k, ++sample)
      p[2 * k] = p[2 * k + 1] = static_cast<std::int16_t>(10000 * std::sin(2 * M_PI * 1000 * sample / 44100.0));
    ASSERT_EQ(waveOutPrepareHeader(ho, &outs.back()->hdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(ho, &outs.back()->hdr), MMSYSERR_NOERROR);
  }
  ASSERT_TRUE(outReports.WaitCount(MM_WOM_DONE, kBuffers));
  const auto done = outReports.Buffers(MM_WOM_DONE);
  for (int i = 0; i < kBuffers; ++i) EXPECT_EQ(done[static_cast<std::size_t>(i)], &outs[static_cast<std::size_t>(i)]->hdr);
  TMMTime t;
  ASSERT_EQ(waveOutGetPosition(ho, &t), MMSYSERR_NOERROR);
  EXPECT_GT(t.value, 0u);
  // Nothing more is queued: the server runs out, and says so once.
  TWaveLosses underflows;
  for (int i = 0; i < 200 && underflows.Count == 0; ++i) {
    ASSERT_EQ(waveOutGetUnderflows(ho, &underflows), MMSYSERR_NOERROR);
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(underflows.Count, 1u);
  ASSERT_TRUE(inReports.WaitCount(MM_WIM_DATA, kBuffers / 2));
  double peak = 0;
  for (TMMWaveHdr* h : inReports.Buffers(MM_WIM_DATA)) {
    const auto* p = reinterpret_cast<const std::int16_t*>(h->lpData);
    for (int k = 0; k < h->dwBytesRecorded / 2; ++k) peak = std::max(peak, std::abs(double(p[k])));
  }
  EXPECT_GT(peak, 5000) << "the tone reaches the monitor";

  ASSERT_EQ(waveInReset(hi), MMSYSERR_NOERROR);
  EXPECT_EQ(inReports.Count(MM_WIM_DATA), kBuffers) << "reset returns every queued buffer";
  ASSERT_EQ(waveOutReset(ho), MMSYSERR_NOERROR);
  for (auto& b : ins) EXPECT_EQ(waveInUnprepareHeader(hi, &b->hdr), MMSYSERR_NOERROR);
  for (auto& b : outs) EXPECT_EQ(waveOutUnprepareHeader(ho, &b->hdr), MMSYSERR_NOERROR);
  EXPECT_EQ(waveInClose(hi), MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutClose(ho), MMSYSERR_NOERROR);
  EXPECT_EQ(inReports.Count(MM_WIM_CLOSE), 1);
}

TEST_F(PulseWaveApi, PausedOutputKeepsItsBuffersAndResetReturnsThemAll) {
  const TWaveFormatEx f = Pcm(16, 2, 44100);
  Reports reports;
  HWAVEOUT h = 0;
  ASSERT_EQ(waveOutOpen(&h, 0, &f, &Reports::Callback, reports.Instance(), CALLBACK_FUNCTION), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutPause(h), MMSYSERR_NOERROR);
  std::vector<std::unique_ptr<Buffer>> bufs;
  for (int i = 0; i < 6; ++i) {
    bufs.push_back(std::make_unique<Buffer>(8192));
    ASSERT_EQ(waveOutPrepareHeader(h, &bufs.back()->hdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(h, &bufs.back()->hdr), MMSYSERR_NOERROR);
  }
  EXPECT_FALSE(reports.WaitCount(MM_WOM_DONE, 1, 300ms)) << "nothing plays while paused";
  EXPECT_EQ(waveOutClose(h), WAVERR_STILLPLAYING);
  ASSERT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
  EXPECT_EQ(reports.Count(MM_WOM_DONE), 6);
  for (auto& b : bufs) EXPECT_EQ(waveOutUnprepareHeader(h, &b->hdr), MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

// Unloads a sink under a playing stream: the stream reports an error, and reset and
// close still work. Needs pactl to add and remove the sink.
TEST_F(PulseWaveApi, LosingTheDeviceSendsAnErrorReportAndNeverHangs) {
  FILE* p = popen("pactl load-module module-null-sink sink_name=strataeq_lost_test "
                  "sink_properties=device.description=StrataEq-Lost-Test 2>/dev/null", "r");
  if (!p) GTEST_SKIP() << "pactl not available";
  char line[64] = {};
  const bool got = std::fgets(line, sizeof line, p) != nullptr;
  pclose(p);
  if (!got) GTEST_SKIP() << "pactl could not load a null sink";
  const std::string module = std::to_string(std::atoi(line));
  SetWaveBackend(CreatePulseBackend());  // enumerate again with the new sink
  const int dev = FindDevice(false, "StrataEq-Lost-Test");
  ASSERT_GE(dev, 0);
  const TWaveFormatEx f = Pcm(16, 2, 44100);
  Reports reports;
  HWAVEOUT h = 0;
  ASSERT_EQ(waveOutOpen(&h, dev, &f, &Reports::Callback, reports.Instance(), CALLBACK_FUNCTION), MMSYSERR_NOERROR);
  std::vector<std::unique_ptr<Buffer>> bufs;
  for (int i = 0; i < 40; ++i) {
    bufs.push_back(std::make_unique<Buffer>(8192));
    ASSERT_EQ(waveOutPrepareHeader(h, &bufs.back()->hdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(h, &bufs.back()->hdr), MMSYSERR_NOERROR);
  }
  ASSERT_EQ(std::system(("pactl unload-module " + module).c_str()), 0);
  ASSERT_TRUE(reports.WaitCount(MM_WOM_ERROR, 1));
  EXPECT_EQ(reports.Buffers(MM_WOM_ERROR).size(), 1u);
  Buffer extra(64);
  ASSERT_EQ(waveOutPrepareHeader(h, &extra.hdr), MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutWrite(h, &extra.hdr), WAVERR_DEVICELOST);
  ASSERT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
  EXPECT_EQ(reports.Count(MM_WOM_DONE), 40);
  for (auto& b : bufs) EXPECT_EQ(waveOutUnprepareHeader(h, &b->hdr), MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

}  // namespace
}  // namespace strataeq
