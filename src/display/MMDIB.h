// The base of the displays: a control with a bevel that composes its picture on one
// off-screen surface and can put it on the screen at once.
#pragma once

#include <QElapsedTimer>
#include <QMargins>
#include <QRect>
#include <QTimer>
#include <QWidget>

#include "controls/MMObj.h"
#include "display/MMDIBCv.h"

namespace strataeq {

class TMMDIBGraphicControl : public TMMGraphicControl {
  Q_OBJECT
 public:
  explicit TMMDIBGraphicControl(QWidget* parent = nullptr);

  // The drawing area: the client rectangle less the bevel (and any scales).
  QRect Area() const { return area_; }

  // Composes a frame and shows it with the window's next paint when the control is
  // visible; a hidden control draws nothing. Frames closer together than a screen
  // refresh are drawn together once the refresh is due: the last one is shown.
  void PaintNow();
  // The surface with the current picture.
  const QImage& SurfaceImage();
  static constexpr int kScreenInterval = 25;  // ms: 40 pictures a second, the animation pace
  static constexpr int kScreenSlack = 5;      // ms a frame may come early and still go now

  // A picture behind the drawing; shown only with UseBackGroundDIB.
  const QImage& BackGroundDIB() const { return backDIB_; }
  void SetBackGroundDIB(const QImage& picture);
  // Only true with a picture; switches PaletteRealize with it.
  bool UseBackGroundDIB() const { return useBackDIB_; }
  void SetUseBackGroundDIB(bool value);
  bool PaletteRealize() const { return surface_.PaletteRealize(); }
  void SetPaletteRealize(bool value) { surface_.SetPaletteRealize(value); }

 protected:
  TMMDIBCanvas& Surface() { return surface_; }
  // A colour as the surface writes it.
  std::uint32_t Pixel(TColor color) { return surface_.MapColor(ToQColor(color).rgb()); }
  // Fills the surface with the background image, or without one with the control's
  // colour. Inside BeginDraw/EndDraw.
  virtual void DrawBackground();
  // Composes the current picture on the surface. Inside BeginDraw/EndDraw.
  virtual void DrawFrame() { DrawBackground(); }
  // Strips outside the bevel for scales; none by default.
  virtual QMargins Strips() const { return {}; }
  // The strips of the scales the displays draw: amplitude left and right, the other axis below.
  static QMargins ScaleStrips(bool amplitude, bool below) {
    return QMargins(amplitude ? 32 : 0, 0, amplitude ? 32 : 0, below ? 40 : 0);
  }
  // Scale divisions along an extent: the most of 32, 16, 8, 4, 2 that keep 10 pixels apart.
  static int ScaleIntervals(int extent) {
    for (int m : {32, 16, 8, 4, 2})
      if (extent / m >= 10) return m;
    return 1;
  }
  // The smallest size that leaves an inner pixels plus the bevel and the strips.
  void SetScaleMinimumSize(int inner, bool amplitude, bool below) {
    const int b = 2 * TotalBevelWidth() + inner;
    setMinimumSize(b + (amplitude ? 64 : 0), b + (below ? 40 : 0));
  }
  // The strips are filled with the parent's colour.
  QColor ParentColor() const;
  // The size or bevel changed: recompute the area; the base sizes the surface to it.
  virtual void ResizeArea();
  void SetArea(const QRect& area);
  // Recomposes and schedules an ordinary repaint.
  void Redraw();
  // Composes now.
  void Compose();
  // Said by DrawFrame: this compose changed only this part of the surface (surface
  // coordinates; empty: nothing). Without it a compose changed all of it.
  void ChangedOnly(const QRect& part) { composed_ = part; }
  // The control paints over the copied surface (readouts): the window then gets the
  // whole surface with each paint, since what was painted over it must go again.
  virtual bool PaintsOverSurface() const { return false; }
  // Puts the surface on the screen now, or at the next screen refresh when the last
  // copy was less than a refresh ago.
  void ShowSurface();

  void Paint(QPainter& painter) override;
  // The paint event being served covers only the drawing area (a frame being shown):
  // the bevel and the scales around it are already on the screen.
  bool PaintingAreaOnly() const { return area_.contains(paintRect_); }
  void paintEvent(QPaintEvent* event) override;
  void BevelLayout() override;
  void PropertyChanged() override { Redraw(); }
  void resizeEvent(QResizeEvent* event) override;

 private:
  void CopyToScreen();
  // Whether the window's backing store holds the surface as last copied there, so that a
  // paint of the drawing area need copy only what changed since. Not when the paint goes
  // to another device, covers more than the area or may have been asked for by another
  // widget that overlaps this one, or when the window is translucent (its paints clear).
  bool ScreenHoldsSurface() const;
  // The surface in the screen's own format (32-bit RGB): the surface itself, or for a
  // palette picture a conversion made here without Qt's pooled converters and only when
  // the picture changed, so painting it is a copy.
  const QImage& ScreenImage();
  TMMDIBCanvas surface_;
  QImage screen_;
  qint64 screenKey_ = 0;  // the surface image's cache key when screen_ was made
  QRect paintRect_;
  bool paintOneRect_ = false;
  QRect area_;
  QRect composed_;          // what the compose under way changed
  QRect changed_;           // what the composes changed since the last copy to the window
  bool screenHolds_ = false;  // the backing store holds the last copy (see ScreenHoldsSurface)
  QElapsedTimer sinceScreen_;
  bool composePending_ = false;
  bool screenPending_ = false;  // a repaint of the area is posted and not yet served
  QTimer screenTimer_;
  QImage backDIB_;
  bool useBackDIB_ = false;
};

}  // namespace strataeq
