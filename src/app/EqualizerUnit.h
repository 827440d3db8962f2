// The main window: the equalizer and its displays, the route it runs (from a device or a
// file to a device or a file, through routes::TRoute), the fifteen band sliders, the
// presets and the status texts. The file mode's handlers live in FileMode.cpp.
#pragma once

#include <QPoint>
#include <QWidget>
#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "controls/MMObj.h"
#include "platform/Component.h"

class QAction;
class QActionGroup;
class QFrame;
class QLabel;
class QMenu;

namespace strataeq {
namespace routes {
class TRoute;
}

class TMMEqualizer;
class TMMConnector;
class TMMHiTimer;
class TMMDesigner;
class TMMPanel;
class TMMLabel;
class TMMSlider;
class TMMGauge;
class TMMOscope;
class TMMSpectrum;
class TTransparentButton;
class TAboutForm;

inline constexpr int kBandCount = 15;
extern const std::array<const char*, kBandCount> BandNames;

// The band gain of a slider position: 0.1 dB steps below 0, 6.2 positions a step above.
float SliderGain(int position);
// The slider position that reads a gain back.
int GainPosition(float gain);
// "g" as the readout shows it: shortest form, up to 15 significant digits.
std::string GainText(double gain);
// The gain as a screen reader says it: "−4.5 dB" (minus sign), "+6 dB", "0 dB".
std::string GainWords(double gain);

class TEqForm : public QWidget, public TObject {
  Q_OBJECT
 public:
  explicit TEqForm(QWidget* parent = nullptr);
  ~TEqForm() override;

  // Stream components: the equalizer every route runs through, and the displays' tap.
  std::unique_ptr<TMMEqualizer> Equalizer;
  std::unique_ptr<TMMConnector> Connector;
  std::unique_ptr<TMMHiTimer> CpuTimer, ProgressTimer;
  std::unique_ptr<TMMDesigner> MMDesigner1;

  // Controls.
  TMMPanel *MMPanel1 = nullptr, *MMPanel2 = nullptr, *Panel1 = nullptr;
  TMMLabel* MMLabel1 = nullptr;
  TTransparentButton *btnLoad = nullptr, *btnSave = nullptr, *btnChannelSelect = nullptr, *InputDev = nullptr,
                     *OutDev = nullptr, *btnClose = nullptr, *Vis = nullptr, *btnStart = nullptr,
                     *btnStop = nullptr, *btnReset = nullptr, *btnAbout = nullptr;
  QFrame* Bevel1 = nullptr;
  QLabel* Label1 = nullptr;
  std::array<QLabel*, 9> FftLabels{};  // Label2 ... Label10: "16" ... "4096"
  QLabel *Cpu = nullptr, *lblDropOuts = nullptr;
  QFrame* ClipMark = nullptr;  // shown once anything clipped in the run; hint "Clipped : n"
  TMMSlider* FftLen = nullptr;
  std::array<TMMSlider*, kBandCount> Sliders{};  // MMSlider1 ... MMSlider15
  TMMGauge* Gauge = nullptr;
  TMMOscope* MMOscope1 = nullptr;
  TMMSpectrum *leftSpectrum = nullptr, *rightSpectrum = nullptr;
  QMenu *ChannelsMenu = nullptr, *InputDevs = nullptr, *OutputDevs = nullptr;
  TAboutForm* AboutForm = nullptr;  // set by the start-up; not owned

  // Routing state.
  bool FOutWaveFile = false, FOutMp3File = false, FInWaveFile = false, FInMpegFile = false;
  bool FDragging = false;
  QPoint FDragOrigin;
  int DropOuts() const;
  // The chosen source and sink files (the sink written beside it while a run lasts).
  const std::string& InputFileName() const { return inputName_; }
  const std::string& OutputFileName() const { return outputName_; }
  // The chosen devices.
  int InputDevice() const { return inDevice_; }
  int OutputDevice() const { return outDevice_; }
  // The route while one runs; none otherwise.
  const routes::TRoute* Route() const { return route_.get(); }

  // Live routes buffer for this end-to-end delay in ms; 0 keeps the design values.
  void SetLatencyTarget(double ms) { latencyTargetMs_ = ms; }
  double LatencyTarget() const { return latencyTargetMs_; }

  // The window's error messages; a critical message box unless a test takes them.
  std::function<void(TObject* Sender, const std::string& Text)> OnMessage;
  // The window closes (not when it is only destroyed): its state may be kept.
  std::function<void(TObject* Sender)> OnClose;
  void ShowError(const std::string& text);

  // Handlers.
  void FormCreate(TObject* Sender);
  void FormClose(TObject* Sender);
  void btnCloseClick(TObject* Sender);
  void btnAboutClick(TObject* Sender);
  void btnStartClick(TObject* Sender);
  void btnStopClick(TObject* Sender);
  // The route ended: it follows the desktop or finishes, and the window idles.
  void RouteEnded();
  void InputDeviceClick(QAction* entry);
  // The whole desktop's sound through the equalizer, to the chosen playback device.
  void DesktopSoundClick(TObject* Sender);
  bool DesktopSoundChosen() const { return desktopChosen_; }
  void OutputDeviceClick(QAction* entry);
  void BothChannels1Click(TObject* Sender);
  void LeftOnly1Click(TObject* Sender);
  void RightOnly1Click(TObject* Sender);
  void FftLenChange(TObject* Sender);
  void SliderChanged(TObject* Sender);
  void SliderTracking(TObject* Sender);
  void SliderMouseEnter(TObject* Sender);
  void SliderMouseExit(TObject* Sender);
  void SliderKeyDown(TObject* Sender, int& Key, TShiftState Shift);
  void btnResetClick(TObject* Sender);
  void CpuTimerTimer(TObject* Sender);
  void VisClick(TObject* Sender);
  void NotifyPanelMouseDown(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y);
  void NotifyPanelMouseMove(TObject* Sender, TShiftState Shift, int X, int Y);
  void NotifyPanelMouseUp(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y);
  // File processing.
  void FromFileClick(TObject* Sender);
  void ToFileClick(TObject* Sender);
  void ProgressTimerTimer(TObject* Sender);
  void ShowProgress();
  void HideProgress();
  // Presets.
  void btnSaveClick(TObject* Sender);
  void btnLoadClick(TObject* Sender);
  // Brings FftLen and the band sliders in line with the equalizer.
  void SyncSliders();
  // Where the preset dialogs open: the program's folder if writable, else the user's.
  static QString PresetFolder();

  void LockControls();
  void UnlockControls();
  bool Running() const { return running_; }

  QAction* FromFileEntry() const { return fromFile_; }
  QAction* DesktopSoundEntry() const { return desktopEntry_; }
  QAction* ToFileEntry() const { return toFile_; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildComponents();
  void BuildControls();
  void BuildMenus();
  // Names, values in words and roles for screen readers (WindowAccess.cpp).
  void BuildAccessibility();
  void FillDeviceMenus();
  void ChannelClick(QAction* entry, int channel);
  // Runs a handler; what it raises becomes the window's error message.
  void Guard(const std::function<void()>& handler);
  // A sink file that is not a .wav or .mp3 file of the chosen type, or that is the
  // source, is refused before the route opens (FileMode.cpp).
  void CheckOutputFile() const;
  // The gauge for a file-to-file run of this many source units.
  void StartProgress(std::int64_t length);

  QAction *fromFile_ = nullptr, *toFile_ = nullptr, *desktopEntry_ = nullptr;
  std::unique_ptr<routes::TRoute> route_;
  bool desktopChosen_ = false;
  int inDevice_ = 0, outDevice_ = 0;
  double latencyTargetMs_ = 0;
  std::string outHint_;  // OutDev's hint before the latency was added to it
  double latencyShownMs_ = 0;  // the latency OutDev's hint shows
  // OutDev's caption and hint from before the desktop route followed the desktop elsewhere.
  std::string followedCaption_, followedHint_;
  void RestoreFollowedOutput();
  QAction *bothChannels_ = nullptr, *leftOnly_ = nullptr, *rightOnly_ = nullptr;
  QActionGroup *inputGroup_ = nullptr, *outputGroup_ = nullptr;
  int dropOutsBefore_ = 0;  // of the routes that ended
  int dropOutsShown_ = 0;
  std::int64_t clippedShown_ = 0;
  bool running_ = false;
  std::string inputName_;   // the source file chosen last
  std::string outputName_;  // the sink file chosen last
  int gaugeShift_ = 0;  // the gauge counts source bytes >> this, so that 2 GiB and more fit
};

}  // namespace strataeq
