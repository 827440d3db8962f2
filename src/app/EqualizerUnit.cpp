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
#include "app/cli/FileEnds.h"
#include "controls/MMDesign.h"
#include "controls/MMGauge.h"
#include "controls/MMLabel.h"
#include "controls/MMPanel.h"
#include "controls/MMSlider.h"
#include "controls/TransBtn.h"
#include "display/MMConect.h"
#include "display/MMOscope.h"
#include "display/MMSpectr.h"
#include "drivers/DesktopSound.h"
#include "drivers/LiveLatency.h"
#include "drivers/MMHTimer.h"
#include "drivers/MMRingBf.h"
#include "drivers/MMTrigg.h"
#include "drivers/MMWavIn.h"
#include "drivers/MMWavOut.h"
#include "eq/MMEQ.h"
#include "eq/MMEQFit.h"
#include "eq/MMObjLst.h"
#include "files/MMBlade.h"
#include "files/MMMPEG.h"
#include "files/MMWave.h"
#include "foundation/MMPCMSup.h"
#include "foundation/MMUtils.h"
#include "platform/Messages.h"
#include "platform/WaveApi.h"

namespace strataeq {

const std::array<const char*, kBandCount> BandNames = {
    "0-60 Hz",  "60-120 Hz", "120-200 Hz", "200-600 Hz", "600-800 Hz", "800 Hz-1 Khz", "1-2 Khz",  "2-4 Khz",
    "4-6 Khz",  "6-8 Khz",   "8-10 Khz",   "10-12 Khz",  "12-14 Khz",  "14-16 Khz",    "16-20 Khz"};

namespace {

constexpr int kClientWidth = 663, kClientHeight = 278, kPanel1Height = 168, kPanel2Height = 110;
constexpr std::int32_t kBufferSize = 8192;

const char* const kRecorderBusy =
    "The Recording Device is already in use by another application!\rPlease make sure no other "
    "applications that may use the recording device are opened !";
const char* const kPlayerBusy =
    "The Playback Device is already in use by another application!\rPlease make sure no other "
    "applications that may use the playback device are opened !";
const char* const kNoRecorder = "There is no recording device on this system.";
const char* const kNoPlayer = "There is no playback device on this system.";
const char* const kFeedback =
    "The recording device is the monitor of the playback device: the output would be played back "
    "into itself.\rPlease choose another recording or playback device.";
const char* const kCompressed = "Sorry, using compressed wave file (ACM) is not supported !";
const char* const kNotMpeg = "This is not a valid MPEG Layer 3 file !";

const char* const kSameFile = "The output file is the input file: please choose another output file.";
const char* const kFileFilter = "Windows PCM (*.wav);;Mpeg Layer 3 (*.mp3)";
const char* const kPresetFilter = "Strata EQ Presets (*.sqp)";
const char* const kPresetTextFilter = "GraphicEQ or ParametricEQ text (*.txt)";

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

// The play time as "m:ss" below an hour, else "h:mm:ss"; seconds truncated.
std::string PlayTime(std::int64_t ms) { return FormatTimeString(static_cast<std::int32_t>(ms), false); }

// Which filter of a two-filter dialog was chosen: 1 or 2.
int FilterIndex(const QFileDialog& d) { return d.nameFilters().indexOf(d.selectedNameFilter()) + 1; }

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
  WaveIn->OnStop = nullptr;
  WaveOut->OnStop = nullptr;
  FileTrigger->OnStop = nullptr;
  RingBuffer->OnEmpty = RingBuffer->OnSlotDropped = nullptr;
  try {
    FileTrigger->Close();
    WaveIn->Close();
    WaveOut->Close();
    RingBuffer->CloseQueue();
    EndDesktopSound();
  } catch (...) {
  }
  WaveOutputFile->SetTarget(nullptr);
  MpegOutputFile->SetTarget(nullptr);
  output_.reset();
  Connector->SetSpectrum1(nullptr);
  Connector->SetSpectrum2(nullptr);
  Connector->SetOscope1(nullptr);
}

void TEqForm::BuildComponents() {
  Equalizer = std::make_unique<TMMEqualizer>();
  Equalizer->SetSampleRate(44100);
  LoadDefaultBandList(*Equalizer->Filters());

  WaveIn = std::make_unique<TMMWaveIn>();
  WaveIn->SetBufferSize(kBufferSize);
  WaveIn->SetCallBackMode(TMMCBMode::cmThread);
  WaveIn->SetMode(TMMMode::mStereo);
  WaveIn->SetBitLength(TMMBits::b16Bit);
  WaveIn->SetSampleRate(44100);
  WaveIn->OnStop = [this](TObject* s) { WaveInStop(s); };

  WaveOut = std::make_unique<TMMWaveOut>();
  WaveOut->SetBufferSize(kBufferSize);
  WaveOut->SetNumBuffers(20);
  WaveOut->SetCallBackMode(TMMCBMode::cmThread);
  WaveOut->OnStop = [this](TObject* s) { WaveOutStop(s); };

  RingBuffer = std::make_unique<TMMRingBuffer>();
  RingBuffer->SetBufferSize(kBufferSize);
  RingBuffer->SetQueueMode(TMMQueueMode::qmDuplex);
  RingBuffer->OnEmpty = RingBuffer->OnSlotDropped = [this](TObject* s) { RingBufferEmpty(s); };

  Connector = std::make_unique<TMMConnector>();
  TMMConnector::SetEnterIdle(true);

  WaveInputFile = std::make_unique<TMMWaveFile>();
  WaveInputFile->Wave().SetTimeFormat(TMMTimeFormats::tfByte);
  WaveInputFile->Wave().SetIOBufferSize(kBufferSize);
  WaveOutputFile = std::make_unique<TMMWaveFile>();
  WaveOutputFile->Wave().SetTimeFormat(TMMTimeFormats::tfByte);
  WaveOutputFile->Wave().SetIOBufferSize(kBufferSize);
  WaveOutputFile->Wave().SetFileMustExist(false);
  MpegInputFile = std::make_unique<TMMMPEGFile>();
  MpegOutputFile = std::make_unique<TMMMP3Encoder>();
  FileTrigger = std::make_unique<TMMTrigger>();
  FileTrigger->SetBufferSize(kBufferSize);
  FileTrigger->SetInterval(0);
  FileTrigger->OnStop = [this](TObject* s) { FileTriggerStop(s); };

  // A sink that cannot write (a full disk, a file-size limit, an I/O error) fails the
  // run: the file is not kept and the window says why.
  auto writeStopped = [this](TObject*) {
    // Stop pressed during a run into a stream: the stream holds what was played, as asked.
    if (stopPressed_ && WaveOutputFile->WriteError() == ENODATA) return;
    Application().HandleException(std::make_exception_ptr(EMMError(SinkFailure())));
  };
  WaveOutputFile->OnWriteStop = writeStopped;
  MpegOutputFile->OnWriteStop = writeStopped;

  // Failures a worker reports end the run as failed, so its output is not kept.
  Application().OnException = [this](std::exception_ptr e) {
    if (TakeOutputFailure(e)) return;
    runFailed_ = true;
    ShowError(ExceptionMessage(e));
  };

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
  const QString in = fill(InputDevs, inputGroup_, WaveIn->NumDevs(), true);
  InputDevs->addSeparator();
  desktopEntry_ = InputDevs->addAction("Desktop Sound");
  desktopEntry_->setCheckable(true);
  inputGroup_->addAction(desktopEntry_);
  connect(desktopEntry_, &QAction::triggered, this, [this] { DesktopSoundClick(this); });
  const QString out = fill(OutputDevs, outputGroup_, WaveOut->NumDevs(), false);
  InputDev->SetCaption(in.toStdString());
  InputDev->SetHint("Recording Device : " + in.toStdString());
  OutDev->SetCaption(out.toStdString());
  OutDev->SetHint("Output Device : " + out.toStdString());
  WaveIn->SetDeviceID(WaveIn->NumDevs() > 0 ? MapperId : 0);
  WaveOut->SetDeviceID(WaveOut->NumDevs() > 0 ? MapperId : 0);
  // The devices in use are marked from the start, as after a choice.
  if (WaveIn->NumDevs() > 0) InputDevs->actions().at(2)->setChecked(true);
  if (WaveOut->NumDevs() > 0) OutputDevs->actions().at(2)->setChecked(true);
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

void TEqForm::FormClose(TObject*) {
  Guard([&] {
    if (FileTrigger->Started()) FileTrigger->Stop();
    WaveIn->Close();
    WaveOut->Close();
  });
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
    if (WaveIn->Started()) WaveIn->Close();
    WaveIn->SetDeviceID(entry->data().toInt());
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

// Puts the applications' streams and the default device back, and the chosen device.
void TEqForm::EndDesktopSound() {
  if (!desktop_) return;
  const std::unique_ptr<TDesktopSound> desktop = std::move(desktop_);
  desktop->Stop();
  WaveOut->SetDeviceID(chosenOutput_);
  if (!followedCaption_.empty()) {
    OutDev->SetCaption(std::exchange(followedCaption_, std::string()));
    outHint_.clear();
    OutDev->SetHint(std::exchange(followedHint_, std::string()));
  }
}

// A desktop route's player failed (its device gone, or the server): the route stops
// first, and its stop decides whether it follows the desktop or the error shows.
bool TEqForm::TakeOutputFailure(std::exception_ptr e) {
  if (outputFailed_) return true;  // the route is already stopping for the first failure
  if (!desktop_ || !running_ || stopAsked_ || !WaveIn->Started()) return false;
  try {
    std::rethrow_exception(e);
  } catch (const EMMWaveOutError&) {
  } catch (...) {
    return false;
  }
  // Set first: a stop with nothing in flight completes within Stop.
  outputFailed_ = true;
  outputFailure_ = ExceptionMessage(e);
  try {
    WaveIn->Stop();
  } catch (...) {
    // Not stopped: the player's error shows as it would have.
    if (!std::exchange(outputFailed_, false)) return true;
    outputFailure_.clear();
    return false;
  }
  return true;
}

// On the stopped route of a failed player. A route left on the default output follows
// the desktop: when that device went away (headphones unplugged, a USB or Bluetooth
// device gone), the route goes on where the desktop's sound now goes, the desktop's
// streams staying on the equalizer. A device the user chose stays an error.
bool TEqForm::FollowDesktopOutput() {
  outputFailed_ = false;
  const std::string failure = std::exchange(outputFailure_, std::string());
  try {
    WaveOut->Close();
    if (!desktop_ || chosenOutput_ != MapperId || desktop_->OutputPresent()) {
      runFailed_ = true;
      ShowError(failure);
      return false;
    }
    const int output = WaveDeviceByServerName(TWaveDir::Output, desktop_->FollowDesktop());
    const int monitor = WaveDeviceByServerName(TWaveDir::Input, desktop_->MonitorName());
    if (monitor < 0 || output < 0) throw EMMError("Desktop Sound: the sound server does not list its devices");
    WaveIn->SetDeviceID(monitor);
    WaveOut->SetDeviceID(output);
    if (followedCaption_.empty()) {
      followedCaption_ = OutDev->Caption();
      followedHint_ = outHint_.empty() ? OutDev->Hint() : outHint_;
    }
    const std::string name = WaveOutDeviceName(output);
    OutDev->SetCaption(name);
    outHint_.clear();
    OutDev->SetHint("Output Device : " + name + " (the desktop's sound moved here)");
    StartDriver(WaveIn.get());
    return true;
  } catch (...) {
    runFailed_ = true;
    ShowError(ExceptionMessage(std::current_exception()));
    return false;
  }
}

void TEqForm::OutputDeviceClick(QAction* entry) {
  Guard([&] {
    WaveOut->SetDeviceID(entry->data().toInt());
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
void TEqForm::RingBufferEmpty(TObject*) { ++dropOuts_; }

void TEqForm::CpuTimerTimer(TObject*) {
  Cpu->setText(QStringLiteral("Cpu Usage : %1 %").arg(GetCpuUsage()));
  // The server's underflows are silences heard as well; the count restarts per open.
  if (const std::int64_t u = WaveOut->Underflows(); u != underflowsSeen_) {
    if (u > underflowsSeen_) dropOuts_ += static_cast<int>(u - underflowsSeen_);
    // With a latency asked for, a server that ran dry gets a playback buffer more
    // (the output button's hint shows the delay held).
    if (u > underflowsSeen_ && latencyTargetMs_ > 0) WaveOut->GrowQueue();
    underflowsSeen_ = u;
  }
  if (const int dropOuts = dropOuts_.load(); dropOuts != dropOutsShown_) {
    dropOutsShown_ = dropOuts;
    lblDropOuts->setText(QStringLiteral("Dropouts : %1").arg(dropOuts));
  }
  if (const std::int64_t clipped = Equalizer->ClippedBuffers(); clipped != clippedShown_) {
    clippedShown_ = clipped;
    ClipMark->setVisible(clipped > 0);
    const QString hint = clipped > 0 ? QStringLiteral("Clipped : %1").arg(clipped) : QString();
    lblDropOuts->setToolTip(hint);
    ClipMark->setToolTip(hint);
  }
  // While a device route runs, OutDev's hint tells how late the sound comes out.
  if (running_ && WaveIn->Started() && WaveOut->Started()) {
    const double ms = MeasuredLiveLatencyMs(*WaveIn, *RingBuffer, *WaveOut, Equalizer->FFTLength());
    // Less than a millisecond of change is noise for a screen reader reading the hint.
    const bool news = outHint_.empty() || std::abs(ms - latencyShownMs_) >= 1.0;
    char text[64];
    std::snprintf(text, sizeof text, " : latency %.0f ms", ms);
    if (outHint_.empty()) outHint_ = OutDev->Hint();
    if (news) {
      latencyShownMs_ = ms;
      OutDev->SetHint(outHint_ + text);
    }
  }
}

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

// ---- start and stop

bool TEqForm::CheckDevices(bool recording, bool playback) {
  if (recording && WaveIn->NumDevs() == 0) return ShowError(kNoRecorder), false;
  if (playback && WaveOut->NumDevs() == 0) return ShowError(kNoPlayer), false;
  if (recording && playback &&
      WaveInDeviceName(WaveIn->DeviceID()) == "Monitor of " + WaveOutDeviceName(WaveOut->DeviceID()))
    return ShowError(kFeedback), false;
  if (recording && !WaveInCanOpen(WaveIn->DeviceID())) return ShowError(kRecorderBusy), false;
  if (playback && !WaveOutCanOpen(WaveOut->DeviceID())) return ShowError(kPlayerBusy), false;
  return true;
}

void TEqForm::PrepareOutputFile() {
  const std::string& source = FInWaveFile ? WaveInputFile->Wave().FileName() : MpegInputFile->FileName();
  if ((FInWaveFile || FInMpegFile) && cli::SameFile(source, outputName_)) throw EMMError(kSameFile);
  const char* type = FOutWaveFile ? "wav" : "mp3";
  try {
    cli::OutputKind(outputName_, type);
  } catch (const EMMError&) {
    throw EMMError("The output file " + outputName_ + " is not a ." + type +
                   " file: please choose a name ending in ." + type + ".");
  }
  runFailed_ = false;
  stopPressed_ = false;
  output_ = std::make_unique<cli::TOutputFile>(outputName_);
  if (FOutWaveFile) WaveOutputFile->SetTarget(&output_->Target());
  else MpegOutputFile->SetTarget(&output_->Target());
}

// The devices' buffers and the ring buffer's slots for the chosen delay (the design
// values without one); set while everything is closed, before a device route starts.
void TEqForm::ApplyLatencyPlan() {
  const TLiveLatencyPlan plan = latencyTargetMs_ > 0
                                    ? PlanLiveLatency(latencyTargetMs_, 44100, Equalizer->FFTLength())
                                    : DesignLatencyPlan();
  ApplyStreamTiming(plan);
  WaveIn->SetBufferSize(plan.BufferSize);
  WaveOut->SetBufferSize(plan.BufferSize);
  WaveOut->SetNumBuffers(plan.OutputBuffers);
  RingBuffer->SetBufferSize(plan.BufferSize);
  RingBuffer->SetNumBuffers(plan.RingSlots);
  RingBuffer->SetPrimeSlots(plan.RingPrime);
}

void TEqForm::PrepareSampleTypes(bool fileToFile) {
  WaveInputFile->SetChainSampleType(TPcmSampleType::stNone);
  WaveOutputFile->SetFileFormat(nullptr);
  Equalizer->SetAligned(fileToFile);
  if (!FInWaveFile) return;
  const TWaveFormatEx* in = WaveInputFile->Wave().PWaveFormat();
  const TPcmSampleType inType = SampleTypeOf(in);
  const bool keepsFormat = fileToFile && FOutWaveFile;
  TPcmSampleType chainType = TPcmSampleType::stInt16;
  if (keepsFormat && !(inType == TPcmSampleType::stInt16 && IsValidPcmFormat(in))) chainType = TPcmSampleType::stFloat32;
  WaveInputFile->SetChainSampleType(chainType == inType ? TPcmSampleType::stNone : chainType);
  // A WAV file written from a WAV file keeps the source's own format record.
  if (FOutWaveFile && inType != chainType) WaveOutputFile->SetFileFormat(in);
}

void TEqForm::PrepareStreamLength(bool fileToFile) {
  std::int64_t bytes = -1;
  const TMMDSPComponent* source = FInWaveFile ? static_cast<TMMDSPComponent*>(WaveInputFile.get())
                                              : static_cast<TMMDSPComponent*>(MpegInputFile.get());
  const TWaveFormatEx* chain = source->PWaveFormat();
  const TWaveFormatEx* file = WaveOutputFile->FileFormat() ? WaveOutputFile->FileFormat() : chain;
  if (fileToFile && output_ && output_->IsStream() && FOutWaveFile && file) {
    std::int64_t frames = -1;
    if (const TWaveFormatEx* in = WaveInputFile->Wave().PWaveFormat(); FInWaveFile && in && in->nBlockAlign)
      frames = WaveInputFile->Wave().LengthInBytes() / in->nBlockAlign;
    else if (FInMpegFile && MpegInputFile->Samples() > 0)
      frames = MpegInputFile->Samples();
    if (frames >= 0) bytes = frames * file->nBlockAlign;
  }
  WaveOutputFile->SetStreamLength(bytes);
}

std::string TEqForm::SinkFailure() const {
  std::string why;
  if (FOutWaveFile) {
    switch (WaveOutputFile->WriteStop()) {
      case TMMWriteStop::wsDiskFull: why = "the disk is full"; break;
      case TMMWriteStop::wsWriteError: why = cli::WriteErrorText(WaveOutputFile->WriteError()); break;
      case TMMWriteStop::wsSizeLimit: why = "the file reached the 4 GB limit of a WAV file"; break;
      case TMMWriteStop::wsNone: break;
    }
  } else if (FOutMp3File && MpegOutputFile->WriteError() != 0) {
    why = cli::WriteErrorText(MpegOutputFile->WriteError());
  }
  if (why.empty()) return why;
  return "Unable to write " + outputName_ + ": " + why + (output_ ? "; " + output_->LeftBehind() : std::string());
}

// The run's output replaces the chosen file only when the run completed and every
// byte of it was written.
void TEqForm::FinishOutputFile() {
  if (!output_) return;
  const std::string failure = SinkFailure();
  WaveOutputFile->SetTarget(nullptr);
  MpegOutputFile->SetTarget(nullptr);
  const std::unique_ptr<cli::TOutputFile> out = std::move(output_);
  if (!runFailed_ && failure.empty()) out->Commit();
}

void TEqForm::StartDriver(TObject* driver) {
  LockControls();
  stopAsked_ = false;
  try {
    if (driver == WaveIn.get()) WaveIn->Start();
    else if (driver == WaveOut.get()) WaveOut->Start();
    else FileTrigger->Start();
  } catch (...) {
    // A driver that failed to start reports no stop: the window returns to idle itself.
    runFailed_ = true;
    try {
      FileTrigger->Close();
      WaveIn->Close();
      WaveOut->Close();
      RingBuffer->CloseQueue();
    } catch (...) {
    }
    HideProgress();
    FinishOutputFile();
    EndDesktopSound();
    UnlockControls();
    throw;
  }
}

void TEqForm::btnStartClick(TObject*) {
  Guard([&] {
    const bool inFile = FInWaveFile || FInMpegFile, outFile = FOutWaveFile || FOutMp3File;
    TMMDSPComponent* source = FInWaveFile ? static_cast<TMMDSPComponent*>(WaveInputFile.get())
                            : FInMpegFile ? static_cast<TMMDSPComponent*>(MpegInputFile.get())
                                          : static_cast<TMMDSPComponent*>(WaveIn.get());
    if (outFile && inFile) {
      PrepareOutputFile();
      PrepareSampleTypes(true);
      PrepareStreamLength(true);
      source->SetOutput(Equalizer.get());
      Equalizer->SetOutput(FileTrigger.get());
      if (FOutWaveFile) {
        FileTrigger->SetOutput(WaveOutputFile.get());
        WaveOutputFile->SetOutput(Connector.get());
      } else {
        FileTrigger->SetOutput(Connector.get());
        Connector->SetOutput(MpegOutputFile.get());
      }
      LockControls();
      const std::int64_t length = FInWaveFile ? WaveInputFile->Wave().LengthInBytes() : MpegInputFile->Frames();
      gaugeShift_ = 0;
      while ((length >> gaugeShift_) > std::numeric_limits<int>::max()) ++gaugeShift_;
      Gauge->SetMaxValue(static_cast<int>(length >> gaugeShift_));
      Gauge->SetProgress(0);
      ShowProgress();
      StartDriver(FileTrigger.get());
      return;
    }
    if (!inFile && desktopChosen_) {
      // The desktop's device becomes the default one; the route records its monitor.
      chosenOutput_ = WaveOut->DeviceID();
      desktop_ = std::make_unique<TDesktopSound>();
      desktop_->Start(chosenOutput_ == MapperId ? std::string() : WaveDeviceServerName(TWaveDir::Output, chosenOutput_));
      const int monitor = WaveDeviceByServerName(TWaveDir::Input, desktop_->MonitorName());
      const int output = WaveDeviceByServerName(TWaveDir::Output, desktop_->OutputName());
      if (monitor < 0 || output < 0) {
        EndDesktopSound();
        throw EMMError("Desktop Sound: the sound server does not list its devices");
      }
      WaveIn->SetDeviceID(monitor);
      WaveOut->SetDeviceID(output);
    }
    if (!CheckDevices(!inFile, !outFile)) return EndDesktopSound();
    if (outFile) PrepareOutputFile();
    PrepareSampleTypes(false);
    PrepareStreamLength(false);
    ApplyLatencyPlan();
    source->SetOutput(RingBuffer.get());
    RingBuffer->SetOutput(Equalizer.get());
    if (!outFile) {
      Equalizer->SetOutput(WaveOut.get());
      WaveOut->SetOutput(Connector.get());
    } else if (FOutWaveFile) {
      Equalizer->SetOutput(WaveOutputFile.get());
      WaveOutputFile->SetOutput(Connector.get());
    } else {
      Equalizer->SetOutput(Connector.get());
      Connector->SetOutput(MpegOutputFile.get());
    }
    RingBuffer->SetQueueMode(!inFile && !outFile ? TMMQueueMode::qmDuplex : TMMQueueMode::qmRead);
    StartDriver(inFile ? static_cast<TObject*>(WaveOut.get()) : static_cast<TObject*>(WaveIn.get()));
  });
}

void TEqForm::btnStopClick(TObject*) {
  Guard([&] {
    if ((FInWaveFile || FInMpegFile) && (FOutWaveFile || FOutMp3File)) {
      stopPressed_ = true;
      FileTrigger->Stop();
      return;
    }
    // Stop while a failed player's route stops: the route ends, with the player's error.
    stopAsked_ = true;
    if (std::exchange(outputFailed_, false)) {
      runFailed_ = true;
      ShowError(std::exchange(outputFailure_, std::string()));
    }
    WaveIn->Stop();
    if (FInWaveFile || FInMpegFile) WaveOut->Stop();
  });
}

void TEqForm::WaveInStop(TObject*) {
  Guard([&] {
    btnStart->setEnabled(true);
    WaveIn->Close();
    RingBuffer->CloseQueue();
  });
  if (outputFailed_ && FollowDesktopOutput()) return;
  if (FOutWaveFile || FOutMp3File) Guard([&] { FinishOutputFile(); });
  Guard([&] { EndDesktopSound(); });
  // A playback device still completing its stop unlocks the window itself, so that
  // its late stop never meets the next run.
  if (WaveOut->Started()) return btnStart->setEnabled(false);
  UnlockControls();
}

void TEqForm::WaveOutStop(TObject*) {
  Guard([&] {
    WaveOut->Close();
    RingBuffer->CloseQueue();
  });
  if (outputFailed_) return;  // the recorder's stop ends or moves the route
  UnlockControls();
}

// ---- file processing

void TEqForm::FromFileClick(TObject*) {
  // The entry checks itself when clicked; it shows the source only once one is chosen.
  fromFile_->setChecked(FInWaveFile || FInMpegFile);
  QFileDialog dialog(this, "Specify Input File ...", {}, kFileFilter);
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  if (!dialog.exec() || dialog.selectedFiles().isEmpty()) return;
  const std::string name = dialog.selectedFiles().first().toStdString();
  Guard([&] {
    if (FilterIndex(dialog) == 1) {
      // The file is tried on its own first, so that a refused file leaves the chosen
      // source as it was.
      TMMWaveFile probe;
      probe.Wave().SetTimeFormat(TMMTimeFormats::tfByte);
      probe.Wave().SetFileName(name);
      // Linear PCM of any resolution, float included, is equalized; nothing compressed.
      if (!IsLinearWaveFormat(probe.Wave().PWaveFormat())) {
        ShowError(kCompressed);
        return;
      }
      WaveInputFile->Wave().SetFileName(name);
      const TWaveFormatEx* f = WaveInputFile->Wave().PWaveFormat();
      const std::int64_t ms =
          f && f->nAvgBytesPerSec ? WaveInputFile->Wave().LengthInBytes() * 1000 / f->nAvgBytesPerSec : 0;
      if (QAction* a = inputGroup_->checkedAction()) a->setChecked(false);
      fromFile_->setChecked(true);
      FInWaveFile = true;
      FInMpegFile = false;
      const std::string caption = name + " (" + PlayTime(ms) + ")";
      InputDev->SetCaption(caption);
      InputDev->SetHint(caption);
    } else {
      try {
        TMMMPEGFile probe;
        probe.SetFileName(name);
      } catch (...) {
        ShowError(kNotMpeg);
        return;
      }
      MpegInputFile->SetFileName(name);
      if (QAction* a = inputGroup_->checkedAction()) a->setChecked(false);
      fromFile_->setChecked(true);
      FInWaveFile = false;
      FInMpegFile = true;
      InputDev->SetCaption(name);
      InputDev->SetHint(name);
    }
    inputName_ = name;
  });
}

void TEqForm::ToFileClick(TObject*) {
  toFile_->setChecked(FOutWaveFile || FOutMp3File);
  QFileDialog dialog(this, "Select Output File ...", {}, kFileFilter);
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setOption(QFileDialog::DontConfirmOverwrite);  // an existing file is replaced unasked
  dialog.setDefaultSuffix("wav");
  connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString& filter) {
    const int index = dialog.nameFilters().indexOf(filter) + 1;
    if (index == 1) dialog.setDefaultSuffix("wav");
    else if (index == 2) dialog.setDefaultSuffix("mp3");
  });
  if (!dialog.exec() || dialog.selectedFiles().isEmpty()) return;
  const std::string name = dialog.selectedFiles().first().toStdString();
  outputName_ = name;
  if (QAction* a = outputGroup_->checkedAction()) a->setChecked(false);
  toFile_->setChecked(true);
  OutDev->SetCaption(name);
  OutDev->SetHint(name);
  FOutWaveFile = FilterIndex(dialog) == 1;
  FOutMp3File = !FOutWaveFile;
}

void TEqForm::ShowProgress() {
  Gauge->show();
  ProgressTimer->SetEnabled(true);
}

void TEqForm::HideProgress() {
  ProgressTimer->SetEnabled(false);
  Gauge->hide();
}

void TEqForm::ProgressTimerTimer(TObject*) {
  if (FInWaveFile) Gauge->SetProgress(static_cast<int>(std::max<std::int64_t>(WaveInputFile->Wave().Position(), -1) >> gaugeShift_));
  else if (FInMpegFile) Gauge->SetProgress(MpegInputFile->Position());
}

void TEqForm::FileTriggerStop(TObject*) {
  // The last tick may have come before the last buffer.
  ProgressTimerTimer(this);
  HideProgress();
  UnlockControls();
  // The chain is closed (the file ends written) once the trigger's stop has returned.
  QTimer::singleShot(0, this, [this] {
    Guard([&] { FileTrigger->Close(); });
    Guard([&] { FinishOutputFile(); });
  });
}

// ---- presets

QString TEqForm::PresetFolder() {
  const QString own = QCoreApplication::applicationDirPath();
  if (QFileInfo(own).isWritable()) return own;
  const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + "/presets";
  QDir().mkpath(data);
  return data;
}

void TEqForm::btnSaveClick(TObject*) {
  QFileDialog dialog(this, "Save Equalizer Preset", PresetFolder(), kPresetFilter);
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setOption(QFileDialog::DontConfirmOverwrite);  // an existing file is replaced unasked
  dialog.setDefaultSuffix("sqp");
  if (!dialog.exec() || dialog.selectedFiles().isEmpty()) return;
  const std::string name = dialog.selectedFiles().first().toStdString();
  Guard([&] { Equalizer->Filters()->SaveToFile(name); });
}

void TEqForm::btnLoadClick(TObject*) {
  QFileDialog dialog(this, "Load Equalizer Preset", PresetFolder(),
                     QString(kPresetFilter) + ";;" + kPresetTextFilter);
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setDefaultSuffix("sqp");
  if (dialog.exec() && !dialog.selectedFiles().isEmpty()) {
    const std::string name = dialog.selectedFiles().first().toStdString();
    try {
      // A text preset is fitted to the bands; its warnings say what the fit could not follow.
      const std::vector<std::string> warnings = LoadPresetFile(name, *Equalizer->Filters());
      if (!warnings.empty()) {
        std::string text;
        for (const std::string& w : warnings) text += (text.empty() ? "" : "\n") + w;
        SyncSliders();
        ShowError(text);
        return;
      }
    } catch (...) {
      ShowError(ExceptionMessage(std::current_exception()));
      return;
    }
  }
  SyncSliders();
}

}  // namespace strataeq
