#include "platform/qt/QtMessageLoop.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cstdint>

#include "platform/Messages.h"

namespace strataeq {

TQtMessageLoop::TQtMessageLoop(QObject* parent) : QObject(parent) {
  SetMainThread();
  // A write to an event counter wakes the loop without allocating: a queued Qt call
  // would allocate its event on the posting (audio) thread.
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  notifier_ = new QSocketNotifier(static_cast<qintptr>(wakeFd_), QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] {
    std::uint64_t count;
    while (read(wakeFd_, &count, sizeof count) == static_cast<ssize_t>(sizeof count)) {
    }
    Drain();
  });
  SetQueueWakeHook([this] { Wake(); });
  Wake();  // whatever was posted before the loop existed
}

TQtMessageLoop::~TQtMessageLoop() {
  SetQueueWakeHook(nullptr);
  delete notifier_;
  if (wakeFd_ >= 0) close(wakeFd_);
}

// Any thread. One wake at a time: the drain takes everything posted before it.
void TQtMessageLoop::Wake() {
  if (wakePosted_.exchange(true)) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(wakeFd_, &one, sizeof one);
}

void TQtMessageLoop::Drain() {
  wakePosted_ = false;
  ProcessPendingMessages();
}

}  // namespace strataeq
