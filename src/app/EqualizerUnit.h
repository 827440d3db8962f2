// The main window: the owner of every stream component, its routes from a device or a
// file to a device or a file, the fifteen band sliders, the presets and the status texts.
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
class TOutputFile;
}

class TMMEqualizer;
class TMMWaveIn;
class TMMWaveOut;
class TMMRingBuffer;
class TMMConnector;
class TMMWaveFile;
class TMMMPEGFile;
class TMMMP3Encoder;
class TMMTrigger;
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
class TDesktopSound;

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

  // Stream components.
  std::unique_ptr<TMMEqualizer> Equalizer;
  std::unique_ptr<TMMWaveIn> WaveIn;
  std::unique_ptr<TMMWaveOut> WaveOut;
  std::unique_ptr<TMMRingBuffer> RingBuffer;
  std::unique_ptr<TMMConnector> Connector;
  std::unique_ptr<TMMWaveFile> WaveInputFile, WaveOutputFile;
  std::unique_ptr<TMMMPEGFile> MpegInputFile;
  std::unique_ptr<TMMMP3Encoder> MpegOutputFile;
  std::unique_ptr<TMMTrigger> FileTrigger;
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
  int DropOuts() const { return dropOuts_.load(); }
  // The chosen sink file (written beside it while a run lasts).
  const std::string& OutputFileName() const { return outputName_; }

  // Live routes buffer for this end-to-end delay in ms; 0 keeps the design values.
  void SetLatencyTarget(double ms) { latencyTargetMs_ = ms; }
  double LatencyTarget() const { return latencyTargetMs_; }

  // The window's error messages; a critical message box unless a test takes them.
  std::function<void(TObject* Sender, const std::string& Text)> OnMessage;
  void ShowError(const std::string& text);

  // Handlers.
  void FormCreate(TObject* Sender);
  void FormClose(TObject* Sender);
  void btnCloseClick(TObject* Sender);
  void btnAboutClick(TObject* Sender);
  void btnStartClick(TObject* Sender);
  void btnStopClick(TObject* Sender);
  void WaveInStop(TObject* Sender);
  void WaveOutStop(TObject* Sender);
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
  void RingBufferEmpty(TObject* Sender);  // any thread
  void CpuTimerTimer(TObject* Sender);
  void VisClick(TObject* Sender);
  void NotifyPanelMouseDown(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y);
  void NotifyPanelMouseMove(TObject* Sender, TShiftState Shift, int X, int Y);
  void NotifyPanelMouseUp(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y);
  // File processing.
  void FromFileClick(TObject* Sender);
  void ToFileClick(TObject* Sender);
  void ProgressTimerTimer(TObject* Sender);
  void FileTriggerStop(TObject* Sender);
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
  bool CheckDevices(bool recording, bool playback);
  // The sink file is written as an unnamed file beside the chosen one (a device or a
  // FIFO directly); a name that is not a .wav or .mp3 file of the chosen type is refused.
  void PrepareOutputFile();
  // A file sink on a stream learns the length of a file-to-file run for its header.
  void PrepareStreamLength(bool fileToFile);
  // What a sink that stopped writing says; empty while it writes.
  std::string SinkFailure() const;
  // High-resolution WAV sources are equalized in float; devices and MP3 take 16 bits.
  void PrepareSampleTypes(bool fileToFile);
  void ApplyLatencyPlan();
  void FinishOutputFile();
  void StartDriver(TObject* driver);

  QAction *fromFile_ = nullptr, *toFile_ = nullptr, *desktopEntry_ = nullptr;
  std::unique_ptr<TDesktopSound> desktop_;
  bool desktopChosen_ = false;
  double latencyTargetMs_ = 0;
  std::string outHint_;  // OutDev's hint before the latency was added to it
  double latencyShownMs_ = 0;  // the latency OutDev's hint shows
  int chosenOutput_ = 0;  // the playback device chosen, while Desktop Sound replaces it
  void EndDesktopSound();
  // The desktop route's player failed: its error, held while the route stops, and
  // OutDev's caption and hint from before the route followed the desktop elsewhere.
  bool outputFailed_ = false;
  bool stopAsked_ = false;  // Stop pressed: a failing player then ends the route
  std::string outputFailure_;
  std::string followedCaption_, followedHint_;
  bool TakeOutputFailure(std::exception_ptr e);
  bool FollowDesktopOutput();
  QAction *bothChannels_ = nullptr, *leftOnly_ = nullptr, *rightOnly_ = nullptr;
  QActionGroup *inputGroup_ = nullptr, *outputGroup_ = nullptr;
  std::atomic<int> dropOuts_{0};
  int dropOutsShown_ = 0;
  std::int64_t underflowsSeen_ = 0;
  std::int64_t clippedShown_ = 0;
  bool running_ = false;
  std::string inputName_;   // the source file chosen last
  std::string outputName_;  // the sink file chosen last
  std::unique_ptr<routes::TOutputFile> output_;  // the sink's file while a run writes it
  std::atomic<bool> runFailed_{false};
  std::atomic<bool> stopPressed_{false};  // Stop ended the file run
  int gaugeShift_ = 0;  // the gauge counts source bytes >> this, so that 2 GiB and more fit
};

}  // namespace strataeq
