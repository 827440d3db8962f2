#include "controls/TransBtn.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QKeySequence>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScopedValueRollback>
#include <QShortcutEvent>
#include <QTimer>
#include <QWindow>

namespace strataeq {

namespace {

QImage Masked(const QImage& image, QRgb key) {
  QImage out = image.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < out.height(); ++y) {
    auto* row = reinterpret_cast<QRgb*>(out.scanLine(y));
    for (int x = 0; x < out.width(); ++x)
      if ((row[x] & 0x00FFFFFFu) == (key & 0x00FFFFFFu)) row[x] = 0;
  }
  return out;
}

}  // namespace

TGlyphList BuildGlyphList(const QImage& glyph, int numGlyphs) {
  TGlyphList list;
  if (glyph.isNull() || numGlyphs < 1) return list;
  const QImage source = glyph.convertToFormat(QImage::Format_RGB32);
  const int w = source.width() / numGlyphs, h = source.height();
  if (w <= 0) return list;
  for (int i = 0; i < numGlyphs; ++i) {
    const QImage image = source.copy(i * w, 0, w, h);
    const QRgb key = image.pixel(0, 0);
    if (i == 0) {
      QImage grey = image;
      QImage shape = image;
      for (int y = 0; y < h; ++y) {
        auto* g = reinterpret_cast<QRgb*>(grey.scanLine(y));
        auto* s = reinterpret_cast<QRgb*>(shape.scanLine(y));
        for (int x = 0; x < w; ++x) {
          const QRgb c = g[x];
          const int v = (11 * qRed(c) + 59 * qGreen(c) + 30 * qBlue(c)) / 100;
          g[x] = qRgb(v, v, v);
          const bool background = (c & 0xFFFFFFu) == 0xFFFFFFu || (c & 0xFFFFFFu) == (key & 0xFFFFFFu);
          s[x] = background ? key : qRgb(0, 0, 0);
        }
      }
      // Etched: the dark shape embossed on the button face.
      QImage etched(w, h, QImage::Format_RGB32);
      etched.fill(ToQColor(clBtnFace));
      const QRgb highlight = ToQColor(clBtnHighlight).rgb(), shadow = ToQColor(clBtnShadow).rgb();
      for (int pass = 0; pass < 2; ++pass)
        for (int y = 0; y < h; ++y) {
          const auto* s = reinterpret_cast<const QRgb*>(shape.constScanLine(y));
          for (int x = 0; x < w; ++x) {
            if ((s[x] & 0xFFFFFFu) != 0 || s[x] == key) continue;
            if (pass == 0 && x + 1 < w && y + 1 < h) etched.setPixel(x + 1, y + 1, highlight);
            if (pass == 1) etched.setPixel(x, y, shadow);
          }
        }
      list.grey = Masked(grey, grey.pixel(0, 0));
      list.etched = Masked(etched, etched.pixel(0, 0));
    }
    list.images.push_back(Masked(image, key));
  }
  return list;
}

TTransparentButton::TTransparentButton(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_Hover);
  setFocusPolicy(Qt::TabFocus);
  resize(75, 25);
}

void TTransparentButton::SetCaption(std::string caption) {
  if (caption == caption_) return;
  caption_ = std::move(caption);
  UpdateShortcut();
  if (QAccessible::isActive()) {
    QAccessibleEvent event(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&event);
  }
  update();
}

void TTransparentButton::UpdateShortcut() {
  if (shortcutId_ != 0) releaseShortcut(shortcutId_);
  shortcutId_ = 0;
  const QKeySequence key = QKeySequence::mnemonic(QString::fromStdString(caption_));
  if (!key.isEmpty()) shortcutId_ = grabShortcut(key);
}

std::string TTransparentButton::AccessibleCaption() const {
  std::string name;
  for (std::size_t i = 0; i < caption_.size(); ++i) {
    if (caption_[i] == '&' && i + 1 < caption_.size()) ++i;
    name += caption_[i];
  }
  return name;
}

void TTransparentButton::SetHint(std::string hint) {
  if (hint == hint_) return;
  hint_ = std::move(hint);
  setAccessibleDescription(QString::fromStdString(hint_));
  setToolTip(showHint_ ? QString::fromStdString(hint_) : QString());
}

std::string TTransparentButton::AccessibleDescription() const {
  if (descriptionLead_.empty() || hint_.rfind(descriptionLead_, 0) == 0) return hint_;
  return descriptionLead_ + hint_;
}

void TTransparentButton::SetDescriptionLead(std::string lead) {
  descriptionLead_ = std::move(lead);
  if (QAccessible::isActive()) {
    QAccessibleEvent event(this, QAccessible::DescriptionChanged);
    QAccessible::updateAccessibility(&event);
  }
}

void TTransparentButton::SetShowHint(bool v) {
  showHint_ = v;
  setToolTip(showHint_ ? QString::fromStdString(hint_) : QString());
}

void TTransparentButton::SetGlyph(const QImage& glyph) {
  glyph_ = glyph;
  if (glyph_.height() > 0 && glyph_.width() % glyph_.height() == 0) {
    const int n = glyph_.width() / glyph_.height();
    numGlyphs_ = n > 4 ? 1 : std::max(1, n);
  }
  RebuildGlyphs();
  update();
}

void TTransparentButton::SetNumGlyphs(int n) {
  n = std::clamp(n, 1, 4);
  if (n == numGlyphs_) return;
  numGlyphs_ = n;
  RebuildGlyphs();
  update();
}

void TTransparentButton::RebuildGlyphs() { glyphs_ = BuildGlyphList(glyph_, numGlyphs_); }

void TTransparentButton::SetTransparent(bool v) {
  if (v == transparent_) return;
  transparent_ = v;
  setAttribute(Qt::WA_OpaquePaintEvent, !v);
  update();
}

void TTransparentButton::SetDown(bool v) {
  if (v == down_) return;
  down_ = v;
  // Released from the latch outside a press: the button comes up.
  if (!down_ && !pressInProgress_) pressed_ = pressedInside_ = false;
  if (QAccessible::isActive()) {
    QAccessible::State state;
    state.pressed = true;
    state.checked = latching_;
    QAccessibleStateChangeEvent event(this, state);
    QAccessible::updateAccessibility(&event);
    if (latching_) {
      QAccessibleEvent words(this, QAccessible::DescriptionChanged);
      QAccessible::updateAccessibility(&words);
    }
  }
  repaint();
}

bool TTransparentButton::event(QEvent* e) {
  if (e->type() == QEvent::Shortcut && static_cast<QShortcutEvent*>(e)->shortcutId() == shortcutId_) {
    const QScopedValueRollback<bool> input(userInput_, true);
    AccessiblePress();
    return true;
  }
  return QWidget::event(e);
}

bool TTransparentButton::AccessiblePress() {
  if (!isEnabled()) return false;
  if (popup_ && !userInput_ && QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
    OpenMenuWindow();
    return true;
  }
  if (popup_) {
    Press(QPoint(width() / 2, height() / 2), Qt::LeftButton, Qt::NoModifier);
    return true;
  }
  Click();
  return true;
}

// A Wayland popup must be opened by a recent input event (the compositor checks its serial);
// a press from a screen reader has none and the menu would be dismissed at once. The menu
// then opens as a window of its own (placed by the compositor), which takes the keys and
// closes on a choice, on Escape or when it loses the focus; it is a popup again after.
void TTransparentButton::OpenMenuWindow() {
  QMenu* menu = popup_;
  if (menu->isVisible()) return;
  menu->setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
  menu->winId();
  if (window()->windowHandle()) menu->windowHandle()->setTransientParent(window()->windowHandle());
  menu->installEventFilter(this);
  menuChosen_ = connect(menu, &QMenu::triggered, menu, &QWidget::hide);
  menu->show();
  menu->activateWindow();
  menu->setFocus(Qt::OtherFocusReason);
}

bool TTransparentButton::eventFilter(QObject* watched, QEvent* e) {
  auto* menu = qobject_cast<QMenu*>(watched);
  if (!menu || menu != popup_ || menu->windowType() == Qt::Popup) return QWidget::eventFilter(watched, e);
  if (e->type() == QEvent::WindowDeactivate) menu->hide();
  if (e->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(e)->key() == Qt::Key_Escape) {
    menu->hide();
    return true;
  }
  if (e->type() == QEvent::Hide) {
    menu->removeEventFilter(this);
    disconnect(menuChosen_);
    QPointer<QMenu> later(menu);
    QTimer::singleShot(0, menu, [later] {
      if (later && !later->isVisible()) later->setWindowFlags(Qt::Popup);
    });
  }
  return QWidget::eventFilter(watched, e);
}

void TTransparentButton::Click() {
  if (OnClick) OnClick(this);
}

void TTransparentButton::Press(QPoint at, Qt::MouseButton button, Qt::KeyboardModifiers modifiers) {
  if (!isEnabled() || pressInProgress_) return;
  pressInProgress_ = true;
  if (auto b = MouseButtonOf(button); b && OnMouseDown)
    OnMouseDown(this, *b, ShiftStateOf(modifiers, button), at.x(), at.y());
  if (movable_) pressPoint_ = at;
  pressedInside_ = true;
  pressed_ = true;
  repaint();
  if (popup_) {
    QPointer<TTransparentButton> self(this);
    popup_->exec(mapToGlobal(QPoint(0, height())));
    if (!self) return;
    // The menu took the release; the button comes up now, without a second click.
    Release(at, button, modifiers);
  }
}

void TTransparentButton::Release(QPoint at, Qt::MouseButton button, Qt::KeyboardModifiers modifiers) {
  if (!pressInProgress_) return;
  pressInProgress_ = false;
  pressedInside_ = false;
  if (down_) return;
  if (auto b = MouseButtonOf(button); b && OnMouseUp) OnMouseUp(this, *b, ShiftStateOf(modifiers), at.x(), at.y());
  pressed_ = false;
  repaint();
}

void TTransparentButton::mousePressEvent(QMouseEvent* e) {
  Press(e->position().toPoint(), e->button(), e->modifiers());
}

void TTransparentButton::mouseMoveEvent(QMouseEvent* e) {
  if (!isEnabled()) return;
  const QPoint at = e->position().toPoint();
  if (OnMouseMove) OnMouseMove(this, ShiftStateOf(e->modifiers(), e->buttons()), at.x(), at.y());
  if (!pressedInside_) return;
  if (movable_) {
    move(pos() + (at - pressPoint_));
    return;
  }
  const bool inside = rect().contains(at);
  if (inside != pressed_ && !down_) {
    pressed_ = inside;
    repaint();
  }
}

void TTransparentButton::mouseReleaseEvent(QMouseEvent* e) {
  const bool wasPressed = pressInProgress_;
  const QPoint at = e->position().toPoint();
  Release(at, e->button(), e->modifiers());
  if (wasPressed && rect().contains(at) && isEnabled()) Click();
}

void TTransparentButton::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_Space || e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) {
    const QScopedValueRollback<bool> input(userInput_, true);
    if (AccessiblePress()) return;
  }
  QWidget::keyPressEvent(e);
}

void TTransparentButton::enterEvent(QEnterEvent* e) {
  QWidget::enterEvent(e);
  if (!isEnabled()) return;
  hot_ = true;
  if (OnMouseEnter) OnMouseEnter(this);
  if (frameStyle_ == TFrameStyle::fsExplorer) repaint();
}

void TTransparentButton::leaveEvent(QEvent* e) {
  QWidget::leaveEvent(e);
  if (!isEnabled()) return;
  hot_ = false;
  if (OnMouseExit) OnMouseExit(this);
  if (frameStyle_ == TFrameStyle::fsExplorer) repaint();
}

void TTransparentButton::changeEvent(QEvent* e) {
  QWidget::changeEvent(e);
  if (e->type() == QEvent::EnabledChange && !isEnabled()) {
    pressed_ = pressedInside_ = pressInProgress_ = hot_ = false;
    update();
  } else if (e->type() == QEvent::EnabledChange || e->type() == QEvent::FontChange) {
    update();
  }
}

void TTransparentButton::PaintFrame(QPainter& p, bool look) {
  const int W = width(), H = height();
  const QRect all = rect();
  const QRect lessOne(0, 0, W - 1, H - 1);
  const bool pressed = look && showPressed_;
  switch (frameStyle_) {
    case TFrameStyle::fsRegular: {
      Frame3D(p, QRect(1, 1, W - 1, H - 1), clBlack, clBlack, 1);
      QRect r = lessOne;
      if (pressed) {
        r = Frame3D(p, r, clBlack, clBtnHighlight, borderWidth_);
        Frame3D(p, r, clBtnShadow, clBtnFace, borderWidth_);
      } else {
        r = Frame3D(p, r, clBtnHighlight, clBlack, borderWidth_);
        Frame3D(p, r, clBtnFace, clBtnShadow, borderWidth_);
      }
      break;
    }
    case TFrameStyle::fsIndent:
      Frame3D(p, lessOne, clBtnShadow, clBtnShadow, 1);
      Frame3D(p, QRect(1, 1, W - 1, H - 1), clBtnHighlight, clBtnHighlight, 1);
      if (pressed) {
        const QRect r = Frame3D(p, QRect(1, 1, W - 2, H - 2), clBlack, clBtnHighlight, borderWidth_);
        Frame3D(p, r, clBtnShadow, clBtnFace, borderWidth_);
      } else {
        Frame3D(p, QRect(1, 1, W - 2, H - 2), clBtnShadow, clBtnHighlight, borderWidth_);
      }
      break;
    case TFrameStyle::fsExplorer:
      if (look && (hot_ || down_)) {
        if (showPressed_) Frame3D(p, all, clBtnShadow, clBtnHighlight, borderWidth_);
        else Frame3D(p, all, clBtnHighlight, clBtnShadow, borderWidth_);
      } else if (hot_) {
        Frame3D(p, all, clBtnHighlight, clBtnShadow, borderWidth_);
      }
      break;
    case TFrameStyle::fsNone: break;
    case TFrameStyle::fsLight:
      if (pressed) Frame3D(p, all, clBtnShadow, clBtnHighlight, 1);
      else Frame3D(p, all, clBtnHighlight, clBtnShadow, 1);
      break;
    case TFrameStyle::fsDark:
      if (pressed) Frame3D(p, all, cl3DDkShadow, clBtnFace, 1);
      else Frame3D(p, all, clBtnFace, cl3DDkShadow, 1);
      break;
    case TFrameStyle::fsMono:
      if (pressed) Frame3D(p, all, cl3DDkShadow, clBtnHighlight, 1);
      else Frame3D(p, all, clBtnHighlight, clBlack, 1);
      break;
  }
}

void TTransparentButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const int W = width(), H = height();
  const bool look = pressed_ || down_;
  if (!transparent_) FillRect(p, rect(), clBtnFace);
  PaintFrame(p, look);

  const bool top = textAlign_ == TTextAlign::ttaTopLeft || textAlign_ == TTextAlign::ttaTop ||
                   textAlign_ == TTextAlign::ttaTopRight;
  const bool bottom = textAlign_ == TTextAlign::ttaBottomLeft || textAlign_ == TTextAlign::ttaBottom ||
                      textAlign_ == TTextAlign::ttaBottomRight;
  const bool left = textAlign_ == TTextAlign::ttaTopLeft || textAlign_ == TTextAlign::ttaLeft ||
                    textAlign_ == TTextAlign::ttaBottomLeft;
  const bool right = textAlign_ == TTextAlign::ttaTopRight || textAlign_ == TTextAlign::ttaRight ||
                     textAlign_ == TTextAlign::ttaBottomRight;
  int gw = glyph_.isNull() ? 0 : glyph_.width() / numGlyphs_;
  if (gw <= 0) gw = glyph_.width();
  const int gh = glyph_.isNull() ? 0 : glyph_.height();
  const int glyphTop = bottom ? spacing_ : top ? H - gh - spacing_ : (H - gh) / 2;
  const int glyphLeft =
      textAlign_ == TTextAlign::ttaLeft ? W - gw - spacing_ : textAlign_ == TTextAlign::ttaRight ? spacing_ : (W - gw) / 2;
  const QPoint shift = look && showPressed_ ? QPoint(1, 1) : QPoint(0, 0);

  if (!glyphs_.images.empty()) {
    const int n = int(glyphs_.images.size());
    const QImage* image = &glyphs_.images[0];
    if (n == 2 && !isEnabled()) image = &glyphs_.images[1];
    if (n >= 3) image = !isEnabled() ? &glyphs_.images[1] : look ? &glyphs_.images[2] : &glyphs_.images[0];
    if (frameStyle_ == TFrameStyle::fsExplorer && autoGray_ && !hot_) image = &glyphs_.grey;
    if (n == 1 && !isEnabled()) image = &glyphs_.etched;
    p.drawImage(QPoint(glyphLeft, glyphTop) + shift, *image);
  }

  if (!caption_.empty()) {
    p.setFont(font());
    const QFontMetrics metrics(font());
    QString text = QString::fromStdString(caption_);
    int flags = Qt::TextShowMnemonic | Qt::AlignCenter;
    QSize size;
    if (wordWrap_) {
      flags |= Qt::TextWordWrap;
      size = metrics.boundingRect(QRect(0, 0, std::max(1, W - 2 * spacing_), H), flags, text).size();
    } else {
      size = metrics.size(Qt::TextShowMnemonic, text);
      if (size.width() > W - 2 * spacing_) {
        text = metrics.elidedText(text, Qt::ElideRight, std::max(0, W - 2 * spacing_), Qt::TextShowMnemonic);
        size = metrics.size(Qt::TextShowMnemonic, text);
      }
    }
    const int y = top ? glyphTop - size.height() - spacing_ : bottom ? glyphTop + gh + spacing_ : H / 2 - size.height() / 2;
    const int x = left ? spacing_ : right ? W - size.width() - spacing_ : W / 2 - size.width() / 2;
    const QRect box = QRect(QPoint(x, y), size).translated(shift);
    if (!isEnabled()) {
      p.setPen(ToQColor(clBtnHighlight));
      p.drawText(box.translated(1, 1), flags, text);
      p.setPen(ToQColor(clBtnShadow));
    } else {
      p.setPen(ToQColor(fontColor_));
    }
    p.drawText(box, flags, text);
  }
  if (hasFocus()) {
    p.setPen(QPen(ToQColor(clBlack), 1, Qt::DotLine));
    p.drawRect(rect().adjusted(2, 2, -3, -3));
  }
}

}  // namespace strataeq
