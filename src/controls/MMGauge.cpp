#include "controls/MMGauge.h"

#include <QAccessibleWidget>
#include <QPainter>
#include <cmath>
#include <cstdio>
#include <limits>

namespace strataeq {

int GaugePercent(int progress, int minValue, int maxValue) {
  if (maxValue == minValue) return 0;
  return int((std::int64_t(progress) - minValue) * 100 / (std::int64_t(maxValue) - minValue));
}

namespace {

class GaugeAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
 public:
  explicit GaugeAccessible(QWidget* w) : QAccessibleWidget(w, QAccessible::ProgressBar) {}
  TMMCustomGauge* gauge() const { return static_cast<TMMCustomGauge*>(widget()); }

  void* interface_cast(QAccessible::InterfaceType t) override {
    if (t == QAccessible::ValueInterface) return static_cast<QAccessibleValueInterface*>(this);
    return QAccessibleWidget::interface_cast(t);
  }
  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Value || t == QAccessible::Description) return QString::fromStdString(gauge()->Text());
    if (t == QAccessible::Name && widget()->accessibleName().isEmpty()) return QString::fromStdString(gauge()->Caption());
    return QAccessibleWidget::text(t);
  }
  // Read only: the run sets the progress.
  QVariant currentValue() const override { return gauge()->PercentDone(); }
  void setCurrentValue(const QVariant&) override {}
  QVariant maximumValue() const override { return 100; }
  QVariant minimumValue() const override { return 0; }
  QVariant minimumStepSize() const override { return 1; }
};

}  // namespace

QAccessibleInterface* TMMCustomGauge::NewAccessible(QWidget* self) { return new GaugeAccessible(self); }

TMMCustomGauge::TMMCustomGauge(QWidget* parent) : TMMGraphicControl(parent) { resize(150, 18); }

void TMMCustomGauge::SetMinValue(int v) {
  const int before = PercentDone();
  min_ = std::clamp(v, -std::numeric_limits<int>::max(), max_);
  progress_ = std::clamp(progress_, min_, max_);
  PercentMayHaveChanged(before);
}

void TMMCustomGauge::SetMaxValue(int v) {
  const int before = PercentDone();
  max_ = std::clamp(v, min_, std::numeric_limits<int>::max());
  progress_ = std::clamp(progress_, min_, max_);
  PercentMayHaveChanged(before);
}

void TMMCustomGauge::SetProgress(int v) {
  const int before = PercentDone();
  progress_ = std::clamp(v, min_, max_);
  PercentMayHaveChanged(before);
}

void TMMCustomGauge::PercentMayHaveChanged(int before) {
  if (PercentDone() == before) return;
  if (QAccessible::isActive()) {
    QAccessibleValueChangeEvent event(this, PercentDone());
    QAccessible::updateAccessibility(&event);
  }
  update();
}

void TMMCustomGauge::SetCaption(std::string caption) {
  if (caption == caption_) return;
  caption_ = std::move(caption);
  update();
}

std::string TMMCustomGauge::Text() const {
  char text[32];
  std::snprintf(text, sizeof text, "%d%%", PercentDone());
  return caption_.empty() ? std::string(text) : caption_ + " " + text;
}

void TMMCustomGauge::PaintText(QImage& image, int fillEdge) const {
  const QString text = QString::fromStdString(Text());
  const QRect area = image.rect();
  QPainter p(&image);
  p.setFont(font());
  const bool bars = kind_ == TMMGaugeKind::gkHorizontalBar || kind_ == TMMGaugeKind::gkVerticalBar;
  if (bwText_ && bars) {
    // Font colour over the empty part, its inverse over the filled part.
    const QRect filled = kind_ == TMMGaugeKind::gkHorizontalBar
                             ? QRect(0, 0, fillEdge, area.height())
                             : QRect(0, area.height() - fillEdge, area.width(), fillEdge);
    const QRegion empty = QRegion(area).subtracted(filled);
    p.setClipRegion(empty);
    p.setPen(ToQColor(FontColor()));
    p.drawText(area, Qt::AlignCenter, text);
    p.setClipRect(filled);
    p.setPen(QColor::fromRgb(ToQColor(FontColor()).rgb() ^ 0x00FFFFFFu));
    p.drawText(area, Qt::AlignCenter, text);
    return;
  }
  // White text on black, combined by exclusive-or: readable over any fill.
  QImage mask(image.size(), QImage::Format_RGB32);
  mask.fill(Qt::black);
  {
    QPainter m(&mask);
    m.setFont(font());
    m.setPen(Qt::white);
    m.drawText(area, Qt::AlignCenter, text);
  }
  p.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
  p.drawImage(0, 0, mask);
}

void TMMCustomGauge::Paint(QPainter& painter) {
  const QRect inner = Bevel().PaintBevel(painter, rect(), true);
  if (inner.isEmpty()) return;
  if (image_.size() != inner.size()) image_ = QImage(inner.size(), QImage::Format_RGB32);
  const int w = inner.width(), h = inner.height();
  const int p = PercentDone();
  int fillEdge = 0;
  {
    QPainter g(&image_);
    switch (kind_) {
      case TMMGaugeKind::gkText: image_.fill(ToQColor(backColor_)); break;
      case TMMGaugeKind::gkHorizontalBar:
        image_.fill(ToQColor(backColor_));
        fillEdge = int(w * p * 0.01);
        FillRect(g, QRect(0, 0, fillEdge, h), foreColor_);
        break;
      case TMMGaugeKind::gkVerticalBar:
        image_.fill(ToQColor(backColor_));
        fillEdge = int(h * p * 0.01);
        FillRect(g, QRect(0, h - fillEdge, w, fillEdge), foreColor_);
        break;
      case TMMGaugeKind::gkPie:
        image_.fill(ToQColor(Color()));
        g.setRenderHint(QPainter::Antialiasing, false);
        g.setPen(ToQColor(foreColor_));
        g.setBrush(ToQColor(backColor_));
        g.drawEllipse(QRect(0, 0, w - 1, h - 1));
        if (p > 0) {
          g.setBrush(ToQColor(foreColor_));
          g.drawPie(QRect(0, 0, w - 1, h - 1), 90 * 16, -int(std::lround(p * 3.6 * 16)));
        }
        break;
      case TMMGaugeKind::gkNeedle: {
        image_.fill(ToQColor(Color()));
        g.setPen(ToQColor(foreColor_));
        g.setBrush(ToQColor(backColor_));
        const QRect ellipse(0, 0, w - 1, 2 * h - 2);
        g.drawChord(ellipse, 0, 180 * 16);
        const QPointF base(w / 2.0, h - 1);
        if (p > 0) {
          const double a = p * M_PI / 100.0;
          g.drawLine(base, QPointF(base.x() - std::cos(a) * (w / 2.0 - 1), base.y() - std::sin(a) * (h - 2)));
        }
        break;
      }
    }
  }
  if (showText_) PaintText(image_, fillEdge);
  painter.drawImage(inner.topLeft(), image_);
}

}  // namespace strataeq
