#include "app/WindowSettings.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMenu>
#include <QScreen>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>
#include <array>
#include <cmath>
#include <cstdio>
#include <optional>

#include "app/EqualizerUnit.h"
#include "controls/MMSlider.h"
#include "controls/TransBtn.h"
#include "drivers/MMWavIn.h"
#include "drivers/MMWavOut.h"
#include "eq/MMEQ.h"
#include "eq/MMObjLst.h"

namespace strataeq {
namespace {

constexpr int kFormat = 1;  // raised when a key changes its meaning
const char* const kChannels[3] = {"both", "left", "right"};

struct TWindowState {
  std::array<float, kBandCount> gains{};
  std::int32_t fftLength = 0;
  int channel = 0;
  QString recording, playback;  // device names; empty: the server's default device
  bool desktop = false;
  bool vis = true;
  std::optional<QPoint> position;
};

// The state the file holds, or nothing when a value is missing or out of its range.
std::optional<TWindowState> Read(QSettings& s) {
  if (s.status() != QSettings::NoError || s.value("format").toString() != QString::number(kFormat))
    return std::nullopt;
  TWindowState st;
  const QStringList gains = s.value("gains").toStringList();
  if (gains.size() != kBandCount) return std::nullopt;
  for (int i = 0; i < kBandCount; ++i) {
    bool ok = false;
    const float g = gains[i].trimmed().toFloat(&ok);
    if (!ok || !std::isfinite(g) || g < -99.0f || g > 16.0f) return std::nullopt;
    st.gains[static_cast<std::size_t>(i)] = g;
  }
  bool ok = false;
  st.fftLength = s.value("fft").toString().toInt(&ok);
  if (!ok || st.fftLength < 16 || st.fftLength > 4096 || (st.fftLength & (st.fftLength - 1))) return std::nullopt;
  const QString channel = s.value("channel").toString();
  st.channel = -1;
  for (int c = 0; c < 3; ++c)
    if (channel == QLatin1String(kChannels[c])) st.channel = c;
  if (st.channel < 0) return std::nullopt;
  auto flag = [&s](const char* key) -> std::optional<bool> {
    const QString v = s.value(key).toString();
    if (v == QLatin1String("true")) return true;
    if (v == QLatin1String("false")) return false;
    return std::nullopt;
  };
  const std::optional<bool> desktop = flag("desktop"), vis = flag("vis");
  if (!desktop || !vis || !s.contains("recording") || !s.contains("playback")) return std::nullopt;
  st.desktop = *desktop;
  st.vis = *vis;
  st.recording = s.value("recording").toString();
  st.playback = s.value("playback").toString();
  // Where the platform does not place windows (Wayland) there is no position.
  if (s.contains("x") || s.contains("y")) {
    bool okX = false, okY = false;
    const QPoint p(s.value("x").toString().toInt(&okX), s.value("y").toString().toInt(&okY));
    if (!okX || !okY) return std::nullopt;
    st.position = p;
  }
  return st;
}

// The menu entry of the device of this name; null when the device is gone (or the name
// is empty: the default device, which the window chose already).
QAction* DeviceEntry(QMenu* menu, const QString& name, bool recording) {
  if (name.isEmpty()) return nullptr;
  for (QAction* a : menu->actions()) {
    if (!a->data().isValid()) continue;
    const int id = a->data().toInt();
    if (id == MapperId) continue;
    try {
      if (QString::fromStdString(recording ? WaveInDeviceName(id) : WaveOutDeviceName(id)) == name) return a;
    } catch (...) {
    }
  }
  return nullptr;
}

// The name a device is kept by; empty for the default device.
QString DeviceName(int id, int count, bool recording) {
  if (id == MapperId || count == 0) return {};
  try {
    return QString::fromStdString(recording ? WaveInDeviceName(id) : WaveOutDeviceName(id));
  } catch (...) {
    return {};
  }
}

}  // namespace

QString TWindowSettings::DefaultFile() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/strataeq/strataeq.conf";
}

std::string TWindowSettings::Load(TEqForm& form) const {
  if (!QFileInfo::exists(file_)) return {};
  std::optional<TWindowState> state;
  {
    QSettings s(file_, QSettings::IniFormat);
    state = Read(s);
  }
  if (!state) {
    const QString aside = file_ + ".damaged";
    QFile::remove(aside);
    const bool moved = QFile::rename(file_, aside);
    return "The saved window settings (" + file_.toStdString() + ") are damaged: the window starts as designed" +
           (moved ? "; the damaged file is kept as " + aside.toStdString() + "." : ".");
  }
  TMMEQFilterList& bands = *form.Equalizer->Filters();
  form.Equalizer->SetFFTLength(state->fftLength);
  for (int i = 0; i < bands.Count() && i < kBandCount; ++i)
    bands.Band(i)->SetBandValue(2, state->gains[static_cast<std::size_t>(i)]);
  form.SyncSliders();
  if (state->channel == 1) form.LeftOnly1Click(&form);
  else if (state->channel == 2) form.RightOnly1Click(&form);
  else form.BothChannels1Click(&form);
  if (state->desktop && form.DesktopSoundEntry()) form.DesktopSoundClick(&form);
  else if (QAction* a = DeviceEntry(form.InputDevs, state->recording, true)) form.InputDeviceClick(a);
  if (QAction* a = DeviceEntry(form.OutputDevs, state->playback, false)) form.OutputDeviceClick(a);
  if (form.Vis->Down() != state->vis) form.VisClick(&form);
  // A position off every screen (a monitor unplugged) keeps the window centred.
  if (state->position && QGuiApplication::screenAt(*state->position + QPoint(8, 8))) form.move(*state->position);
  return {};
}

std::string TWindowSettings::Save(const TEqForm& form) const {
  QDir().mkpath(QFileInfo(file_).absolutePath());
  QSettings s(file_, QSettings::IniFormat);
  s.clear();
  s.setValue("format", kFormat);
  QStringList gains;
  const TMMEQFilterList& bands = *form.Equalizer->Filters();
  for (int i = 0; i < kBandCount; ++i)
    gains << QString::fromStdString(GainText(i < bands.Count() ? bands.Band(i)->Gain() : 0.0f));
  s.setValue("gains", gains);
  s.setValue("fft", form.Equalizer->FFTLength());
  s.setValue("channel", kChannels[static_cast<int>(form.Equalizer->Channel())]);
  s.setValue("recording", DeviceName(form.InputDevice(), static_cast<int>(waveInGetNumDevs()), true));
  s.setValue("desktop", form.DesktopSoundChosen());
  s.setValue("playback", DeviceName(form.OutputDevice(), static_cast<int>(waveOutGetNumDevs()), false));
  s.setValue("vis", form.Vis->Down());
  if (QGuiApplication::platformName() != QLatin1String("wayland")) {
    s.setValue("x", form.pos().x());
    s.setValue("y", form.pos().y());
  }
  s.sync();
  if (s.status() != QSettings::NoError) return "The window settings could not be saved in " + file_.toStdString() + ".";
  return {};
}

std::string TWindowSettings::Attach(TEqForm& form, bool restore) const {
  std::string warning = restore ? Load(form) : std::string();
  form.OnClose = [file = file_, &form](TObject*) {
    const std::string failure = TWindowSettings(file).Save(form);
    if (!failure.empty()) std::fprintf(stderr, "strataeq: %s\n", failure.c_str());
  };
  return warning;
}

}  // namespace strataeq
