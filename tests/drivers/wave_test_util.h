// Chain ends for the device driver tests: a source that delivers a known byte
// pattern, a sink that records what reaches it, and an event log.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/MMDSPObj.h"
#include "platform/Messages.h"

namespace strataeq::test {

// Byte i of the pattern every source delivers; not periodic at any buffer size.
inline std::uint8_t PatternByte(std::size_t i) {
  return static_cast<std::uint8_t>((i * 7) ^ (i >> 8) ^ (i >> 16));
}
inline std::vector<std::uint8_t> Pattern(std::size_t from, std::size_t count) {
  std::vector<std::uint8_t> v(count);
  for (std::size_t i = 0; i < count; ++i) v[i] = PatternByte(from + i);
  return v;
}

// Delivers Total bytes of the pattern (endless when negative), then no more data.
class TPatternSource : public TMMDSPComponent {
 public:
  explicit TPatternSource(std::int64_t total = -1) : total_(total) {}
  void BufferLoad(PMMWaveHdr h, bool& more) override {
    std::lock_guard lock(mutex_);
    std::int64_t n = h->dwBufferLength;
    if (total_ >= 0) n = std::min<std::int64_t>(n, total_ - pos_);
    n = std::max<std::int64_t>(n, 0);
    for (std::int64_t i = 0; i < n; ++i) h->lpData[i] = static_cast<char>(PatternByte(static_cast<std::size_t>(pos_ + i)));
    pos_ += n;
    h->dwBytesRecorded = static_cast<std::int32_t>(n);
    more = total_ < 0 || pos_ < total_;
    ++loads_;
  }
  int Loads() {
    std::lock_guard lock(mutex_);
    return loads_;
  }
  void Reset() override {
    std::lock_guard lock(mutex_);
    ++resets_;
  }
  int Resets() {
    std::lock_guard lock(mutex_);
    return resets_;
  }

 private:
  std::mutex mutex_;
  std::int64_t total_;
  std::int64_t pos_ = 0;
  int loads_ = 0;
  int resets_ = 0;
};

// Records every buffer pushed to it; OnPush runs first, on the pushing thread.
class TRecordingSink : public TMMDSPComponent {
 public:
  void BufferReady(PMMWaveHdr h) override {
    if (OnPush) OnPush(h);
    std::lock_guard lock(mutex_);
    const std::int32_t n = std::max(h->dwBytesRecorded, 0);
    data_.insert(data_.end(), h->lpData, h->lpData + n);
    sizes_.push_back(h->dwBytesRecorded);
    threads_.push_back(std::this_thread::get_id());
  }
  std::vector<std::uint8_t> Data() {
    std::lock_guard lock(mutex_);
    return data_;
  }
  std::vector<std::int32_t> Sizes() {
    std::lock_guard lock(mutex_);
    return sizes_;
  }
  std::vector<std::thread::id> Threads() {
    std::lock_guard lock(mutex_);
    return threads_;
  }
  int Count() {
    std::lock_guard lock(mutex_);
    return static_cast<int>(sizes_.size());
  }
  std::function<void(PMMWaveHdr)> OnPush;

 private:
  std::mutex mutex_;
  std::vector<std::uint8_t> data_;
  std::vector<std::int32_t> sizes_;
  std::vector<std::thread::id> threads_;
};

// Names of fired events, in order, from any thread.
class TEventLog {
 public:
  TNotifyEvent Note(std::string name) {
    return [this, name](TObject*) { Add(name); };
  }
  void Add(const std::string& name) {
    std::lock_guard lock(mutex_);
    log_.push_back(name);
  }
  std::vector<std::string> All() {
    std::lock_guard lock(mutex_);
    return log_;
  }
  int Count(const std::string& name) {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count(log_.begin(), log_.end(), name));
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> log_;
};

// Captures what reaches the application's exception handler and its message boxes.
class TAppCapture {
 public:
  TAppCapture() {
    Application().OnException = [this](std::exception_ptr e) {
      std::lock_guard lock(mutex_);
      exceptions_.push_back(ExceptionMessage(e));
    };
    Application().OnMessageBox = [this](const std::string& title, const std::string& text) {
      std::lock_guard lock(mutex_);
      boxes_.push_back(title + "|" + text);
    };
    Application().OnBusyCursor = [this](bool busy) {
      std::lock_guard lock(mutex_);
      cursor_.push_back(busy);
    };
  }
  ~TAppCapture() {
    ProcessPendingMessages();
    Application().OnException = nullptr;
    Application().OnMessageBox = nullptr;
    Application().OnBusyCursor = nullptr;
  }
  std::vector<std::string> Exceptions() {
    std::lock_guard lock(mutex_);
    return exceptions_;
  }
  std::vector<std::string> Boxes() {
    std::lock_guard lock(mutex_);
    return boxes_;
  }
  std::vector<bool> Cursor() {
    std::lock_guard lock(mutex_);
    return cursor_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> exceptions_;
  std::vector<std::string> boxes_;
  std::vector<bool> cursor_;
};

// The message of the exception f raises, or "" when it raises none.
template <typename F>
std::string ErrorOf(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return {};
}

}  // namespace strataeq::test
