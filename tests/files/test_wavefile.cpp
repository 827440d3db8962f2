#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "WavTestUtil.h"
#include "drivers/MMTrigg.h"
#include "files/MMWave.h"
#include "platform/Messages.h"

using namespace strataeq;
using namespace wavtest;

namespace {

std::string WaveError(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const EMMError& e) {
    return e.what();
  }
  return "(no error)";
}

// Restores the real free-space query when a test ends.
struct DiskSpaceGuard {
  ~DiskSpaceGuard() { SetDiskSpaceQuery(nullptr); }
};

// A passive component that feeds the sink in push mode and records what reaches it.
class Recorder : public TMMDSPComponent {
 public:
  void BufferReady(PMMWaveHdr lpwh) override {
    ++buffers;
    TMMDSPComponent::BufferReady(lpwh);
  }
  std::atomic<int> buffers{0};
};

// Drives a component by hand with one buffer record.
struct Buffer {
  explicit Buffer(std::size_t size) : block(AllocWaveHeader(size)) {
    block->dwBufferLength = static_cast<std::uint32_t>(size);
  }
  TMMWaveHdr* operator->() { return block.get(); }
  TMMWaveHdr* get() { return block.get(); }
  Bytes Data() const { return Bytes(block->lpData, block->lpData + std::max(block->dwBytesRecorded, 0)); }
  void Fill(const Bytes& b) {
    std::copy(b.begin(), b.end(), block->lpData);
    block->dwBytesRecorded = static_cast<std::int32_t>(b.size());
  }
  TWaveHdrBlock block;
};

// Source -> sink in push mode: a feeder component stands in for the chain above.
struct SinkRig {
  explicit SinkRig(const std::string& path, const TWaveFormatEx& f) {
    feeder.SetPWaveFormat(&f);
    sink.Wave().SetFileMustExist(false);
    sink.Wave().SetFileName(path);
    feeder.SetOutput(&sink);
    sink.SetOutput(&after);
  }
  void Run() {
    sink.Open();
    sink.Start();
  }
  void Push(const Bytes& b) {
    Buffer buf(b.size());
    buf.Fill(b);
    sink.BufferReady(buf.get());
  }
  TMMDSPComponent feeder;
  TMMWaveFile sink;
  Recorder after;
};

class WaveFileTest : public ::testing::Test {
 protected:
  TempDir dir;
};

Bytes DataOf(const std::string& path) {
  TMMWave w;
  w.SetFileName(path);
  w.OpenFile();
  Bytes out(static_cast<std::size_t>(w.LengthInBytes()));
  const std::int64_t r = out.empty() ? 0 : w.Read(out.data(), static_cast<std::int64_t>(out.size()));
  EXPECT_EQ(r, static_cast<std::int64_t>(out.size()));
  return out;
}

}  // namespace

TEST_F(WaveFileTest, ASinkClosedWithoutBuffersLeavesFourZeroBytesOfData) {
  const std::string path = dir.File("empty.wav");
  const TWaveFormatEx f = BuildPcmFormat(16, 2, 44100);
  SinkRig rig(path, f);
  int opens = 0, closes = 0;
  rig.sink.OnOpen = [&](TObject* s) {
    EXPECT_EQ(s, &rig.sink);
    ++opens;
  };
  rig.sink.OnClose = [&](TObject*) { ++closes; };
  rig.Run();
  rig.sink.Close();
  EXPECT_EQ(opens, 1);
  EXPECT_EQ(closes, 1);
  const Bytes file = ReadFile(path);
  ASSERT_EQ(file.size(), 46u + 4 + 12);
  EXPECT_EQ(LE32At(file, 4), 54u);
  EXPECT_EQ(LE32At(file, 42), 4u);
  EXPECT_EQ(LE32At(file, 46), 0u);
  EXPECT_EQ(IdAt(file, 50), "fact");
  EXPECT_EQ(LE32At(file, 58), 1u);
  EXPECT_EQ(rig.sink.WriteStop(), TMMWriteStop::wsNone);
}

TEST_F(WaveFileTest, ASinkWritesEveryStartedEnabledBufferAndPassesItOn) {
  const std::string path = dir.File("sink.wav");
  const TWaveFormatEx f = BuildPcmFormat(16, 2, 44100);
  SinkRig rig(path, f);
  const Bytes a = Noise(4096, 1), b = Noise(1000, 2), c = Noise(64, 3);
  rig.Push(a);  // not opened: passes unwritten
  rig.Run();
  rig.Push(a);
  rig.sink.SetEnabled(false);
  rig.Push(c);  // disabled: not written
  rig.sink.SetEnabled(true);
  rig.Push(b);
  rig.Push({});  // no bytes
  rig.sink.Stop();
  rig.Push(c);  // stopped
  rig.sink.Close();
  EXPECT_EQ(rig.after.buffers, 6);
  EXPECT_EQ(DataOf(path), a + b);
}

TEST_F(WaveFileTest, ASinkInPullModeWritesWhatItsInputDelivered) {
  const std::string in = dir.File("in.wav");
  const std::string out = dir.File("out.wav");
  const Bytes data = Noise(6000, 4);
  WriteFile(in, SimpleWav(Pcm(16, 1, 8000), data));
  TMMWaveFile source, sink;
  source.Wave().SetFileName(in);
  sink.Wave().SetFileMustExist(false);
  sink.Wave().SetFileName(out);
  sink.SetInput(&source);
  source.Open();
  sink.Open();
  source.Start();
  sink.Start();
  Buffer buf(4096);
  bool more = false;
  sink.BufferLoad(buf.get(), more);
  EXPECT_TRUE(more);
  buf->dwBufferLength = 4096;
  sink.BufferLoad(buf.get(), more);
  EXPECT_FALSE(more);
  sink.Close();
  source.Close();
  EXPECT_EQ(DataOf(out), data);
}

TEST_F(WaveFileTest, ASinkThatDoesNotOverwriteContinuesAnExistingFile) {
  const std::string path = dir.File("continue.wav");
  const Bytes first = Noise(400, 5), second = Noise(800, 6);
  WriteFile(path, SimpleWav(Pcm(16, 2, 44100), first));
  const TWaveFormatEx f = BuildPcmFormat(16, 2, 44100);
  {
    SinkRig rig(path, f);
    rig.sink.SetOverwriteExisting(false);
    rig.Run();
    rig.Push(second);
    rig.sink.Close();
  }
  EXPECT_EQ(DataOf(path), first + second);
  {
    SinkRig rig(path, f);  // overwriting (the default) replaces it
    rig.Run();
    rig.Push(first);
    rig.sink.Close();
  }
  EXPECT_EQ(DataOf(path), first);
}

TEST_F(WaveFileTest, ContinuingAFileOfAnotherFormatIsRefusedAndTheFileKept) {
  const std::string path = dir.File("mono.wav");
  const Bytes original = SimpleWav(Pcm(8, 1, 8000), Noise(400, 7));
  WriteFile(path, original);
  const TWaveFormatEx f = BuildPcmFormat(16, 2, 44100);
  SinkRig rig(path, f);
  rig.sink.SetOverwriteExisting(false);
  EXPECT_EQ(WaveError([&] { rig.sink.Open(); }), "Unable to open wave file");
  rig.sink.Close();
  EXPECT_EQ(ReadFile(path), original);
}

TEST_F(WaveFileTest, AFullDiskFinishesTheFileBeforeTheBufferThatDoesNotFit) {
  DiskSpaceGuard guard;
  const std::string path = dir.File("full.wav");
  const TWaveFormatEx f = BuildPcmFormat(16, 2, 44100);
  SinkRig rig(path, f);
  rig.sink.Wave().SetIOBufferSize(8192);
  std::int64_t free = 1 << 30;
  std::vector<std::int64_t> asked;
  SetDiskSpaceQuery([&](const std::string& p) {
    EXPECT_EQ(p, rig.sink.Wave().FileName());
    return TDiskSpace{free, 1ll << 40, true};
  });
  int closes = 0;
  rig.sink.OnClose = [&](TObject*) { ++closes; };
  rig.Run();
  const Bytes a = Noise(1000, 8), b = Noise(1000, 9);
  rig.Push(a);
  free = 8192 + 1000 + 10240;  // exactly enough
  rig.Push(b);
  free -= 1;  // one byte short
  rig.Push(a);
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(rig.sink.WriteStop(), TMMWriteStop::wsDiskFull);
  EXPECT_FALSE(rig.sink.Wave().IsOpen());
  free = 1 << 30;
  rig.Push(a);  // passes on, unwritten
  EXPECT_EQ(rig.after.buffers, 4);
  rig.sink.Close();
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(DataOf(path), a + b);
  const Bytes file = ReadFile(path);
  EXPECT_EQ(LE32At(file, 4), file.size() - 8);
}

TEST_F(WaveFileTest, AFailedFreeSpaceQueryCountsAsAFullDisk) {
  DiskSpaceGuard guard;
  const std::string path = dir.File("noquery.wav");
  const TWaveFormatEx f = BuildPcmFormat(8, 1, 8000);
  SinkRig rig(path, f);
  SetDiskSpaceQuery([](const std::string&) { return TDiskSpace{1ll << 40, 1ll << 40, false}; });
  rig.Run();
  rig.Push(Noise(100, 10));
  EXPECT_EQ(rig.sink.WriteStop(), TMMWriteStop::wsDiskFull);
  rig.sink.Close();
  // Stopped before any data: a valid file whose data chunk holds its 4 zero bytes.
  EXPECT_EQ(DataOf(path), Bytes(4, 0));
}

TEST_F(WaveFileTest, TheRiffSizeLimitStopsASinkLikeAFullDiskAndSaysSo) {
  const std::string path = dir.File("limit.wav");
  const TWaveFormatEx f = BuildPcmFormat(16, 2, 44100);
  SinkRig rig(path, f);
  rig.sink.Wave().SetMaxRiffSize(38 + 12 + 3000);
  rig.Run();
  const Bytes a = Noise(2000, 11);
  rig.Push(a);
  EXPECT_EQ(rig.sink.WriteStop(), TMMWriteStop::wsNone);
  rig.Push(a);
  EXPECT_EQ(rig.sink.WriteStop(), TMMWriteStop::wsSizeLimit);
  rig.sink.Close();
  EXPECT_EQ(DataOf(path), a);
  const Bytes file = ReadFile(path);
  EXPECT_LE(LE32At(file, 4), 3050u);
  EXPECT_EQ(LE32At(file, 4), file.size() - 8);
  // A new run starts without the old reason.
  rig.sink.Wave().SetMaxRiffSize(RiffSizeLimit);
  rig.sink.Open();
  EXPECT_EQ(rig.sink.WriteStop(), TMMWriteStop::wsNone);
  rig.sink.Close();
}

TEST_F(WaveFileTest, ADisabledSourceDeliversSilenceAndNeverEnds) {
  for (const int bits : {8, 16}) {
    const std::string path = dir.File("src.wav");
    WriteFile(path, SimpleWav(Pcm(static_cast<std::uint16_t>(bits), 1, 8000), Noise(10, 12)));
    TMMWaveFile source;
    source.Wave().SetFileName(path);
    const std::uint8_t silence = bits == 8 ? 128 : 0;
    EXPECT_EQ(source.SilenceByte(), silence);
    source.Open();
    source.Start();
    source.SetEnabled(false);
    Buffer buf(64);
    for (int i = 0; i < 5; ++i) {
      bool more = false;
      source.BufferLoad(buf.get(), more);
      EXPECT_TRUE(more);
      EXPECT_EQ(buf.Data(), Bytes(64, silence));
    }
    source.Close();
  }
}

TEST_F(WaveFileTest, ASourceNotStartedDeliversSilenceAndOneWithoutDataDeliversNothing) {
  const std::string path = dir.File("src.wav");
  WriteFile(path, SimpleWav(Pcm(16, 2, 8000), Noise(40, 13)));
  TMMWaveFile source;
  source.Wave().SetFileName(path);
  source.Open();
  Buffer buf(16);
  bool more = false;
  source.BufferLoad(buf.get(), more);
  EXPECT_TRUE(more);
  EXPECT_EQ(buf.Data(), Bytes(16, 0));
  source.Close();

  const std::string empty = dir.File("empty.wav");
  WriteFile(empty, SimpleWav(Pcm(16, 2, 8000), {}));
  TMMWaveFile none;
  int opens = 0;
  none.OnOpen = [&](TObject*) { ++opens; };
  none.Wave().SetFileName(empty);
  none.Open();
  none.Start();
  more = true;
  none.BufferLoad(buf.get(), more);
  EXPECT_FALSE(more);
  EXPECT_EQ(buf->dwBytesRecorded, 0);
  EXPECT_EQ(opens, 0);  // nothing to open
  none.Close();
}

TEST_F(WaveFileTest, ASourceReportsTheEndWithTheBufferThatReachesIt) {
  const std::string path = dir.File("exact.wav");
  const Bytes data = Noise(3 * 4096, 14);
  WriteFile(path, SimpleWav(Pcm(16, 2, 44100), data));
  TMMWaveFile source;
  source.Wave().SetFileName(path);
  source.Open();
  source.Start();
  Bytes got;
  Buffer buf(4096);
  bool more = true;
  int loads = 0;
  while (more) {
    buf->dwBufferLength = 4096;
    source.BufferLoad(buf.get(), more);
    ASSERT_EQ(buf->dwBytesRecorded, 4096);
    got = got + buf.Data();
    ASSERT_LT(++loads, 10);
  }
  EXPECT_EQ(loads, 3);
  EXPECT_EQ(got, data);
  source.Close();
}

TEST_F(WaveFileTest, ASourceLoopsAsManyTimesAsThePullerAsks) {
  const std::string path = dir.File("loop.wav");
  const Bytes data = Noise(100, 15);
  WriteFile(path, SimpleWav(Pcm(8, 1, 8000), data));
  TMMWaveFile source;
  source.Wave().SetFileName(path);
  int loops = 0;
  source.OnLooping = [&](TObject*) { ++loops; };
  source.Open();
  source.Start();
  Buffer buf(64);
  buf->LoopRec = -1;
  buf->LoopCount = 2;
  buf->LoopTempCount = 2;
  Bytes got;
  bool more = true;
  int marks = 0;
  while (more) {
    buf->dwBufferLength = 64;
    buf->LoopMark = 0;
    source.BufferLoad(buf.get(), more);
    got = got + buf.Data();
    if (buf->LoopMark == -1) ++marks;
    ASSERT_LT(got.size(), 1000u);
  }
  EXPECT_EQ(loops, 2);
  EXPECT_EQ(marks, 2);
  EXPECT_EQ(got, data + data + data);  // played, then looped twice
  source.Close();
}

TEST_F(WaveFileTest, ASourcePlaysFromWhereItsWaveStoodWhenOpened) {
  const std::string path = dir.File("from.wav");
  const Bytes data = Noise(400, 16);
  WriteFile(path, SimpleWav(Pcm(16, 2, 8000), data));
  TMMWaveFile source;
  source.Wave().SetFileName(path);
  source.Wave().SetPosition(50);
  source.Open();
  source.Start();
  Buffer buf(1000);
  bool more = true;
  source.BufferLoad(buf.get(), more);
  EXPECT_FALSE(more);
  EXPECT_EQ(buf.Data(), Bytes(data.begin() + 200, data.end()));
  source.Close();
}

TEST_F(WaveFileTest, ChoosingASourceFileSetsTheFormatDownTheChain) {
  const std::string path = dir.File("fmt.wav");
  WriteFile(path, SimpleWav(Pcm(8, 2, 22050), Noise(10, 17)));
  TMMWaveFile source;
  TMMDSPComponent next;
  source.SetOutput(&next);
  std::vector<std::string> events;
  source.OnChange = [&](TObject*) { events.push_back("change"); };
  source.OnChanged = [&](TObject*) {
    events.push_back(source.PWaveFormat() ? "changed with format" : "changed without format");
  };
  source.Wave().SetFileName(path);
  EXPECT_EQ(events, (std::vector<std::string>{"change", "changed with format"}));
  ASSERT_NE(next.PWaveFormat(), nullptr);
  EXPECT_EQ(next.PWaveFormat()->nSamplesPerSec, 22050u);
  EXPECT_EQ(next.PWaveFormat()->wBitsPerSample, 8);
  EXPECT_EQ(source.SilenceByte(), 128);
  source.Wave().SetFileName("");
  EXPECT_EQ(next.PWaveFormat(), nullptr);
  EXPECT_EQ(events.back(), "changed without format");
}

TEST_F(WaveFileTest, OnChangedFollowsEvenWhenTheFormatStepFails) {
  class Refuser : public TMMDSPComponent {
   public:
    void AdoptPWaveFormat(const TWaveFormatEx* f) override {
      if (f) throw EMMError("refused");
    }
  };
  const std::string path = dir.File("fmt.wav");
  WriteFile(path, SimpleWav(Pcm(16, 2, 44100), Noise(10, 18)));
  TMMWaveFile source;
  Refuser next;
  source.SetOutput(&next);
  int changed = 0;
  source.OnChanged = [&](TObject*) { ++changed; };
  EXPECT_EQ(WaveError([&] { source.Wave().SetFileName(path); }), "refused");
  EXPECT_EQ(changed, 1);
  source.SetOutput(nullptr);
}

TEST_F(WaveFileTest, AssigningAWaveCopiesItsFileAndSettings) {
  const std::string path = dir.File("assign.wav");
  WriteFile(path, SimpleWav(Pcm(16, 1, 8000), Noise(10, 19)));
  TMMWave w;
  w.SetTimeFormat(TMMTimeFormats::tfByte);
  w.SetIOBufferSize(16384);
  w.SetFileName(path);
  TMMWaveFile file;
  file.SetWave(w);
  EXPECT_EQ(file.Wave().FileName(), w.FileName());
  EXPECT_EQ(file.Wave().TimeFormat(), TMMTimeFormats::tfByte);
  EXPECT_EQ(file.Wave().IOBufferSize(), 16384);
  EXPECT_EQ(file.Wave().DataSize(), 10);
  ASSERT_NE(file.PWaveFormat(), nullptr);
}

// The whole chain as the command line runs it: file -> trigger -> file.
class WaveChain : public WaveFileTest {
 protected:
  struct Result {
    bool stopped = false;
    int stops = 0;
  };

  // Copies in to out through the trigger and returns after its OnStop and Close.
  Result Copy(const std::string& in, const std::string& out, const std::function<void(TMMWaveFile&)>& setupSink = {}) {
    TMMWaveFile source, sink;
    TMMTrigger trigger;
    source.Wave().SetTimeFormat(TMMTimeFormats::tfByte);
    source.Wave().SetIOBufferSize(8192);
    source.Wave().SetFileName(in);
    sink.Wave().SetTimeFormat(TMMTimeFormats::tfByte);
    sink.Wave().SetIOBufferSize(8192);
    sink.Wave().SetFileMustExist(false);
    sink.Wave().SetFileName(out);
    if (setupSink) setupSink(sink);
    trigger.SetBufferSize(8192);
    trigger.SetInterval(0);
    trigger.SetInput(&source);
    trigger.SetOutput(&sink);
    Result r;
    trigger.OnStop = [&](TObject*) { ++r.stops; };
    trigger.OnError = [&](TObject*) { ADD_FAILURE() << "trigger error"; };
    trigger.Start();
    r.stopped = RunUntil([&] { return r.stops > 0; }, std::chrono::seconds(60));
    bytesPushed = trigger.BytesPushed();
    trigger.Close();
    writeStop = sink.WriteStop();
    return r;
  }

  TMMWriteStop writeStop = TMMWriteStop::wsNone;
  std::int64_t bytesPushed = 0;
};

TEST_F(WaveChain, SourceThroughTriggerToSinkCopiesAFileExactly) {
  for (const std::size_t bytes : {std::size_t{8192} * 40, std::size_t{8192} * 40 + 1236, std::size_t{4}}) {
    SCOPED_TRACE(bytes);
    const std::string in = dir.File("in.wav");
    const std::string out = dir.File("out.wav");
    const TWaveFormatEx f = BuildPcmFormat(16, 2, 44100);
    {
      TMMWave w;
      w.CreateFile(&f, in);
      const Bytes data = Noise(bytes, static_cast<std::uint32_t>(bytes));
      ASSERT_EQ(w.Write(data.data(), static_cast<std::int64_t>(bytes)), static_cast<std::int64_t>(bytes));
      w.CloseFile();
    }
    const Result r = Copy(in, out);
    ASSERT_TRUE(r.stopped);
    EXPECT_EQ(r.stops, 1);
    EXPECT_EQ(writeStop, TMMWriteStop::wsNone);
    EXPECT_EQ(bytesPushed, static_cast<std::int64_t>(bytes));
    EXPECT_EQ(ReadFile(out), ReadFile(in));
  }
}

TEST_F(WaveChain, AFullDiskDuringARunFinishesTheSinkOnTheMainThreadAndTheRunCompletes) {
  DiskSpaceGuard guard;
  const std::string in = dir.File("in.wav");
  const std::string out = dir.File("out.wav");
  const Bytes data = Noise(8192 * 20, 20);
  WriteFile(in, SimpleWav(Pcm(16, 2, 44100), data));
  std::atomic<int> queries{0};
  SetDiskSpaceQuery([&](const std::string&) {
    const bool enough = ++queries <= 5;
    return TDiskSpace{enough ? (1ll << 30) : 100, 1ll << 40, true};
  });
  std::thread::id closeThread;
  int closes = 0;
  const Result r = Copy(in, out, [&](TMMWaveFile& sink) {
    sink.OnClose = [&](TObject*) {
      closeThread = std::this_thread::get_id();
      ++closes;
    };
  });
  ASSERT_TRUE(r.stopped);
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(closeThread, std::this_thread::get_id());
  EXPECT_EQ(writeStop, TMMWriteStop::wsDiskFull);
  EXPECT_EQ(DataOf(out), Bytes(data.begin(), data.begin() + 5 * 8192));
  EXPECT_EQ(bytesPushed, static_cast<std::int64_t>(data.size()));  // the run itself went on to the end
}

TEST_F(WaveChain, ASinkThatCannotBeCreatedFailsTheStartWithTheWavesMessage) {
  const std::string in = dir.File("in.wav");
  WriteFile(in, SimpleWav(Pcm(16, 2, 44100), Noise(8192, 21)));
  TMMWaveFile source, sink;
  TMMTrigger trigger;
  source.Wave().SetFileName(in);
  sink.Wave().SetFileMustExist(false);
  sink.Wave().SetFileName(dir.File("no-such-folder/out.wav"));
  trigger.SetInput(&source);
  trigger.SetOutput(&sink);
  int errors = 0;
  trigger.OnError = [&](TObject*) { ++errors; };
  EXPECT_EQ(WaveError([&] { trigger.Start(); }), "Unable to create wave file");
  EXPECT_EQ(errors, 1);
  EXPECT_TRUE(trigger.HasState(TMMTriggerState::trClosed));
  EXPECT_FALSE(source.Wave().IsOpen());
}

// The file-to-file run as the command line and the window make it: the sink writes into
// a temporary file created for it, never by a name, and the file is renamed into place.
TEST_F(WaveChain, ASinkWithATargetWritesThroughItsDescriptorAndALinkPlantedMidRunIsNeverFollowed) {
  const std::string in = dir.File("in.wav");
  const std::string out = dir.File("out.wav");
  const std::string victim = dir.File("victim");
  const Bytes data = Noise(8192 * 30 + 100, 23);
  WriteFile(in, SimpleWav(Pcm(16, 2, 44100), data));
  const Bytes victimBytes = Noise(5000, 24);
  WriteFile(victim, victimBytes);
  WriteFile(out, Noise(10, 25));
  ASSERT_EQ(::chmod(out.c_str(), 0640), 0);

  SetUnnamedTempFiles(false);  // a named temporary file is what can be swapped
  TAtomicFile target;
  const int created = target.Create(out);
  SetUnnamedTempFiles(true);
  ASSERT_EQ(created, 0);
  int opens = 0;
  const Result r = Copy(in, dir.File("unused.wav"), [&](TMMWaveFile& sink) {
    sink.SetTarget(&target);
    // The header is written; the samples follow. Swap the file for a link to the victim.
    sink.OnOpen = [&](TObject*) {
      ++opens;
      ASSERT_EQ(::unlink(target.TempName().c_str()), 0);
      ASSERT_EQ(::symlink(victim.c_str(), target.TempName().c_str()), 0);
    };
  });
  ASSERT_TRUE(r.stopped);
  EXPECT_EQ(opens, 1);
  EXPECT_EQ(writeStop, TMMWriteStop::wsNone);
  ASSERT_EQ(target.Commit(), 0);

  EXPECT_EQ(ReadFile(victim), victimBytes);
  EXPECT_FALSE(std::filesystem::is_symlink(out));
  EXPECT_EQ(DataOf(out), data);
  struct stat st {};
  ASSERT_EQ(::stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_FALSE(std::filesystem::exists(dir.File("unused.wav")));
}

// A source never opens its file for writing: writes are refused and the file is left
// byte for byte as it was, even one the wave was asked to tag.
TEST_F(WaveFileTest, ASourceOpensItsFileReadOnly) {
  const std::string path = dir.File("in.wav");
  WriteFile(path, SimpleWav(Pcm(16, 2, 44100), Noise(4000, 26)));
  const Bytes before = ReadFile(path);
  TMMWaveFile source;
  source.Wave().SetFileName(path);
  source.Open();
  source.Start();
  source.Wave().SetInfo(InfoIndex(mmioStringToFOURCC("INAM")), "changed");
  const std::uint8_t zeros[4] = {};
  EXPECT_EQ(source.Wave().Write(zeros, 4), -1);
  source.Close();
  EXPECT_EQ(ReadFile(path), before);
}
