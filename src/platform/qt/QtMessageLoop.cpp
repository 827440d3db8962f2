#include "platform/qt/QtMessageLoop.h"

#include <QCoreApplication>
#include <QMetaObject>

#include "platform/Messages.h"

namespace strataeq {

TQtMessageLoop::TQtMessageLoop(QObject* parent) : QObject(parent) {
  SetMainThread();
  SetQueueWakeHook([this] { Wake(); });
  Wake();  // whatever was posted before the loop existed
}

TQtMessageLoop::~TQtMessageLoop() { SetQueueWakeHook(nullptr); }

// Any thread. One queued call at a time: the drain takes everything posted before it.
void TQtMessageLoop::Wake() {
  if (wakePosted_.exchange(true)) return;
  QMetaObject::invokeMethod(this, &TQtMessageLoop::Drain, Qt::QueuedConnection);
}

void TQtMessageLoop::Drain() {
  wakePosted_ = false;
  ProcessPendingMessages();
}

}  // namespace strataeq
