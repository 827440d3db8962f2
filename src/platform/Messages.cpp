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

// Queue entries live in one pool: a post takes a free node and the dispatch gives it
// back, so a worker's post allocates nothing once the pool has grown to the peak.
struct QueueItem {
  THandle window = 0;  // 0: a closure
  TMessage message;
  std::function<void()> closure;
  QueueItem* next = nullptr;
};

struct Queue {
  std::mutex mutex;
  std::condition_variable arrived;
  QueueItem* head = nullptr;
  QueueItem* tail = nullptr;
  QueueItem* free = nullptr;
  std::size_t freeCount = 0;
  std::unordered_map<THandle, TWindowProc> windows;
  THandle nextHandle = 1;
  // The loop's wake is called under its own lock, not the queue's: a woken main thread
  // that took the queue's lock while the poster was still inside the wake's system call
  // slept once more, on the lock.
  std::mutex hookMutex;
  std::function<void()> wakeHook;
};

// Never destroyed: a detached timer thread may still post while the process exits.
Queue& TheQueue() {
  static Queue* const queue = new Queue;
  return *queue;
}

std::atomic<std::thread::id> gMainThread{std::this_thread::get_id()};
std::atomic<bool> gTerminated{false};

// Caller holds the mutex.
QueueItem* TakeNode(Queue& q) {
  if (QueueItem* n = q.free) {
    q.free = n->next;
    --q.freeCount;
    n->next = nullptr;
    return n;
  }
  return new QueueItem;  // the pool is empty: it grows by one
}

// Caller holds the mutex; the node's closure is already empty.
void GiveNode(Queue& q, QueueItem* n) {
  n->window = 0;
  n->message = {};
  n->next = q.free;
  q.free = n;
  ++q.freeCount;
}

void Append(Queue& q, QueueItem* n) {
  n->next = nullptr;
  if (q.tail)
    q.tail->next = n;
  else
    q.head = n;
  q.tail = n;
}

// Unlinks every queued node for which drop holds and gives it back; the closures are
// returned for destruction outside the lock. Caller holds the mutex.
template <typename Pred>
void DropQueued(Queue& q, Pred drop) {
  QueueItem* prev = nullptr;
  for (QueueItem* n = q.head; n;) {
    QueueItem* next = n->next;
    if (drop(*n)) {
      (prev ? prev->next : q.head) = next;
      if (q.tail == n) q.tail = prev;
      n->closure = nullptr;
      GiveNode(q, n);
    } else {
      prev = n;
    }
    n = next;
  }
}

// After a post. Under the hook's lock: a loop that removes its hook is never woken
// after it is gone.
void WakeLoop(Queue& q) {
  {
    std::lock_guard lock(q.hookMutex);
    if (q.wakeHook) q.wakeHook();
  }
  q.arrived.notify_all();
}

// Queues a node filled by fill (under the lock) and wakes the loop.
template <typename Fill>
void Post(Fill fill) {
  Queue& q = TheQueue();
  {
    std::lock_guard lock(q.mutex);
    QueueItem* n = TakeNode(q);
    fill(*n);
    Append(q, n);
  }
  WakeLoop(q);
}

void PostClosure(std::function<void()> closure) {
  Post([&](QueueItem& n) { n.closure = std::move(closure); });
}

// Dispatches one queued item; false when the queue was empty.
bool DispatchOne() {
  Queue& q = TheQueue();
  QueueItem* item;
  TWindowProc proc;
  {
    std::lock_guard lock(q.mutex);
    item = q.head;
    if (!item) return false;
    q.head = item->next;
    if (!q.head) q.tail = nullptr;
    if (item->window != 0) {
      auto it = q.windows.find(item->window);
      if (it == q.windows.end()) {
        GiveNode(q, item);
        return true;
      }
      proc = it->second;  // a copy: the window may be destroyed by its own procedure
    }
  }
  if (item->window == 0) {
    std::function<void()> closure = std::move(item->closure);
    item->closure = nullptr;
    {
      std::lock_guard lock(q.mutex);
      GiveNode(q, item);
    }
    closure();
  } else {
    TMessage message = item->message;
    {
      std::lock_guard lock(q.mutex);
      GiveNode(q, item);
    }
    try {
      proc(message);
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
  DropQueued(q, [this](const QueueItem& i) { return i.window == handle_; });
}

bool PostMessage(THandle window, std::uint32_t msg, WPARAM wparam, LPARAM lparam) {
  Queue& q = TheQueue();
  {
    std::lock_guard lock(q.mutex);
    if (window == 0 || !q.windows.contains(window)) return false;
    QueueItem* n = TakeNode(q);
    n->window = window;
    n->message = TMessage{msg, wparam, lparam, 0};
    Append(q, n);
  }
  WakeLoop(q);
  return true;
}

void ReserveMessages(std::size_t count) {
  Queue& q = TheQueue();
  std::lock_guard lock(q.mutex);
  while (q.freeCount < count) GiveNode(q, new QueueItem);
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
  DropQueued(q, [&](const QueueItem& i) {
    return i.window == window && i.message.Msg >= first && i.message.Msg <= last;
  });
}

int PendingMessageCount(THandle window, std::uint32_t first, std::uint32_t last) {
  Queue& q = TheQueue();
  std::lock_guard lock(q.mutex);
  int n = 0;
  for (const QueueItem* i = q.head; i; i = i->next)
    if (i->window != 0 && (window == 0 || i->window == window) && i->message.Msg >= first &&
        i->message.Msg <= last)
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
  return q.arrived.wait_for(lock, timeout, [&] { return q.head != nullptr; });
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
  PostClosure([&] {
    try {
      fn();
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard lock(m);
    finished = true;
    done.notify_all();
  });
  std::unique_lock lock(m);
  done.wait(lock, [&] { return finished; });
  if (error) std::rethrow_exception(error);
}

void PostToMainThread(std::function<void()> fn) {
  PostClosure([fn = std::move(fn)] {
    try {
      fn();
    } catch (...) {
      Application().HandleException(std::current_exception());
    }
  });
}

bool IsMainThread() { return std::this_thread::get_id() == gMainThread.load(); }
std::thread::id MainThreadId() { return gMainThread.load(); }
void SetMainThread() { gMainThread.store(std::this_thread::get_id()); }

void SetQueueWakeHook(std::function<void()> hook) {
  Queue& q = TheQueue();
  std::lock_guard lock(q.hookMutex);
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
    // Only the text crosses: an exception and its message are reference counted inside
    // the uninstrumented runtime, so sharing one between threads looks to TSan like a
    // race whichever thread frees it last. Every handler reads only the message.
    PostToMainThread([this, text = ExceptionMessage(std::move(e))] {
      HandleException(std::make_exception_ptr(std::runtime_error(text)));
    });
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
  PostClosure([] {});  // wake a waiting loop
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
