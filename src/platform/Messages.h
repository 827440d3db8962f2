// Process-wide main-thread message queue: hidden notification windows, posted
// messages, synchronised calls and the application's exception handler.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <thread>

namespace strataeq {

using THandle = std::uintptr_t;  // 0 is "no window"
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

struct TMessage {
  std::uint32_t Msg = 0;
  WPARAM WParam = 0;
  LPARAM LParam = 0;
  LRESULT Result = 0;
};

using TWindowProc = std::function<void(TMessage&)>;

// The default window procedure: messages nobody handles are dropped.
void DefWindowProc(TMessage& msg);

// A hidden window owned by the main thread. Destroying it drops its queued messages;
// a message posted to it afterwards is refused.
class TNotifyWindow {
 public:
  explicit TNotifyWindow(TWindowProc proc);
  ~TNotifyWindow();
  TNotifyWindow(const TNotifyWindow&) = delete;
  TNotifyWindow& operator=(const TNotifyWindow&) = delete;

  THandle Handle() const { return handle_; }

 private:
  THandle handle_;
};

// Callable from any thread. False when the window no longer exists. Takes a queue
// entry from a shared pool: it allocates only when the pool is empty.
bool PostMessage(THandle window, std::uint32_t msg, WPARAM wparam = 0, LPARAM lparam = 0);
// Main thread: makes sure the pool holds at least count free entries, so that the
// posts of an audio thread find one (drivers reserve their buffers' worth at open).
void ReserveMessages(std::size_t count);
// Sends synchronously when called on the main thread; otherwise posts and waits.
LRESULT SendMessage(THandle window, std::uint32_t msg, WPARAM wparam = 0, LPARAM lparam = 0);
// Drops queued messages of a window whose numbers lie in [first, last].
void RemoveMessages(THandle window, std::uint32_t first, std::uint32_t last);
// Number of queued messages of a window (all windows for 0) in [first, last].
int PendingMessageCount(THandle window, std::uint32_t first = 0, std::uint32_t last = UINT32_MAX);

// Main thread only: dispatches everything queued before and during the call.
void ProcessPendingMessages();
// Main thread only: waits up to timeout for a message to arrive; true if one is queued.
bool WaitForMessage(std::chrono::milliseconds timeout);
// Main thread only: runs the queue until the predicate holds; false on time-out.
bool RunUntil(const std::function<bool()>& predicate,
              std::chrono::milliseconds timeout = std::chrono::hours(24 * 365));

// Runs fn on the main thread and waits for it; a direct call on the main thread.
// An exception thrown by fn is re-thrown in the caller.
void RunOnMainThread(const std::function<void()>& fn);
// Queues fn for the main thread without waiting.
void PostToMainThread(std::function<void()> fn);

bool IsMainThread();
std::thread::id MainThreadId();
// Makes the calling thread the main thread (a program calls it first thing; the
// thread that loaded the program is the default).
void SetMainThread();
// Called, from the posting thread, after every post: a GUI loop wakes itself here.
void SetQueueWakeHook(std::function<void()> hook);

// The application object: its exception handler and its terminating flag.
class TApplication {
 public:
  // Reports an exception to the user. From a worker thread the report is posted to
  // the main thread. The default handler writes the message to stderr.
  void HandleException(std::exception_ptr e);
  std::function<void(std::exception_ptr)> OnException;

  bool Terminated() const;
  void Terminate();
  void ResetTerminated();  // for tests

  // A message box with one OK button, on the main thread. The GUI installs
  // OnMessageBox; without it the title and text go to stderr.
  void ShowMessageBox(const std::string& title, const std::string& text);
  std::function<void(const std::string& title, const std::string& text)> OnMessageBox;
  // The busy cursor around a long step on the main thread; the GUI installs OnBusyCursor.
  void SetBusyCursor(bool busy);
  std::function<void(bool busy)> OnBusyCursor;
};

TApplication& Application();

// Message text of an exception, or a generic text for unknown ones.
std::string ExceptionMessage(std::exception_ptr e);

}  // namespace strataeq
