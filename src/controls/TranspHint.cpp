#include "controls/TranspHint.h"

#include <QApplication>
#include <QHelpEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QScreen>

#include "controls/MMObj.h"

namespace strataeq {

namespace {

constexpr int kSteps = 30;

QFont BoldHintFont() {
  QFont font = MMFont("MS Sans Serif", -11);
  font.setBold(true);
  return font;
}

QImage CaptureBehind(const QRect& global) {
  // Our own window renders itself on every platform, Wayland included.
  if (QWidget* top = QApplication::topLevelAt(global.center())) {
    const QRect local(top->mapFromGlobal(global.topLeft()), global.size());
    if (top->rect().contains(local)) return top->grab(local).toImage();
  }
  if (QScreen* screen = QGuiApplication::screenAt(global.center())) {
    const QRect onScreen = global.translated(-screen->geometry().topLeft());
    const QPixmap shot = screen->grabWindow(0, onScreen.x(), onScreen.y(), global.width(), global.height());
    if (!shot.isNull() && shot.size() == global.size()) return shot.toImage();
  }
  return {};
}

class HintFilter : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject* watched, QEvent* event) override {
    switch (event->type()) {
      case QEvent::ToolTip: {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (!widget || widget->toolTip().isEmpty()) return false;
        // Owned by the window it serves, so that it goes with it.
        if (hint_ && hint_->parentWidget() != widget->window()) delete hint_;
        if (!hint_) hint_ = new TTranspHintWindow(widget->window());
        const QPoint at = static_cast<QHelpEvent*>(event)->globalPos() + QPoint(0, 20);
        const QFontMetrics metrics(BoldHintFont());
        hint_->ActivateHint(QRect(at, QSize(1, metrics.height() + 4)), widget->toolTip().toStdString());
        return true;
      }
      case QEvent::Leave:
      case QEvent::MouseButtonPress:
      case QEvent::KeyPress:
      case QEvent::WindowDeactivate:
        if (hint_) hint_->hide();
        return false;
      default: return false;
    }
  }

 private:
  QPointer<TTranspHintWindow> hint_;
};

}  // namespace

TTranspHintWindow::TTranspHintWindow(QWidget* parent)
    : QWidget(parent, Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus) {
  setAttribute(Qt::WA_ShowWithoutActivating);
  setAttribute(Qt::WA_NoSystemBackground);
  setAttribute(Qt::WA_TranslucentBackground);
  setFont(BoldHintFont());
  darken_.setInterval(15);
  connect(&darken_, &QTimer::timeout, this, [this] { DarkenStep(); });
}

void TTranspHintWindow::ActivateHint(QRect rect, const std::string& hint) {
  const QFontMetrics metrics(BoldHintFont());
  rect.setWidth(metrics.horizontalAdvance(QString::fromStdString(hint)) + 10);
  ActivateHintOver(rect, hint, CaptureBehind(rect));
}

void TTranspHintWindow::ActivateHintOver(QRect rect, const std::string& hint, const QImage& background) {
  hint_ = hint;
  const QFontMetrics metrics(BoldHintFont());
  rect.setWidth(metrics.horizontalAdvance(QString::fromStdString(hint)) + 10);
  hasBackground_ = !background.isNull();
  if (hasBackground_) background_.LoadFromImage(background.scaled(rect.size()));
  else background_.SetSize(0, 0);
  setGeometry(rect);
  // The darkening runs on a timer, not by pumping events inside paint.
  stepsLeft_ = hasBackground_ ? kSteps : 0;
  if (stepsLeft_ > 0) darken_.start();
  show();
  update();
}

void TTranspHintWindow::DarkenStep() {
  if (stepsLeft_ <= 0) {
    darken_.stop();
    return;
  }
  --stepsLeft_;
  background_.Shade(-5);
  background_.OverlayText(2, 1, hint_, BoldHintFont());
  if (stepsLeft_ == 0) darken_.stop();
  update();
}

void TTranspHintWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  QPainterPath path;
  path.addRoundedRect(QRectF(rect()), 7.5, 7.5);
  setMask(QRegion(path.toFillPolygon().toPolygon()));
}

void TTranspHintWindow::paintEvent(QPaintEvent*) {
  QPainter p(this);
  // Rounded by the mask where the platform shapes windows, by the clip where it composes them.
  QPainterPath shape;
  shape.addRoundedRect(QRectF(rect()), 7.5, 7.5);
  p.setClipPath(shape);
  if (hasBackground_) {
    background_.Draw(p, 0, 0);
    return;
  }
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0, 0, 0, 170));
  p.drawRoundedRect(QRectF(rect()), 7.5, 7.5);
  p.setPen(Qt::white);
  p.setFont(BoldHintFont());
  p.drawText(rect().adjusted(2, 1, 0, 0), Qt::AlignLeft | Qt::AlignTop, QString::fromStdString(hint_));
}

void TTranspHintWindow::Install(QApplication& app) {
  static HintFilter* filter = nullptr;
  if (filter) return;
  filter = new HintFilter(&app);
  app.installEventFilter(filter);
}

}  // namespace strataeq
