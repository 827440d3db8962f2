// The base of the displays: a control with a lowered bevel that composes its picture
// on one off-screen surface and can put it on the screen at once.
#pragma once

#include <QColor>
#include <QRect>
#include <QWidget>

#include "display/MMDIBCv.h"
#include "platform/Component.h"

namespace strataeq {

// Also a TObject, so that it can be the Sender of the component events.
class TMMDIBGraphicControl : public QWidget, public TObject {
 public:
  explicit TMMDIBGraphicControl(QWidget* parent = nullptr);

  QColor Color() const { return color_; }
  void SetColor(QColor value);
  std::int32_t BevelWidth() const { return bevelWidth_; }
  void SetBevelWidth(std::int32_t value);
  // The drawing area: the client rectangle less the bevel (and any scales).
  QRect Area() const { return area_; }

  // Composes a frame and shows it now (a synchronous repaint) when the control is
  // visible; a hidden control draws nothing.
  void PaintNow();

 protected:
  TMMDIBCanvas& Surface() { return surface_; }
  // Fills the surface with the control's colour. Inside BeginDraw/EndDraw.
  virtual void DrawBackground();
  // Composes the current picture on the surface. Inside BeginDraw/EndDraw.
  virtual void DrawFrame() = 0;
  // The size changed: recompute the area; the base sizes the surface to it.
  virtual void ResizeArea();
  void SetArea(const QRect& area);
  // Recomposes and schedules an ordinary repaint.
  void Redraw();

  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void Compose();
  TMMDIBCanvas surface_;
  QColor color_{0, 0, 0};
  std::int32_t bevelWidth_ = 1;
  QRect area_;
};

}  // namespace strataeq
