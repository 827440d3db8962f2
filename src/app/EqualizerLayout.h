// The main window's design: where each control sits, its size, caption, font and colours.
// The form builds its controls from these values and wires them; nothing else places them.
#pragma once

#include <QFont>
#include <QPoint>
#include <QRect>
#include <array>

#include "controls/MMObj.h"
#include "foundation/MMUtils.h"

class QFrame;
class QLabel;
class QWidget;

namespace strataeq {

class TTransparentButton;
class TMMLabel;
class TMMOscope;
class TMMSpectrum;
class TMMGauge;
class TMMPanel;

namespace layout {

inline constexpr int kClientWidth = 663, kClientHeight = 278;
// The upper panel holds the controls; the lower one the analysers, hidden with Vis off.
inline constexpr int kPanel1Height = 168, kPanel2Height = 110;
inline constexpr QRect kPanel1{0, 0, kClientWidth, kPanel1Height};
inline constexpr QRect kPanel2{0, kPanel1Height, kClientWidth, kPanel2Height};

struct TFontDesign {
  const char* family;
  int height;  // negative: pixels, as the design gives it
  TFontStyles styles = 0;
};

struct TButtonDesign {
  const char* caption;
  QRect rect;
};

// The title at the top.
inline constexpr QRect kTitle{155, 5, 134, 21};
inline constexpr TFontDesign kTitleFont{"Times New Roman", -19};
inline constexpr const char* kTitleCaption = "Strata EQ 1.0";
inline constexpr TColor kTitleColor = clBlack;

// The top row.
inline constexpr TButtonDesign kLoad{"Load", {8, 6, 68, 19}};
inline constexpr TButtonDesign kSave{"Save", {78, 6, 68, 19}};
inline constexpr TButtonDesign kChannelSelect{"Both Channels", {298, 6, 84, 19}};
inline constexpr TButtonDesign kInputDev{"", {386, 6, 103, 19}};
inline constexpr TButtonDesign kOutDev{"", {492, 6, 103, 19}};
inline constexpr TButtonDesign kClose{"Close", {608, 6, 47, 19}};
inline constexpr const char* kInputDevHint = "Recording Device";
inline constexpr const char* kOutDevHint = "Output Device";
inline constexpr QRect kBevel{8, 28, 648, 2};

// The FFT length slider and its scale's texts, from 16 at the bottom to 4096 at the top.
inline constexpr TFontDesign kSmallFont{"Small Fonts", -9};
inline constexpr const char* kFftCaption = "Accuracy";
inline constexpr QPoint kFftCaptionAt{14, 40};
inline constexpr QPoint kFftSliderAt{10, 49};
inline constexpr std::array<const char*, 9> kFftTexts = {"16", "32", "64", "128", "256", "512", "1024", "2048", "4096"};
inline constexpr int kFftTextX = 40, kFftTextBottom = 140, kFftTextTop = 58;

// The readouts and the oscilloscope under them.
inline constexpr QRect kCpu{69, 48, 130, 17};
inline constexpr const char* kCpuCaption = "Cpu Usage : 0%";
inline constexpr QRect kDropOuts{69, 68, 130, 17};
inline constexpr const char* kDropOutsCaption = "Drop Outs : 0";
// The clipping mark sits in the drop-out readout's free right end.
inline constexpr int kClipMarkRight = 13, kClipMarkTop = 5, kClipMarkSize = 7;
inline constexpr QRect kOscope{69, 89, 130, 47};
inline constexpr TColor kOscopeColor = clLime;
inline constexpr TButtonDesign kVis{"Vis Enable", {69, 142, 130, 19}};

// The fifteen band sliders.
inline constexpr std::array<int, 15> kBandX = {204, 234, 265, 295, 326, 356, 387, 417,
                                               447, 478, 508, 539, 569, 600, 630};
inline constexpr int kBandY = 41;

// The bottom row; the progress gauge lies in the band readout's box.
inline constexpr TButtonDesign kStart{"Start", {211, 142, 74, 19}};
inline constexpr TButtonDesign kStop{"Stop", {291, 142, 74, 19}};
inline constexpr TButtonDesign kReset{"Reset", {371, 142, 74, 19}};
inline constexpr QRect kReadout{450, 142, 129, 19};
inline constexpr QRect kGauge{2, 2, 125, 15};
inline constexpr const char* kGaugeCaption = "Processing ...";
inline constexpr TButtonDesign kAbout{"About", {593, 142, 63, 19}};

// The analysers on the lower panel.
struct TSpectrumDesign {
  QRect rect;
  const char* hint;
  TMMChannel channel;
};
inline constexpr std::array<TSpectrumDesign, 2> kSpectra = {
    TSpectrumDesign{{6, 5, 322, 100}, "Spectrum Analisys for Left Channel", TMMChannel::chLeft},
    TSpectrumDesign{{335, 5, 322, 100}, "Spectrum Analisys for Right Channel", TMMChannel::chRight}};
inline constexpr TColor kBarColors[3] = {clLime, clYellow, clYellow};
inline constexpr TColor kInactiveColors[3] = {clGreen, clSilver, clSilver};

// Makers of the controls above: placed, captioned, coloured; the form wires them.
QFont Font(const TFontDesign& design);
TTransparentButton* MakeButton(QWidget* parent, const TButtonDesign& design);
QLabel* MakeSmallLabel(QWidget* parent, const char* text, QPoint at);
QLabel* MakeReadout(QWidget* parent, const char* text, QRect rect);
TMMPanel* MakePanel(QWidget* parent, QRect rect, TPanelBevel outer);
TMMLabel* MakeTitle(QWidget* parent);
QFrame* MakeClipMark(QLabel* readout);
TMMOscope* MakeOscope(QWidget* parent);
TMMGauge* MakeGauge(QWidget* parent);
TMMSpectrum* MakeSpectrum(QWidget* parent, const TSpectrumDesign& design);
// Where the FFT slider's scale text of position i (0 = 16) sits.
QPoint FftTextAt(int i);

}  // namespace layout
}  // namespace strataeq
