#include "drivers/MMRingBf.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <chrono>
#include <thread>
#include <vector>

#include "wave_test_util.h"
#include "../../bench/tools/ToneGaps.h"

namespace strataeq {
namespace {

using test::ErrorOf;
using test::Pattern;

constexpr auto kWait = std::chrono::seconds(20);

// A record with its own data area, as a driver would pull or push it.
struct Buffer {
  explicit Buffer(std::uint32_t size) : data(size) {
    hdr = TMMWaveHdr{};
    hdr.lpData = reinterpret_cast<char*>(data.data());
    hdr.dwBufferLength = size;
  }
  std::vector<std::uint8_t> Bytes() const {
    return {data.begin(), data.begin() + std::max(hdr.dwBytesRecorded, 0)};
  }
  TMMWaveHdr hdr;
  std::vector<std::uint8_t> data;
};

class RingBufferTest : public ::testing::Test {
 protected:
  void Open(TMMQueueMode mode, std::int32_t slotSize, std::int32_t slots, TMMBits bits = TMMBits::b16Bit) {
    const TWaveFormatEx f = BuildPcmFormat(bits, TMMMode::mStereo, 44100);
    ring_.SetPWaveFormat(&f);
    ring_.SetQueueMode(mode);
    ring_.SetBufferSize(slotSize);
    ring_.SetNumBuffers(slots);
    ring_.OnEmpty = [this](TObject*) { ++empties_; };
    ring_.OnOverlow = [this](TObject*) { ++overflows_; };
    ring_.Open();
  }
  // Pushes slot-sized pieces of the pattern as a recorder would.
  void Write(std::size_t from, std::uint32_t bytes) {
    Buffer b(bytes);
    const auto p = Pattern(from, bytes);
    std::copy(p.begin(), p.end(), b.data.begin());
    b.hdr.dwBytesRecorded = static_cast<std::int32_t>(bytes);
    ring_.BufferReady(&b.hdr);
  }
  Buffer Read(std::uint32_t bytes, bool* more = nullptr) {
    Buffer b(bytes);
    bool m = false;
    ring_.BufferLoad(&b.hdr, m);
    if (more) *more = m;
    return b;
  }

  TMMRingBuffer ring_;
  int empties_ = 0;
  int overflows_ = 0;
};

TEST_F(RingBufferTest, DuplexReaderGetsSilenceUntilElevenOfTwentySlotsAreFilledThenData) {
  Open(TMMQueueMode::qmDuplex, 8192, 20);
  for (int i = 0; i < 10; ++i) {
    Write(i * 8192u, 8192);
    bool more = false;
    const Buffer b = Read(8192, &more);
    EXPECT_EQ(b.Bytes(), std::vector<std::uint8_t>(8192, 0)) << "silence while " << i + 1 << " slots are filled";
    EXPECT_TRUE(more) << "a duplex queue always has more";
  }
  EXPECT_EQ(ring_.BuffersUsed(), 10);
  EXPECT_EQ(empties_, 0) << "silence before priming is no drop-out";
  Write(10 * 8192u, 8192);
  EXPECT_EQ(ring_.BytesQueued(), 90112);
  EXPECT_EQ(Read(8192).Bytes(), Pattern(0, 8192));
  EXPECT_EQ(Read(8192).Bytes(), Pattern(8192, 8192));
  EXPECT_EQ(ring_.BuffersUsed(), 9);
  EXPECT_EQ(ring_.BytesFree(), 11 * 8192);
  for (int i = 2; i < 11; ++i) EXPECT_EQ(Read(8192).Bytes(), Pattern(i * 8192u, 8192));
  EXPECT_TRUE(ring_.IsEmpty());
  // Each read of the empty queue is one drop-out, with silence.
  EXPECT_EQ(Read(8192).Bytes(), std::vector<std::uint8_t>(8192, 0));
  EXPECT_EQ(empties_, 1);
  EXPECT_EQ(Read(8192).Bytes(), std::vector<std::uint8_t>(8192, 0));
  EXPECT_EQ(empties_, 2);
  Write(11 * 8192u, 8192);
  EXPECT_EQ(Read(8192).Bytes(), Pattern(11 * 8192u, 8192)) << "once primed, data comes at once";
  EXPECT_EQ(empties_, 2);
}

// An asked-for priming level is the delay the live route plans for: what piled up
// beyond it while the reader started is dropped, oldest first, and the room above it
// stays for buffers that come in bunches (8-bit: read as it is, without resampling).
TEST_F(RingBufferTest, DuplexWithAPrimeLevelStartsFromTheNewestSlotsAndKeepsRoomAboveIt) {
  ring_.SetPrimeSlots(2);
  Open(TMMQueueMode::qmDuplex, 1024, 6, TMMBits::b8Bit);
  Write(0, 1024);
  EXPECT_EQ(Read(1024).Bytes(), std::vector<std::uint8_t>(1024, 128)) << "one slot is not primed";
  for (int i = 1; i < 4; ++i) Write(i * 1024u, 1024);
  EXPECT_EQ(Read(1024).Bytes(), Pattern(2 * 1024u, 1024)) << "the two oldest of four slots are dropped";
  EXPECT_EQ(ring_.BuffersUsed(), 1);
  EXPECT_EQ(ring_.BytesQueued(), 1024);
  for (int i = 4; i < 9; ++i) Write(i * 1024u, 1024);
  EXPECT_EQ(ring_.BuffersUsed(), 6);
  EXPECT_EQ(overflows_, 0);
  for (int i = 3; i < 9; ++i) EXPECT_EQ(Read(1024).Bytes(), Pattern(i * 1024u, 1024)) << "once primed, nothing is dropped";
  EXPECT_EQ(empties_, 0);
}

// Playback and recording run on their own threads: a read that finds the primed
// ring empty waits up to one slot's time (here half a second) for the recording, and
// only then plays silence as a drop-out.
TEST_F(RingBufferTest, DuplexReadOfAnEmptyRingWaitsASlotsTimeForTheRecording) {
  constexpr std::uint32_t kSlot = 88200;
  Open(TMMQueueMode::qmDuplex, kSlot, 4);
  for (int i = 0; i < 3; ++i) Write(i * kSlot, kSlot);
  for (int i = 0; i < 3; ++i) Read(kSlot);
  std::thread recorder([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Write(3 * kSlot, kSlot);
  });
  EXPECT_EQ(Read(kSlot).Bytes(), Pattern(3 * kSlot, kSlot));
  recorder.join();
  EXPECT_EQ(empties_, 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Read(kSlot).Bytes(), std::vector<std::uint8_t>(kSlot, 0));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
  EXPECT_EQ(empties_, 1);
}

// After a stall left slots above the asked-for level, each half second (86 reads of
// 1024 bytes) in which no read went below it drops the oldest slot, until reads leave
// one slot fewer than the level behind, as right after priming. (8-bit sound, which
// the resampler that holds 16-bit sound does not take.)
TEST_F(RingBufferTest, DuplexWithAPrimeLevelDropsSlotsAStallLeftAbove) {
  ring_.SetPrimeSlots(2);
  Open(TMMQueueMode::qmDuplex, 1024, 6, TMMBits::b8Bit);
  std::uint32_t written = 0, skipped = 0;
  auto write = [&] { Write(1024 * written++, 1024); };
  write();
  write();
  EXPECT_EQ(Read(1024).Bytes(), Pattern(0, 1024));
  for (int i = 0; i < 3; ++i) write();  // the stall: playback held back
  for (std::uint32_t read = 1; read < 400; ++read) {
    write();
    const Buffer b = Read(1024);
    if (b.Bytes() != Pattern(1024 * (read + skipped), 1024)) ++skipped;
    ASSERT_EQ(b.Bytes(), Pattern(1024 * (read + skipped), 1024)) << "read " << read;
  }
  EXPECT_EQ(skipped, 3u) << "the three slots the stall left";
  EXPECT_EQ(ring_.BuffersUsed(), 1);
  EXPECT_EQ(empties_, 0);
  EXPECT_EQ(overflows_, 0);
}

// A player that takes nothing while the recording goes on: the ring skips back to its
// level each time it fills, all one silence to the listener, which the next read that
// delivers ends.
TEST_F(RingBufferTest, SkipsWithNothingPlayedBetweenThemAreOneGap) {
  ring_.SetPrimeSlots(3);
  Open(TMMQueueMode::qmDuplex, 1024, 8);
  std::vector<int> inARow;
  ring_.OnSlotDropped = [&](TObject*) { inARow.push_back(ring_.DropsInARow()); };
  std::uint32_t written = 0;
  auto write = [&] { Write(1024 * written++, 1024); };
  for (int i = 0; i < 3; ++i) write();
  Read(1024);
  for (int i = 0; i < 20; ++i) write();
  EXPECT_EQ(inARow, (std::vector<int>{1, 2, 3})) << "full at 8 slots, back to 3 each time";
  Read(1024);
  while (!ring_.IsFull()) write();
  write();
  EXPECT_EQ(inARow.back(), 1) << "a read between: a gap of its own";
}

// 16-bit sound with a level asked for is read through the resampler: a recording that
// runs ahead and falls behind by turns (four slots over and back each 200 reads) is
// followed by many changes of rate, each within half a per cent, and what is read stays
// one unbroken tone: no skip, no silence, no stray sample.
TEST_F(RingBufferTest, DuplexWithAPrimeLevelHoldsItByResamplingAndTheSoundStaysWhole) {
  ring_.SetPrimeSlots(3);
  Open(TMMQueueMode::qmDuplex, 1024, 8);
  constexpr double kStep = 2 * M_PI * 500 / 44100;
  std::int64_t frame = 0;
  auto write = [&] {
    Buffer b(1024);
    auto* p = reinterpret_cast<std::int16_t*>(b.data.data());
    for (int i = 0; i < 256; ++i, ++frame) p[2 * i] = p[2 * i + 1] = static_cast<std::int16_t>(8000 * std::sin(kStep * frame));
    b.hdr.dwBytesRecorded = 1024;
    ring_.BufferReady(&b.hdr);
  };
  std::vector<std::uint8_t> played;
  for (int i = 0; i < 3; ++i) write();
  double furthest = 0;
  int dropped = 0;
  ring_.OnSlotDropped = [&](TObject*) { ++dropped; };
  for (int read = 0; read < 4000; ++read) {
    const int phase = read % 200;
    int writes = 1;
    if (phase % 25 == 0) writes = phase < 100 ? 2 : 0;
    for (int w = 0; w < writes; ++w) write();
    const Buffer b = Read(1024);
    played.insert(played.end(), b.data.begin(), b.data.end());
    furthest = std::max(furthest, std::abs(ring_.RateRatio() - 1));
  }
  EXPECT_GT(furthest, 0.0005) << "the rate followed the level";
  EXPECT_LE(furthest, 0.005);
  EXPECT_EQ(empties_, 0);
  EXPECT_EQ(dropped, 0);
  EXPECT_EQ(ring_.SlotsLost(), 0);
  EXPECT_EQ(bench::HeardGaps(played, 500, 441, 0, 8000), 0);
  EXPECT_LE(ring_.BytesQueued(), 5 * 1024) << "the level stays near its plan";
}

TEST_F(RingBufferTest, EightBitSilenceIs128) {
  Open(TMMQueueMode::qmDuplex, 64, 4, TMMBits::b8Bit);
  EXPECT_EQ(Read(64).Bytes(), std::vector<std::uint8_t>(64, 128)) << "before priming";
  for (int i = 0; i < 3; ++i) Write(0, 64);
  for (int i = 0; i < 3; ++i) Read(64);
  EXPECT_EQ(Read(64).Bytes(), std::vector<std::uint8_t>(64, 128)) << "on an empty read";
  EXPECT_EQ(empties_, 1);
}

TEST_F(RingBufferTest, HalfSlotReadsTakeTheFirstHalfThenTheSecondFromTheSameSlot) {
  Open(TMMQueueMode::qmDuplex, 8192, 4);
  for (int i = 0; i < 3; ++i) Write(i * 8192u, 8192);
  EXPECT_EQ(Read(4096).Bytes(), Pattern(0, 4096));
  EXPECT_EQ(ring_.BuffersUsed(), 3);
  EXPECT_EQ(ring_.BytesQueued(), 3 * 8192 - 4096);
  EXPECT_EQ(Read(4096).Bytes(), Pattern(4096, 4096));
  EXPECT_EQ(ring_.BuffersUsed(), 2);
  EXPECT_EQ(Read(8192).Bytes(), Pattern(8192, 8192));
}

TEST_F(RingBufferTest, WritingIntoAFullQueueFiresOnOverlowAndLeavesItUnchanged) {
  Open(TMMQueueMode::qmDuplex, 256, 4);
  for (int i = 0; i < 4; ++i) Write(i * 256u, 256);
  ASSERT_TRUE(ring_.IsFull());
  ring_.SetWaitIfFull(true);  // only a qmWrite queue waits: elsewhere it would never end
  Write(9999, 256);
  EXPECT_EQ(overflows_, 1);
  EXPECT_EQ(ring_.BytesQueued(), 1024);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Read(256).Bytes(), Pattern(i * 256u, 256));
}

TEST_F(RingBufferTest, BlocksAreSplitIntoSlotsAndReadBack) {
  Open(TMMQueueMode::qmDuplex, 100, 5);
  const auto p = Pattern(0, 450);
  EXPECT_EQ(ring_.WriteBlock(p.data(), 450, RB_END_OF_DATA), 450);
  EXPECT_EQ(ring_.BuffersUsed(), 5);
  EXPECT_EQ(ring_.WriteBlock(p.data(), 10, 0), 0) << "the queue is full";
  std::vector<std::uint8_t> back(450);
  EXPECT_EQ(ring_.ReadBlock(back.data(), 450), 450);
  EXPECT_EQ(back, p);
  EXPECT_EQ(empties_, 0) << "a block read stops at an empty queue";
}

TEST_F(RingBufferTest, DisabledQueueDropsWritesAndLoopIfEmptyRepeatsTheLastSlot) {
  Open(TMMQueueMode::qmDuplex, 128, 4);
  for (int i = 0; i < 3; ++i) Write(i * 128u, 128);
  Read(128);
  Read(128);
  EXPECT_EQ(Read(128).Bytes(), Pattern(256, 128));
  ring_.SetLoopIfEmpty(true);
  EXPECT_EQ(Read(128).Bytes(), Pattern(256, 128));
  EXPECT_EQ(empties_, 1);
  ring_.SetEnabled(false);
  Write(0, 128);
  EXPECT_TRUE(ring_.IsEmpty());
}

TEST_F(RingBufferTest, ReadModeKeepsTheQueueFilledFromTheInputAndEndsWithTheSource) {
  test::TPatternSource source(8192 * 7 + 300);
  const TWaveFormatEx f = BuildPcmFormat(TMMBits::b16Bit, TMMMode::mStereo, 44100);
  source.SetPWaveFormat(&f);
  ring_.SetInput(&source);
  Open(TMMQueueMode::qmRead, 8192, 6);
  int fills = 0;
  ring_.OnFillQueue = [&](TObject*) { ++fills; };
  std::vector<std::uint8_t> got;
  bool more = true;
  int reads = 0;
  while (more && reads < 100) {
    // Read at the pace of a player: once the worker has put something in.
    if (reads > 0) {
      ASSERT_TRUE(RunUntil([&] { return !ring_.IsEmpty(); }, kWait));
    }
    const Buffer b = Read(4096, &more);
    ASSERT_GT(b.hdr.dwBytesRecorded, 0) << "read " << reads;
    got.insert(got.end(), b.data.begin(), b.data.begin() + b.hdr.dwBytesRecorded);
    ++reads;
  }
  EXPECT_FALSE(more);
  EXPECT_EQ(got, Pattern(0, 8192 * 7 + 300)) << "the end comes with the last bytes, also across half-slot reads";
  EXPECT_GE(fills, 1);
  EXPECT_EQ(empties_, 0);
  ring_.Close();
}

TEST_F(RingBufferTest, ReadModeEndsWithASilentBufferWhenTheSourceStopsBetweenSlots) {
  test::TPatternSource source(8192 * 2);  // says "more" with its last bytes
  const TWaveFormatEx f = BuildPcmFormat(TMMBits::b16Bit, TMMMode::mStereo, 44100);
  source.SetPWaveFormat(&f);
  ring_.SetInput(&source);
  Open(TMMQueueMode::qmRead, 8192, 8);
  bool more = true;
  EXPECT_EQ(Read(8192, &more).Bytes(), Pattern(0, 8192));
  EXPECT_EQ(Read(8192, &more).Bytes(), Pattern(8192, 8192));
  ASSERT_TRUE(RunUntil([&] { return Read(8192, &more), !more; }, kWait))
      << "the reader must learn of the end, not get silence forever";
  ring_.Close();
}

// An input that delivers nothing until released.
class TStalledSource : public TMMDSPComponent {
 public:
  void BufferLoad(PMMWaveHdr h, bool& more) override {
    release.WaitFor(kWait);
    h->dwBytesRecorded = 0;
    more = false;
  }
  TEvent release{true};
};

TEST_F(RingBufferTest, ReadModeFirstReadGivesNothingAfterTimeOut) {
  TStalledSource source;
  ring_.SetInput(&source);
  ring_.SetTimeOut(50);
  Open(TMMQueueMode::qmRead, 1024, 4);
  bool more = true;
  const Buffer b = Read(1024, &more);
  EXPECT_EQ(b.hdr.dwBytesRecorded, 0);
  source.release.Set();
  ring_.Close();
}

TEST_F(RingBufferTest, WriteModeFlushesToTheOutputInOrderOnItsWorkerAndAtStop) {
  test::TRecordingSink sink;
  ring_.SetOutput(&sink);
  Open(TMMQueueMode::qmWrite, 1000, 8);
  std::atomic<int> flushes{0}, flushEnds{0};
  ring_.OnFlushQueue = [&](TObject*) { ++flushes; };
  ring_.OnFlushQueueEnd = [&](TObject*) { ++flushEnds; };
  ring_.Start();
  for (int i = 0; i < 3; ++i) Write(i * 1000u, 1000);
  EXPECT_EQ(sink.Count(), 0);
  Write(3000, 1000);
  ASSERT_TRUE(RunUntil([&] { return sink.Data().size() == 4000; }, kWait)) << "half full starts a flush run";
  EXPECT_NE(sink.Threads().at(0), std::this_thread::get_id());
  ASSERT_TRUE(RunUntil([&] { return flushEnds == 1; }, kWait));
  Write(4000, 1000);
  Write(5000, 1000);
  ring_.Stop();  // the rest is flushed on the calling thread
  EXPECT_EQ(sink.Data(), Pattern(0, 6000));
  EXPECT_EQ(sink.Threads().back(), std::this_thread::get_id());
  EXPECT_EQ(flushes, 2);
  ring_.Close();
}

TEST_F(RingBufferTest, PropertyRules) {
  ring_.SetNumBuffers(1);
  EXPECT_EQ(ring_.NumBuffers(), 20);
  ring_.SetBufferSize(16);
  EXPECT_EQ(ring_.BufferSize(), 32);
  Open(TMMQueueMode::qmDuplex, 2048, 20);
  const std::string open = "Change to property while device was open";
  EXPECT_EQ(ErrorOf([&] { ring_.SetQueueMode(TMMQueueMode::qmRead); }), open);
  EXPECT_EQ(ErrorOf([&] { ring_.SetBufferSize(4096); }), open);
  EXPECT_EQ(ErrorOf([&] { ring_.SetNumBuffers(10); }), open);
  ring_.CloseQueue();
  EXPECT_FALSE(ring_.QueueOpened());
  ring_.SetQueueMode(TMMQueueMode::qmRead);
  EXPECT_EQ(ring_.QueueMode(), TMMQueueMode::qmRead);
  Buffer b(64);
  bool more = true;
  ring_.SetQueueMode(TMMQueueMode::qmDuplex);
  ring_.BufferLoad(&b.hdr, more);
  EXPECT_EQ(b.hdr.dwBytesRecorded, 0) << "a closed queue delivers nothing";
}

}  // namespace
}  // namespace strataeq
