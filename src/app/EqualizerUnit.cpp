#include "app/EqualizerUnit.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QStandardPaths>
#include <QTimer>
#include <QWindow>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "app/AboutUnit.h"
#include "app/WindowControls.h"
#include "app/cli/CliSupport.h"
#include "controls/MMDesign.h"
#include "controls/MMGauge.h"
#include "controls/MMLabel.h"
#include "controls/MMPanel.h"
#include "controls/MMSlider.h"
#include "controls/TransBtn.h"
#include "display/MMConect.h"
#include "display/MMOscope.h"
#include "display/MMSpectr.h"
#include "drivers/MMHTimer.h"
#include "drivers/MMWavIn.h"  // the device names
#include "drivers/MMWavOut.h"
#include "eq/MMEQ.h"
#include "eq/MMEQFit.h"
#include "eq/MMObjLst.h"
#include "foundation/MMPCMSup.h"
#include "foundation/MMUtils.h"
#include "platform/Messages.h"
#include "platform/WaveApi.h"
#include "routes/Route.h"

namespace strataeq {

const std::array<const char*, kBandCount> BandNames = {
    "0-60 Hz",  "60-120 Hz", "120-200 Hz", "200-600 Hz", "600-800 Hz", "800 Hz-1 Khz", "1-2 Khz",  "2-4 Khz",
    "4-6 Khz",  "6-8 Khz",   "8-10 Khz",   "10-12 Khz",  "12-14 Khz",  "14-16 Khz",    "16-20 Khz"};

namespace {

constexpr int kClientWidth = 663, kClientHeight = 278, kPanel1Height = 168, kPanel2Height = 110;

QString Q(const std::string& s) { return QString::fromStdString(s); }

// Hints that say what the filter will not do: the FFT slider's when the length is longer
// than the filter uses, a band slider's when the filter cannot give its gain at this
// length (at the design rate; none when it can).
void ShowFilterLimits(TMMSlider& fft, const std::array<TMMSlider*, kBandCount>& sliders, const TMMEqualizer& eq) {
  // The slider's value already says the length (its scale, and its value in words).
  const std::int32_t n = eq.FFTLength();
  fft.SetHint(n > kMaxFilterBlock ? "filters as " + std::to_string(kMaxFilterBlock) + ", the longest the filter uses" : "");
  fft.SetShowHint(n > kMaxFilterBlock);
  std::array<std::string, kBandCount> notes{};
  for (const TBandReach& r : UnreachedBands(*eq.Filters(), 44100, n))
    if (r.Band < kBandCount) notes[static_cast<std::size_t>(r.Band)] = BandReachText(*eq.Filters(), r, n);
  for (std::size_t i = 0; i < notes.size(); ++i) {
    sliders[i]->SetHint(notes[i]);
    sliders[i]->SetShowHint(!notes[i].empty());
  }
}

QLabel* SmallLabel(QWidget* parent, const char* text, int x, int y) {
  auto* l = new QLabel(text, parent);
  l->setFont(MMFont("Small Fonts", -9));
  l->adjustSize();
  l->move(x, y);
  return l;
}

QLabel* StaticText(QWidget* parent, const char* text, QRect r) {
  auto* l = new QLabel(text, parent);
  l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  l->setLineWidth(1);
  l->setGeometry(r);
  return l;
}

TTransparentButton* Button(QWidget* parent, const char* caption, QRect r) {
  auto* b = new TTransparentButton(parent);
  b->setGeometry(r);
  b->SetCaption(caption);
  return b;
}

}  // namespace

float SliderGain(int p) {
  if (p <= 0) return static_cast<float>(p * 0.1);
  return static_cast<float>(std::lround(p * 5.0 / 31.0) * 0.1);
}

int GainPosition(float gain) {
  if (gain <= 0) return std::max(-990, static_cast<int>(std::lround(gain * 10.0)));
  return std::min(990, static_cast<int>(std::lround(gain * 62.0)));
}

std::string GainText(double g) {
  // The gain is held in single precision: the fewest digits that read back as the same
  // float (0.9, not 0.899999976158142), at most 15.
  char text[64];
  for (int digits = 1; digits <= 15; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, g);
    if (static_cast<float>(std::strtod(text, nullptr)) == static_cast<float>(g)) break;
  }
  return std::string(text) == "-0" ? "0" : text;
}

TEqForm::TEqForm(QWidget* parent) : QWidget(parent) {
  setWindowFlag(Qt::FramelessWindowHint);
  setFont(MMFont("MS Sans Serif", -11));
  setFixedWidth(kClientWidth);
  resize(kClientWidth, kClientHeight);
  BuildComponents();
  BuildControls();
  BuildMenus();
  BuildAccessibility();
  MMDesigner1->Loaded();
  setFixedHeight(kClientHeight);
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - QPoint(kClientWidth / 2, kClientHeight / 2));
  FormCreate(this);
}

TEqForm::~TEqForm() {
  CpuTimer->SetEnabled(false);
  ProgressTimer->SetEnabled(false);
  // Nothing may report into a half-destroyed window.
  if (route_) route_->OnEnded = nullptr;
  try {
    route_.reset();
  } catch (...) {
  }
  Application().OnException = nullptr;  // it reports into this window
  Connector->SetSpectrum1(nullptr);
  Connector->SetSpectrum2(nullptr);
  Connector->SetOscope1(nullptr);
}

void TEqForm::BuildComponents() {
  Equalizer = std::make_unique<TMMEqualizer>();
  Equalizer->SetSampleRate(44100);
  LoadDefaultBandList(*Equalizer->Filters());

  Connector = std::make_unique<TMMConnector>();
  TMMConnector::SetEnterIdle(true);

  // Failures reported outside a run; a run takes its own while it lasts.
  Application().OnException = [this](std::exception_ptr e) { ShowError(ExceptionMessage(e)); };

  CpuTimer = std::make_unique<TMMHiTimer>();
  CpuTimer->SetCallBackMode(TMMCBMode::cmThread);
  CpuTimer->SetInterval(300);
  CpuTimer->OnTimer = [this](TObject* s) { CpuTimerTimer(s); };
  ProgressTimer = std::make_unique<TMMHiTimer>();
  ProgressTimer->SetCallBackMode(TMMCBMode::cmThread);
  ProgressTimer->SetInterval(100);
  ProgressTimer->SetEnabled(false);
  ProgressTimer->OnTimer = [this](TObject* s) { ProgressTimerTimer(s); };

  MMDesigner1 = std::make_unique<TMMDesigner>(this);
  MMDesigner1->SetShowButton(true);
  MMDesigner1->SetRuntimeHeight(kClientHeight);
  MMDesigner1->SetUpdate(false);
}

void TEqForm::BuildControls() {
  MMPanel1 = new TMMPanel(this);
  MMPanel1->setGeometry(0, 0, kClientWidth, kPanel1Height);
  MMPanel1->Bevel().SetBevelOuter(TPanelBevel::bvRaised);
  MMPanel2 = new TMMPanel(this);
  MMPanel2->setGeometry(0, kPanel1Height, kClientWidth, kPanel2Height);
  MMPanel2->Bevel().SetBevelOuter(TPanelBevel::bvRaised);
  for (TMMPanel* p : {MMPanel1, MMPanel2}) {
    p->OnMouseDown = [this](TObject* s, TMouseButton b, TShiftState sh, int x, int y) {
      NotifyPanelMouseDown(s, b, sh, x, y);
    };
    p->OnMouseMove = [this](TObject* s, TShiftState sh, int x, int y) { NotifyPanelMouseMove(s, sh, x, y); };
    p->OnMouseUp = [this](TObject* s, TMouseButton b, TShiftState sh, int x, int y) {
      NotifyPanelMouseUp(s, b, sh, x, y);
    };
  }
  QWidget* top = MMPanel1;

  MMLabel1 = new TMMLabel(top);
  MMLabel1->setGeometry(155, 5, 134, 21);
  MMLabel1->setFont(MMFont("Times New Roman", -19));
  MMLabel1->SetFontColor(clBlack);
  MMLabel1->SetCaption("Strata EQ 1.0");
  MMLabel1->Bevel().SetBevelOuter(TPanelBevel::bvNone);

  btnLoad = Button(top, "Load", {8, 6, 68, 19});
  btnLoad->OnClick = [this](TObject* s) { btnLoadClick(s); };
  btnSave = Button(top, "Save", {78, 6, 68, 19});
  btnSave->OnClick = [this](TObject* s) { btnSaveClick(s); };
  btnChannelSelect = Button(top, "Both Channels", {298, 6, 84, 19});
  InputDev = Button(top, "", {386, 6, 103, 19});
  InputDev->SetHint("Recording Device");
  InputDev->SetShowHint(true);
  OutDev = Button(top, "", {492, 6, 103, 19});
  OutDev->SetHint("Output Device");
  OutDev->SetShowHint(true);
  btnClose = Button(top, "Close", {608, 6, 47, 19});
  btnClose->OnClick = [this](TObject* s) { btnCloseClick(s); };

  Bevel1 = new QFrame(top);
  Bevel1->setFrameStyle(QFrame::HLine | QFrame::Sunken);
  Bevel1->setGeometry(8, 28, 648, 2);

  Label1 = SmallLabel(top, "Accuracy", 14, 40);
  FftLen = new TMMSlider(top);
  FftLen->move(10, 49);
  window::FftSliderValues(*FftLen);
  FftLen->SetOrientation(TMMOrientation::orVertical);
  FftLen->OnChange = [this](TObject* s) { FftLenChange(s); };
  static const char* const fftTexts[9] = {"16", "32", "64", "128", "256", "512", "1024", "2048", "4096"};
  for (int i = 0; i < 9; ++i)
    FftLabels[static_cast<std::size_t>(i)] =
        SmallLabel(top, fftTexts[i], 40, 140 - static_cast<int>(std::lround(i * (140 - 58) / 8.0)));

  Cpu = StaticText(top, "Cpu Usage : 0%", {69, 48, 130, 17});
  lblDropOuts = StaticText(top, "Drop Outs : 0", {69, 68, 130, 17});
  // Clipping: a red mark inside the drop-out readout's free right end, its count in
  // the readout's hint; nothing of the design moves.
  ClipMark = new QFrame(lblDropOuts);
  ClipMark->setGeometry(lblDropOuts->width() - 13, 5, 7, 7);
  ClipMark->setAutoFillBackground(true);
  ClipMark->setPalette(QPalette(Qt::red, Qt::red));
  ClipMark->hide();

  MMOscope1 = new TMMOscope(top);
  MMOscope1->setGeometry(69, 89, 130, 47);
  MMOscope1->SetForegroundColor(clLime);
  MMOscope1->SetBitLength(TMMBits::b16Bit);
  MMOscope1->SetSampleRate(44100);
  MMOscope1->SetMode(TMMMode::mStereo);

  Vis = Button(top, "Vis Enable", {69, 142, 130, 19});
  Vis->SetDown(true);
  Vis->OnClick = [this](TObject* s) { VisClick(s); };

  static const int xs[kBandCount] = {204, 234, 265, 295, 326, 356, 387, 417, 447, 478, 508, 539, 569, 600, 630};
  for (int i = 0; i < kBandCount; ++i) {
    auto* s = new TMMSlider(top);
    s->move(xs[i], 41);
    window::BandSliderValues(*s);
    s->SetOrientation(TMMOrientation::orVertical);
    s->SetTag(i);
    s->SetShowHint(false);
    s->OnTrack = [this](TObject* o) { SliderTracking(o); };
    s->OnTrackEnd = [this](TObject* o) { SliderChanged(o); };
    s->OnKeyDown = [this](TObject* o, int& key, TShiftState sh) { SliderKeyDown(o, key, sh); };
    s->OnMouseEnter = s->OnGetFocus = [this](TObject* o) { SliderMouseEnter(o); };
    s->OnMouseLeave = s->OnLostFocus = [this](TObject* o) { SliderMouseExit(o); };
    Sliders[static_cast<std::size_t>(i)] = s;
  }
  Sliders[0]->OnEnter = [this](TObject* o) { SliderChanged(o); };

  btnStart = Button(top, "Start", {211, 142, 74, 19});
  btnStart->OnClick = [this](TObject* s) { btnStartClick(s); };
  btnStop = Button(top, "Stop", {291, 142, 74, 19});
  btnStop->setEnabled(false);
  btnStop->OnClick = [this](TObject* s) { btnStopClick(s); };
  btnReset = Button(top, "Reset", {371, 142, 74, 19});
  btnReset->OnClick = [this](TObject* s) { btnResetClick(s); };

  Panel1 = new TMMPanel(top);
  Panel1->setGeometry(450, 142, 129, 19);
  Panel1->Bevel().SetBevelOuter(TPanelBevel::bvLowered);
  Gauge = new TMMGauge(Panel1);
  Gauge->setGeometry(2, 2, 125, 15);
  Gauge->SetKind(TMMGaugeKind::gkHorizontalBar);
  Gauge->SetCaption("Processing ...");
  Gauge->hide();

  btnAbout = Button(top, "About", {593, 142, 63, 19});
  btnAbout->OnClick = [this](TObject* s) { btnAboutClick(s); };

  struct Side {
    TMMSpectrum*& spectrum;
    int x;
    const char* hint;
    TMMChannel channel;
  };
  for (Side side : {Side{leftSpectrum, 6, "Spectrum Analisys for Left Channel", TMMChannel::chLeft},
                    Side{rightSpectrum, 335, "Spectrum Analisys for Right Channel", TMMChannel::chRight}}) {
    auto* sp = new TMMSpectrum(MMPanel2);
    sp->setGeometry(side.x, 5, 322, 100);
    sp->SetHint(side.hint);
    sp->SetShowHint(true);
    sp->Analysis().SetChannel(side.channel);
    sp->SetBar1Color(clLime);
    sp->SetBar2Color(clYellow);
    sp->SetBar3Color(clYellow);
    sp->SetInactive1Color(clGreen);
    sp->SetInactive2Color(clSilver);
    sp->SetInactive3Color(clSilver);
    sp->SetDrawInactive(false);
    const TWaveFormatEx f = BuildPcmFormat(TMMBits::b16Bit, TMMMode::mStereo, 44100);
    sp->SetDataFormat(&f);
    sp->Analysis().SetGain(TMMSpectrumGain::sg9db);
    sp->Analysis().SetLogAmp(true);
    sp->SetWindow(TMMFFTWindow::fwRectangular);
    sp->Analysis().SetDecayMode(TMMDecayMode::dmStepUp);
    sp->Analysis().SetDecay(7);
    side.spectrum = sp;
  }
  Connector->SetSpectrum1(leftSpectrum);
  Connector->SetSpectrum2(rightSpectrum);
  Connector->SetOscope1(MMOscope1);
}

void TEqForm::BuildMenus() {
  ChannelsMenu = new QMenu(this);
  auto* channels = new QActionGroup(ChannelsMenu);
  auto entry = [&](const char* text, int channel) {
    QAction* a = ChannelsMenu->addAction(text);
    a->setCheckable(true);
    channels->addAction(a);
    connect(a, &QAction::triggered, this, [this, a, channel] { ChannelClick(a, channel); });
    return a;
  };
  bothChannels_ = entry("Both Channels", 0);
  leftOnly_ = entry("Left Only", 1);
  rightOnly_ = entry("Right Only", 2);
  bothChannels_->setChecked(true);
  btnChannelSelect->SetPopUpMenu(ChannelsMenu);

  InputDevs = new QMenu(this);
  OutputDevs = new QMenu(this);
  InputDev->SetPopUpMenu(InputDevs);
  OutDev->SetPopUpMenu(OutputDevs);
}

void TEqForm::FormCreate(TObject*) { FillDeviceMenus(); }

// Device 0 is the server's default device: the server's own order can put a monitor
// first, and Start would then play the desktop back into itself. The entries beyond it
// are the devices in the server's order, each tagged with its number.
void TEqForm::FillDeviceMenus() {
  // The file entries stay out of the groups: a file entry is checked only once a file
  // is chosen, and the groups may have no entry checked.
  inputGroup_ = new QActionGroup(InputDevs);
  inputGroup_->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);
  outputGroup_ = new QActionGroup(OutputDevs);
  outputGroup_->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);
  fromFile_ = InputDevs->addAction("From File");
  fromFile_->setCheckable(true);
  connect(fromFile_, &QAction::triggered, this, [this] { FromFileClick(this); });
  InputDevs->addSeparator();
  toFile_ = OutputDevs->addAction("To File");
  toFile_->setCheckable(true);
  connect(toFile_, &QAction::triggered, this, [this] { ToFileClick(this); });
  OutputDevs->addSeparator();

  auto fill = [this](QMenu* menu, QActionGroup* group, int count, bool recording) {
    if (count == 0) {
      QAction* none = menu->addAction(recording ? "No recording device" : "No playback device");
      none->setEnabled(false);
      return none->text();
    }
    for (int id = MapperId; id < count; ++id) {
      std::string name = recording ? WaveInDeviceName(id) : WaveOutDeviceName(id);
      if (id == MapperId) name = "Default: " + name;
      QAction* a = menu->addAction(Q(name));
      a->setCheckable(true);
      a->setData(id);
      group->addAction(a);
      connect(a, &QAction::triggered, this, [this, a, recording] {
        if (recording) InputDeviceClick(a);
        else OutputDeviceClick(a);
      });
    }
    return menu->actions().at(2)->text();
  };
  const int inputs = static_cast<int>(waveInGetNumDevs()), outputs = static_cast<int>(waveOutGetNumDevs());
  const QString in = fill(InputDevs, inputGroup_, inputs, true);
  InputDevs->addSeparator();
  desktopEntry_ = InputDevs->addAction("Desktop Sound");
  desktopEntry_->setCheckable(true);
  inputGroup_->addAction(desktopEntry_);
  connect(desktopEntry_, &QAction::triggered, this, [this] { DesktopSoundClick(this); });
  const QString out = fill(OutputDevs, outputGroup_, outputs, false);
  InputDev->SetCaption(in.toStdString());
  InputDev->SetHint("Recording Device : " + in.toStdString());
  OutDev->SetCaption(out.toStdString());
  OutDev->SetHint("Output Device : " + out.toStdString());
  inDevice_ = inputs > 0 ? MapperId : 0;
  outDevice_ = outputs > 0 ? MapperId : 0;
  // The devices in use are marked from the start, as after a choice.
  if (inputs > 0) InputDevs->actions().at(2)->setChecked(true);
  if (outputs > 0) OutputDevs->actions().at(2)->setChecked(true);
}

void TEqForm::ShowError(const std::string& text) {
  if (OnMessage) {
    OnMessage(this, text);
    return;
  }
  QMessageBox box(QMessageBox::Critical, Q(QCoreApplication::applicationName().toStdString()), Q(text),
                  QMessageBox::Ok, isVisible() ? this : nullptr);
  box.exec();
}

void TEqForm::Guard(const std::function<void()>& handler) {
  try {
    handler();
  } catch (...) {
    ShowError(ExceptionMessage(std::current_exception()));
  }
}

void TEqForm::closeEvent(QCloseEvent* event) {
  FormClose(this);
  event->accept();
}

// A run ends as Stop ends it: a file route keeps what it wrote.
void TEqForm::FormClose(TObject*) {
  if (!route_) return;
  const std::unique_ptr<routes::TRoute> route = std::move(route_);
  route->OnEnded = nullptr;
  Guard([&] {
    route->Stop();
    route->Finish();
  });
  HideProgress();
  UnlockControls();
}

void TEqForm::btnCloseClick(TObject*) { close(); }

void TEqForm::btnAboutClick(TObject*) {
  if (AboutForm) AboutForm->exec();
}

void TEqForm::LockControls() {
  // Stop is enabled first, so that the focus on Start passes to it.
  btnStop->setEnabled(true);
  running_ = true;
  InputDev->setEnabled(false);
  OutDev->setEnabled(false);
  btnStart->setEnabled(false);
  FftLen->setEnabled(false);
  btnStop->setEnabled(true);
}

void TEqForm::UnlockControls() {
  running_ = false;
  if (!outHint_.empty()) OutDev->SetHint(std::exchange(outHint_, std::string()));
  InputDev->setEnabled(true);
  OutDev->setEnabled(true);
  btnStart->setEnabled(true);
  FftLen->setEnabled(true);
  if (focusWidget() == btnStop) btnStart->setFocus(Qt::OtherFocusReason);  // not on to Reset
  btnStop->setEnabled(false);
}

// ---- devices and channels

void TEqForm::InputDeviceClick(QAction* entry) {
  Guard([&] {
    inDevice_ = entry->data().toInt();
    fromFile_->setChecked(false);
    desktopChosen_ = false;
    entry->setChecked(true);
    InputDev->SetCaption(entry->text().toStdString());
    InputDev->SetHint(entry->text().toStdString());
    FInWaveFile = FInMpegFile = false;
  });
}

void TEqForm::DesktopSoundClick(TObject*) {
  fromFile_->setChecked(false);
  desktopEntry_->setChecked(true);
  desktopChosen_ = true;
  InputDev->SetCaption("Desktop Sound");
  InputDev->SetHint("Desktop Sound: every application's sound, equalized");
  FInWaveFile = FInMpegFile = false;
}

void TEqForm::OutputDeviceClick(QAction* entry) {
  Guard([&] {
    outDevice_ = entry->data().toInt();
    toFile_->setChecked(false);
    entry->setChecked(true);
    OutDev->SetCaption(entry->text().toStdString());
    OutDev->SetHint(entry->text().toStdString());
    FOutWaveFile = FOutMp3File = false;
  });
}

void TEqForm::ChannelClick(QAction* entry, int channel) {
  entry->setChecked(true);
  btnChannelSelect->SetCaption(entry->text().toStdString());
  btnChannelSelect->SetHint(entry->text().toStdString());
  Equalizer->SetChannel(static_cast<TMMChannel>(channel));
}

void TEqForm::BothChannels1Click(TObject*) { ChannelClick(bothChannels_, 0); }
void TEqForm::LeftOnly1Click(TObject*) { ChannelClick(leftOnly_, 1); }
void TEqForm::RightOnly1Click(TObject*) { ChannelClick(rightOnly_, 2); }

void TEqForm::FftLenChange(TObject*) {
  const int p = FftLen->Position();
  if (p < 0 || p > 8) return;
  Guard([&] { Equalizer->SetFFTLength(1 << (p + 4)); });
  ShowFilterLimits(*FftLen, Sliders, *Equalizer);
}

// ---- band sliders

void TEqForm::SliderChanged(TObject* sender) {
  auto* s = dynamic_cast<TMMSlider*>(sender);
  if (!s || s->Tag() >= Equalizer->Filters()->Count()) return;
  Guard([&] { Equalizer->Filters()->Band(s->Tag())->SetBandValue(2, SliderGain(s->Position())); });
  ShowFilterLimits(*FftLen, Sliders, *Equalizer);
}

void TEqForm::SliderTracking(TObject* sender) { SliderMouseEnter(sender); }

void TEqForm::SliderMouseEnter(TObject* sender) {
  auto* s = dynamic_cast<TMMSlider*>(sender);
  if (!s) return;
  Panel1->SetCaption(std::string(BandNames[static_cast<std::size_t>(s->Tag())]) + " : " +
                     GainText(SliderGain(s->Position())) + " dB");
}

void TEqForm::SliderMouseExit(TObject*) { Panel1->SetCaption(""); }

void TEqForm::SliderKeyDown(TObject* sender, int& key, TShiftState) {
  auto* s = dynamic_cast<TMMSlider*>(sender);
  if (!s || key != VK_DELETE) return;
  s->SetPosition(0);
  if (s->Tag() < Equalizer->Filters()->Count())
    Guard([&] { Equalizer->Filters()->Band(s->Tag())->SetBandValue(2, 0.0f); });
  ShowFilterLimits(*FftLen, Sliders, *Equalizer);
  Panel1->SetCaption(std::string(BandNames[static_cast<std::size_t>(s->Tag())]) + " : 0 dB");
}

void TEqForm::btnResetClick(TObject*) {
  Guard([&] {
    TMMEQFilterList& bands = *Equalizer->Filters();
    for (int i = 0; i < bands.Count(); ++i) bands.Band(i)->SetBandValue(2, 0.0f);
    SyncSliders();
  });
}

void TEqForm::SyncSliders() {
  static const int lengths[9] = {16, 32, 64, 128, 256, 512, 1024, 2048, 4096};
  for (int p = 0; p < 9; ++p)
    if (Equalizer->FFTLength() == lengths[p]) FftLen->SetPosition(p);
  const TMMEQFilterList& bands = *Equalizer->Filters();
  for (int i = 0; i < kBandCount; ++i) {
    // A preset with fewer bands leaves the remaining sliders at 0.
    const float gain = i < bands.Count() ? bands.Band(i)->Gain() : 0.0f;
    Sliders[static_cast<std::size_t>(i)]->SetPosition(GainPosition(gain));
  }
  ShowFilterLimits(*FftLen, Sliders, *Equalizer);
}

// ---- status texts

// On the thread that reads the ring buffer, which must neither allocate nor touch a
// widget: it only counts, and the CPU readout's tick shows the count.
void TEqForm::VisClick(TObject*) {
  Vis->SetDown(!Vis->Down());
  Connector->SetEnabled(Vis->Down());
  setFixedHeight(Vis->Down() ? kClientHeight : kPanel1Height);
}

// ---- moving the window

void TEqForm::NotifyPanelMouseDown(TObject* sender, TMouseButton button, TShiftState, int x, int y) {
  if (button != TMouseButton::mbLeft) return;
  auto* w = dynamic_cast<QWidget*>(sender);
  // Where the platform moves windows itself (Wayland), it is asked to.
  if (windowHandle() && QGuiApplication::platformName() == QLatin1String("wayland") &&
      windowHandle()->startSystemMove())
    return;
  FDragging = true;
  FDragOrigin = w ? w->mapToGlobal(QPoint(x, y)) : QPoint(x, y);
}

void TEqForm::NotifyPanelMouseMove(TObject* sender, TShiftState, int x, int y) {
  if (!FDragging) return;
  auto* w = dynamic_cast<QWidget*>(sender);
  const QPoint at = w ? w->mapToGlobal(QPoint(x, y)) : QPoint(x, y);
  const QPoint d = at - FDragOrigin;
  move(pos() + d);
  FDragOrigin += d;
}

void TEqForm::NotifyPanelMouseUp(TObject*, TMouseButton button, TShiftState, int, int) {
  if (button == TMouseButton::mbLeft) FDragging = false;
}

}  // namespace strataeq
