// Lets the Qt event loop drain the platform's main-thread message queue: every post
// wakes the loop once, and the loop then dispatches what is queued. Create one on the
// GUI thread after the QApplication and keep it for the program's life.
#pragma once

#include <QObject>
#include <atomic>

class QSocketNotifier;

namespace strataeq {

class TQtMessageLoop : public QObject {
  Q_OBJECT

 public:
  explicit TQtMessageLoop(QObject* parent = nullptr);
  ~TQtMessageLoop() override;

  // Dispatches the queued messages now (the loop does it by itself after a wake).
  void Drain();

 private:
  void Wake();
  int wakeFd_ = -1;
  QSocketNotifier* notifier_ = nullptr;
  std::atomic<bool> wakePosted_{false};
};

}  // namespace strataeq
