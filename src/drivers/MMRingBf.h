// A queue of fixed-size slots between two ends of a chain that run at their own
// pace: written by the recording side and read by the playback side (qmDuplex), kept
// filled from the input by a worker (qmRead), or emptied into the output by a worker
// (qmWrite); qmNone passes buffers straight through.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <vector>

#include "foundation/MMDSPObj.h"
#include "platform/Threads.h"

namespace strataeq {

STRATAEQ_DECLARE_ERROR(EMMBufferError);

enum class TMMQueueMode { qmNone, qmRead, qmWrite, qmDuplex };

// Slot flags.
inline constexpr std::uint32_t RB_END_OF_DATA = 0x1;  // nothing follows this slot
inline constexpr std::uint32_t RB_LOOP_MARK = 0x2;    // the source wrapped round in this slot

class TMMRingBuffer : public TMMDSPComponent {
 public:
  TMMRingBuffer();
  ~TMMRingBuffer() override;

  void SetBufferSize(std::int32_t value) override;  // at least 32; not while the queue is open
  std::int32_t NumBuffers() const { return numBuffers_; }
  void SetNumBuffers(std::int32_t value);           // 1 or less is ignored; not while open
  // Between two devices (qmDuplex) reading gives silence until this many slots are
  // filled; 0 (the default): more than half of them. A level asked for is the delay
  // wanted: slots beyond it are dropped at priming; later, 16-bit sound is read
  // through a resampler whose rate moves by up to half a per cent to bring the level
  // back (other formats drop a slot whenever reads kept the level for half a second).
  // Only a recording that finds the ring full skips back to the level at once. Once primed,
  // a read that finds the ring empty waits up to one slot's time for the recording
  // before it gives silence.
  std::int32_t PrimeSlots() const { return primeSlots_.load(); }
  void SetPrimeSlots(std::int32_t value) { primeSlots_ = std::max(value, 0); }
  TMMQueueMode QueueMode() const { return mode_; }
  void SetQueueMode(TMMQueueMode value);            // not while open
  bool Enabled() const { return enabled_.load(); }
  void SetEnabled(bool value) { enabled_ = value; }
  bool WaitIfFull() const { return waitIfFull_.load(); }
  void SetWaitIfFull(bool value) { waitIfFull_ = value; }
  bool LoopIfEmpty() const { return loopIfEmpty_.load(); }
  void SetLoopIfEmpty(bool value) { loopIfEmpty_ = value; }
  std::int32_t TimeOut() const { return timeOut_.load(); }
  void SetTimeOut(std::int32_t value) { timeOut_ = value; }

  // Queue queries, each read under the lock.
  bool IsEmpty() const;
  bool IsFull() const;
  std::int32_t BuffersUsed() const;
  std::int32_t BytesQueued() const;
  std::int32_t BytesFree() const;
  bool QueueOpened() const { return queueOpen_.load(); }

  // The chain's Open and Close call these; the owner may close the queue directly.
  void OpenQueue();
  void CloseQueue();

  // Splits data into slot-sized pieces until it is used up or the queue is full; only
  // the last piece carries flags. Returns the bytes written.
  std::int32_t WriteBlock(const void* data, std::int32_t length, std::uint32_t flags);
  // Reads until length, an empty queue or an empty read. Returns the bytes read.
  std::int32_t ReadBlock(void* dest, std::int32_t length);

  void Open() override;
  void Close() override;
  void Start() override;
  void Stop() override;
  void Reset() override;
  // Writer side (qmWrite, qmDuplex); passes through otherwise.
  void BufferReady(PMMWaveHdr lpwh) override;
  // Reader side (qmRead, qmDuplex); passes through otherwise.
  void BufferLoad(PMMWaveHdr lpwh, bool& MoreBuffers) override;

  TNotifyEvent OnOverlow, OnEmpty, OnFillQueue, OnFillQueueEnd, OnFlushQueue, OnFlushQueueEnd;
  // Between two devices: queued slots were dropped to bring the delay back to the
  // primed level (a skip the listener hears); fired once per skip, on the reader's
  // thread (one slot, without a resampler) or the recording's (a full held ring).
  TNotifyEvent OnSlotDropped;
  // Reads in a row, the present one included, that found nothing to deliver: an
  // OnEmpty handler counts one silence where this is 1.
  std::int32_t EmptyReadsInARow() const { return emptyReads_.load(); }
  // Drops with no delivering read between them, the present one included: one jump the
  // listener hears (while the player takes nothing, a whole stall of them), so an
  // OnSlotDropped handler counts one gap where this is 1.
  std::int32_t DropsInARow() const { return dropsInARow_.load(); }
  // Slots dropped to hold the delay since the queue opened.
  std::int64_t SlotsLost() const { return slotsLost_.load(); }
  // Frames read per frame delivered while the delay is held by resampling (1: none).
  double RateRatio() const { return rateRatio_.load(); }

 protected:
  // One per notification; each fires its event on the thread that found the condition.
  virtual void DoOverflow();
  virtual void DoEmpty();
  virtual void DoFillQueue();
  virtual void DoFillQueueEnd();
  virtual void DoFlushQueue();
  virtual void DoFlushQueueEnd();

 private:
  class TMMQueueThread;
  friend class TMMQueueThread;

  struct Slot {
    char* data = nullptr;
    std::int32_t length = 0;
    std::uintptr_t user = 0;
    std::uint32_t flags = 0;
  };

  void WriteSlot(const void* data, std::int32_t length, std::uint32_t flags, std::uintptr_t user);
  std::int32_t ReadSlot(void* dest, std::int32_t wanted, std::uint32_t& flags, std::uintptr_t& user);
  void FillSilence(void* dest, std::int32_t bytes) const;
  void AwaitRecording(std::unique_lock<TCriticalSection>& lock, std::int32_t bytes = 1);
  void DropOldest();     // holds cs_
  bool TrimExcess();     // holds cs_; true when it dropped a slot
  // Primed duplex read through the resampler; holds cs_.
  std::int32_t ReadHeld(char* dest, std::int32_t wanted, std::unique_lock<TCriticalSection>& lock,
                        std::uint32_t& flags, std::uintptr_t& user);
  bool SkipToLevel();    // writer of a held ring: true when a full ring was dropped back
  void SteerRate();      // holds cs_
  void ClearCounters();  // holds cs_
  void Drain();
  void RunRequested();   // queue worker: a fill or a flush run
  void FillRun();
  void FlushRun();
  void EndRun();
  void StartWorker();
  void EndWorker();
  void WaitForRun();     // lets a run in progress end before the queue is emptied
  void Fire(const TNotifyEvent& e) {
    if (e) e(this);
  }

  std::int32_t numBuffers_ = 20;
  std::atomic<std::int32_t> primeSlots_{0};
  TMMQueueMode mode_ = TMMQueueMode::qmNone;
  std::atomic<bool> enabled_{true};
  std::atomic<bool> waitIfFull_{false};
  std::atomic<bool> loopIfEmpty_{false};
  std::atomic<std::int32_t> timeOut_{10000};

  mutable TCriticalSection cs_;
  std::condition_variable_any written_;  // a slot was filled, or the queue stops
  std::atomic<bool> queueOpen_{false};
  std::int32_t slotSize_ = 0;  // the buffer size in effect while open
  std::vector<char> storage_;
  std::vector<Slot> slots_;
  // Counters, guarded by cs_.
  std::int32_t slotsFilled_ = 0;
  std::int32_t bytesQueued_ = 0;
  std::int32_t writeIndex_ = 0;
  std::int32_t readIndex_ = 0;
  std::int32_t lastRead_ = -1;
  std::int32_t windowReads_ = 0;  // reads since the last trim check
  std::int32_t lowestLevel_ = 0;  // fewest slots a read left behind since then
  bool endPending_ = false;  // input ended while the queue was empty: the next empty read says so
  std::atomic<bool> primed_{false};
  std::atomic<bool> stop_{false};
  // Loop state between the puller's records and the fill runs, guarded by cs_.
  bool loopFlag_ = false;
  std::int32_t loopCount_ = 0;
  std::int32_t loopCounter_ = 0;
  std::int32_t loopMark_ = 0;
  std::int32_t fillChunk_ = 0;
  std::int32_t flushChunk_ = 0;
  TWaveHdrBlock scratch_;
  std::size_t scratchSize_ = 0;

  std::unique_ptr<TEvent> readyEvent_, requestEvent_, doneEvent_, terminateEvent_;
  std::unique_ptr<TMMQueueThread> worker_;
  std::atomic<bool> workerFailed_{false};
  std::atomic<std::int64_t> slotsLost_{0};
  std::atomic<std::int32_t> emptyReads_{0};  // the reader's alone
  std::atomic<std::int32_t> dropsInARow_{0};
  // The resampler that holds the primed level (16-bit duplex with a level asked for).
  struct TRateHold;
  std::unique_ptr<TRateHold> hold_;
  std::atomic<double> rateRatio_{1.0};
};

}  // namespace strataeq
