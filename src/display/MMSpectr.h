// The spectrum analyser: TMMSpectrumAnalysis (display/MMSpectrumAnalysis.h) turns PCM
// frames into bars (no screen needed); TMMSpectrum is the control that feeds it and draws
// the bars.
#pragma once

#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "display/MMAnimationTimer.h"
#include "display/MMConect.h"
#include "display/MMDIB.h"
#include "display/MMSpectrumAnalysis.h"
#include "eq/MMEQ.h"

namespace strataeq {

STRATAEQ_DECLARE_ERROR(EMMSpectrumError);

using TMMSpectrumDrawBar =
    std::function<void(TObject* Sender, TMMDIBCanvas* DIB, QRect Rect, std::int32_t nSpots, std::int32_t Peak)>;
using TMMSpectrumClear = std::function<void(TObject* Sender, TMMDIBCanvas* DIB, QRect Rect)>;
using TMMSpectrumGetXScale = std::function<void(TObject* Sender, std::int32_t* pX1, std::int32_t* pX2)>;

class TMMSpectrum : public TMMDIBGraphicControl, public TMMConnectorDisplay, public TMMResponseDisplay {
 public:
  explicit TMMSpectrum(QWidget* parent = nullptr);
  ~TMMSpectrum() override;

  TMMSpectrumAnalysis& Analysis() { return analysis_; }
  const TMMSpectrumAnalysis& Analysis() const { return analysis_; }

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool value);
  TMMSpectrumKind Kind() const { return analysis_.Kind(); }
  void SetKind(TMMSpectrumKind value);
  std::int32_t FFTLength() const override { return analysis_.FFTLength(); }
  void SetFFTLength(std::int32_t value);
  TMMBits BitLength() const override { return analysis_.BitLength(); }
  TMMMode Mode() const override { return analysis_.Mode(); }
  void SetWindow(TMMFFTWindow value) override { analysis_.SetWindow(value); }
  void SetResponseHook(TNotifyEvent hook) override { OnNeedData = std::move(hook); }

  TColor Bar1Color() const { return barColor_[0]; }
  void SetBar1Color(TColor color) { SetZoneColor(barColor_[0], color); }
  TColor Bar2Color() const { return barColor_[1]; }
  void SetBar2Color(TColor color) { SetZoneColor(barColor_[1], color); }
  TColor Bar3Color() const { return barColor_[2]; }
  void SetBar3Color(TColor color) { SetZoneColor(barColor_[2], color); }
  TColor Inactive1Color() const { return inactiveColor_[0]; }
  void SetInactive1Color(TColor color) { SetZoneColor(inactiveColor_[0], color); }
  TColor Inactive2Color() const { return inactiveColor_[1]; }
  void SetInactive2Color(TColor color) { SetZoneColor(inactiveColor_[1], color); }
  TColor Inactive3Color() const { return inactiveColor_[2]; }
  void SetInactive3Color(TColor color) { SetZoneColor(inactiveColor_[2], color); }
  // Amplitude scales: 32-pixel strips left and right; frequency scale: 40 pixels below.
  bool DrawAmpScale() const { return drawAmpScale_; }
  void SetDrawAmpScale(bool value);
  bool DrawFreqScale() const { return drawFreqScale_; }
  void SetDrawFreqScale(bool value);
  TColor ScaleTextColor() const { return scaleTextColor_; }
  void SetScaleTextColor(TColor value);
  TColor ScaleLineColor() const { return scaleLineColor_; }
  void SetScaleLineColor(TColor value);
  bool DrawGrid() const { return drawGrid_; }
  void SetDrawGrid(bool value);
  TColor GridColor() const { return gridColor_; }
  void SetGridColor(TColor value);
  bool ShowInfo() const { return showInfo_; }
  void SetShowInfo(bool value) { showInfo_ = value; }
  bool DisplayPeak() const { return displayPeak_; }
  void SetDisplayPeak(bool value);
  bool InInfoMode() const { return analysis_.InfoMode; }
  std::int32_t Space() const { return space_; }
  void SetSpace(std::int32_t value);  // 0..5
  bool DrawInactive() const { return drawInactive_; }
  void SetDrawInactive(bool value);
  bool ActiveDoted() const { return activeDoted_; }
  void SetActiveDoted(bool value);
  bool InactiveDoted() const { return inactiveDoted_; }
  void SetInactiveDoted(bool value);

  std::int32_t FrameSize() const override { return analysis_.FrameSize(); }
  void SetDataFormat(const TWaveFormatEx* format) override;
  void ProcessFrame(const void* data) override;
  void ResetDisplay() override;

  // The frame surface as last drawn.
  const QImage& FrameImage() { return SurfaceImage(); }

  TNotifyEvent OnNeedData;
  TNotifyEvent OnGainOverflow;
  TNotifyEvent OnPcmOverflow;
  // Draws each bar instead of the analyser (bars and peaks kinds); levels then count in
  // pixels. The frame surface is the DIB.
  TMMSpectrumDrawBar OnDrawBar;
  TMMSpectrumClear OnClearBackground;
  // Fills the first and end bin of every column; read when the mapping is recomputed.
  TMMSpectrumGetXScale OnGetXScale;

 protected:
  void ResizeArea() override;
  void DrawFrame() override;
  QMargins Strips() const override;
  void Paint(QPainter& painter) override;
  bool PaintsOverSurface() const override { return displayPeak_ || analysis_.InfoMode; }
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  void LeaveInfoMode();
  void Changed();
  void SetZoneColor(TColor& field, TColor color);
  void DrawInactiveCanvas();
  void DrawBarsKind(TMMDIBCanvas& c);
  // What a picture of the bars kind depends on besides the bars themselves. A frame drawn
  // with the look of the last one redraws only the spots that changed: most of a frame's
  // bars move by a spot or two, and clearing and filling the whole surface 40 times a
  // second cost more than the rest of the drawing.
  struct TBarsLook {
    std::uint64_t generation = 0;  // the surface's: a rebuild lost the picture
    std::int32_t width = 0, height = 0, bits = 0;
    std::int32_t spots = 0, spotHeight = 0, pitch = 0, base = 0, zone1 = 0, zone2 = 0;
    std::int32_t numPeaks = 0, space = 0;
    bool peaksOnly = false, doted = false, inactive = false, picture = false;
    std::uint32_t lit[3] = {}, level[3] = {}, background = 0;
    bool operator==(const TBarsLook&) const = default;
  };
  struct TDrawnBar {
    std::int32_t start, end, spots, peak;
  };
  TBarsLook BarsLook();
  // False when the surface does not hold the last bars drawn with this look.
  bool DrawChangedBars(TMMDIBCanvas& c, const TBarsLook& look);
  void RememberBars(const TBarsLook& look);
  void DrawGridLines(TMMDIBCanvas& c);
  void PaintScales(QPainter& painter);
  void ApplyMinimumSize();
  // Tick intervals of the scales.
  int AmpIntervals() const;
  int FreqIntervals() const;

  TMMSpectrumAnalysis analysis_;
  bool enabled_ = true;
  std::array<TColor, 3> barColor_{clAqua, clAqua, clRed};
  std::array<TColor, 3> inactiveColor_{clTeal, clTeal, clMaroon};
  std::int32_t space_ = 1;
  bool drawInactive_ = true, activeDoted_ = false, inactiveDoted_ = false;
  bool showInfo_ = true, displayPeak_ = false, drawGrid_ = false;
  bool drawAmpScale_ = false, drawFreqScale_ = false;
  TColor scaleTextColor_ = clBlack, scaleLineColor_ = clBlack;
  TColor gridColor_ = clGray;
  QPoint info_;  // pointer position in the drawing area
  TMMDIBCanvas inactive_;
  bool inactiveDirty_ = true;
  bool fresh_ = false;  // the bars were built by the frame being drawn
  std::vector<TDrawnBar> drawn_;  // the bars on the surface, in spots
  TBarsLook drawnLook_;
  bool drawnValid_ = false;
  int animation_ = 0;
};

}  // namespace strataeq
