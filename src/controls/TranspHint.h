// The application's hint: a rounded window that darkens what lies behind it and writes
// the hint in bold white.
#pragma once

#include <QImage>
#include <QTimer>
#include <QWidget>
#include <string>

#include "controls/MemBmp.h"

class QApplication;

namespace strataeq {

class TTranspHintWindow : public QWidget {
  Q_OBJECT
 public:
  explicit TTranspHintWindow(QWidget* parent = nullptr);

  // Shows the hint at rect (screen coordinates; the width becomes the bold text width
  // + 10) over a copy of what lies there: the application's own window under it, else
  // the screen; where neither can be had, over a dark translucent fill.
  void ActivateHint(QRect rect, const std::string& hint);
  // The same over a background the caller provides (a null image: the translucent fill).
  void ActivateHintOver(QRect rect, const std::string& hint, const QImage& background);

  const std::string& HintText() const { return hint_; }
  bool HasBackground() const { return hasBackground_; }
  const TMemBmp& Background() const { return background_; }
  int StepsLeft() const { return stepsLeft_; }
  // One of the 30 darkening steps: shade by -5 and write the text again.
  void DarkenStep();

  // Makes this the hint window of every widget with a tooltip in the application.
  static void Install(QApplication& app);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  std::string hint_;
  TMemBmp background_;
  bool hasBackground_ = false;
  int stepsLeft_ = 0;
  QTimer darken_;
};

}  // namespace strataeq
