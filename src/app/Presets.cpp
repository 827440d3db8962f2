// The window's presets: saved and loaded through file dialogs in the preset folder.
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QStandardPaths>

#include "app/EqualizerUnit.h"
#include "eq/MMEQ.h"
#include "eq/MMEQFit.h"
#include "eq/MMObjLst.h"

namespace strataeq {
namespace {

const char* const kPresetFilter = "Strata EQ Presets (*.sqp)";
const char* const kPresetTextFilter = "GraphicEQ or ParametricEQ text (*.txt)";

}  // namespace

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
