#include "platform/Messages.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <unordered_map>

namespace strataeq {
namespace {

struct QueueItem {
  THandle window = 0;  // 0: a closure
  TMessage message;
  std::function<void()> closure;
};

struct Queue {
  std::mutex mutex;
  std::condition_variable arrived;
  std::deque<QueueItem> items;
  std::unordered_map<THandle, TWindowProc> windows;
  THandle nextHandle = 1;
  std::function<void()> wakeHook;
};

Queue& TheQueue() {
  static Queue queue;
  return queue;
}

std::atomic<std::thread::id> gMainThread{std::this_thread::get_id()};
std::atomic<bool> gTerminated{false};

void Post(QueueItem item) {
  Queue& q = TheQueue();
  std::function<void()> hook;
  {
    std::lock_guard lock(q.mutex);
    q.items.push_back(std::move(item));
    hook = q.wakeHook;
  }
  q.arrived.notify_all();
  if (hook) hook();
}

// Dispatches one queued item; false when the queue was empty.
bool DispatchOne() {
  Queue& q = TheQueue();
  QueueItem item;
  TWindowProc proc;
  {
    std::lock_guard lock(q.mutex);
    if (q.items.empty()) return false;
    item = std::move(q.items.front());
    q.items.pop_front();
    if (item.window != 0) {
      auto it = q.windows.find(item.window);
      if (it == q.windows.end()) return true;
      proc = it->second;  // a copy: the window may be destroyed by its own procedure
    }
  }
  if (item.window == 0) {
    item.closure();
  } else {
    try {
      proc(item.message);
    } catch (...) {
      Application().HandleException(std::current_exception());
    }
  }
  return true;
}

}  // namespace

void DefWindowProc(TMessage& msg) { msg.Result = 0; }

TNotifyWindow::TNotifyWindow(TWindowProc proc) {
  Queue& q = TheQueue();
  std::lock_guard lock(q.mutex);
  handle_ = q.nextHandle++;
  q.windows.emplace(handle_, std::move(proc));
}

TNotifyWindow::~TNotifyWindow() {
  Queue& q = TheQueue();
  std::lock_guard lock(q.mutex);
  q.windows.erase(handle_);
  std::erase_if(q.items, [this](const QueueItem& i) { return i.window == handle_; });
}

bool PostMessage(THandle window, std::uint32_t msg, WPARAM wparam, LPARAM lparam) {
  {
    Queue& q = TheQueue();
    std::lock_guard lock(q.mutex);
    if (window == 0 || !q.windows.contains(window)) return false;
  }
  QueueItem item;
  item.window = window;
  item.message = TMessage{msg, wparam, lparam, 0};
  Post(std::move(item));
  return true;
}

LRESULT SendMessage(THandle window, std::uint32_t msg, WPARAM wparam, LPARAM lparam) {
  TMessage message{msg, wparam, lparam, 0};
  RunOnMainThread([&] {
    TWindowProc proc;
    {
      Queue& q = TheQueue();
      std::lock_guard lock(q.mutex);
      auto it = q.windows.find(window);
      if (it == q.windows.end()) return;
      proc = it->second;
    }
    proc(message);
  });
  return message.Result;
}

void RemoveMessages(THandle window, std::uint32_t first, std::uint32_t last) {
  Queue& q = TheQueue();
  std::lock_guard lock(q.mutex);
  std::erase_if(q.items, [&](const QueueItem& i) {
    return i.window == window && i.message.Msg >= first && i.message.Msg <= last;
  });
}

int PendingMessageCount(THandle window, std::uint32_t first, std::uint32_t last) {
  Queue& q = TheQueue();
  std::lock_guard lock(q.mutex);
  int n = 0;
  for (const QueueItem& i : q.items)
    if (i.window != 0 && (window == 0 || i.window == window) && i.message.Msg >= first &&
        i.message.Msg <= last)
      ++n;
  return n;
}

void ProcessPendingMessages() {
  while (DispatchOne()) {
  }
}

bool WaitForMessage(std::chrono::milliseconds timeout) {
  Queue& q = TheQueue();
  std::unique_lock lock(q.mutex);
  return q.arrived.wait_for(lock, timeout, [&] { return !q.items.empty(); });
}

bool RunUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    ProcessPendingMessages();
    if (predicate()) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    // A short slice: the predicate may turn true through another thread alone.
    WaitForMessage(std::min(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now),
                            std::chrono::milliseconds(5)));
  }
}

void RunOnMainThread(const std::function<void()>& fn) {
  if (IsMainThread()) {
    fn();
    return;
  }
  std::mutex m;
  std::condition_variable done;
  bool finished = false;
  std::exception_ptr error;
  QueueItem item;
  item.closure = [&] {
    try {
      fn();
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard lock(m);
    finished = true;
    done.notify_all();
  };
  Post(std::move(item));
  std::unique_lock lock(m);
  done.wait(lock, [&] { return finished; });
  if (error) std::rethrow_exception(error);
}

void PostToMainThread(std::function<void()> fn) {
  QueueItem item;
  item.closure = [fn = std::move(fn)] {
    try {
      fn();
    } catch (...) {
      Application().HandleException(std::current_exception());
    }
  };
  Post(std::move(item));
}

bool IsMainThread() { return std::this_thread::get_id() == gMainThread.load(); }
std::thread::id MainThreadId() { return gMainThread.load(); }
void SetMainThread() { gMainThread.store(std::this_thread::get_id()); }

void SetQueueWakeHook(std::function<void()> hook) {
  Queue& q = TheQueue();
  std::lock_guard lock(q.mutex);
  q.wakeHook = std::move(hook);
}

std::string ExceptionMessage(std::exception_ptr e) {
  try {
    if (e) std::rethrow_exception(e);
  } catch (const std::exception& ex) {
    return ex.what();
  } catch (...) {
  }
  return "Unknown exception";
}

void TApplication::HandleException(std::exception_ptr e) {
  if (!IsMainThread()) {
    PostToMainThread([this, e] { HandleException(e); });
    return;
  }
  if (OnException) {
    OnException(e);
    return;
  }
  std::fprintf(stderr, "%s\n", ExceptionMessage(e).c_str());
}

bool TApplication::Terminated() const { return gTerminated.load(); }
void TApplication::Terminate() {
  gTerminated.store(true);
  Post(QueueItem{0, {}, [] {}});  // wake a waiting loop
}
void TApplication::ResetTerminated() { gTerminated.store(false); }

void TApplication::ShowMessageBox(const std::string& title, const std::string& text) {
  if (OnMessageBox) {
    OnMessageBox(title, text);
    return;
  }
  std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
}

void TApplication::SetBusyCursor(bool busy) {
  if (OnBusyCursor) OnBusyCursor(busy);
}

TApplication& Application() {
  static TApplication app;
  return app;
}

}  // namespace strataeq
