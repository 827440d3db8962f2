// The oscilloscope: one frame of PCM across the width (normal mode) or each frame's
// two extremes as one new column of a scrolling picture (scroll mode).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "display/MMConect.h"
#include "display/MMDIB.h"

namespace strataeq {

STRATAEQ_DECLARE_ERROR(EMMOscopeError);

enum class TMMOscopeKind { okDots, okConLines, okVertLines, okMirLines, okSpikes };
enum class TMMOscopeEffect { efNone, efPeak, efSplit };

using TMMOscopeDrawLine = std::function<void(TObject* Sender, TMMDIBCanvas* DIB, QRect Rect, const std::int16_t* Data)>;

class TMMOscope : public TMMDIBGraphicControl, public TMMConnectorDisplay {
 public:
  explicit TMMOscope(QWidget* parent = nullptr);
  ~TMMOscope() override;

  TMMOscopeKind Kind() const { return kind_; }
  void SetKind(TMMOscopeKind value);
  TMMOscopeEffect Effect() const { return effect_; }
  void SetEffect(TMMOscopeEffect value);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool value);
  TMMBits BitLength() const override { return bits_; }
  void SetBitLength(TMMBits value);
  TMMMode Mode() const override { return mode_; }
  void SetMode(TMMMode value);
  TMMChannel Channel() const { return channel_; }
  void SetChannel(TMMChannel value);
  std::int32_t SampleRate() const { return sampleRate_; }
  void SetSampleRate(std::int32_t value);  // 8000..88200
  std::int32_t Zoom() const { return zoom_; }
  void SetZoom(std::int32_t value);  // -9..9, 0 ignored
  std::int32_t Steps() const { return steps_; }
  void SetSteps(std::int32_t value);  // 1..9
  std::int32_t Gain() const { return gain_; }
  void SetGain(std::int32_t value);  // -8..32, others ignored
  bool LowPass() const { return lowPass_; }
  void SetLowPass(bool value);
  bool DrawMidLine() const { return drawMidLine_; }
  void SetDrawMidLine(bool value);
  bool DrawGrid() const { return drawGrid_; }
  void SetDrawGrid(bool value);
  bool Scroll() const override { return scroll_; }
  void SetScroll(bool value);
  bool Accelerate() const override { return accelerate_; }
  void SetAccelerate(bool value) { accelerate_ = value; }
  std::int32_t FFTLength() const override { return fftLength_; }
  void SetFFTLength(std::int32_t value);  // 1..4096, power of two
  std::int32_t BarWidth() const { return barWidth_; }
  void SetBarWidth(std::int32_t value) { barWidth_ = std::max(value, 1); }
  TColor ForegroundColor() const { return foreground_; }
  void SetForegroundColor(TColor value);
  TColor EffectColor() const { return effectColor_; }
  void SetEffectColor(TColor value);
  TColor DisabledColor() const { return disabledColor_; }
  void SetDisabledColor(TColor value);
  TColor GridColor() const { return gridColor_; }
  void SetGridColor(TColor value);
  TColor BarColor() const { return barColor_; }
  void SetBarColor(TColor value) { barColor_ = value; }
  TColor BarTickColor() const { return barTickColor_; }
  void SetBarTickColor(TColor value) { barTickColor_ = value; }

  // Amplitude scales: 32-pixel strips left and right; time scale: 40 pixels below.
  bool DrawAmpScale() const { return drawAmpScale_; }
  void SetDrawAmpScale(bool value);
  bool DrawTimeScale() const { return drawTimeScale_; }
  void SetDrawTimeScale(bool value);
  TColor ScaleTextColor() const { return scaleTextColor_; }
  void SetScaleTextColor(TColor value) { scaleTextColor_ = value; update(); }
  TColor ScaleLineColor() const { return scaleLineColor_; }
  void SetScaleLineColor(TColor value) { scaleLineColor_ = value; update(); }
  bool ShowInfo() const { return showInfo_; }
  void SetShowInfo(bool value) { showInfo_ = value; }
  bool InInfoMode() const { return infoMode_; }
  // The pointer readout for column x and row y of the drawing area.
  std::string InfoText(std::int32_t x, std::int32_t y) const;

  std::int32_t FrameSize() const override;
  void SetDataFormat(const TWaveFormatEx* format) override;
  void ProcessFrame(const void* data) override;
  void ResetDisplay() override;

  // Columns, height and the trace (one value per column) of the last frame.
  std::int32_t Columns() const { return width_; }
  std::int32_t AreaHeight() const { return height_; }
  const std::vector<std::int16_t>& Trace() const {
    TakeFrame();
    return trace_;
  }
  // The row a value is drawn on.
  std::int32_t RowOf(std::int32_t value) const;
  const QImage& FrameImage() { return SurfaceImage(); }

  TNotifyEvent OnGainOverflow;
  TNotifyEvent OnPcmOverflow;
  TNotifyEvent OnPostPaint;
  // Draws the trace instead of the oscilloscope (normal mode).
  TMMOscopeDrawLine OnDrawLine;

 protected:
  void ResizeArea() override;
  void DrawFrame() override;
  QMargins Strips() const override;
  void Paint(QPainter& painter) override;
  bool PaintsOverSurface() const override { return infoMode_; }
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  std::int32_t Sample(const std::uint8_t* frame, std::int32_t index) const;
  // The trace of a frame (normal mode: a value per column; scroll mode: the extremes);
  // how many values it wrote.
  std::int32_t BuildTrace(const std::uint8_t* frame) const;
  // Builds the trace of the held frame, if one waits. A setter that changes how a frame
  // reads calls it first, so the held frame reads as it was delivered.
  void TakeFrame() const;
  std::int32_t MapY(std::int32_t value) const;
  bool OutsideBand(std::int32_t y) const { return effect_ != TMMOscopeEffect::efNone && (y < bandLo_ || y > bandHi_); }
  void DrawNormal();
  void DrawScrollColumn();
  void DrawValue(int x, std::int32_t v, int& lastX, int& lastRow);
  void ComputeBand();
  void ApplyMinimumSize();
  void PaintScales(QPainter& painter);
  int TimeIntervals() const;
  std::int32_t GridRow(int k) const;  // rows above the bottom of amplitude tick k

  TMMOscopeKind kind_ = TMMOscopeKind::okDots;
  TMMOscopeEffect effect_ = TMMOscopeEffect::efNone;
  bool enabled_ = true;
  TMMBits bits_ = TMMBits::b8Bit;
  TMMMode mode_ = TMMMode::mMono;
  TMMChannel channel_ = TMMChannel::chBoth;
  std::int32_t sampleRate_ = 11025;
  std::int32_t zoom_ = 1, steps_ = 1, gain_ = 0;
  bool lowPass_ = false, drawMidLine_ = false, drawGrid_ = false;
  bool scroll_ = false, accelerate_ = true;
  std::int32_t fftLength_ = 128, barWidth_ = 5;
  TColor foreground_ = clAqua, effectColor_ = clRed, disabledColor_ = clGray;
  TColor gridColor_ = clGray, barColor_ = clGray, barTickColor_ = clWhite;

  std::int32_t width_ = 4, height_ = 4;
  std::int32_t offset_ = 32767, range_ = 65535;
  std::int32_t bandLo_ = 0, bandHi_ = 0;
  std::int32_t gridIntervals_ = 10;
  // Built when drawn or asked for, not per frame: frames come several times for each
  // picture shown, and only the last one's trace is ever seen.
  mutable std::vector<std::int16_t> trace_;
  mutable std::vector<std::uint8_t> held_;  // the last frame's bytes while its trace waits
  mutable bool holding_ = false;
  // Scroll mode: the column written next, how many were written, the last point.
  std::int32_t writeColumn_ = 0, written_ = 0, lastRow_ = -1;
  bool newFrame_ = false;
  bool showInfo_ = true, infoMode_ = false;
  bool drawAmpScale_ = false, drawTimeScale_ = false;
  TColor scaleTextColor_ = clBlack, scaleLineColor_ = clBlack;
  QPoint info_;
};

}  // namespace strataeq
