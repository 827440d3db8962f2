#include "display/MMSpectr.h"

#include <QMouseEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <cstdio>

namespace strataeq {

TMMSpectrum::TMMSpectrum(QWidget* parent) : TMMDIBGraphicControl(parent) {
  analysis_.OnPcmOverflow = [this] {
    if (OnPcmOverflow) OnPcmOverflow(this);
  };
  analysis_.OnGainOverflow = [this] {
    if (OnGainOverflow) OnGainOverflow(this);
  };
  analysis_.OnGetXScale = [this](std::int32_t* first, std::int32_t* end, std::int32_t) {
    if (!OnGetXScale) return false;
    OnGetXScale(this, first, end);
    return true;
  };
  animation_ = TMMAnimationTimer::Instance().Register([this](int steps) {
    bool up = false;
    for (int i = 0; i < steps; ++i) up = analysis_.PeakTick();
    PaintNow();
    return up;
  });
  resize(194, 89);
  ResizeArea();  // a hidden control hears of its size only when shown
}

TMMSpectrum::~TMMSpectrum() {
  DetachFromConnectors();
  TMMAnimationTimer::Instance().Unregister(animation_);
}

void TMMSpectrum::Changed() {
  inactiveDirty_ = true;
  Redraw();
}

void TMMSpectrum::SetEnabled(bool value) {
  if (value == enabled_) return;
  enabled_ = value;
  TMMAnimationTimer::Instance().Suspend(animation_, !value);
  ResetDisplay();
}

void TMMSpectrum::SetKind(TMMSpectrumKind value) {
  analysis_.SetKind(value);
  Changed();
}

void TMMSpectrum::SetFFTLength(std::int32_t value) {
  analysis_.SetFFTLength(value);
  ResetDisplay();
}

void TMMSpectrum::SetZoneColor(TColor& field, TColor color) {
  if (field == color) return;
  field = color;
  Changed();
}

void TMMSpectrum::SetSpace(std::int32_t value) {
  if (!InRange(value, 0, 5)) return;
  space_ = value;
  Changed();
}

void TMMSpectrum::SetDrawInactive(bool value) {
  drawInactive_ = value;
  Changed();
}

void TMMSpectrum::SetActiveDoted(bool value) {
  activeDoted_ = value;
  Changed();
}

void TMMSpectrum::SetInactiveDoted(bool value) {
  inactiveDoted_ = value;
  Changed();
}

void TMMSpectrum::SetDataFormat(const TWaveFormatEx* format) {
  if (!IsValidPcmFormat(format)) throw EMMSpectrumError(LoadResString(msg::InvalidWaveFormat));
  analysis_.SetSampleRate(static_cast<std::int32_t>(format->nSamplesPerSec));
  analysis_.SetBitLength(format->wBitsPerSample == 16 ? TMMBits::b16Bit : TMMBits::b8Bit);
  analysis_.SetMode(format->nChannels == 2 ? TMMMode::mStereo : TMMMode::mMono);
}

void TMMSpectrum::ProcessFrame(const void* data) {
  if (!enabled_ || !isVisible() || analysis_.InfoMode) return;
  analysis_.PixelPeaks = static_cast<bool>(OnDrawBar);
  analysis_.ProcessFrame(data);
  for (const auto& bar : analysis_.Bars()) {
    if (bar.Start < 0) break;
    if (bar.Peak > 0) {
      TMMAnimationTimer::Instance().Activate(animation_);
      break;
    }
  }
  TMMAnimationTimer::Instance().Step();
  fresh_ = true;
  if (analysis_.Kind() == TMMSpectrumKind::skScroll) {  // every frame moves the picture
    Compose();
    ShowSurface();
    return;
  }
  PaintNow();
}

void TMMSpectrum::SetDrawGrid(bool value) {
  drawGrid_ = value;
  Redraw();
}

void TMMSpectrum::SetGridColor(TColor value) {
  gridColor_ = value;
  Redraw();
}

int TMMSpectrum::AmpIntervals() const {
  int n = analysis_.LogAmp() ? 6 : 10;
  while (analysis_.AreaHeight() / n < 10 && n > 1) --n;
  return n;
}

int TMMSpectrum::FreqIntervals() const { return ScaleIntervals(analysis_.Columns()); }

QMargins TMMSpectrum::Strips() const { return ScaleStrips(drawAmpScale_, drawFreqScale_); }

void TMMSpectrum::ApplyMinimumSize() {
  SetScaleMinimumSize(5, drawAmpScale_, drawFreqScale_);
  ResizeArea();
  Redraw();
}

void TMMSpectrum::SetDrawAmpScale(bool value) {
  drawAmpScale_ = value;
  ApplyMinimumSize();
}

void TMMSpectrum::SetDrawFreqScale(bool value) {
  drawFreqScale_ = value;
  ApplyMinimumSize();
}

void TMMSpectrum::SetScaleTextColor(TColor value) {
  scaleTextColor_ = value;
  update();
}

void TMMSpectrum::SetScaleLineColor(TColor value) {
  scaleLineColor_ = value;
  update();
}

void TMMSpectrum::PaintScales(QPainter& painter) {
  const auto& a = analysis_;
  const QRect area = Area();
  const int b = TotalBevelWidth();
  const int W = a.Columns(), H = a.AreaHeight();
  painter.save();
  painter.setFont(MMFont("ARIAL", -10));
  const QFontMetrics m = painter.fontMetrics();
  const QColor line = ToQColor(scaleLineColor_), text = ToQColor(scaleTextColor_);
  char label[32];
  if (drawAmpScale_) {
    const int n = AmpIntervals();
    const double v = a.VerticalScale() / 100.0;
    for (int k = 0; k <= n; ++k) {
      const int y = area.top() + (a.LogAmp() ? k * (H - 1) / n : H - 1 - static_cast<int>(k * v * 32760 / n / (v * 32768 / H)));
      painter.setPen(line);
      painter.drawLine(area.left() - b - 4, y, area.left() - b - 1, y);
      painter.drawLine(area.right() + b + 1, y, area.right() + b + 4, y);
      painter.setPen(text);
      for (int side = 0; side < 2; ++side) {
        if (a.LogAmp())
          std::snprintf(label, sizeof label, side == 0 ? "%d" : "%2.d", static_cast<int>(std::nearbyint((6.0 * k / n) * -10)));
        else
          std::snprintf(label, sizeof label, a.VerticalScale() <= 9 ? "%5.3f" : "%4.2f", v * k / n);
        const QString s = QString::fromLatin1(label).trimmed();
        const int w = m.horizontalAdvance(s);
        const int x = side == 0 ? area.left() - b - 6 - w : area.right() + b + 6;
        painter.drawText(QPoint(x, std::clamp(y + m.ascent() / 2, m.ascent(), height() - m.descent() - 1)), s);
      }
    }
  }
  if (drawFreqScale_) {
    const int intervals = FreqIntervals();
    const int bottom = area.bottom() + b + 1;
    const double fmin = a.MinFrequency(), half = a.SampleRate() / 2.0;
    for (int k = 0; k <= intervals; ++k) {
      const int x = area.left() + static_cast<int>(std::nearbyint(static_cast<double>(k) * (W - 1) / intervals));
      painter.setPen(line);
      painter.drawLine(x, bottom, x, bottom + 2);
      const double f = a.LogFreq() ? fmin * std::exp(k * std::log(a.FFTLength() / 2.0) / (intervals * a.FrequencyScale()))
                                   : fmin + k * (half - fmin) / intervals / a.FrequencyScale();
      std::snprintf(label, sizeof label, "%.0f", f);
      painter.setPen(text);
      painter.save();
      painter.translate(x + m.ascent() / 2, bottom + 4);
      painter.rotate(90);  // upright text below the tick
      painter.drawText(QPoint(0, 0), QString::fromLatin1(label));
      painter.restore();
    }
  }
  if (drawAmpScale_ && drawFreqScale_) {
    painter.setPen(text);
    const int y = rect().bottom() - m.descent();
    painter.drawText(QPoint(2, y), a.LogAmp() ? QStringLiteral("db") : QStringLiteral("V"));
    painter.drawText(QPoint(rect().right() - m.horizontalAdvance(QStringLiteral("Hz")) - 1, y), QStringLiteral("Hz"));
  }
  painter.restore();
}

// Dotted lines at the amplitude and frequency ticks the scales carry.
void TMMSpectrum::DrawGridLines(TMMDIBCanvas& c) {
  const auto& a = analysis_;
  const int W = a.Columns(), H = a.AreaHeight();
  c.SetPixelValue(Pixel(gridColor_));
  const int n = AmpIntervals();
  for (int k = 0; k <= n; ++k) {
    int y;
    if (a.LogAmp()) {
      y = k * (H - 1) / n;
    } else {
      const double v = a.VerticalScale() / 100.0;
      y = H - 1 - static_cast<int>(k * v * 32760 / n / (v * 32768 / H));
    }
    c.DottedHLine(0, W - 1, y, 1);
  }
  const int intervals = FreqIntervals();
  for (int k = 0; k <= intervals; ++k)
    c.DottedVLine(static_cast<int>(std::nearbyint(static_cast<double>(k) * (W - 1) / intervals)), 0, H - 1, 1);
}

void TMMSpectrum::SetDisplayPeak(bool value) {
  displayPeak_ = value;
  update();
}

void TMMSpectrum::ResetDisplay() {
  if (analysis_.InfoMode) LeaveInfoMode();
  analysis_.ResetData();
  if (enabled_ && OnNeedData) OnNeedData(this);
  Redraw();
}

void TMMSpectrum::ResizeArea() {
  TMMDIBGraphicControl::ResizeArea();
  TMMAnimationTimer::Instance().Suspend(animation_, true);
  analysis_.SetArea(Area().width(), Area().height());
  TMMAnimationTimer::Instance().Suspend(animation_, false);
  inactive_.SetSize(analysis_.Columns(), analysis_.AreaHeight());
  inactiveDirty_ = true;
  if (enabled_ && OnNeedData) OnNeedData(this);
}

void TMMSpectrum::DrawInactiveCanvas() {
  inactive_.SetBitsPerPixel(Surface().BitsPerPixel());  // copied row for row onto it
  inactive_.BeginDraw();
  inactive_.SetColor(ToQColor(Color()).rgb());
  inactive_.Clear();
  const auto& a = analysis_;
  const std::int32_t H = a.AreaHeight();
  std::int32_t pixel[3];
  for (int z = 0; z < 3; ++z) pixel[z] = static_cast<std::int32_t>(inactive_.MapColor(ToQColor(inactiveColor_[z]).rgb()));
  for (const auto& bar : a.Bars()) {
    if (bar.Start < 0) break;
    int x1 = bar.Start, x2 = bar.End - 1;
    if (space_ < bar.End - bar.Start) x1 += space_ / 2, x2 -= space_ - space_ / 2;
    for (std::int32_t j = 1; j <= a.Spots(); ++j) {
      const int bottom = H - 1 - (a.BottomMargin() + (j - 1) * (a.SpotHeight() + a.SpotSpace()));
      inactive_.SetPixelValue(static_cast<std::uint32_t>(pixel[a.ZoneOf(j)]));
      if (inactiveDoted_)
        inactive_.DottedFillRect(x1, bottom - a.SpotHeight() + 1, x2 + 1, bottom + 1);
      else
        inactive_.FillRect(x1, bottom - a.SpotHeight() + 1, x2 + 1, bottom + 1);
    }
  }
  inactive_.EndDraw();
  inactiveDirty_ = false;
}

void TMMSpectrum::DrawBarsKind(TMMDIBCanvas& c) {
  const auto& a = analysis_;
  // What the spots need is read into locals once: a pixel store may alias any member, so
  // the compiler would read the members again for each of the thousand spots a frame.
  const std::int32_t spotHeight = a.SpotHeight(), pitch = spotHeight + a.SpotSpace();
  const std::int32_t base = a.AreaHeight() - 1 - a.BottomMargin();  // bottom row of spot 1
  const std::int32_t zone1 = a.Zone1(), zone2 = a.Zone2();           // as ZoneOf for bars
  const std::int32_t numPeaks = a.NumPeaks();
  const bool doted = activeDoted_;
  std::uint32_t lit[3], level[3];
  for (int z = 0; z < 3; ++z) {
    lit[z] = Pixel(barColor_[z]);
    level[z] = enabled_ ? lit[z] : Pixel(inactiveColor_[0]);
  }
  const bool peaksOnly = a.Kind() == TMMSpectrumKind::skPeaks;
  auto zone = [zone1, zone2](std::int32_t j) { return j > zone2 ? 2 : j > zone1 ? 1 : 0; };
  // Spots lo..hi of a bar, a run of spots of one zone a call.
  auto spots = [&](int x1, int x2, std::int32_t lo, std::int32_t hi, const std::uint32_t* values, bool dotted) {
    for (std::int32_t j = std::max(lo, 1); j <= hi;) {
      const int z = zone(j);
      std::int32_t k = j;
      while (k < hi && zone(k + 1) == z) ++k;
      c.SetPixelValue(values[z]);
      if (dotted) {
        for (std::int32_t i = j; i <= k; ++i) {
          const int bottom = base - (i - 1) * pitch;
          c.DottedFillRect(x1, bottom - spotHeight + 1, x2 + 1, bottom + 1);
        }
      } else {
        c.Spots(x1, x2, base - (j - 1) * pitch, spotHeight, pitch, k - j + 1);
      }
      j = k + 1;
    }
  };
  const std::int32_t space = space_;
  for (const auto& bar : a.Bars()) {
    if (bar.Start < 0) break;
    int x1 = bar.Start, x2 = bar.End - 1;
    if (space < bar.End - bar.Start) x1 += space / 2, x2 -= space - space / 2;
    const std::int32_t s = a.LevelToSpots(bar.Level), peak = bar.Peak;
    spots(x1, x2, peaksOnly ? s : 1, s, level, doted);  // peaks only: the top spot alone
    if (numPeaks > 0 && s < peak) spots(x1, x2, peak - std::min(numPeaks, peak) + 1, peak, lit, false);
  }
}

TMMSpectrum::TBarsLook TMMSpectrum::BarsLook() {
  const auto& a = analysis_;
  const TMMDIBCanvas& c = Surface();
  TBarsLook k;
  k.generation = c.Generation();
  k.width = c.Width(), k.height = c.Height(), k.bits = c.BitsPerPixel();
  k.spots = a.Spots(), k.spotHeight = a.SpotHeight(), k.pitch = a.SpotHeight() + a.SpotSpace();
  k.base = a.AreaHeight() - 1 - a.BottomMargin();
  k.zone1 = a.Zone1(), k.zone2 = a.Zone2();
  k.numPeaks = a.NumPeaks(), k.space = space_;
  k.peaksOnly = a.Kind() == TMMSpectrumKind::skPeaks;
  k.doted = activeDoted_;
  k.inactive = drawInactive_;
  k.picture = !c.BackgroundImage().isNull();
  for (int z = 0; z < 3; ++z) {
    k.lit[z] = Pixel(barColor_[z]);
    k.level[z] = enabled_ ? k.lit[z] : Pixel(inactiveColor_[0]);
  }
  k.background = Pixel(Color());
  return k;
}

void TMMSpectrum::RememberBars(const TBarsLook& look) {
  const auto& a = analysis_;
  drawn_.clear();  // keeps its capacity: no allocation from the second frame on
  for (const auto& bar : a.Bars()) {
    if (bar.Start < 0) break;
    drawn_.push_back({bar.Start, bar.End, a.LevelToSpots(bar.Level), bar.Peak});
  }
  drawnLook_ = look;
  drawnValid_ = true;
}

bool TMMSpectrum::DrawChangedBars(TMMDIBCanvas& c, const TBarsLook& k) {
  if (!drawnValid_ || !(k == drawnLook_)) return false;
  const auto& a = analysis_;
  const auto& bars = a.Bars();
  for (std::size_t i = 0; i <= drawn_.size(); ++i) {  // the same columns, or all anew
    if (i == drawn_.size()) {
      if (bars[i].Start >= 0) return false;
    } else if (bars[i].Start != drawn_[i].start || bars[i].End != drawn_[i].end) {
      return false;
    }
  }
  // What spot j of a bar shows: 0 the background, 1 the level (dotted or not), 2 a peak.
  auto state = [&k](std::int32_t j, std::int32_t s, std::int32_t peak) {
    if (k.numPeaks > 0 && s < peak && j <= peak && j > peak - std::min(k.numPeaks, peak)) return 2;
    return j <= s && (j == s || !k.peaksOnly) ? 1 : 0;
  };
  auto zone = [&k](std::int32_t j) { return j > k.zone2 ? 2 : j > k.zone1 ? 1 : 0; };
  int left = k.width, right = -1, top = k.height, bottom = -1;  // what changed
  for (std::size_t i = 0; i < drawn_.size(); ++i) {
    TDrawnBar& d = drawn_[i];
    const std::int32_t s = a.LevelToSpots(bars[i].Level), peak = bars[i].Peak;
    if (s == d.spots && peak == d.peak) continue;
    int x1 = d.start, x2 = d.end - 1;
    if (k.space < d.end - d.start) x1 += k.space / 2, x2 -= k.space - k.space / 2;
    const std::int32_t highest = std::max({s, peak, d.spots, d.peak});
    for (std::int32_t j = 1; j <= highest; ++j) {
      const int was = state(j, d.spots, d.peak), now = state(j, s, peak);
      if (was == now) continue;
      const int spotBottom = k.base - (j - 1) * k.pitch, y = spotBottom - k.spotHeight + 1;
      left = std::min(left, x1), right = std::max(right, x2);
      top = std::min(top, y), bottom = std::max(bottom, spotBottom);
      if (was != 0) {  // the background under the spot first
        if (k.inactive) {
          c.CopyRect(x1, y, inactive_, x1, y, x2 - x1 + 1, k.spotHeight);
        } else if (k.picture) {
          c.CopyBackground(x1, y, c, x1, y, x2 - x1 + 1, k.spotHeight);
        } else {
          c.SetPixelValue(k.background);
          c.FillRect(x1, y, x2 + 1, spotBottom + 1);
        }
      }
      if (now == 0) continue;
      c.SetPixelValue(now == 2 ? k.lit[zone(j)] : k.level[zone(j)]);
      if (now == 1 && k.doted)
        c.DottedFillRect(x1, y, x2 + 1, spotBottom + 1);
      else
        c.FillRect(x1, y, x2 + 1, spotBottom + 1);
    }
    d.spots = s, d.peak = peak;
  }
  ChangedOnly(right < left ? QRect() : QRect(QPoint(left, top), QPoint(right, bottom)));
  return true;
}

void TMMSpectrum::DrawFrame() {
  TMMDIBCanvas& c = Surface();
  const bool frame = fresh_;
  if (!fresh_) analysis_.BuildBars();  // a repaint: the bars of the current bins
  fresh_ = false;
  const auto& a = analysis_;
  const bool barsKind = a.Kind() == TMMSpectrumKind::skBars || a.Kind() == TMMSpectrumKind::skPeaks;
  // The bars alone on the background: a picture of spots the bars' states say all of.
  const bool spotsOnly = barsKind && !OnDrawBar && !drawGrid_;
  if (spotsOnly && drawInactive_ && (inactiveDirty_ || inactive_.BitsPerPixel() != c.BitsPerPixel())) {
    drawnValid_ = false;
    c.EndDraw();
    DrawInactiveCanvas();
    c.BeginDraw();
  }
  TBarsLook look;
  if (spotsOnly) {
    look = BarsLook();
    if (DrawChangedBars(c, look)) return;
  }
  drawnValid_ = false;
  const QRect whole(0, 0, a.Columns(), a.AreaHeight());
  if (OnDrawBar || (a.Kind() == TMMSpectrumKind::skScroll && !frame)) {
    if (OnClearBackground)
      OnClearBackground(this, &c, whole);
    else
      DrawBackground();
  } else if (a.Kind() == TMMSpectrumKind::skScroll && frame) {
    c.CopyRect(0, 2, c, 0, 0, a.Columns(), a.AreaHeight() - 2);  // the picture moves down
    c.SetPixelValue(Pixel(Color()));
    c.FillRect(0, 0, a.Columns(), 2);
  } else if (barsKind && drawInactive_) {
    if (inactiveDirty_ || inactive_.BitsPerPixel() != c.BitsPerPixel()) {
      c.EndDraw();
      DrawInactiveCanvas();
      c.BeginDraw();
    }
    c.CopyRect(0, 0, inactive_, 0, 0, a.Columns(), a.AreaHeight());
  } else {
    DrawBackground();
  }
  if (spotsOnly) {
    DrawBarsKind(c);
    RememberBars(look);
    return;
  }
  if (drawGrid_ && a.Kind() != TMMSpectrumKind::skScroll) DrawGridLines(c);
  const std::int32_t H = a.AreaHeight();
  auto zoneColor = [&](int zone) { return Pixel(enabled_ ? barColor_[zone] : inactiveColor_[0]); };
  switch (a.Kind()) {
    case TMMSpectrumKind::skBars:
    case TMMSpectrumKind::skPeaks:
      if (OnDrawBar) {
        for (const auto& bar : a.Bars()) {
          if (bar.Start < 0) break;
          OnDrawBar(this, &c, QRect(bar.Start, 0, bar.End - bar.Start, H), bar.Level, bar.Peak);
        }
      } else {
        DrawBarsKind(c);
      }
      break;
    case TMMSpectrumKind::skDots:
      for (const auto& bar : a.Bars()) {
        if (bar.Start < 0) break;
        const int row = Clamp(H - bar.Level - 1, 0, H - 1);
        c.SetPixelValue(zoneColor(a.ZoneOf(row)));
        c.HLine(bar.Start, bar.End - 1, row);
      }
      break;
    case TMMSpectrumKind::skLines:
    case TMMSpectrumKind::skScroll: {
      const bool scroll = a.Kind() == TMMSpectrumKind::skScroll;
      for (int pass = 0; pass < (scroll || a.NumPeaks() == 0 ? 1 : 2); ++pass) {
        int px = -1, py = 0;
        for (const auto& bar : a.Bars()) {
          if (bar.Start < 0) break;
          const int x = bar.Start + (bar.End - bar.Start) / 2;
          const int v = pass == 0 ? bar.Level : bar.Peak;
          const int row = scroll ? Clamp(H / 3 - v, 0, H - 1) : Clamp(H - v - 1, 0, H - 1);
          if (px < 0) px = x, py = row;
          // every pixel in the zone colour of its own height
          const int steps = std::max(std::abs(x - px), std::abs(row - py));
          for (int t = 0; t <= steps; ++t) {
            const int xx = steps ? px + (x - px) * t / steps : x;
            const int yy = steps ? py + (row - py) * t / steps : row;
            c.SetPixelValue(zoneColor(a.ZoneOf(H - 1 - yy)));
            c.SetPixel(xx, yy);
          }
          px = x, py = row;
        }
      }
      break;
    }
    case TMMSpectrumKind::skVLines:
      for (const auto& bar : a.Bars()) {
        if (bar.Start < 0) break;
        int x1 = bar.Start, x2 = bar.End - 1;
        if (space_ < bar.End - bar.Start) x1 += space_ / 2, x2 -= space_ - space_ / 2;
        const int level = Clamp(bar.Level, 0, H - 1);
        for (int p = 0; p < level; ++p) {  // p pixels above the bottom
          c.SetPixelValue(zoneColor(a.ZoneOf(p)));
          c.HLine(x1, x2, H - 1 - p);
        }
      }
      break;
  }
}

// The readouts are painted over the copied surface, so that the surface itself stays
// the bars alone.
void TMMSpectrum::Paint(QPainter& painter) {
  TMMDIBGraphicControl::Paint(painter);
  if (!PaintingAreaOnly() && (drawAmpScale_ || drawFreqScale_)) PaintScales(painter);
  const QRect area = Area();
  painter.save();
  painter.setClipRect(area);
  if (displayPeak_ && !analysis_.InfoMode) {
    const std::string text = analysis_.PeakText();
    if (!text.empty()) {
      painter.setFont(MMFont("MS Sans Serif", -11, TFontStyles(TFontStyle::fsBold)));
      const QFontMetrics m = painter.fontMetrics();
      const int w = m.horizontalAdvance(QString::fromStdString(text));
      const int x = std::min(area.left() + analysis_.HighestColumn(), area.right() + 1 - w);
      const int y = area.bottom() - std::min(analysis_.HighestLevel(), area.height() - m.height());
      painter.setPen(ToQColor(clWhite));
      painter.drawText(QPoint(std::max(x, area.left()), y - m.descent()), QString::fromStdString(text));
    }
  }
  if (analysis_.InfoMode) {
    painter.setFont(MMFont("MS Sans Serif", -11));
    const QString text = QString::fromStdString(analysis_.InfoText(info_.x(), info_.y()));
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
  }
  painter.restore();
}

void TMMSpectrum::mousePressEvent(QMouseEvent* event) {
  TMMDIBGraphicControl::mousePressEvent(event);
  if (event->button() != Qt::LeftButton || !showInfo_ || !enabled_) return;
  analysis_.InfoMode = true;  // frames and peak fall-off wait
  mouseMoveEvent(event);
}

void TMMSpectrum::mouseMoveEvent(QMouseEvent* event) {
  if (event->type() == QEvent::MouseMove) TMMDIBGraphicControl::mouseMoveEvent(event);
  if (!analysis_.InfoMode) return;
  const QPoint p = event->position().toPoint() - Area().topLeft();
  info_ = QPoint(Clamp(p.x(), 0, analysis_.Columns() - 1), Clamp(p.y(), 0, analysis_.AreaHeight() - 1));
  update();
}

void TMMSpectrum::mouseReleaseEvent(QMouseEvent* event) {
  TMMDIBGraphicControl::mouseReleaseEvent(event);
  if (event->button() == Qt::LeftButton && analysis_.InfoMode) LeaveInfoMode();
}

void TMMSpectrum::LeaveInfoMode() {
  analysis_.InfoMode = false;
  update();
}

}  // namespace strataeq
