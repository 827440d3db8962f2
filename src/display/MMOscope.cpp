#include "display/MMOscope.h"

#include <QMouseEvent>
#include <QPainter>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace strataeq {

TMMOscope::TMMOscope(QWidget* parent) : TMMDIBGraphicControl(parent) {
  resize(194, 90);
  ResizeArea();  // a hidden control hears of its size only when shown
}

TMMOscope::~TMMOscope() { DetachFromConnectors(); }

void TMMOscope::SetKind(TMMOscopeKind value) {
  kind_ = value;
  offset_ = value == TMMOscopeKind::okSpikes ? 0 : 32767;
  range_ = value == TMMOscopeKind::okSpikes ? 32767 : 65535;
  Redraw();
}

void TMMOscope::SetEffect(TMMOscopeEffect value) {
  effect_ = value;
  ComputeBand();
  Redraw();
}

void TMMOscope::SetEnabled(bool value) {
  enabled_ = value;
  Redraw();
}

void TMMOscope::SetBitLength(TMMBits value) {
  TakeFrame();
  bits_ = value;
}
void TMMOscope::SetMode(TMMMode value) {
  TakeFrame();
  mode_ = value == TMMMode::mStereo ? value : TMMMode::mMono;
}
void TMMOscope::SetChannel(TMMChannel value) {
  TakeFrame();
  channel_ = value;
}
void TMMOscope::SetLowPass(bool value) {
  TakeFrame();
  lowPass_ = value;
}
void TMMOscope::SetSampleRate(std::int32_t value) { sampleRate_ = Clamp(value, 8000, 88200); }

void TMMOscope::SetZoom(std::int32_t value) {
  if (value == 0) return;
  TakeFrame();
  zoom_ = Clamp(value, -9, 9);
}

void TMMOscope::SetSteps(std::int32_t value) {
  steps_ = Clamp(value, 1, 9);
  Redraw();
}

void TMMOscope::SetGain(std::int32_t value) {
  if (!InRange(value, -8, 32)) return;
  gain_ = value;
  Redraw();
}

void TMMOscope::SetDrawMidLine(bool value) {
  drawMidLine_ = value;
  Redraw();
}

void TMMOscope::SetDrawGrid(bool value) {
  drawGrid_ = value;
  Redraw();
}

void TMMOscope::SetScroll(bool value) {
  TakeFrame();
  scroll_ = value;
  Redraw();
}

void TMMOscope::SetFFTLength(std::int32_t value) {
  value = Clamp(value, 1, 4096);
  int p = 1;
  while (p * 2 <= value) p *= 2;
  fftLength_ = p;
}

void TMMOscope::SetForegroundColor(TColor value) {
  foreground_ = value;
  Redraw();
}
void TMMOscope::SetEffectColor(TColor value) {
  effectColor_ = value;
  Redraw();
}
void TMMOscope::SetDisabledColor(TColor value) {
  disabledColor_ = value;
  Redraw();
}
void TMMOscope::SetGridColor(TColor value) {
  gridColor_ = value;
  Redraw();
}

std::int32_t TMMOscope::FrameSize() const {
  const std::int32_t frame = (bits_ == TMMBits::b16Bit ? 2 : 1) * (mode_ == TMMMode::mStereo ? 2 : 1);
  if (scroll_) return frame * fftLength_;
  if (zoom_ > 0) return frame * width_ * zoom_;
  // Just the sample frames the columns show: the last column shows (W - 1) div (|z| + 1).
  return frame * ((width_ - 1) / (-zoom_ + 1) + 1);
}

void TMMOscope::SetDataFormat(const TWaveFormatEx* format) {
  if (!IsValidPcmFormat(format)) throw EMMOscopeError(LoadResString(msg::InvalidWaveFormat));
  TakeFrame();
  SetSampleRate(static_cast<std::int32_t>(format->nSamplesPerSec));
  bits_ = format->wBitsPerSample == 16 ? TMMBits::b16Bit : TMMBits::b8Bit;
  mode_ = format->nChannels == 2 ? TMMMode::mStereo : TMMMode::mMono;
}

void TMMOscope::ComputeBand() {
  if (effect_ == TMMOscopeEffect::efPeak) {
    bandLo_ = height_ / 3;
    bandHi_ = height_ - height_ / 3;
  } else {
    bandLo_ = 0;
    bandHi_ = height_ / 2;
  }
}

void TMMOscope::ResizeArea() {
  holding_ = false;  // the trace starts again at the new width
  TMMDIBGraphicControl::ResizeArea();
  width_ = std::max(Area().width(), 4);
  height_ = std::max(Area().height(), 4);
  trace_.assign(static_cast<std::size_t>(width_) + 40, 0);
  ComputeBand();
  gridIntervals_ = 10;
  while (height_ / gridIntervals_ < 10 && gridIntervals_ > 2) gridIntervals_ -= 2;
  writeColumn_ = written_ = 0;
  lastRow_ = -1;
}

std::int32_t TMMOscope::Sample(const std::uint8_t* frame, std::int32_t index) const {
  const bool stereo = mode_ == TMMMode::mStereo;
  auto at = [&](std::int32_t i) -> std::int32_t {
    if (bits_ == TMMBits::b16Bit) return reinterpret_cast<const std::int16_t*>(frame)[i];
    return frame[i] * 256 - 32768;
  };
  if (!stereo) return at(index);
  if (channel_ == TMMChannel::chLeft) return at(2 * index);
  if (channel_ == TMMChannel::chRight) return at(2 * index + 1);
  return (at(2 * index) + at(2 * index + 1)) / 2;
}

std::int32_t TMMOscope::MapY(std::int32_t value) const {
  const std::int64_t v = static_cast<std::int64_t>(value) * (gain_ + 8) / 8;
  return static_cast<std::int32_t>((v + offset_) * height_ / range_);
}

std::int32_t TMMOscope::RowOf(std::int32_t value) const { return height_ - MapY(value) - 1; }

std::int32_t TMMOscope::BuildTrace(const std::uint8_t* frame) const {
  std::int32_t count = width_;
  if (scroll_) {
    // The extremes in time order, of the chosen channel (or the means of both).
    std::int32_t lo = 0, hi = 0, loAt = 0, hiAt = 0;
    for (std::int32_t i = 0; i < fftLength_; ++i) {
      const std::int32_t v = Sample(frame, i);
      if (i == 0 || v < lo) lo = v, loAt = i;
      if (i == 0 || v > hi) hi = v, hiAt = i;
    }
    trace_[0] = static_cast<std::int16_t>(loAt <= hiAt ? lo : hi);
    trace_[1] = static_cast<std::int16_t>(loAt <= hiAt ? hi : lo);
    count = 2;
  } else {
    for (std::int32_t i = 0; i < width_; ++i) {
      const std::int32_t n = zoom_ > 0 ? i * zoom_ : i / (-zoom_ + 1);
      trace_[i] = static_cast<std::int16_t>(Sample(frame, n));
    }
  }
  if (lowPass_) {
    std::int32_t previous = 0;
    for (std::int32_t i = 0; i < count; ++i) {
      const std::int32_t raw = trace_[i];
      trace_[i] = static_cast<std::int16_t>((previous + 3 * raw) / 4);
      previous = raw;
    }
  }
  return count;
}

void TMMOscope::TakeFrame() const {
  if (!holding_) return;
  holding_ = false;
  BuildTrace(held_.data());
}

void TMMOscope::ProcessFrame(const void* data) {
  if (!enabled_ || !isVisible() || infoMode_) return;
  const auto* frame = static_cast<const std::uint8_t*>(data);
  // A scrolling picture draws every frame, and the overflow handlers hear of each.
  if (scroll_ || OnPcmOverflow || OnGainOverflow) {
    holding_ = false;
    const std::int32_t count = BuildTrace(frame);
    // Only with a handler: mapping each column costs a 64-bit division, for nothing when
    // none listens (the window sets none).
    if (OnPcmOverflow || OnGainOverflow)
      for (std::int32_t i = 0; i < count; ++i) {
        if (trace_[i] == 32767 && OnPcmOverflow) OnPcmOverflow(this);
        if (OnGainOverflow && MapY(kind_ == TMMOscopeKind::okSpikes ? std::abs(trace_[i]) : trace_[i]) > height_)
          OnGainOverflow(this);
      }
  } else {
    held_.assign(frame, frame + FrameSize());  // the same size every frame: no allocation
    holding_ = true;
  }
  if (scroll_) {  // every frame adds its column
    newFrame_ = true;
    Compose();
    newFrame_ = false;
    ShowSurface();
  } else {
    PaintNow();
  }
  if (OnPostPaint) OnPostPaint(this);
}

void TMMOscope::ResetDisplay() {
  if (infoMode_) {
    infoMode_ = false;
    update();
  }
  holding_ = false;
  std::fill(trace_.begin(), trace_.end(), 0);
  writeColumn_ = written_ = 0;
  lastRow_ = -1;
  Redraw();
}

void TMMOscope::DrawValue(int x, std::int32_t v, int& lastX, int& lastRow) {
  TMMDIBCanvas& c = Surface();
  const std::uint32_t fg = Pixel(foreground_), fx = Pixel(effectColor_);
  const int H = height_, mid = H / 2;
  const bool spikes = kind_ == TMMOscopeKind::okSpikes;
  const std::int32_t y = MapY(spikes ? std::abs(v) : v);
  const int row = H - y - 1;
  switch (kind_) {
    case TMMOscopeKind::okDots:
      c.SetPixelValue(OutsideBand(y) ? fx : fg);
      c.SetPixel(x, row);
      break;
    case TMMOscopeKind::okConLines:
      c.SetPixelValue(OutsideBand(y) ? fx : fg);
      if (lastX < 0)
        c.SetPixel(x, row);
      else
        c.Line(lastX, lastRow, x, row);
      break;
    case TMMOscopeKind::okVertLines:
    case TMMOscopeKind::okMirLines:
    case TMMOscopeKind::okSpikes: {
      int from, to;
      if (kind_ == TMMOscopeKind::okVertLines) {
        from = mid, to = row;
      } else if (kind_ == TMMOscopeKind::okMirLines) {
        const int half = std::abs((H - MapY(std::abs(v)) - 1) - mid);
        from = mid - half, to = mid + half;
      } else {
        from = H - 1, to = row;
      }
      const bool upper = row < mid;
      c.SetPixelValue(effect_ == TMMOscopeEffect::efSplit && upper ? fx : fg);
      c.VLine(x, from, to);
      if (effect_ == TMMOscopeEffect::efPeak && OutsideBand(y)) {
        // A five-pixel cap beyond the tip.
        c.SetPixelValue(fx);
        if (row <= from)
          c.VLine(x, row - 5, row - 1);
        else
          c.VLine(x, row + 1, row + 5);
      }
      break;
    }
  }
  lastX = x;
  lastRow = row;
}

std::int32_t TMMOscope::GridRow(int k) const {
  return static_cast<std::int32_t>(k * 32760.0 / gridIntervals_ / (32768.0 / height_));
}

int TMMOscope::TimeIntervals() const { return ScaleIntervals(width_); }

QMargins TMMOscope::Strips() const { return ScaleStrips(drawAmpScale_, drawTimeScale_); }

void TMMOscope::ApplyMinimumSize() {
  SetScaleMinimumSize(2, drawAmpScale_, drawTimeScale_);
  ResizeArea();
  Redraw();
}

void TMMOscope::SetDrawAmpScale(bool value) {
  drawAmpScale_ = value;
  ApplyMinimumSize();
}

void TMMOscope::SetDrawTimeScale(bool value) {
  drawTimeScale_ = value;
  ApplyMinimumSize();
}

void TMMOscope::PaintScales(QPainter& painter) {
  const QRect area = Area();
  const int b = TotalBevelWidth();
  painter.save();
  painter.setFont(MMFont("ARIAL", -10));
  const QFontMetrics m = painter.fontMetrics();
  const QColor line = ToQColor(scaleLineColor_), text = ToQColor(scaleTextColor_);
  char label[32];
  if (drawAmpScale_) {
    const int n = gridIntervals_;
    for (int k = 0; k <= n; ++k) {
      const int y = area.top() + height_ - 1 - GridRow(k);
      painter.setPen(line);
      painter.drawLine(area.left() - b - 4, y, area.left() - b - 1, y);
      painter.drawLine(area.right() + b + 1, y, area.right() + b + 4, y);
      if (kind_ == TMMOscopeKind::okSpikes) {
        std::snprintf(label, sizeof label, "%4.2f", static_cast<double>(k) / n);
      } else {
        const int i = k - n / 2;  // from the middle: + above, - below
        std::snprintf(label, sizeof label, i > 0 ? "+%4.2f" : (i < 0 ? "-%4.2f" : "%4.2f"), 2.0 * std::abs(i) / n);
      }
      const QString s = QString::fromLatin1(label).trimmed();
      painter.setPen(text);
      const int baseline = std::clamp(y + m.ascent() / 2, m.ascent(), height() - m.descent() - 1);
      painter.drawText(QPoint(area.left() - b - 6 - m.horizontalAdvance(s), baseline), s);
      painter.drawText(QPoint(area.right() + b + 6, baseline), s);
    }
  }
  if (drawTimeScale_) {
    const int intervals = TimeIntervals();
    const int bottom = area.bottom() + b + 1;
    const std::int32_t avg = (bits_ == TMMBits::b16Bit ? 2 : 1) * (mode_ == TMMMode::mStereo ? 2 : 1) * sampleRate_;
    const double T = MulDivRound(FrameSize(), 1000, avg);
    for (int k = 0; k <= intervals; ++k) {
      const int x = area.left() + k * (width_ - 1) / intervals;
      painter.setPen(line);
      painter.drawLine(x, bottom, x, bottom + 2);
      std::snprintf(label, sizeof label, "%4.1f", k * T / intervals);
      painter.setPen(text);
      painter.save();
      painter.translate(x + m.ascent() / 2, bottom + 4);
      painter.rotate(90);
      painter.drawText(QPoint(0, 0), QString::fromLatin1(label).trimmed());
      painter.restore();
    }
  }
  if (drawAmpScale_ && drawTimeScale_) {
    painter.setPen(text);
    const int y = rect().bottom() - m.descent();
    painter.drawText(QPoint(2, y), QStringLiteral("V"));
    painter.drawText(QPoint(rect().right() - m.horizontalAdvance(QStringLiteral("mS")) - 1, y), QStringLiteral("mS"));
  }
  painter.restore();
}

void TMMOscope::DrawNormal() {
  TakeFrame();
  TMMDIBCanvas& c = Surface();
  if (OnDrawLine) {
    OnDrawLine(this, &c, QRect(0, 0, width_, height_), trace_.data());
    return;
  }
  DrawBackground();
  const int H = height_, W = width_, mid = H / 2;
  if (!enabled_) {
    c.SetPixelValue(Pixel(disabledColor_));
    c.HLine(5, W - 5, mid);
    return;
  }
  if (drawMidLine_) {
    c.SetPixelValue(Pixel(disabledColor_));
    c.DashedHLine(0, W - 1, mid);
  }
  if (drawGrid_) {
    c.SetPixelValue(Pixel(gridColor_));
    for (int k = 0; k <= gridIntervals_; ++k) c.DottedHLine(0, W - 1, H - 1 - GridRow(k), 1);
    const int m = TimeIntervals();
    for (int k = 0; k <= m; ++k) c.DottedVLine(k * (W - 1) / m, 0, H - 1, 1);
  }
  int lastX = -1, lastRow = 0;
  for (int i = 0; i < W; i += steps_) DrawValue(i, trace_[i], lastX, lastRow);
}

void TMMOscope::DrawScrollColumn() {
  TMMDIBCanvas& c = Surface();
  const int W = width_, H = height_;
  if (written_ >= W) {
    c.CopyRect(0, 0, c, 1, 0, W - 1, H);  // the picture moves one column left
    writeColumn_ = W - 1;
  }
  const int x = writeColumn_;
  c.SetPixelValue(Pixel(Color()));
  c.VLine(x, 0, H - 1);
  int lastX = lastRow_ < 0 ? -1 : x - 1, lastRow = lastRow_;
  DrawValue(x, trace_[0], lastX, lastRow);
  DrawValue(x, trace_[1], lastX, lastRow);
  lastRow_ = lastRow;
  if (written_ < W) {
    ++written_;
    writeColumn_ = std::min(written_, W - 1);
    if (accelerate_ && written_ < W) {
      // The position bar right of the newest column, ticked at the grid rows.
      const int left = x + 1, right = std::min(x + barWidth_, W - 1);
      c.SetPixelValue(Pixel(barColor_));
      c.FillRect(left, 0, right + 1, H);
      c.SetPixelValue(Pixel(barTickColor_));
      for (int k = 0; k <= gridIntervals_; ++k)
        c.HLine(left, right, H - 1 - static_cast<int>(k * 32760.0 / gridIntervals_ / (32768.0 / H)));
    }
  }
}

void TMMOscope::DrawFrame() {
  if (!scroll_) {
    DrawNormal();
    return;
  }
  if (!newFrame_) {  // a repaint restarts at the left edge
    DrawBackground();
    writeColumn_ = written_ = 0;
    lastRow_ = -1;
    if (!enabled_) {
      Surface().SetPixelValue(Pixel(disabledColor_));
      Surface().HLine(5, width_ - 5, height_ / 2);
    }
    return;
  }
  DrawScrollColumn();
}

std::string TMMOscope::InfoText(std::int32_t x, std::int32_t y) const {
  const std::int32_t avg = (bits_ == TMMBits::b16Bit ? 2 : 1) * (mode_ == TMMMode::mStereo ? 2 : 1) * sampleRate_;
  const double T = MulDivRound(FrameSize(), 1000, avg);  // ms a frame spans
  double level;
  if (kind_ == TMMOscopeKind::okSpikes) {
    level = static_cast<double>(height_ - y - 1) / (height_ - 1);
  } else {
    double d = height_ / 2.0 - y;
    if (d < 0) d = height_ / 2.0 - y - 1;
    level = 2 * d / height_;
  }
  char text[48];
  std::snprintf(text, sizeof text, "%4.1f ms %4.2f V", (x + 1) * T / width_, level);
  return text;
}

// The readout is painted over the held picture.
void TMMOscope::Paint(QPainter& painter) {
  TMMDIBGraphicControl::Paint(painter);
  if (!PaintingAreaOnly() && (drawAmpScale_ || drawTimeScale_)) PaintScales(painter);
  if (!infoMode_) return;
  const QRect area = Area();
  painter.save();
  painter.setClipRect(area);
  painter.setFont(MMFont("MS Sans Serif", -11));
  const QString text = QString::fromStdString(InfoText(info_.x(), info_.y()));
  const QFontMetrics m = painter.fontMetrics();
  QRect box(0, 0, m.horizontalAdvance(text) + 4, m.height() + 2);
  int top = info_.y() + 15;
  if (top + box.height() > area.height()) top -= 40;
  const int left = std::min(info_.x(), area.width() - box.width());
  box.moveTo(area.left() + std::max(left, 0), area.top() + std::max(top, 0));
  painter.fillRect(box, ToQColor(clWhite));
  painter.setPen(ToQColor(clBlack));
  painter.drawRect(box.adjusted(0, 0, -1, -1));
  painter.drawText(box, Qt::AlignCenter, text);
  painter.restore();
}

void TMMOscope::mousePressEvent(QMouseEvent* event) {
  TMMDIBGraphicControl::mousePressEvent(event);
  if (event->button() != Qt::LeftButton || !showInfo_ || !enabled_) return;
  infoMode_ = true;  // frames wait
  mouseMoveEvent(event);
}

void TMMOscope::mouseMoveEvent(QMouseEvent* event) {
  if (event->type() == QEvent::MouseMove) TMMDIBGraphicControl::mouseMoveEvent(event);
  if (!infoMode_) return;
  const QPoint p = event->position().toPoint() - Area().topLeft();
  info_ = QPoint(Clamp(p.x(), 0, width_ - 1), Clamp(p.y(), 0, height_ - 1));
  update();
}

void TMMOscope::mouseReleaseEvent(QMouseEvent* event) {
  TMMDIBGraphicControl::mouseReleaseEvent(event);
  if (event->button() == Qt::LeftButton && infoMode_) {
    infoMode_ = false;
    update();
  }
}

}  // namespace strataeq
