#include "app/EqualizerLayout.h"

#include <QFrame>
#include <QLabel>
#include <cmath>

#include "controls/MMGauge.h"
#include "controls/MMLabel.h"
#include "controls/MMPanel.h"
#include "controls/TransBtn.h"
#include "display/MMOscope.h"
#include "display/MMSpectr.h"
#include "foundation/MMPCMSup.h"

namespace strataeq::layout {

QFont Font(const TFontDesign& design) { return MMFont(design.family, design.height, design.styles); }

TTransparentButton* MakeButton(QWidget* parent, const TButtonDesign& design) {
  auto* b = new TTransparentButton(parent);
  b->setGeometry(design.rect);
  b->SetCaption(design.caption);
  return b;
}

QLabel* MakeSmallLabel(QWidget* parent, const char* text, QPoint at) {
  auto* l = new QLabel(text, parent);
  l->setFont(Font(kSmallFont));
  l->adjustSize();
  l->move(at);
  return l;
}

QLabel* MakeReadout(QWidget* parent, const char* text, QRect rect) {
  auto* l = new QLabel(text, parent);
  l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  l->setLineWidth(1);
  l->setGeometry(rect);
  return l;
}

TMMPanel* MakePanel(QWidget* parent, QRect rect, TPanelBevel outer) {
  auto* p = new TMMPanel(parent);
  p->setGeometry(rect);
  p->Bevel().SetBevelOuter(outer);
  return p;
}

TMMLabel* MakeTitle(QWidget* parent) {
  auto* l = new TMMLabel(parent);
  l->setGeometry(kTitle);
  l->setFont(Font(kTitleFont));
  l->SetFontColor(kTitleColor);
  l->SetCaption(kTitleCaption);
  l->Bevel().SetBevelOuter(TPanelBevel::bvNone);
  return l;
}

QFrame* MakeClipMark(QLabel* readout) {
  auto* mark = new QFrame(readout);
  mark->setGeometry(readout->width() - kClipMarkRight, kClipMarkTop, kClipMarkSize, kClipMarkSize);
  mark->setAutoFillBackground(true);
  mark->setPalette(QPalette(Qt::red, Qt::red));
  mark->hide();
  return mark;
}

TMMOscope* MakeOscope(QWidget* parent) {
  auto* o = new TMMOscope(parent);
  o->setGeometry(kOscope);
  o->SetForegroundColor(kOscopeColor);
  o->SetBitLength(TMMBits::b16Bit);
  o->SetSampleRate(44100);
  o->SetMode(TMMMode::mStereo);
  return o;
}

TMMGauge* MakeGauge(QWidget* parent) {
  auto* g = new TMMGauge(parent);
  g->setGeometry(kGauge);
  g->SetKind(TMMGaugeKind::gkHorizontalBar);
  g->SetCaption(kGaugeCaption);
  g->hide();
  return g;
}

TMMSpectrum* MakeSpectrum(QWidget* parent, const TSpectrumDesign& design) {
  auto* sp = new TMMSpectrum(parent);
  sp->setGeometry(design.rect);
  sp->SetHint(design.hint);
  sp->SetShowHint(true);
  sp->Analysis().SetChannel(design.channel);
  sp->SetBar1Color(kBarColors[0]);
  sp->SetBar2Color(kBarColors[1]);
  sp->SetBar3Color(kBarColors[2]);
  sp->SetInactive1Color(kInactiveColors[0]);
  sp->SetInactive2Color(kInactiveColors[1]);
  sp->SetInactive3Color(kInactiveColors[2]);
  sp->SetDrawInactive(false);
  const TWaveFormatEx f = BuildPcmFormat(TMMBits::b16Bit, TMMMode::mStereo, 44100);
  sp->SetDataFormat(&f);
  sp->Analysis().SetGain(TMMSpectrumGain::sg9db);
  sp->Analysis().SetLogAmp(true);
  sp->SetWindow(TMMFFTWindow::fwRectangular);
  sp->Analysis().SetDecayMode(TMMDecayMode::dmStepUp);
  sp->Analysis().SetDecay(7);
  return sp;
}

QPoint FftTextAt(int i) {
  const int span = kFftTextBottom - kFftTextTop;
  const int steps = static_cast<int>(kFftTexts.size()) - 1;
  return {kFftTextX, kFftTextBottom - static_cast<int>(std::lround(i * span / static_cast<double>(steps)))};
}

}  // namespace strataeq::layout
