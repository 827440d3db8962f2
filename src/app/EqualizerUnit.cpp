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
#include "app/EqualizerLayout.h"
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

using layout::kClientHeight, layout::kClientWidth, layout::kPanel1Height;

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

// The window has no title bar: it is dragged by its panels.
void DragWindowBy(TEqForm& form, TMMPanel& panel) {
  panel.OnMouseDown = [&form](TObject* s, TMouseButton b, TShiftState sh, int x, int y) {
    form.NotifyPanelMouseDown(s, b, sh, x, y);
  };
  panel.OnMouseMove = [&form](TObject* s, TShiftState sh, int x, int y) { form.NotifyPanelMouseMove(s, sh, x, y); };
  panel.OnMouseUp = [&form](TObject* s, TMouseButton b, TShiftState sh, int x, int y) {
    form.NotifyPanelMouseUp(s, b, sh, x, y);
  };
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
  using namespace layout;
  MMPanel1 = MakePanel(this, kPanel1, TPanelBevel::bvRaised);
  MMPanel2 = MakePanel(this, kPanel2, TPanelBevel::bvRaised);
  for (TMMPanel* p : {MMPanel1, MMPanel2}) DragWindowBy(*this, *p);
  QWidget* top = MMPanel1;

  MMLabel1 = MakeTitle(top);
  btnLoad = MakeButton(top, kLoad);
  btnLoad->OnClick = [this](TObject* s) { btnLoadClick(s); };
  btnSave = MakeButton(top, kSave);
  btnSave->OnClick = [this](TObject* s) { btnSaveClick(s); };
  btnChannelSelect = MakeButton(top, kChannelSelect);
  InputDev = MakeButton(top, kInputDev);
  InputDev->SetHint(kInputDevHint);
  InputDev->SetShowHint(true);
  OutDev = MakeButton(top, kOutDev);
  OutDev->SetHint(kOutDevHint);
  OutDev->SetShowHint(true);
  btnClose = MakeButton(top, kClose);
  btnClose->OnClick = [this](TObject* s) { btnCloseClick(s); };

  Bevel1 = new QFrame(top);
  Bevel1->setFrameStyle(QFrame::HLine | QFrame::Sunken);
  Bevel1->setGeometry(kBevel);

  Label1 = MakeSmallLabel(top, kFftCaption, kFftCaptionAt);
  FftLen = new TMMSlider(top);
  FftLen->move(kFftSliderAt);
  window::FftSliderValues(*FftLen);
  FftLen->SetOrientation(TMMOrientation::orVertical);
  FftLen->OnChange = [this](TObject* s) { FftLenChange(s); };
  for (std::size_t i = 0; i < FftLabels.size(); ++i)
    FftLabels[i] = MakeSmallLabel(top, kFftTexts[i], FftTextAt(static_cast<int>(i)));

  Cpu = MakeReadout(top, kCpuCaption, kCpu);
  lblDropOuts = MakeReadout(top, kDropOutsCaption, kDropOuts);
  // Clipping: a red mark inside the drop-out readout, its count in the readout's hint.
  ClipMark = MakeClipMark(lblDropOuts);
  MMOscope1 = MakeOscope(top);
  Vis = MakeButton(top, kVis);
  Vis->SetDown(true);
  Vis->OnClick = [this](TObject* s) { VisClick(s); };

  for (int i = 0; i < kBandCount; ++i) {
    auto* s = new TMMSlider(top);
    s->move(kBandX[static_cast<std::size_t>(i)], kBandY);
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

  btnStart = MakeButton(top, kStart);
  btnStart->OnClick = [this](TObject* s) { btnStartClick(s); };
  btnStop = MakeButton(top, kStop);
  btnStop->setEnabled(false);
  btnStop->OnClick = [this](TObject* s) { btnStopClick(s); };
  btnReset = MakeButton(top, kReset);
  btnReset->OnClick = [this](TObject* s) { btnResetClick(s); };
  Panel1 = MakePanel(top, kReadout, TPanelBevel::bvLowered);
  Gauge = MakeGauge(Panel1);
  btnAbout = MakeButton(top, kAbout);
  btnAbout->OnClick = [this](TObject* s) { btnAboutClick(s); };

  leftSpectrum = MakeSpectrum(MMPanel2, kSpectra[0]);
  rightSpectrum = MakeSpectrum(MMPanel2, kSpectra[1]);
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
  if (OnClose) OnClose(this);
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
