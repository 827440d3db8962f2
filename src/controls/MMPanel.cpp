#include "controls/MMPanel.h"

#include <QAccessible>
#include <QPainter>

namespace strataeq {

TMMPanel::TMMPanel(QWidget* parent) : TMMCustomControl(parent) {
  SetTabStop(false);
  SetColor(clBtnFace);
  BevelChanged();
}

void TMMPanel::SetCaption(std::string caption) {
  if (caption == caption_) return;
  caption_ = std::move(caption);
  // The readout panel's caption changes while a slider moves: tell screen readers.
  if (QAccessible::isActive()) {
    QAccessibleEvent event(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&event);
  }
  update();
}

void TMMPanel::SetAlignment(TAlignment alignment) {
  if (alignment == alignment_) return;
  alignment_ = alignment;
  update();
}

void TMMPanel::BevelChanged() {
  const int w = TotalBevelWidth();
  setContentsMargins(w, w, w, w);
  update();
}

void TMMPanel::Paint(QPainter& painter) {
  const QRect inner = Bevel().PaintBevel(painter, rect(), true);
  FillRect(painter, inner, Color());
  if (caption_.empty()) return;
  const QFontMetrics metrics(font());
  const QString text = QString::fromStdString(caption_);
  const int textWidth = metrics.horizontalAdvance(text);
  const int lineHeight = metrics.boundingRect(QLatin1Char('W')).height();
  int x = inner.left();
  if (alignment_ == TAlignment::taRightJustify) x = inner.right() + 1 - textWidth;
  else if (alignment_ == TAlignment::taCenter) x = inner.left() + (inner.width() - textWidth) / 2;
  const int top = inner.top() + (inner.height() - lineHeight) / 2;
  painter.setPen(ToQColor(FontColor()));
  painter.setFont(font());
  painter.drawText(QRect(x, top, textWidth, lineHeight), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text);
}

}  // namespace strataeq
