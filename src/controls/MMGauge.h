// Progress gauge: text, bars, pie or needle, with the percentage written over it.
#pragma once

#include <QImage>
#include <string>

#include "controls/MMObj.h"

namespace strataeq {

enum class TMMGaugeKind { gkText, gkHorizontalBar, gkVerticalBar, gkPie, gkNeedle };

// Trunc((progress - min) * 100 / (max - min)), 0 for an empty range; 64-bit, so that
// ranges near the ends of the integers do not overflow.
int GaugePercent(int progress, int minValue, int maxValue);

class TMMCustomGauge : public TMMGraphicControl {
  Q_OBJECT
 public:
  explicit TMMCustomGauge(QWidget* parent = nullptr);

  TMMGaugeKind Kind() const { return kind_; }
  void SetKind(TMMGaugeKind v) { Store(kind_, v); }
  bool ShowText() const { return showText_; }
  void SetShowText(bool v) { Store(showText_, v); }
  TColor ForeColor() const { return foreColor_; }
  void SetForeColor(TColor v) { Store(foreColor_, v); }
  TColor BackColor() const { return backColor_; }
  void SetBackColor(TColor v) { Store(backColor_, v); }
  int MinValue() const { return min_; }
  void SetMinValue(int v);
  int MaxValue() const { return max_; }
  void SetMaxValue(int v);
  int Progress() const { return progress_; }
  void SetProgress(int v);
  const std::string& Caption() const { return caption_; }
  void SetCaption(std::string caption);
  bool BWText() const { return bwText_; }
  void SetBWText(bool v) { Store(bwText_, v); }

  int PercentDone() const { return GaugePercent(progress_, min_, max_); }
  // "Caption p%" or "p%".
  std::string Text() const;

  QAccessible::Role AccessibleRole() const override { return QAccessible::ProgressBar; }
  std::string AccessibleCaption() const override { return caption_; }
  std::string AccessibleValue() const override { return Text(); }
  // A value interface, so that screen readers follow the progress.
  QAccessibleInterface* NewAccessible(QWidget* self) override;

 protected:
  void Paint(QPainter& painter) override;

 private:
  template <typename T>
  void Store(T& field, T value) {
    if (field == value) return;
    field = value;
    update();
  }
  void PercentMayHaveChanged(int before);
  void PaintText(QImage& image, int fillEdge) const;

  TMMGaugeKind kind_ = TMMGaugeKind::gkHorizontalBar;
  bool showText_ = true;
  TColor foreColor_ = clActiveCaption, backColor_ = clWhite;
  int min_ = 0, max_ = 100, progress_ = 0;
  std::string caption_;
  bool bwText_ = false;
  QImage image_;  // the inside, composed off screen
};

class TMMGauge : public TMMCustomGauge {
  Q_OBJECT
 public:
  using TMMCustomGauge::TMMCustomGauge;
};

}  // namespace strataeq
