// Windowless push button that draws only a frame, a glyph and a caption over whatever
// lies behind it; optional popup menu, latched down state, hover look and dragging.
#pragma once

#include <QImage>
#include <QPointer>
#include <QWidget>
#include <string>
#include <vector>

#include "controls/MMObj.h"

#include <QMenu>

namespace strataeq {

enum class TFrameStyle { fsRegular, fsIndent, fsExplorer, fsNone, fsLight, fsDark, fsMono };
enum class TTextAlign { ttaTopLeft, ttaTop, ttaTopRight, ttaRight, ttaBottomRight, ttaBottom, ttaBottomLeft, ttaLeft, ttaCenter };

// The glyph strip's images, then a grey copy and an etched copy of the first, each with
// its top-left colour made transparent.
struct TGlyphList {
  std::vector<QImage> images;  // NumGlyphs images
  QImage grey, etched;
};
TGlyphList BuildGlyphList(const QImage& glyph, int numGlyphs);

class TTransparentButton : public QWidget, public TObject, public TMMAccessibleControl {
  Q_OBJECT
 public:
  explicit TTransparentButton(QWidget* parent = nullptr);

  const std::string& Caption() const { return caption_; }
  void SetCaption(std::string caption);
  const QImage& Glyph() const { return glyph_; }
  void SetGlyph(const QImage& glyph);
  int NumGlyphs() const { return numGlyphs_; }
  void SetNumGlyphs(int n);
  bool AutoGray() const { return autoGray_; }
  void SetAutoGray(bool v) { Store(autoGray_, v); }
  TFrameStyle FrameStyle() const { return frameStyle_; }
  void SetFrameStyle(TFrameStyle v) { Store(frameStyle_, v); }
  int BorderWidth() const { return borderWidth_; }
  void SetBorderWidth(int v) { Store(borderWidth_, std::max(0, v)); }
  bool Transparent() const { return transparent_; }
  void SetTransparent(bool v);
  bool Down() const { return down_; }
  void SetDown(bool v);
  bool ShowPressed() const { return showPressed_; }
  void SetShowPressed(bool v) { Store(showPressed_, v); }
  int Spacing() const { return spacing_; }
  void SetSpacing(int v) { Store(spacing_, v); }
  TTextAlign TextAlign() const { return textAlign_; }
  void SetTextAlign(TTextAlign v) { Store(textAlign_, v); }
  bool WordWrap() const { return wordWrap_; }
  void SetWordWrap(bool v) { Store(wordWrap_, v); }
  bool Movable() const { return movable_; }
  void SetMovable(bool v) { movable_ = v; }
  QMenu* PopUpMenu() const { return popup_; }
  void SetPopUpMenu(QMenu* menu) { popup_ = menu; }
  TColor FontColor() const { return fontColor_; }
  void SetFontColor(TColor v) { Store(fontColor_, v); }
  const std::string& Hint() const { return hint_; }
  void SetHint(std::string hint);
  bool ShowHint() const { return showHint_; }
  void SetShowHint(bool v);
  int Tag() const { return tag_; }
  void SetTag(int tag) { tag_ = tag; }
  // A latched toggle (its owner flips Down on each click): screen readers hear it as
  // on while down and off while up.
  bool Latching() const { return latching_; }
  void SetLatching(bool v) { latching_ = v; }
  // What the accessible description starts with when the hint does not (the hint alone
  // may name only the choice, as a device button's does after a choice).
  const std::string& DescriptionLead() const { return descriptionLead_; }
  void SetDescriptionLead(std::string lead);

  // The look: pressed (sunken), and the mouse over the button.
  bool PressedLook() const { return pressed_; }
  bool Hot() const { return hot_; }
  const TGlyphList& Glyphs() const { return glyphs_; }

  TNotifyEvent OnClick, OnMouseEnter, OnMouseExit;
  TMouseEvent OnMouseDown, OnMouseUp;
  TMouseMoveEvent OnMouseMove;

  QAccessible::Role AccessibleRole() const override {
    return popup_ ? QAccessible::ButtonMenu : QAccessible::Button;
  }
  std::string AccessibleCaption() const override;
  std::string AccessibleHint() const override { return hint_; }
  std::string AccessibleValue() const override { return down_ ? "down" : ""; }
  bool AccessiblePress() override;
  std::string AccessibleDescription() const override;
  std::optional<bool> AccessibleChecked() const override {
    return latching_ ? std::optional<bool>(down_) : std::nullopt;
  }

 protected:
  bool event(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  template <typename T>
  void Store(T& field, T value) {
    if (field == value) return;
    field = value;
    update();
  }
  void Press(QPoint at, Qt::MouseButton button, Qt::KeyboardModifiers modifiers);
  void Release(QPoint at, Qt::MouseButton button, Qt::KeyboardModifiers modifiers);
  void Click();
  void OpenMenuWindow();
  void RebuildGlyphs();
  void PaintFrame(QPainter& painter, bool pressedLook);
  void UpdateShortcut();

  std::string caption_;
  QImage glyph_;
  int numGlyphs_ = 1;
  TGlyphList glyphs_;
  bool autoGray_ = true;
  TFrameStyle frameStyle_ = TFrameStyle::fsExplorer;
  int borderWidth_ = 1;
  bool transparent_ = true;
  bool down_ = false;
  bool showPressed_ = true;
  int spacing_ = 2;
  TTextAlign textAlign_ = TTextAlign::ttaCenter;
  bool wordWrap_ = false;
  bool movable_ = false;
  QPointer<QMenu> popup_;
  bool userInput_ = false;  // a press from the keyboard, not from a screen reader
  QMetaObject::Connection menuChosen_;  // the menu opened as a window closes on a choice
  TColor fontColor_ = clWindowText;
  std::string hint_;
  bool showHint_ = false;
  int tag_ = 0;
  int shortcutId_ = 0;
  bool latching_ = false;
  std::string descriptionLead_;

  bool pressed_ = false;         // drawn sunken
  bool pressedInside_ = false;   // the press started inside and is tracked
  bool pressInProgress_ = false; // guards against a second press before the release
  bool hot_ = false;
  QPoint pressPoint_;
};

}  // namespace strataeq
