#include "drivers/MMBlockQ.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "foundation/MMPCMSup.h"
#include "platform/Messages.h"

namespace strataeq {
namespace {
// Of 16-bit samples; a block of wider samples holds as many, so that float queues
// wake their sides no more often than 16-bit ones.
constexpr std::int32_t kBlockBytes = 65536;
}  // namespace

template <class Done>
void TMMBlockQueue::WaitCounted(std::unique_lock<std::mutex>& lock, std::int32_t& waiters, Done done) {
  if (done()) return;
  ++waiters;
  changed_.wait(lock, done);
  --waiters;
}

bool TMMBlockQueue::WorkerMayGo() const {
  if (quit_) return true;
  if (mode_ == TMMBlockQueueMode::bqWriteBehind) return filled_ > 0;
  if (!running_ || ended_ || filled_ == numBlocks_) return false;
  return !refilling_ || filled_ <= numBlocks_ / 2;
}

void TMMBlockQueue::Notify(std::unique_lock<std::mutex>& lock) {
  // Outside the lock: a waiter woken under it would at once wait again, for the lock.
  lock.unlock();
  changed_.notify_all();
  lock.lock();
}

void TMMBlockQueue::WakeWorker(std::unique_lock<std::mutex>& lock) {
  if (workerWaits_ == 0 || !WorkerMayGo()) return;
  // A writer is woken once a quarter of the queue is filled, then writes all there is:
  // one wake-up per several blocks. Stop, which waits for the rest, wakes it itself.
  if (mode_ == TMMBlockQueueMode::bqWriteBehind && !quit_ && filled_ < std::max(numBlocks_ / 4, 1)) return;
  Notify(lock);
}

void TMMBlockQueue::WakeNearSide(std::unique_lock<std::mutex>& lock) {
  if (nearWaits_ == 0) return;
  // A producer waiting for room goes on when the queue is half empty (and Stop, which
  // waits for it to empty, no sooner).
  if (mode_ == TMMBlockQueueMode::bqWriteBehind && running_ && !failure_ && filled_ > numBlocks_ / 2) return;
  Notify(lock);
}

TMMBlockQueue::TMMBlockQueue(TMMBlockQueueMode mode) : mode_(mode) {}

TMMBlockQueue::~TMMBlockQueue() {
  try {
    Close();
  } catch (...) {
  }
}

void TMMBlockQueue::SetNumBlocks(std::int32_t value) {
  if (Opened()) throw EMMError(LoadResString(msg::PropertyWhileOpen));
  numBlocks_ = std::max(value, 2);
}

void TMMBlockQueue::Open() {
  if (Opened()) return;
  TMMDSPComponent::Open();
  try {
    const std::int32_t buffer = std::max(BufferSize(), 1);
    const std::int32_t widen = std::max(SampleBytes(SampleTypeOf(PWaveFormat())) / 2, 1);
    blockSize_ = std::max(kBlockBytes * widen / buffer, 1) * buffer;
    blocks_.resize(static_cast<std::size_t>(numBlocks_));
    for (Block& b : blocks_) b.hdr = AllocWaveHeader(static_cast<std::size_t>(blockSize_));
    {
      std::lock_guard lock(m_);
      head_ = filled_ = offset_ = loaned_ = 0;
      running_ = ended_ = busy_ = quit_ = refilling_ = false;
      failure_ = nullptr;
    }
    worker_ = std::thread([this] { Work(); });
  } catch (...) {
    blocks_.clear();
    TMMDSPComponent::Close();
    throw;
  }
}

void TMMBlockQueue::EndWorker() {
  if (!worker_.joinable()) return;
  {
    std::lock_guard lock(m_);
    quit_ = true;
  }
  changed_.notify_all();
  worker_.join();
}

void TMMBlockQueue::Close() {
  if (!Opened()) return;
  Stop();
  EndWorker();
  blocks_.clear();
  TMMDSPComponent::Close();
}

void TMMBlockQueue::Start() {
  if (!Opened()) return;
  {
    std::lock_guard lock(m_);
    head_ = filled_ = offset_ = loaned_ = 0;
    ended_ = refilling_ = false;
    failure_ = nullptr;
    running_ = true;
  }
  changed_.notify_all();
  TMMDSPComponent::Start();
}

void TMMBlockQueue::Stop() {
  std::exception_ptr unreported;
  {
    std::unique_lock lock(m_);
    if (mode_ == TMMBlockQueueMode::bqWriteBehind) {
      // Everything accepted reaches the output before the output itself stops.
      if (running_) PublishGathered(lock);
      changed_.notify_all();  // the writer, whatever the batch it waits for
      WaitCounted(lock, nearWaits_, [&] { return (filled_ == 0 && !busy_) || !worker_.joinable(); });
      unreported = std::exchange(failure_, nullptr);
    }
    running_ = false;
    changed_.notify_all();
    // A pull in progress ends before the input is closed behind it.
    WaitCounted(lock, nearWaits_, [&] { return !busy_; });
    head_ = filled_ = offset_ = loaned_ = 0;
    ended_ = false;
    failure_ = nullptr;
  }
  changed_.notify_all();
  if (unreported) Application().HandleException(std::move(unreported));
  TMMDSPComponent::Stop();
}

void TMMBlockQueue::Work() {
  std::unique_lock lock(m_);
  for (;;) {
    WaitCounted(lock, workerWaits_, [&] {
      // A full queue is let half empty before the reader goes on, so that the two sides
      // wake each other once per several blocks.
      if (mode_ == TMMBlockQueueMode::bqReadAhead && filled_ == numBlocks_) refilling_ = true;
      return WorkerMayGo();
    });
    if (quit_ && (mode_ == TMMBlockQueueMode::bqReadAhead || filled_ == 0)) return;
    refilling_ = false;
    busy_ = true;
    lock.unlock();
    if (mode_ == TMMBlockQueueMode::bqReadAhead) {
      ReadOne();
    } else {
      WriteOne();
    }
    lock.lock();
    busy_ = false;
    WakeNearSide(lock);
  }
}

void TMMBlockQueue::ReadOne() {
  std::int32_t index;
  {
    std::lock_guard lock(m_);
    index = (head_ + filled_) % numBlocks_;
  }
  Block& b = blocks_[static_cast<std::size_t>(index)];
  TMMWaveHdr* h = b.hdr.get();
  h->dwBufferLength = static_cast<std::uint32_t>(blockSize_);
  h->dwBytesRecorded = 0;
  h->dwUser = 0;
  h->LoopRec = h->LoopCount = h->LoopTempCount = h->LoopMark = 0;
  bool more = false;
  std::exception_ptr failure;
  try {
    TMMDSPComponent::BufferLoad(h, more);
  } catch (...) {
    failure = std::current_exception();
  }
  const std::int32_t n = std::clamp(h->dwBytesRecorded, 0, blockSize_);
  h->dwBytesRecorded = n;
  b.more = more && n > 0;
  std::lock_guard lock(m_);
  if (failure) failure_ = std::move(failure);  // the reader then frees it (see HandleException)
  // An empty pull ends the data, as it does for a puller reading the input directly.
  if (n > 0 && !failure) ++filled_;
  if (!b.more || failure) ended_ = true;
}

void TMMBlockQueue::WriteOne() {
  Block& b = blocks_[static_cast<std::size_t>(head_)];  // only the consumer moves head_
  std::exception_ptr failure;
  try {
    TMMDSPComponent::BufferReady(b.hdr.get());
  } catch (...) {
    failure = std::current_exception();
  }
  std::lock_guard lock(m_);
  if (failure && !failure_) failure_ = std::move(failure);
  head_ = (head_ + 1) % numBlocks_;
  --filled_;
}

void TMMBlockQueue::RaisePending(std::unique_lock<std::mutex>& lock) {
  if (!failure_) return;
  std::exception_ptr e = std::exchange(failure_, nullptr);
  lock.unlock();
  std::rethrow_exception(e);
}

void TMMBlockQueue::BufferLoad(PMMWaveHdr lpwh, bool& MoreBuffers) {
  if (mode_ != TMMBlockQueueMode::bqReadAhead || !lpwh) {
    TMMDSPComponent::BufferLoad(lpwh, MoreBuffers);
    return;
  }
  const std::int32_t want = static_cast<std::int32_t>(std::min<std::uint32_t>(lpwh->dwBufferLength, 0x7FFFFFFF));
  std::int32_t got = 0;
  bool more = true;
  std::unique_lock lock(m_);
  while (got < want) {
    WaitCounted(lock, nearWaits_, [&] { return filled_ > 0 || ended_ || !running_; });
    if (filled_ == 0) {
      if (running_ && got == 0) RaisePending(lock);
      more = running_ && failure_ != nullptr;  // a failure still to raise comes next call
      break;
    }
    Block& b = blocks_[static_cast<std::size_t>(head_)];
    const std::int32_t from = offset_;
    lock.unlock();
    const std::int32_t take = std::min(b.hdr->dwBytesRecorded - from, want - got);
    std::memcpy(lpwh->lpData + got, b.hdr->lpData + from, static_cast<std::size_t>(take));
    got += take;
    const bool usedUp = from + take >= b.hdr->dwBytesRecorded;
    const bool blockMore = b.more;
    lock.lock();
    if (!running_) {  // stopped meanwhile: the queue was emptied
      more = false;
      break;
    }
    if (!usedUp) {
      offset_ = from + take;
      continue;
    }
    offset_ = 0;
    head_ = (head_ + 1) % numBlocks_;
    --filled_;
    WakeWorker(lock);
    if (!blockMore) {
      more = false;
      break;
    }
  }
  lock.unlock();
  lpwh->dwBytesRecorded = got;
  lpwh->LoopMark = 0;
  MoreBuffers = more;
}

const std::uint8_t* TMMBlockQueue::LoanLoad(std::int32_t maxBytes, std::int32_t& bytes, bool& MoreBuffers) {
  bytes = 0;
  MoreBuffers = false;
  if (mode_ != TMMBlockQueueMode::bqReadAhead || maxBytes <= 0) return nullptr;
  std::unique_lock lock(m_);
  WaitCounted(lock, nearWaits_, [&] { return filled_ > 0 || ended_ || !running_; });
  // The end, a failure or a stop: BufferLoad says which.
  if (filled_ == 0 || !running_) return nullptr;
  const Block& b = blocks_[static_cast<std::size_t>(head_)];
  // The block stays the consumer's until ReleaseLoaned: the worker fills only blocks
  // past the filled ones, and a stop keeps the blocks until Close.
  bytes = std::min(b.hdr->dwBytesRecorded - offset_, maxBytes);
  loaned_ = bytes;
  MoreBuffers = b.more || offset_ + bytes < b.hdr->dwBytesRecorded;
  return reinterpret_cast<const std::uint8_t*>(b.hdr->lpData) + offset_;
}

void TMMBlockQueue::ReleaseLoaned() {
  std::unique_lock lock(m_);
  const std::int32_t n = std::exchange(loaned_, 0);
  if (!running_ || n <= 0) return;  // stopped meanwhile: the queue was emptied
  const Block& b = blocks_[static_cast<std::size_t>(head_)];
  offset_ += n;
  if (offset_ < b.hdr->dwBytesRecorded) return;
  offset_ = 0;
  head_ = (head_ + 1) % numBlocks_;
  --filled_;
  WakeWorker(lock);
}

void TMMBlockQueue::PublishGathered(std::unique_lock<std::mutex>& lock) {
  if (offset_ <= 0) return;
  TMMWaveHdr* h = blocks_[static_cast<std::size_t>((head_ + filled_) % numBlocks_)].hdr.get();
  h->dwBufferLength = static_cast<std::uint32_t>(offset_);
  h->dwBytesRecorded = offset_;
  offset_ = 0;
  ++filled_;
  WakeWorker(lock);
}

void TMMBlockQueue::BufferReady(PMMWaveHdr lpwh) {
  if (mode_ != TMMBlockQueueMode::bqWriteBehind || !lpwh) {
    TMMDSPComponent::BufferReady(lpwh);
    return;
  }
  const std::int32_t n = std::max(lpwh->dwBytesRecorded, 0);
  std::int32_t done = 0;
  std::unique_lock lock(m_);
  RaisePending(lock);
  while (done < n) {
    // A full queue is let half empty before this side goes on, so that the two sides
    // wake each other once per several blocks.
    if (filled_ == numBlocks_)
      WaitCounted(lock, nearWaits_, [&] { return filled_ <= numBlocks_ / 2 || !running_ || failure_; });
    RaisePending(lock);
    if (!running_) return;
    // Only this side touches the block being gathered, at the free end of the queue.
    TMMWaveHdr* h = blocks_[static_cast<std::size_t>((head_ + filled_) % numBlocks_)].hdr.get();
    const std::int32_t at = offset_;
    lock.unlock();
    const std::int32_t piece = std::min(n - done, blockSize_ - at);
    std::memcpy(h->lpData + at, lpwh->lpData + done, static_cast<std::size_t>(piece));
    done += piece;
    lock.lock();
    offset_ = at + piece;
    if (offset_ == blockSize_) PublishGathered(lock);
  }
}

}  // namespace strataeq
