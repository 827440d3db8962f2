#include "controls/MMObj.h"

#include <QAccessibleWidget>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>

namespace strataeq {

namespace {

struct NamedColor {
  std::string_view name;
  TColor color;
};

constexpr std::array<NamedColor, 45> kColorNames{{
    {"clBlack", clBlack},
    {"clMaroon", clMaroon},
    {"clGreen", clGreen},
    {"clOlive", clOlive},
    {"clNavy", clNavy},
    {"clPurple", clPurple},
    {"clTeal", clTeal},
    {"clGray", clGray},
    {"clSilver", clSilver},
    {"clRed", clRed},
    {"clLime", clLime},
    {"clYellow", clYellow},
    {"clBlue", clBlue},
    {"clFuchsia", clFuchsia},
    {"clAqua", clAqua},
    {"clWhite", clWhite},
    {"clLtGray", clLtGray},
    {"clDkGray", clDkGray},
    {"clNone", clNone},
    {"clDefault", clDefault},
    {"clScrollBar", clScrollBar},
    {"clBackground", clBackground},
    {"clActiveCaption", clActiveCaption},
    {"clInactiveCaption", clInactiveCaption},
    {"clMenu", clMenu},
    {"clWindow", clWindow},
    {"clWindowFrame", clWindowFrame},
    {"clMenuText", clMenuText},
    {"clWindowText", clWindowText},
    {"clCaptionText", clCaptionText},
    {"clActiveBorder", clActiveBorder},
    {"clInactiveBorder", clInactiveBorder},
    {"clAppWorkSpace", clAppWorkSpace},
    {"clHighlight", clHighlight},
    {"clHighlightText", clHighlightText},
    {"clBtnFace", clBtnFace},
    {"clBtnShadow", clBtnShadow},
    {"clGrayText", clGrayText},
    {"clBtnText", clBtnText},
    {"clInactiveCaptionText", clInactiveCaptionText},
    {"clBtnHighlight", clBtnHighlight},
    {"cl3DDkShadow", cl3DDkShadow},
    {"cl3DLight", cl3DLight},
    {"clInfoText", clInfoText},
    {"clInfoBk", clInfoBk},
}};

// The classic 3-D scheme, indexed by system colour number.
constexpr std::array<TColor, 25> kSystemColors{{
    RGBColor(192, 192, 192),  // scroll bar
    RGBColor(0, 128, 128),    // desktop
    RGBColor(0, 0, 128),      // active caption
    RGBColor(128, 128, 128),  // inactive caption
    RGBColor(192, 192, 192),  // menu
    RGBColor(255, 255, 255),  // window
    RGBColor(0, 0, 0),        // window frame
    RGBColor(0, 0, 0),        // menu text
    RGBColor(0, 0, 0),        // window text
    RGBColor(255, 255, 255),  // caption text
    RGBColor(192, 192, 192),  // active border
    RGBColor(192, 192, 192),  // inactive border
    RGBColor(128, 128, 128),  // application work space
    RGBColor(0, 0, 128),      // highlight
    RGBColor(255, 255, 255),  // highlight text
    RGBColor(192, 192, 192),  // button face
    RGBColor(128, 128, 128),  // button shadow
    RGBColor(128, 128, 128),  // grey text
    RGBColor(0, 0, 0),        // button text
    RGBColor(192, 192, 192),  // inactive caption text
    RGBColor(255, 255, 255),  // button highlight
    RGBColor(0, 0, 0),        // 3-D dark shadow
    RGBColor(223, 223, 223),  // 3-D light
    RGBColor(0, 0, 0),        // tooltip text
    RGBColor(255, 255, 225),  // tooltip background
}};

}  // namespace

std::optional<TColor> ColorFromName(std::string_view name) {
  for (const auto& entry : kColorNames)
    if (entry.name == name) return entry.color;
  return std::nullopt;
}

std::string ColorName(TColor color) {
  for (const auto& entry : kColorNames)
    if (entry.color == color) return std::string(entry.name);
  char text[16];
  std::snprintf(text, sizeof text, "$%08X", static_cast<unsigned>(color));
  return text;
}

TColor ColorToRGB(TColor color) {
  const auto bits = static_cast<std::uint32_t>(color);
  if ((bits & 0xFF000000u) == 0xFF000000u) {
    const std::uint32_t index = bits & 0xFFu;
    return index < kSystemColors.size() ? kSystemColors[index] : clBlack;
  }
  if (color == clNone || color == clDefault) return clBlack;
  return TColor(bits & 0x00FFFFFFu);
}

QColor ToQColor(TColor color) {
  const TColor rgb = ColorToRGB(color);
  return QColor(rgb & 255, (rgb >> 8) & 255, (rgb >> 16) & 255);
}

TColor FromQColor(const QColor& color) { return RGBColor(color.red(), color.green(), color.blue()); }

QString InstalledFamily(std::string_view designFamily) {
  // Metric-compatible stand-ins where they exist; the bitmap fonts of the design get the
  // sans-serif of the same build.
  static constexpr std::pair<std::string_view, const char*> kFamilies[] = {
      {"MS Sans Serif", "Liberation Sans"},
      {"Arial", "Liberation Sans"},
      {"Small Fonts", "DejaVu Sans Condensed"},
      {"Times New Roman", "Liberation Serif"},
      {"Courier New", "Liberation Mono"},
      {"MS Serif", "Liberation Serif"},
      {"Tahoma", "DejaVu Sans"},
      {"Verdana", "DejaVu Sans"},
  };
  for (const auto& [design, installed] : kFamilies)
    if (design == designFamily) return QString::fromLatin1(installed);
  return QStringLiteral("DejaVu Sans");
}

QFont MMFont(std::string_view designFamily, int height, TFontStyles styles) {
  QFont font(InstalledFamily(designFamily));
  font.setStyleStrategy(QFont::NoFontMerging);
  font.setHintingPreference(QFont::PreferFullHinting);
  font.setBold(HasStyle(styles, TFontStyle::fsBold));
  font.setItalic(HasStyle(styles, TFontStyle::fsItalic));
  font.setUnderline(HasStyle(styles, TFontStyle::fsUnderline));
  font.setStrikeOut(HasStyle(styles, TFontStyle::fsStrikeOut));
  if (height < 0) {
    font.setPixelSize(-height);
  } else if (height > 0) {
    // Largest pixel size whose line (ascent + descent) fits the cell.
    int size = height;
    for (; size > 1; --size) {
      font.setPixelSize(size);
      if (QFontMetrics(font).height() <= height) break;
    }
    font.setPixelSize(size);
  } else {
    font.setPixelSize(11);
  }
  return font;
}

int VirtualKey(int qtKey) {
  switch (qtKey) {
    case Qt::Key_Backspace: return VK_BACK;
    case Qt::Key_Tab: return VK_TAB;
    case Qt::Key_Return:
    case Qt::Key_Enter: return VK_RETURN;
    case Qt::Key_Escape: return VK_ESCAPE;
    case Qt::Key_Space: return VK_SPACE;
    case Qt::Key_PageUp: return VK_PRIOR;
    case Qt::Key_PageDown: return VK_NEXT;
    case Qt::Key_End: return VK_END;
    case Qt::Key_Home: return VK_HOME;
    case Qt::Key_Left: return VK_LEFT;
    case Qt::Key_Up: return VK_UP;
    case Qt::Key_Right: return VK_RIGHT;
    case Qt::Key_Down: return VK_DOWN;
    case Qt::Key_Insert: return VK_INSERT;
    case Qt::Key_Delete: return VK_DELETE;
    default: break;
  }
  if ((qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9) || (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z)) return qtKey;
  return 0;
}

TShiftState ShiftStateOf(Qt::KeyboardModifiers modifiers, Qt::MouseButtons buttons) {
  TShiftState s = 0;
  if (modifiers & Qt::ShiftModifier) s |= std::uint8_t(TShiftFlag::ssShift);
  if (modifiers & Qt::AltModifier) s |= std::uint8_t(TShiftFlag::ssAlt);
  if (modifiers & Qt::ControlModifier) s |= std::uint8_t(TShiftFlag::ssCtrl);
  if (buttons & Qt::LeftButton) s |= std::uint8_t(TShiftFlag::ssLeft);
  if (buttons & Qt::RightButton) s |= std::uint8_t(TShiftFlag::ssRight);
  if (buttons & Qt::MiddleButton) s |= std::uint8_t(TShiftFlag::ssMiddle);
  return s;
}

std::optional<TMouseButton> MouseButtonOf(Qt::MouseButton button) {
  switch (button) {
    case Qt::LeftButton: return TMouseButton::mbLeft;
    case Qt::RightButton: return TMouseButton::mbRight;
    case Qt::MiddleButton: return TMouseButton::mbMiddle;
    default: return std::nullopt;
  }
}

// ---- TMMObject

void TMMObject::BeginUpdate() { ++updateCount_; }

void TMMObject::EndUpdate() {
  if (updateCount_ == 0) return;
  if (--updateCount_ == 0) Changed();
}

void TMMObject::Changed() {
  if (updateCount_ == 0 && OnChange) OnChange(this);
}

// ---- TMMBevel

void TMMBevel::Assign(const TMMBevel& s) {
  if (&s == this) return;
  BeginUpdate();
  SetBevelInner(s.bevelInner_);
  SetBevelOuter(s.bevelOuter_);
  SetBevelInnerWidth(s.bevelInnerWidth_);
  SetBevelOuterWidth(s.bevelOuterWidth_);
  SetBorderStyle(s.borderStyle_);
  SetBorderWidth(s.borderWidth_);
  SetBorderSpace(s.borderSpace_);
  SetBorderColor(s.borderColor_);
  SetBorderSpaceColor(s.borderSpaceColor_);
  SetInnerLightColor(s.innerLightColor_);
  SetOuterLightColor(s.outerLightColor_);
  SetInnerShadowColor(s.innerShadowColor_);
  SetOuterShadowColor(s.outerShadowColor_);
  EndUpdate();
}

int TMMBevel::TotalWidth() const {
  int w = borderWidth_ + borderSpace_;
  if (bevelOuter_ != TPanelBevel::bvNone) w += bevelOuterWidth_;
  if (bevelInner_ != TPanelBevel::bvNone) w += bevelInnerWidth_;
  if (borderStyle_ == TBorderStyle::bsSingle) w += 1;
  return w;
}

void FillRect(QPainter& painter, const QRect& rect, TColor color) {
  if (rect.width() > 0 && rect.height() > 0) painter.fillRect(rect, ToQColor(color));
}

QRect Frame3D(QPainter& painter, QRect r, TColor topLeft, TColor bottomRight, int width) {
  for (; width > 0 && r.width() > 0 && r.height() > 0; --width) {
    const int l = r.left(), t = r.top(), rt = r.right(), b = r.bottom();
    FillRect(painter, QRect(l, t, 1, r.height()), topLeft);             // left, with the bottom-left corner
    FillRect(painter, QRect(l + 1, t, r.width() - 2, 1), topLeft);      // top
    FillRect(painter, QRect(rt, t, 1, r.height() - 1), bottomRight);    // right, with the top-right corner
    FillRect(painter, QRect(l + 1, b, r.width() - 1, 1), bottomRight);  // bottom
    r.adjust(1, 1, -1, -1);
  }
  return r;
}

QRect TMMBevel::PaintBevel(QPainter& painter, QRect r, bool fillBorder) const {
  auto ring = [&](TPanelBevel kind, TColor light, TColor shadow, int width) {
    if (kind == TPanelBevel::bvLowered) r = Frame3D(painter, r, shadow, light, width);
    else if (kind == TPanelBevel::bvRaised) r = Frame3D(painter, r, light, shadow, width);
  };
  if (borderStyle_ == TBorderStyle::bsSingle) r = Frame3D(painter, r, clWindowFrame, clWindowFrame, 1);
  ring(bevelOuter_, outerLightColor_, outerShadowColor_, bevelOuterWidth_);
  if (borderWidth_ > 0) {
    if (fillBorder) r = Frame3D(painter, r, borderColor_, borderColor_, borderWidth_);
    else r.adjust(borderWidth_, borderWidth_, -borderWidth_, -borderWidth_);
  }
  ring(bevelInner_, innerLightColor_, innerShadowColor_, bevelInnerWidth_);
  if (borderSpace_ > 0) r = Frame3D(painter, r, borderSpaceColor_, borderSpaceColor_, borderSpace_);
  return r;
}

// ---- accessibility

namespace {

class ControlAccessible : public QAccessibleWidget {
 public:
  ControlAccessible(QWidget* w, TMMAccessibleControl* control)
      : QAccessibleWidget(w, control->AccessibleRole()), control_(control) {}

  QAccessible::Role role() const override { return control_->AccessibleRole(); }
  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    if (role() == QAccessible::ButtonMenu) s.hasPopup = true;
    if (const std::optional<bool> on = control_->AccessibleChecked()) {
      s.checkable = true;
      s.checked = *on;
    }
    return s;
  }
  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Value) return QString::fromStdString(control_->AccessibleValue());
    if (t == QAccessible::Name && widget()->accessibleName().isEmpty()) {
      const std::string caption = control_->AccessibleCaption();
      return QString::fromStdString(caption.empty() ? control_->AccessibleHint() : caption);
    }
    // The bridge carries neither the popup nor the checkable state: the description
    // says them in words.
    if (t == QAccessible::Description) {
      QString description = QString::fromStdString(control_->AccessibleDescription());
      if (description.isEmpty()) description = QAccessibleWidget::text(t);
      auto add = [&](const char* words) {
        description += QLatin1String(description.isEmpty() ? "" : ", ") + QLatin1String(words);
      };
      if (const std::optional<bool> on = control_->AccessibleChecked()) add(*on ? "on" : "off");
      if (role() == QAccessible::ButtonMenu) add("opens a menu");
      return description;
    }
    return QAccessibleWidget::text(t);
  }
  QStringList actionNames() const override {
    QStringList names = QAccessibleWidget::actionNames();
    if (role() == QAccessible::Button || role() == QAccessible::ButtonMenu) names.prepend(pressAction());
    return names;
  }
  void doAction(const QString& name) override {
    if (name == pressAction()) {
      // A screen reader waits for the action's answer: a dialog or menu the press opens
      // runs its own loop, so the press happens after the answer has gone.
      TMMAccessibleControl* control = control_;
      QMetaObject::invokeMethod(widget(), [control] { control->AccessiblePress(); }, Qt::QueuedConnection);
      return;
    }
    QAccessibleWidget::doAction(name);
  }

 private:
  TMMAccessibleControl* control_;
};

QAccessibleInterface* ControlFactory(const QString& className, QObject* object) {
  // Asked once per class up the hierarchy: answer at the most derived one.
  if (!object || !object->isWidgetType() || className != QLatin1String(object->metaObject()->className()))
    return nullptr;
  auto* widget = static_cast<QWidget*>(object);
  auto* control = dynamic_cast<TMMAccessibleControl*>(widget);
  return control ? control->NewAccessible(widget) : nullptr;
}

}  // namespace

TMMAccessibleControl::TMMAccessibleControl() {
  static const bool installed = (QAccessible::installFactory(ControlFactory), true);
  (void)installed;
}

QAccessibleInterface* TMMAccessibleControl::NewAccessible(QWidget* self) { return new ControlAccessible(self, this); }

// ---- control bases

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

TMMGraphicControl::TMMGraphicControl(QWidget* parent) : QWidget(parent), TMMControlBase(this, clBtnFace) {
  setFocusPolicy(Qt::NoFocus);
  setAutoFillBackground(false);
}

QRect TMMGraphicControl::BevelClientRect() const {
  const int w = TotalBevelWidth();
  return rect().adjusted(w, w, -w, -w);
}

void TMMGraphicControl::Paint(QPainter& painter) {
  const QRect inner = Bevel().PaintBevel(painter, rect(), true);
  FillRect(painter, inner, Color());
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

QRect TMMCustomControl::BevelClientRect() const {
  const int w = TotalBevelWidth();
  return rect().adjusted(w, w, -w, -w);
}

void TMMCustomControl::Paint(QPainter& painter) {
  const QRect inner = Bevel().PaintBevel(painter, rect(), true);
  FillRect(painter, inner, Color());
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
