// Shared ground of the controls and displays: colours by name, fonts by the names the
// window was designed with, the bevel that frames every control, and the two control
// bases (windowless, painting over its parent; windowed, taking focus).
#pragma once

#include <QAccessible>
#include <QColor>
#include <QFont>
#include <QRect>
#include <QWidget>
#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Component.h"

class QPainter;

namespace strataeq {

// ---- colours

// 0x00BBGGRR for plain colours; clSystemColor | index for the system's 3-D and window
// colours, which ColorToRGB resolves.
using TColor = std::int32_t;

inline constexpr TColor clSystemColor = static_cast<TColor>(0xFF000000u);
constexpr TColor SystemColor(int index) { return static_cast<TColor>(0xFF000000u | static_cast<std::uint32_t>(index)); }
constexpr TColor RGBColor(int r, int g, int b) { return TColor((b & 255) << 16 | (g & 255) << 8 | (r & 255)); }

inline constexpr TColor clBlack = 0x000000, clMaroon = 0x000080, clGreen = 0x008000, clOlive = 0x008080,
                        clNavy = 0x800000, clPurple = 0x800080, clTeal = 0x808000, clGray = 0x808080,
                        clSilver = 0xC0C0C0, clRed = 0x0000FF, clLime = 0x00FF00, clYellow = 0x00FFFF,
                        clBlue = 0xFF0000, clFuchsia = 0xFF00FF, clAqua = 0xFFFF00, clWhite = 0xFFFFFF,
                        clLtGray = 0xC0C0C0, clDkGray = 0x808080;
inline constexpr TColor clNone = 0x1FFFFFFF, clDefault = 0x20000000;
inline constexpr TColor clScrollBar = SystemColor(0), clBackground = SystemColor(1),
                        clActiveCaption = SystemColor(2), clInactiveCaption = SystemColor(3),
                        clMenu = SystemColor(4), clWindow = SystemColor(5), clWindowFrame = SystemColor(6),
                        clMenuText = SystemColor(7), clWindowText = SystemColor(8), clCaptionText = SystemColor(9),
                        clActiveBorder = SystemColor(10), clInactiveBorder = SystemColor(11),
                        clAppWorkSpace = SystemColor(12), clHighlight = SystemColor(13),
                        clHighlightText = SystemColor(14), clBtnFace = SystemColor(15),
                        clBtnShadow = SystemColor(16), clGrayText = SystemColor(17), clBtnText = SystemColor(18),
                        clInactiveCaptionText = SystemColor(19), clBtnHighlight = SystemColor(20),
                        cl3DDkShadow = SystemColor(21), cl3DLight = SystemColor(22), clInfoText = SystemColor(23),
                        clInfoBk = SystemColor(24);

// The colour table: every name the controls and the window use, in both directions.
std::optional<TColor> ColorFromName(std::string_view name);
std::string ColorName(TColor color);  // the name, or "$00BBGGRR" for a colour without one
// The plain colour (0x00BBGGRR) of a colour, system colours resolved from the classic
// 3-D scheme the window was designed with.
TColor ColorToRGB(TColor color);
QColor ToQColor(TColor color);
TColor FromQColor(const QColor& color);

// ---- fonts

enum class TFontStyle : std::uint8_t { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };
using TFontStyles = std::uint8_t;  // TFontStyle bits
constexpr TFontStyles operator|(TFontStyle a, TFontStyle b) { return TFontStyles(std::uint8_t(a) | std::uint8_t(b)); }
constexpr bool HasStyle(TFontStyles s, TFontStyle f) { return (s & std::uint8_t(f)) != 0; }

// The installed family that stands in for a design family ("MS Sans Serif", "Small
// Fonts", "Times New Roman", "Arial", ...).
QString InstalledFamily(std::string_view designFamily);
// A font as the design gives it: a negative height is the character height in pixels,
// a positive one the cell height (character plus internal leading).
QFont MMFont(std::string_view designFamily, int height, TFontStyles styles = 0);

// ---- input

enum class TMouseButton { mbLeft, mbRight, mbMiddle };
enum class TShiftFlag : std::uint8_t { ssShift = 1, ssAlt = 2, ssCtrl = 4, ssLeft = 8, ssRight = 16, ssMiddle = 32 };
using TShiftState = std::uint8_t;  // TShiftFlag bits
constexpr bool HasShift(TShiftState s, TShiftFlag f) { return (s & std::uint8_t(f)) != 0; }

using TMouseEvent = std::function<void(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y)>;
using TMouseMoveEvent = std::function<void(TObject* Sender, TShiftState Shift, int X, int Y)>;
using TKeyEvent = std::function<void(TObject* Sender, int& Key, TShiftState Shift)>;
using TKeyPressEvent = std::function<void(TObject* Sender, char& Key)>;

// Virtual key codes of the keys the controls and the window handle.
inline constexpr int VK_BACK = 8, VK_TAB = 9, VK_RETURN = 13, VK_ESCAPE = 27, VK_SPACE = 32, VK_PRIOR = 33,
                     VK_NEXT = 34, VK_END = 35, VK_HOME = 36, VK_LEFT = 37, VK_UP = 38, VK_RIGHT = 39,
                     VK_DOWN = 40, VK_INSERT = 45, VK_DELETE = 46;
// The virtual key of a Qt key (letters and digits as their upper-case codes), 0 when none.
int VirtualKey(int qtKey);
TShiftState ShiftStateOf(Qt::KeyboardModifiers modifiers, Qt::MouseButtons buttons = Qt::NoButton);
std::optional<TMouseButton> MouseButtonOf(Qt::MouseButton button);

// ---- objects and bevel

// A persistent object with an update counter: changes inside BeginUpdate/EndUpdate reach
// the owner once, when the counter returns to 0.
class TMMObject : public TObject {
 public:
  TMMObject() = default;
  TMMObject(const TMMObject&) = delete;
  TMMObject& operator=(const TMMObject&) = delete;

  void BeginUpdate();
  void EndUpdate();
  int UpdateCount() const { return updateCount_; }

  // The owner's change handler (Sender = this object); called only while not updating.
  TNotifyEvent OnChange;

 protected:
  virtual void Changed();

 private:
  int updateCount_ = 0;
};

enum class TPanelBevel { bvNone, bvLowered, bvRaised };
enum class TBorderStyle { bsNone, bsSingle };

class TMMBevel : public TMMObject {
 public:
  TMMBevel() = default;
  // Copies every property inside one update: the owner hears of it once.
  void Assign(const TMMBevel& source);

  TPanelBevel BevelInner() const { return bevelInner_; }
  void SetBevelInner(TPanelBevel v) { Set(bevelInner_, v); }
  TPanelBevel BevelOuter() const { return bevelOuter_; }
  void SetBevelOuter(TPanelBevel v) { Set(bevelOuter_, v); }
  int BevelInnerWidth() const { return bevelInnerWidth_; }
  void SetBevelInnerWidth(int v) { Set(bevelInnerWidth_, std::max(1, v)); }
  int BevelOuterWidth() const { return bevelOuterWidth_; }
  void SetBevelOuterWidth(int v) { Set(bevelOuterWidth_, std::max(1, v)); }
  TBorderStyle BorderStyle() const { return borderStyle_; }
  void SetBorderStyle(TBorderStyle v) { Set(borderStyle_, v); }
  int BorderWidth() const { return borderWidth_; }
  void SetBorderWidth(int v) { Set(borderWidth_, std::max(0, v)); }
  int BorderSpace() const { return borderSpace_; }
  void SetBorderSpace(int v) { Set(borderSpace_, std::max(0, v)); }
  TColor BorderColor() const { return borderColor_; }
  void SetBorderColor(TColor v) { Set(borderColor_, v); }
  TColor BorderSpaceColor() const { return borderSpaceColor_; }
  void SetBorderSpaceColor(TColor v) { Set(borderSpaceColor_, v); }
  TColor InnerLightColor() const { return innerLightColor_; }
  void SetInnerLightColor(TColor v) { Set(innerLightColor_, v); }
  TColor OuterLightColor() const { return outerLightColor_; }
  void SetOuterLightColor(TColor v) { Set(outerLightColor_, v); }
  TColor InnerShadowColor() const { return innerShadowColor_; }
  void SetInnerShadowColor(TColor v) { Set(innerShadowColor_, v); }
  TColor OuterShadowColor() const { return outerShadowColor_; }
  void SetOuterShadowColor(TColor v) { Set(outerShadowColor_, v); }

  // Border + space + the outer and inner bevels that are drawn + 1 for a single border.
  int TotalWidth() const;

  // Draws the rings from the outside in within rect and returns the rectangle inside
  // them. The border ring is painted only with fillBorder; otherwise it is just skipped.
  QRect PaintBevel(QPainter& painter, QRect rect, bool fillBorder) const;

 private:
  template <typename T>
  void Set(T& field, T value) {
    if (field == value) return;
    field = value;
    Changed();
  }

  TPanelBevel bevelInner_ = TPanelBevel::bvNone;
  TPanelBevel bevelOuter_ = TPanelBevel::bvLowered;
  int bevelInnerWidth_ = 1, bevelOuterWidth_ = 1;
  TBorderStyle borderStyle_ = TBorderStyle::bsNone;
  int borderWidth_ = 0, borderSpace_ = 0;
  TColor borderColor_ = clBtnFace, borderSpaceColor_ = clBlack;
  TColor innerLightColor_ = clBtnHighlight, outerLightColor_ = clBtnHighlight;
  TColor innerShadowColor_ = clBtnShadow, outerShadowColor_ = clBtnShadow;
};

// A 3-D frame of `width` rings: top and left in topLeft, bottom and right in bottomRight
// (the top-right and bottom-left corner pixels go to bottomRight and topLeft). Returns
// the rectangle inside it.
QRect Frame3D(QPainter& painter, QRect rect, TColor topLeft, TColor bottomRight, int width);
// Fills one rectangle in a plain colour, without antialiasing.
void FillRect(QPainter& painter, const QRect& rect, TColor color);

// ---- control bases

// What screen readers and UI automation learn of a control: its role, its value as text
// and a press action. The name is the widget's accessible name, else its caption, else
// its hint.
class TMMAccessibleControl {
 public:
  virtual ~TMMAccessibleControl() = default;
  virtual QAccessible::Role AccessibleRole() const { return QAccessible::Client; }
  virtual std::string AccessibleValue() const { return {}; }
  virtual std::string AccessibleHint() const { return {}; }
  virtual std::string AccessibleCaption() const { return {}; }
  // The press action of button-like controls; false when there is none.
  virtual bool AccessiblePress() { return false; }
  // The description when it is more than the hint; empty: the widget's own.
  virtual std::string AccessibleDescription() const { return {}; }
  // On/off state of a latched control; none for others.
  virtual std::optional<bool> AccessibleChecked() const { return std::nullopt; }
  // The interface Qt's accessibility asks for; controls with a value range override it.
  virtual QAccessibleInterface* NewAccessible(QWidget* self);

 protected:
  TMMAccessibleControl();  // installs the factory once
};

// What the windowless and the windowed base share: the bevel, the colour, the font
// colour, the hint and the mouse events. Mixed into a QWidget.
class TMMControlBase : public TMMAccessibleControl {
 public:

  TMMBevel& Bevel() { return bevel_; }
  const TMMBevel& Bevel() const { return bevel_; }
  void SetBevel(const TMMBevel& bevel) { bevel_.Assign(bevel); }
  int TotalBevelWidth() const { return bevel_.TotalWidth(); }

  TColor Color() const { return color_; }
  void SetColor(TColor color);
  TColor FontColor() const { return fontColor_; }
  void SetFontColor(TColor color);

  const std::string& Hint() const { return hint_; }
  void SetHint(std::string hint);
  bool ShowHint() const { return showHint_; }
  void SetShowHint(bool show);

  int Tag() const { return tag_; }
  void SetTag(int tag) { tag_ = tag; }

  TMouseEvent OnMouseDown, OnMouseUp;
  TMouseMoveEvent OnMouseMove;

  std::string AccessibleHint() const override { return hint_; }

 protected:
  explicit TMMControlBase(QWidget* self, TColor color);
  void DeliverMouse(QEvent* event);  // fires the mouse events for a press, move or release
  virtual void PropertyChanged() { self_->update(); }
  virtual void BevelChanged() { self_->update(); }

 private:
  void ApplyToolTip();

  QWidget* self_;
  TMMBevel bevel_;
  TColor color_;
  TColor fontColor_ = clWindowText;
  std::string hint_;
  bool showHint_ = false;
  int tag_ = 0;
};

// Windowless control: no focus, not opaque; what it leaves unpainted shows its parent.
class TMMGraphicControl : public QWidget, public TObject, public TMMControlBase {
  Q_OBJECT
 public:
  explicit TMMGraphicControl(QWidget* parent = nullptr);

  // The client rectangle less the total bevel width on every side.
  QRect BevelClientRect() const;

 protected:
  // Default look: the bevel, and the inside filled with Color.
  virtual void Paint(QPainter& painter);
  // A bevel change: re-layout (displays recompute their drawing areas here) and repaint.
  void BevelChanged() override;
  virtual void BevelLayout() {}

  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
};

// Windowed control: takes focus by Tab and click; opaque.
class TMMCustomControl : public QWidget, public TObject, public TMMControlBase {
  Q_OBJECT
 public:
  explicit TMMCustomControl(QWidget* parent = nullptr);

  QRect BevelClientRect() const;

  bool TabStop() const { return focusPolicy() != Qt::NoFocus; }
  void SetTabStop(bool on) { setFocusPolicy(on ? Qt::StrongFocus : Qt::NoFocus); }

  TNotifyEvent OnEnter, OnExit;
  TKeyEvent OnKeyDown, OnKeyUp;
  TKeyPressEvent OnKeyPress;

 protected:
  virtual void Paint(QPainter& painter);

  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
};

}  // namespace strataeq
