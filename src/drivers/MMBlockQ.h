// A chain component that runs the part of the chain on one side of it on a thread of
// its own, joined to the other side by a fixed queue of preallocated blocks. Unlike
// the ring, nothing is ever dropped or made up: a reader waits for data, a writer for
// room, so file-to-file processing can spread over cores and stay byte for byte.
//
// A block holds whole buffers of the chain's size, at least 64 KB of 16-bit samples or
// as many float ones (128 KB; a file route's buffer of 128 KB is a block), so that each
// side wakes the other seldom.
// bqReadAhead: the worker pulls a block's worth from the input while a block is free;
// BufferLoad hands the bytes on in order, ending where the input ended.
// bqWriteBehind: BufferReady copies the buffer into the block being gathered (waiting
// for a free one when all are full); the worker pushes full blocks to the output. Stop
// hands on the last, partial block and lets the queue drain.
//
// A failure of the far side is raised on the near side's next call (or, when none
// comes, reported to the application from Stop). Components behind the queue run on
// its worker, which is not a driver thread: their events fire there, not on the main
// thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "foundation/MMDSPObj.h"

namespace strataeq {

enum class TMMBlockQueueMode { bqReadAhead, bqWriteBehind };

class TMMBlockQueue : public TMMDSPComponent {
 public:
  explicit TMMBlockQueue(TMMBlockQueueMode mode = TMMBlockQueueMode::bqReadAhead);
  ~TMMBlockQueue() override;

  TMMBlockQueueMode Mode() const { return mode_; }
  std::int32_t NumBlocks() const { return numBlocks_; }
  void SetNumBlocks(std::int32_t value);  // at least 2; not while open

  void Open() override;
  void Close() override;
  void Start() override;
  void Stop() override;
  void BufferReady(PMMWaveHdr lpwh) override;
  void BufferLoad(PMMWaveHdr lpwh, bool& MoreBuffers) override;
  // Read-ahead: the rest of the oldest block, or maxBytes of it, in place.
  const std::uint8_t* LoanLoad(std::int32_t maxBytes, std::int32_t& bytes, bool& MoreBuffers) override;
  void ReleaseLoaned() override;

 private:
  struct Block {
    TWaveHdrBlock hdr;
    bool more = false;  // read-ahead: the source had more after this block
  };

  void Work();
  void ReadOne();   // worker, read-ahead: one pull
  void WriteOne();  // worker, write-behind: one push of the oldest block
  void PublishGathered(std::unique_lock<std::mutex>& lock);  // write-behind: the partial block
  void EndWorker();
  void RaisePending(std::unique_lock<std::mutex>& lock);  // rethrows a far-side failure
  // Waits on changed_ until done(), counted in waiters, so that the other side wakes
  // only a side that waits, and only when what it waits for may have come.
  template <class Done>
  void WaitCounted(std::unique_lock<std::mutex>& lock, std::int32_t& waiters, Done done);
  bool WorkerMayGo() const;  // the worker's wait would end now (m_ held)
  // The lock held: the near side changed the queue, or the worker did. Either may
  // unlock for a moment to wake the other side.
  void WakeWorker(std::unique_lock<std::mutex>& lock);
  void WakeNearSide(std::unique_lock<std::mutex>& lock);
  void Notify(std::unique_lock<std::mutex>& lock);

  const TMMBlockQueueMode mode_;
  std::int32_t numBlocks_ = 16;
  std::vector<Block> blocks_;
  std::int32_t blockSize_ = 0;

  std::mutex m_;
  std::condition_variable changed_;
  // Guarded by m_.
  std::int32_t head_ = 0;    // oldest filled block
  std::int32_t filled_ = 0;  // filled blocks
  bool running_ = false;     // between Start and Stop
  bool ended_ = false;       // read-ahead: the input has no more
  bool busy_ = false;        // the worker is inside the far side
  bool quit_ = false;
  bool refilling_ = false;   // read-ahead: the worker found the queue full and lets it half empty
  std::int32_t workerWaits_ = 0;  // the worker waits on changed_
  std::int32_t nearWaits_ = 0;    // threads of the near side wait on changed_
  std::exception_ptr failure_;
  // Read-ahead: the consumer's position in the oldest block; write-behind: the
  // producer's in the block it gathers.
  std::int32_t offset_ = 0;
  std::int32_t loaned_ = 0;  // read-ahead: bytes of the oldest block lent from offset_ on
  std::thread worker_;
};

}  // namespace strataeq
