// The window's file mode: the source and sink file choices, the checks of a sink file,
// and the progress of a file-to-file run.
#include <QAction>
#include <QActionGroup>
#include <QFileDialog>
#include <limits>

#include "app/EqualizerUnit.h"
#include "app/WindowControls.h"
#include "controls/MMGauge.h"
#include "controls/TransBtn.h"
#include "drivers/MMHTimer.h"
#include "files/MMMPEG.h"
#include "files/MMWave.h"
#include "foundation/MMPCMSup.h"
#include "routes/Route.h"

namespace strataeq {
namespace {

const char* const kFileFilter = "Windows PCM (*.wav);;Mpeg Layer 3 (*.mp3)";
const char* const kCompressed = "Sorry, using compressed wave file (ACM) is not supported !";
const char* const kNotMpeg = "This is not a valid MPEG Layer 3 file !";
const char* const kSameFile = "The output file is the input file: please choose another output file.";

// The play time as "m:ss" below an hour, else "h:mm:ss"; seconds truncated.
std::string PlayTime(std::int64_t ms) { return FormatTimeString(static_cast<std::int32_t>(ms), false); }

// Which filter of a two-filter dialog was chosen: 1 or 2.
int FilterIndex(const QFileDialog& d) { return d.nameFilters().indexOf(d.selectedNameFilter()) + 1; }

}  // namespace

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
      const TWaveFormatEx* f = probe.Wave().PWaveFormat();
      const std::int64_t ms =
          f && f->nAvgBytesPerSec ? probe.Wave().LengthInBytes() * 1000 / f->nAvgBytesPerSec : 0;
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
  if (route_) Gauge->SetProgress(static_cast<int>(route_->SourcePosition() >> gaugeShift_));
}

void TEqForm::CheckOutputFile() const {
  if ((FInWaveFile || FInMpegFile) && routes::SameFile(inputName_, outputName_)) throw EMMError(kSameFile);
  const char* type = FOutWaveFile ? "wav" : "mp3";
  try {
    routes::OutputKind(outputName_, type);
  } catch (const EMMError&) {
    throw EMMError("The output file " + outputName_ + " is not a ." + type +
                   " file: please choose a name ending in ." + type + ".");
  }
}

void TEqForm::StartProgress(std::int64_t length) {
  gaugeShift_ = 0;
  while ((length >> gaugeShift_) > std::numeric_limits<int>::max()) ++gaugeShift_;
  Gauge->SetMaxValue(static_cast<int>(length >> gaugeShift_));
  Gauge->SetProgress(0);
  ShowProgress();
}

}  // namespace strataeq
