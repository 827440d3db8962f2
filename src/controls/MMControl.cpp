#include "controls/MMControl.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <utility>

namespace strataeq {

TMMControlBase::TMMControlBase(QWidget* self, TColor color) : self_(self), color_(color) {
  bevel_.OnChange = [this](TObject*) { BevelChanged(); };
}

void TMMControlBase::SetColor(TColor color) {
  if (color_ == color) return;
  color_ = color;
  PropertyChanged();
}

void TMMControlBase::SetFontColor(TColor color) {
  if (fontColor_ == color) return;
  fontColor_ = color;
  PropertyChanged();
}

void TMMControlBase::SetHint(std::string hint) {
  hint_ = std::move(hint);
  // Screen readers get the hint whether or not it pops up.
  self_->setAccessibleDescription(QString::fromStdString(hint_));
  ApplyToolTip();
}

void TMMControlBase::SetShowHint(bool show) {
  showHint_ = show;
  ApplyToolTip();
}

void TMMControlBase::ApplyToolTip() { self_->setToolTip(showHint_ ? QString::fromStdString(hint_) : QString()); }

void TMMControlBase::DeliverMouse(QEvent* event) {
  auto* me = static_cast<QMouseEvent*>(event);
  auto* sender = dynamic_cast<TObject*>(self_);
  const QPoint p = me->position().toPoint();
  const TShiftState shift = ShiftStateOf(me->modifiers(), me->buttons() | me->button());
  switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
      if (auto b = MouseButtonOf(me->button()); b && OnMouseDown) OnMouseDown(sender, *b, shift, p.x(), p.y());
      break;
    case QEvent::MouseButtonRelease:
      if (auto b = MouseButtonOf(me->button()); b && OnMouseUp) OnMouseUp(sender, *b, shift, p.x(), p.y());
      break;
    case QEvent::MouseMove:
      if (OnMouseMove) OnMouseMove(sender, shift, p.x(), p.y());
      break;
    default: break;
  }
}

QRect TMMControlBase::BevelClientRect() const {
  const int w = TotalBevelWidth();
  return self_->rect().adjusted(w, w, -w, -w);
}

void TMMControlBase::Paint(QPainter& painter) {
  const QRect inner = Bevel().PaintBevel(painter, self_->rect(), true);
  FillRect(painter, inner, Color());
}

// The two bases differ in focus (none / Tab and click), opacity (the parent shows
// through / opaque), the keyboard and focus events, and the re-layout on a bevel
// change: they share everything else through TMMControlBase.
TMMGraphicControl::TMMGraphicControl(QWidget* parent) : QWidget(parent), TMMControlBase(this, clBtnFace) {
  setFocusPolicy(Qt::NoFocus);
  setAutoFillBackground(false);
}

void TMMGraphicControl::BevelChanged() {
  BevelLayout();
  update();
}

void TMMGraphicControl::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  Paint(painter);
}

void TMMGraphicControl::mousePressEvent(QMouseEvent* e) { DeliverMouse(e); }
void TMMGraphicControl::mouseMoveEvent(QMouseEvent* e) { DeliverMouse(e); }
void TMMGraphicControl::mouseReleaseEvent(QMouseEvent* e) { DeliverMouse(e); }

TMMCustomControl::TMMCustomControl(QWidget* parent) : QWidget(parent), TMMControlBase(this, clBtnFace) {
  setFocusPolicy(Qt::StrongFocus);
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void TMMCustomControl::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  Paint(painter);
}

void TMMCustomControl::mousePressEvent(QMouseEvent* e) { DeliverMouse(e); }
void TMMCustomControl::mouseMoveEvent(QMouseEvent* e) { DeliverMouse(e); }
void TMMCustomControl::mouseReleaseEvent(QMouseEvent* e) { DeliverMouse(e); }

void TMMCustomControl::keyPressEvent(QKeyEvent* e) {
  int key = VirtualKey(e->key());
  if (key != 0 && OnKeyDown) OnKeyDown(this, key, ShiftStateOf(e->modifiers()));
  if (OnKeyPress && e->text().size() == 1 && e->text().at(0).unicode() < 128) {
    char c = static_cast<char>(e->text().at(0).unicode());
    OnKeyPress(this, c);
  }
  QWidget::keyPressEvent(e);
}

void TMMCustomControl::keyReleaseEvent(QKeyEvent* e) {
  int key = VirtualKey(e->key());
  if (key != 0 && OnKeyUp) OnKeyUp(this, key, ShiftStateOf(e->modifiers()));
  QWidget::keyReleaseEvent(e);
}

void TMMCustomControl::focusInEvent(QFocusEvent* e) {
  QWidget::focusInEvent(e);
  if (OnEnter) OnEnter(this);
}

void TMMCustomControl::focusOutEvent(QFocusEvent* e) {
  QWidget::focusOutEvent(e);
  if (OnExit) OnExit(this);
}

}  // namespace strataeq
