// The main window on the offscreen platform and the virtual audio backend: its design
// values, the band sliders, the status texts, the device and file routes driven through
// the real dialogs, and the presets.
#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <cmath>
#include <functional>
#include <memory>
#include <thread>

#include "app/EqualizerUnit.h"
#include "controls/MMGauge.h"
#include "controls/MMPanel.h"
#include "controls/MMSlider.h"
#include "controls/TransBtn.h"
#include "display/MMConect.h"
#include "drivers/LiveLatency.h"
#include "drivers/MMRingBf.h"
#include "drivers/MMTrigg.h"
#include "drivers/MMWavIn.h"
#include "drivers/MMWavOut.h"
#include "eq/MMEQ.h"
#include "eq/MMObjLst.h"
#include "files/MMWave.h"
#include "files/WavTestUtil.h"
#include "routes/Route.h"
#include "platform/Messages.h"
#include "platform/WaveApiVirtual.h"
#include "platform/qt/QtMessageLoop.h"

namespace strataeq {
namespace {

using namespace wavtest;
using namespace std::chrono_literals;

// Serves the Qt loop (which drains the platform queue) until pred holds or 20 s pass.
bool WaitFor(const std::function<bool()>& pred) {
  const auto end = std::chrono::steady_clock::now() + 20s;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

// Answers the next file dialog the window opens, as a user would.
void AnswerDialog(std::function<void(QFileDialog&)> act) {
  auto* poll = new QTimer;
  QObject::connect(poll, &QTimer::timeout, poll, [poll, act] {
    auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    if (!d || !d->isVisible()) return;
    poll->stop();
    poll->deleteLater();
    act(*d);
  });
  poll->start(5);
}

void ChooseFile(const std::string& path, int filterIndex) {
  AnswerDialog([=](QFileDialog& d) {
    d.selectNameFilter(d.nameFilters().at(filterIndex - 1));
    d.selectFile(QString::fromStdString(path));
    static_cast<QDialog&>(d).accept();
  });
}

void Cancel() {
  AnswerDialog([](QFileDialog& d) { d.reject(); });
}

class Window : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("STRATAEQ_LIBRARY_PATH", STRATAEQ_CODEC_DIR, 1);
    audio = TVirtualAudio::Install(2, 2);
    audio->SetDeviceName(TWaveDir::Input, 0, "Microphone");
    audio->SetDeviceName(TWaveDir::Input, 1, "Monitor of Speakers");
    audio->SetDeviceName(TWaveDir::Output, 0, "Speakers");
    audio->SetDeviceName(TWaveDir::Output, 1, "Headphones");
    Make();
  }
  void Make() {
    form.reset();
    form = std::make_unique<TEqForm>();
    form->OnMessage = [this](TObject*, const std::string& text) { messages.push_back(text); };
    form->show();
  }
  void TearDown() override {
    form.reset();
    Application().OnException = nullptr;
  }
  QAction* Entry(QMenu* menu, const QString& text) {
    for (QAction* a : menu->actions())
      if (a->text() == text) return a;
    return nullptr;
  }
  float BandGain(int i) { return form->Equalizer->Filters()->Band(i)->Gain(); }
  std::string Readout() { return form->Panel1->Caption(); }
  // The running route's devices.
  TMMWaveIn* In() { return form->Route() ? form->Route()->Recorder() : nullptr; }
  TMMWaveOut* Out() { return form->Route() ? form->Route()->Player() : nullptr; }
  bool Recording() { return In() && In()->Started(); }
  bool Playing() { return Out() && Out()->Started(); }

  TQtMessageLoop loop;
  std::shared_ptr<TVirtualAudio> audio;
  std::unique_ptr<TEqForm> form;
  std::vector<std::string> messages;
  TempDir dir;
};

TEST_F(Window, DesignValuesMenusAndChoices) {
  EXPECT_EQ(form->size(), QSize(663, 278));
  EXPECT_TRUE(form->windowFlags() & Qt::FramelessWindowHint);
  EXPECT_EQ(form->MMPanel1->geometry(), QRect(0, 0, 663, 168));
  EXPECT_EQ(form->MMPanel2->geometry(), QRect(0, 168, 663, 110));
  EXPECT_EQ(form->Sliders[13]->geometry(), QRect(600, 41, 21, 99));
  EXPECT_EQ(form->btnStart->geometry(), QRect(211, 142, 74, 19));
  EXPECT_EQ(form->Cpu->text(), "Cpu Usage : 0%");
  EXPECT_EQ(form->lblDropOuts->text(), "Drop Outs : 0");
  EXPECT_TRUE(form->Vis->Down());
  EXPECT_FALSE(form->btnStop->isEnabled());
  EXPECT_FALSE(form->Gauge->isVisible());
  EXPECT_EQ(form->btnChannelSelect->Caption(), "Both Channels");

  // From File, a separator, the server's default device, then the devices in order.
  const QList<QAction*> in = form->InputDevs->actions();
  ASSERT_EQ(in.size(), 7);
  EXPECT_EQ(in[0]->text(), "From File");
  EXPECT_TRUE(in[1]->isSeparator());
  EXPECT_EQ(in[2]->text(), "Default: Microphone");
  EXPECT_EQ(in[3]->text(), "Microphone");
  EXPECT_EQ(in[4]->data().toInt(), 1);
  EXPECT_TRUE(in[5]->isSeparator());
  EXPECT_EQ(in[6]->text(), "Desktop Sound");
  EXPECT_EQ(form->OutputDevs->actions()[0]->text(), "To File");
  EXPECT_EQ(form->InputDev->Caption(), in[2]->text().toStdString());
  EXPECT_EQ(form->InputDev->Hint(), "Recording Device : " + in[2]->text().toStdString());
  EXPECT_EQ(form->OutDev->Hint(), "Output Device : Default: Speakers");
  EXPECT_EQ(form->InputDevice(), MapperId);
  // The devices in use are marked.
  for (QAction* a : in) EXPECT_EQ(a->isChecked(), a == in[2]) << a->text().toStdString();
  EXPECT_TRUE(form->OutputDevs->actions()[2]->isChecked());

  form->FInWaveFile = true;
  in[3]->trigger();
  EXPECT_EQ(form->InputDevice(), 0);
  EXPECT_TRUE(in[3]->isChecked());
  EXPECT_EQ(form->InputDev->Caption(), "Microphone");
  EXPECT_EQ(form->InputDev->Hint(), "Microphone");
  EXPECT_FALSE(form->FInWaveFile);
  form->FOutMp3File = true;
  Entry(form->OutputDevs, "Headphones")->trigger();
  EXPECT_EQ(form->OutputDevice(), 1);
  EXPECT_FALSE(form->FOutMp3File);
  EXPECT_EQ(form->OutDev->Caption(), "Headphones");

  Entry(form->ChannelsMenu, "Right Only")->trigger();
  EXPECT_EQ(form->Equalizer->Channel(), TMMChannel::chRight);
  EXPECT_EQ(form->btnChannelSelect->Caption(), "Right Only");
  EXPECT_FALSE(Entry(form->ChannelsMenu, "Both Channels")->isChecked());
  form->LeftOnly1Click(form.get());
  EXPECT_EQ(form->Equalizer->Channel(), TMMChannel::chLeft);

  EXPECT_EQ(form->FftLen->Position(), 4);
  EXPECT_EQ(form->Equalizer->FFTLength(), 256);
  for (int p = 0; p <= 8; ++p) {
    form->FftLen->SetPosition(p);
    EXPECT_EQ(form->Equalizer->FFTLength(), 16 << p) << p;
  }
}

TEST_F(Window, SliderMappingReadoutsDeleteAndReset) {
  EXPECT_FLOAT_EQ(SliderGain(-1), -0.1f);
  EXPECT_FLOAT_EQ(SliderGain(1), 0.0f);
  EXPECT_FLOAT_EQ(SliderGain(4), 0.1f);
  EXPECT_FLOAT_EQ(SliderGain(990), 16.0f);
  EXPECT_FLOAT_EQ(SliderGain(-990), -99.0f);
  // Every gain the sliders can give is placed back where it reads the same.
  for (int p = -990; p <= 990; ++p) ASSERT_FLOAT_EQ(SliderGain(GainPosition(SliderGain(p))), SliderGain(p)) << p;

  TMMSlider* band1 = form->Sliders[1];
  band1->SetPosition(-35);
  form->SliderMouseEnter(band1);
  EXPECT_EQ(Readout(), "60-120 Hz : -3.5 dB");
  band1->SetPosition(990);
  form->SliderTracking(band1);
  EXPECT_EQ(Readout(), "60-120 Hz : 16 dB");
  form->SliderMouseExit(band1);
  EXPECT_EQ(Readout(), "");

  // A drag with the mouse: the gain follows at its end.
  TMMSlider* band5 = form->Sliders[5];
  const QPoint thumb = band5->ThumbRect().center();
  QTest::mousePress(band5, Qt::LeftButton, {}, thumb);
  QTest::mouseMove(band5, thumb + QPoint(0, 30));
  EXPECT_EQ(Readout().rfind("800 Hz-1 Khz : -", 0), 0u) << Readout();
  QTest::mouseRelease(band5, Qt::LeftButton, {}, thumb + QPoint(0, 30));
  EXPECT_LT(band5->Position(), 0);
  EXPECT_FLOAT_EQ(BandGain(5), SliderGain(band5->Position()));

  TMMSlider* band13 = form->Sliders[13];
  band13->SetPosition(-200);
  form->SliderChanged(band13);
  EXPECT_FLOAT_EQ(BandGain(13), -20.0f);
  band13->setFocus();
  QTest::keyClick(band13, Qt::Key_Delete, Qt::ShiftModifier);
  EXPECT_EQ(Readout(), "14-16 Khz : 0 dB");
  EXPECT_EQ(band13->Position(), 0);
  EXPECT_FLOAT_EQ(BandGain(13), 0.0f);

  for (int i = 0; i < kBandCount; ++i) {
    form->Sliders[static_cast<std::size_t>(i)]->SetPosition(-10 * i - 5);
    form->SliderChanged(form->Sliders[static_cast<std::size_t>(i)]);
  }
  QTest::mouseClick(form->btnReset, Qt::LeftButton);
  for (int i = 0; i < kBandCount; ++i) {
    EXPECT_EQ(form->Sliders[static_cast<std::size_t>(i)]->Position(), 0) << i;
    EXPECT_EQ(BandGain(i), 0.0f) << i;
  }
}

TEST_F(Window, StatusTextsAndDisplays) {
  // A gap the route counted shows on the GUI thread, and stays once the route ended.
  EXPECT_EQ(form->lblDropOuts->text(), "Drop Outs : 0");
  Entry(form->InputDevs, "Microphone")->trigger();
  Entry(form->OutputDevs, "Speakers")->trigger();
  QTest::mouseClick(form->btnStart, Qt::LeftButton);
  ASSERT_TRUE(Playing());
  audio->InjectUnderflow(0);
  ASSERT_TRUE(WaitFor([&] { return form->lblDropOuts->text() == "Dropouts : 1"; }));
  QTest::mouseClick(form->btnStop, Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return form->btnStart->isEnabled(); }));
  form->CpuTimerTimer(form.get());
  EXPECT_EQ(form->lblDropOuts->text(), "Dropouts : 1");
  ASSERT_TRUE(WaitFor([&] { return form->Cpu->text() != "Cpu Usage : 0%"; }));
  EXPECT_TRUE(form->Cpu->text().contains(QRegularExpression("^Cpu Usage : \\d+ %$"))) << form->Cpu->text().toStdString();

  QTest::mouseClick(form->Vis, Qt::LeftButton);
  EXPECT_FALSE(form->Vis->Down());
  EXPECT_FALSE(form->Connector->Enabled());
  EXPECT_EQ(form->height(), 168);
  QTest::mouseClick(form->Vis, Qt::LeftButton);
  EXPECT_TRUE(form->Connector->Enabled());
  EXPECT_EQ(form->height(), 278);

  // Dragging a panel moves the window.
  const QPoint before = form->pos();
  form->NotifyPanelMouseDown(form->MMPanel1, TMouseButton::mbLeft, 0, 100, 30);
  form->NotifyPanelMouseMove(form->MMPanel1, 0, 110, 45);
  form->NotifyPanelMouseUp(form->MMPanel1, TMouseButton::mbLeft, 0, 110, 45);
  EXPECT_EQ(form->pos(), before + QPoint(10, 15));
  EXPECT_FALSE(form->FDragging);
}

TEST_F(Window, DeviceChecksBeforeAnythingStarts) {
  auto startRefused = [&](const std::string& expected) {
    messages.clear();
    QTest::mouseClick(form->btnStart, Qt::LeftButton);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], expected);
    EXPECT_FALSE(Recording());
    EXPECT_TRUE(form->btnStart->isEnabled());
    EXPECT_FALSE(form->btnStop->isEnabled());
  };
  Entry(form->InputDevs, "Microphone")->trigger();
  Entry(form->OutputDevs, "Speakers")->trigger();
  audio->SetBusy(TWaveDir::Output, 0, true);
  startRefused("The Playback Device is already in use by another application!\rPlease make sure no other "
               "applications that may use the playback device are opened !");
  audio->SetBusy(TWaveDir::Input, 0, true);
  startRefused("The Recording Device is already in use by another application!\rPlease make sure no other "
               "applications that may use the recording device are opened !");
  audio->SetBusy(TWaveDir::Input, 0, false);
  audio->SetBusy(TWaveDir::Output, 0, false);
  // The monitor of the playback device would play the output back into itself.
  Entry(form->InputDevs, "Monitor of Speakers")->trigger();
  startRefused(
      "The recording device is the monitor of the playback device: the output would be played back into "
      "itself.\rPlease choose another recording or playback device.");

  // A device route runs, and its stop returns the window to idle.
  Entry(form->InputDevs, "Microphone")->trigger();
  messages.clear();
  QTest::mouseClick(form->btnStart, Qt::LeftButton);
  ASSERT_TRUE(messages.empty()) << messages[0];
  EXPECT_TRUE(Recording());
  EXPECT_FALSE(form->InputDev->isEnabled());
  EXPECT_FALSE(form->FftLen->isEnabled());
  EXPECT_TRUE(form->btnStop->isEnabled());
  // While it runs, OutDev's hint tells the measured latency.
  const std::string hint = form->OutDev->Hint();
  form->CpuTimerTimer(form.get());
  EXPECT_EQ(form->OutDev->Hint().rfind(hint + " : latency ", 0), 0u) << form->OutDev->Hint();
  QTest::mouseClick(form->btnStop, Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return form->btnStart->isEnabled(); }));
  EXPECT_EQ(form->OutDev->Hint(), hint);
  EXPECT_FALSE(Recording());
  EXPECT_EQ(form->Route(), nullptr);
  EXPECT_TRUE(form->InputDev->isEnabled());

  // The window's latency target reaches the route (the route test checks the plan whole).
  form->SetLatencyTarget(40);
  QTest::mouseClick(form->btnStart, Qt::LeftButton);
  ASSERT_TRUE(Recording());
  EXPECT_EQ(In()->BufferSize(), PlanLiveLatency(40, 44100, form->Equalizer->FFTLength()).BufferSize);
  QTest::mouseClick(form->btnStop, Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return form->btnStart->isEnabled(); }));
  form->SetLatencyTarget(0);

  // A driver that fails to start gives the controls back.
  audio->FailNext(TWaveDir::Input, 0, TWaveOp::Start, MMSYSERR_ERROR);
  messages.clear();
  QTest::mouseClick(form->btnStart, Qt::LeftButton);
  EXPECT_FALSE(messages.empty());
  EXPECT_TRUE(form->btnStart->isEnabled());
  EXPECT_FALSE(form->btnStop->isEnabled());
  EXPECT_TRUE(form->InputDev->isEnabled());
}

TEST_F(Window, WithoutDevicesTheMenusSaySoAndStartExplains) {
  audio = TVirtualAudio::Install(0, 0);
  Make();
  const QList<QAction*> in = form->InputDevs->actions();
  ASSERT_EQ(in.size(), 5);
  EXPECT_EQ(in[2]->text(), "No recording device");
  EXPECT_FALSE(in[2]->isEnabled());
  EXPECT_EQ(form->OutDev->Caption(), "No playback device");
  QTest::mouseClick(form->btnStart, Qt::LeftButton);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "There is no recording device on this system.");
  EXPECT_TRUE(form->btnStart->isEnabled());
}

std::vector<std::int16_t> Tone(int frames) {
  std::vector<std::int16_t> s(static_cast<std::size_t>(frames) * 2);
  for (int i = 0; i < frames; ++i)
    s[2 * i] = s[2 * i + 1] = static_cast<std::int16_t>(std::lround(8000 * std::sin(2 * M_PI * 1000 * i / 44100.0)));
  return s;
}

Bytes AsBytes(const std::vector<std::int16_t>& s) {
  Bytes b(s.size() * 2);
  std::memcpy(b.data(), s.data(), b.size());
  return b;
}

TEST_F(Window, FileToFileRunWithProgressAndSafeOutput) {
  const std::string source = dir.File("in.wav"), output = dir.File("out.wav");
  WriteFile(source, SimpleWav(Pcm(16, 2, 44100), AsBytes(Tone(44100 * 2))));
  ChooseFile(source, 1);
  form->FromFileEntry()->trigger();
  EXPECT_TRUE(form->FInWaveFile);
  EXPECT_TRUE(form->FromFileEntry()->isChecked());
  EXPECT_EQ(form->InputDev->Caption(), source + " (0:02)");

  // The output may not name the source, also through a link; nothing is touched.
  const std::string link = dir.File("link.wav");
  std::filesystem::create_symlink(source, link);
  ChooseFile(link, 1);
  form->ToFileEntry()->trigger();
  const Bytes original = ReadFile(source);
  QTest::mouseClick(form->btnStart, Qt::LeftButton);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "The output file is the input file: please choose another output file.");
  EXPECT_EQ(ReadFile(source), original);
  EXPECT_TRUE(form->btnStart->isEnabled());

  // An existing output is replaced only by a complete run.
  WriteFile(output, Bytes{'o', 'l', 'd'});
  ChooseFile(output, 1);
  form->ToFileEntry()->trigger();
  EXPECT_TRUE(form->FOutWaveFile);
  EXPECT_EQ(form->OutDev->Caption(), output);
  form->Sliders[6]->SetPosition(-200);  // 1-2 kHz down by 20 dB
  form->SliderChanged(form->Sliders[6]);
  messages.clear();
  QTest::mouseClick(form->btnStart, Qt::LeftButton);
  ASSERT_TRUE(messages.empty()) << messages[0];
  EXPECT_EQ(form->Gauge->MaxValue(), 44100 * 2 * 4);
  EXPECT_TRUE(form->Gauge->isVisible());
  ASSERT_TRUE(WaitFor([&] { return form->btnStart->isEnabled(); }));
  EXPECT_EQ(form->Gauge->Progress(), form->Gauge->MaxValue());
  EXPECT_FALSE(form->Gauge->isVisible());
  EXPECT_FALSE(form->btnStop->isEnabled());
  ASSERT_TRUE(WaitFor([&] { return ReadFile(output).size() > 3; }));
  TMMWave result;
  result.SetTimeFormat(TMMTimeFormats::tfByte);
  result.SetFileName(output);
  EXPECT_EQ(result.LengthInBytes(), 44100 * 2 * 4);
  // Only the output remains beside the input: no temporary file is left.
  int files = 0;
  for (auto& e : std::filesystem::directory_iterator(dir.Path())) files += e.is_regular_file() && !e.is_symlink();
  EXPECT_EQ(files, 2);
}

TEST_F(Window, RefusedSourcesLeaveTheGoodSourceChosen) {
  const std::string good = dir.File("good.wav"), adpcm = dir.File("adpcm.wav"), bad = dir.File("bad.mp3");
  WriteFile(good, SimpleWav(Pcm(16, 2, 44100), Bytes(10584000)));
  Fmt compressed = Pcm(4, 2, 44100);
  compressed.tag = 2;
  compressed.cbSize = 0;
  WriteFile(adpcm, SimpleWav(compressed, Bytes(4096)));
  WriteFile(bad, Noise(5000, 7));

  ChooseFile(good, 1);
  form->FromFileClick(form.get());
  EXPECT_EQ(form->InputDev->Caption(), good + " (1:00)");
  ChooseFile(adpcm, 1);
  form->FromFileClick(form.get());
  ChooseFile(bad, 2);
  form->FromFileClick(form.get());
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0], "Sorry, using compressed wave file (ACM) is not supported !");
  EXPECT_EQ(messages[1], "This is not a valid MPEG Layer 3 file !");
  EXPECT_TRUE(form->FInWaveFile);
  EXPECT_FALSE(form->FInMpegFile);
  EXPECT_EQ(form->InputFileName(), good);
  EXPECT_EQ(form->InputDev->Caption(), good + " (1:00)");
  EXPECT_TRUE(form->FromFileEntry()->isChecked());

  // An hour or more shows hours: 8-bit mono 8000 Hz, 3600 s.
  const std::string hour = dir.File("hour.wav");
  WriteFile(hour, SimpleWav(Pcm(8, 1, 8000), Bytes(8000 * 3600, 128)));
  ChooseFile(hour, 1);
  form->FromFileClick(form.get());
  EXPECT_EQ(form->InputDev->Caption(), hour + " (1:00:00)");

  // A cancelled dialog changes nothing and leaves the entry as the state says.
  Cancel();
  form->FromFileEntry()->trigger();
  EXPECT_TRUE(form->FromFileEntry()->isChecked());
  Entry(form->InputDevs, "Microphone")->trigger();
  Cancel();
  form->FromFileEntry()->trigger();
  EXPECT_FALSE(form->FromFileEntry()->isChecked());
  EXPECT_FALSE(form->FInWaveFile);
}

TEST_F(Window, SaveDialogTypeChangeAndStopBranches) {
  AnswerDialog([&](QFileDialog& d) {
    EXPECT_EQ(d.windowTitle(), "Select Output File ...");
    EXPECT_EQ(d.defaultSuffix(), "wav");
    d.setDirectory(QString::fromStdString(dir.Path()));
    d.selectNameFilter(d.nameFilters().at(1));
    emit d.filterSelected(d.nameFilters().at(1));
    EXPECT_EQ(d.defaultSuffix(), "mp3");
    d.selectFile("typed");
    static_cast<QDialog&>(d).accept();
  });
  form->ToFileClick(form.get());
  EXPECT_TRUE(form->FOutMp3File);
  EXPECT_FALSE(form->FOutWaveFile);
  EXPECT_EQ(form->OutputFileName(), dir.File("typed.mp3"));

  // A file source with the playback device: Stop stops both devices and the window idles.
  const std::string source = dir.File("in.wav");
  WriteFile(source, SimpleWav(Pcm(16, 2, 44100), AsBytes(Tone(44100 * 10))));
  ChooseFile(source, 1);
  form->FromFileClick(form.get());
  Entry(form->OutputDevs, "Speakers")->trigger();
  audio->SetBusy(TWaveDir::Output, 0, true);
  QTest::mouseClick(form->btnStart, Qt::LeftButton);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].rfind("The Playback Device is already in use", 0), 0u);
  audio->SetBusy(TWaveDir::Output, 0, false);
  messages.clear();
  QTest::mouseClick(form->btnStart, Qt::LeftButton);
  ASSERT_TRUE(messages.empty()) << messages[0];
  EXPECT_TRUE(Playing());
  EXPECT_FALSE(form->Gauge->isVisible()) << "no progress for a device route";
  audio->Step(TWaveDir::Output, 0, 2);
  QTest::mouseClick(form->btnStop, Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return form->btnStart->isEnabled(); }));
  EXPECT_FALSE(Playing());
  EXPECT_FALSE(Recording());

  // Both ends files: Stop ends the trigger's run early, and the output is still whole.
  ChooseFile(dir.File("out.wav"), 1);
  form->ToFileClick(form.get());
  QTest::mouseClick(form->btnStart, Qt::LeftButton);
  QTest::mouseClick(form->btnStop, Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return form->btnStart->isEnabled(); }));
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(dir.File("out.wav")); }));
  TMMWave result;
  result.SetFileName(dir.File("out.wav"));
  EXPECT_EQ(result.FormatString(), "PCM");
  EXPECT_TRUE(messages.empty());
}

TEST_F(Window, ClippingIsMarkedAndAFailedStopOrACloseEndsTheLiveRoute) {
  audio->SetInputTone(1000);
  audio->SetPaced(true);
  // Headphones: the microphone records the tone, never the output's loop back.
  Entry(form->InputDevs, "Microphone")->trigger();
  Entry(form->OutputDevs, "Headphones")->trigger();
  for (int i = 0; i < kBandCount; ++i) form->Equalizer->Filters()->Band(i)->SetBandValue(2, 18.0f);
  form->SetLatencyTarget(40);
  const QRect readout = form->lblDropOuts->geometry();
  auto startClipping = [&] {
    QTest::mouseClick(form->btnStart, Qt::LeftButton);
    ASSERT_TRUE(Recording());
    ASSERT_TRUE(WaitFor([&] { return form->Equalizer->ClippedBuffers() > 0; }));
  };
  startClipping();
  form->CpuTimerTimer(form.get());
  EXPECT_TRUE(form->ClipMark->isVisible());
  EXPECT_TRUE(form->lblDropOuts->toolTip().startsWith("Clipped : ")) << form->lblDropOuts->toolTip().toStdString();
  EXPECT_TRUE(QRect(QPoint(0, 0), readout.size()).contains(form->ClipMark->geometry()));
  EXPECT_EQ(form->lblDropOuts->geometry(), readout);

  // A stop the recorder refuses still ends the run: its error is shown, the window idles.
  audio->FailNext(TWaveDir::Input, 0, TWaveOp::Reset, MMSYSERR_ERROR);
  messages.clear();
  QTest::mouseClick(form->btnStop, Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return form->btnStart->isEnabled(); }));
  ASSERT_TRUE(WaitFor([&] { return !messages.empty(); }));
  EXPECT_NE(messages[0].find("WaveInReset"), std::string::npos) << messages[0];
  EXPECT_FALSE(form->btnStop->isEnabled());
  EXPECT_FALSE(audio->IsOpen(TWaveDir::Input, 0));
  EXPECT_FALSE(audio->IsOpen(TWaveDir::Output, 1));

  // Closing the window while a route clips ends the route and the window at once.
  startClipping();
  form->CpuTimerTimer(form.get());
  const auto closing = std::chrono::steady_clock::now();
  form->close();
  form.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - closing, 2s);
  EXPECT_FALSE(audio->IsOpen(TWaveDir::Input, 0));
  EXPECT_FALSE(audio->IsOpen(TWaveDir::Output, 1));
  audio->SetPaced(false);
}

TEST_F(Window, PresetsSaveLoadAndResynchronise) {
  const std::string preset = dir.File("design.sqp");
  AnswerDialog([&](QFileDialog& d) {
    EXPECT_EQ(d.windowTitle(), "Save Equalizer Preset");
    EXPECT_EQ(d.directory().absolutePath(), TEqForm::PresetFolder());
    EXPECT_TRUE(QFileInfo(d.directory().absolutePath()).isWritable());
    d.selectFile(QString::fromStdString(dir.File("design")));
    static_cast<QDialog&>(d).accept();
  });
  form->btnSaveClick(form.get());
  EXPECT_EQ(ReadFile(preset).size(), 398u);

  // -12.5 dB on band 0, +6 dB on band 2, FFT length 1024.
  TMMEqualizer other;
  LoadDefaultBandList(*other.Filters());
  other.Filters()->Band(0)->SetBandValue(2, -12.5f);
  other.Filters()->Band(2)->SetBandValue(2, 6.0f);
  other.SetFFTLength(1024);
  other.Filters()->SaveToFile(dir.File("cut.sqp"));
  ChooseFile(dir.File("cut.sqp"), 1);
  form->btnLoadClick(form.get());
  EXPECT_EQ(form->Sliders[0]->Position(), -125);
  EXPECT_FLOAT_EQ(SliderGain(form->Sliders[2]->Position()), 6.0f) << "read back as loaded";
  EXPECT_FLOAT_EQ(BandGain(2), 6.0f) << "placing a slider changes no gain";
  EXPECT_EQ(form->FftLen->Position(), 6);

  // FFT length 8 leaves FftLen where it is.
  other.SetFFTLength(8);
  other.Filters()->SaveToFile(dir.File("eight.sqp"));
  ChooseFile(dir.File("eight.sqp"), 1);
  form->btnLoadClick(form.get());
  EXPECT_EQ(form->FftLen->Position(), 6);

  // No signature: the message, bands untouched.
  Bytes noSignature = ReadFile(preset);
  noSignature[0] = 'X';
  WriteFile(dir.File("bad.sqp"), noSignature);
  form->Sliders[3]->SetPosition(-40);
  form->SliderChanged(form->Sliders[3]);
  ChooseFile(dir.File("bad.sqp"), 1);
  form->btnLoadClick(form.get());
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "Unable to load Object stream");
  EXPECT_FLOAT_EQ(BandGain(3), -4.0f);
  EXPECT_FLOAT_EQ(BandGain(0), -12.5f);

  // A cancelled load brings the sliders back in line with the equalizer.
  form->Sliders[0]->SetPosition(300);
  form->Sliders[3]->SetPosition(-900);
  Cancel();
  form->btnLoadClick(form.get());
  EXPECT_EQ(form->Sliders[0]->Position(), -125);
  EXPECT_EQ(form->Sliders[3]->Position(), -40);

  // Fewer than fifteen bands: the remaining sliders go to 0.
  TMMEqualizer few;
  LoadDefaultBandList(*few.Filters());
  while (few.Filters()->Count() > 3) {
    TMMEQFilter* last = few.Filters()->Band(few.Filters()->Count() - 1);
    few.Filters()->Delete(few.Filters()->Count() - 1);
    delete last;
  }
  few.Filters()->Band(1)->SetBandValue(2, -3.0f);
  few.Filters()->SaveToFile(dir.File("few.sqp"));
  ChooseFile(dir.File("few.sqp"), 1);
  form->btnLoadClick(form.get());
  EXPECT_EQ(form->Sliders[1]->Position(), -30);
  for (int i = 3; i < kBandCount; ++i) EXPECT_EQ(form->Sliders[static_cast<std::size_t>(i)]->Position(), 0) << i;

  // The design state loaded back: every slider at 0, FftLen at 4.
  ChooseFile(preset, 1);
  form->btnLoadClick(form.get());
  for (int i = 0; i < kBandCount; ++i) EXPECT_EQ(form->Sliders[static_cast<std::size_t>(i)]->Position(), 0) << i;
  EXPECT_EQ(form->FftLen->Position(), 4);
}

}  // namespace
}  // namespace strataeq

namespace strataeq {
namespace {

TEST_F(Window, HighResolutionSourceAndTextPreset) {
  // 24-bit 48 kHz: accepted, equalized in float and written back as 24 bits.
  const std::string source = dir.File("hi.wav"), output = dir.File("hi-out.wav");
  Bytes data;
  for (int i = 0; i < 48000; ++i) {
    const auto v = static_cast<std::int32_t>(std::lround(2000000 * std::sin(2 * M_PI * 440 * i / 48000.0)));
    for (int c = 0; c < 2; ++c)
      for (int b = 0; b < 3; ++b) data.push_back(static_cast<std::uint8_t>(v >> (8 * b)));
  }
  WriteFile(source, SimpleWav(Pcm(24, 2, 48000), data));
  ChooseFile(source, 1);
  form->FromFileClick(form.get());
  ASSERT_TRUE(messages.empty()) << messages[0];
  EXPECT_EQ(form->InputDev->Caption(), source + " (0:01)");
  ChooseFile(output, 1);
  form->ToFileClick(form.get());
  QTest::mouseClick(form->btnStart, Qt::LeftButton);
  ASSERT_TRUE(messages.empty()) << messages[0];
  ASSERT_TRUE(WaitFor([&] { return form->btnStart->isEnabled() && std::filesystem::exists(output); }));
  TMMWave result;
  result.SetTimeFormat(TMMTimeFormats::tfByte);
  result.SetFileName(output);
  EXPECT_EQ(result.BitLength(), 24);
  EXPECT_EQ(result.LengthInBytes(), static_cast<std::int64_t>(data.size()));

  // A GraphicEQ text is fitted to the bands and the sliders follow.
  WriteFile(dir.File("cut.txt"), [] {
    const std::string t = "GraphicEQ: 20 0; 1000 0; 1500 -12; 1900 -12; 2500 0; 20000 0\n";
    return Bytes(t.begin(), t.end());
  }());
  ChooseFile(dir.File("cut.txt"), 2);
  form->btnLoadClick(form.get());
  EXPECT_LT(BandGain(6), -6.0f) << "1-2 kHz cut";
  EXPECT_EQ(form->Sliders[6]->Position(), GainPosition(BandGain(6)));
  EXPECT_LT(BandGain(6), BandGain(12) - 3.0f) << "the cut is where the text puts it";
}

}  // namespace
}  // namespace strataeq

#include "app/AboutUnit.h"

namespace strataeq {
namespace {

TEST(AboutBox, LinksOpenDocumentsOnThisMachineAndOkCloses) {
  TAboutForm about;
  EXPECT_EQ(about.windowTitle(), "About");
  EXPECT_EQ(about.size(), QSize(312, 168));
  EXPECT_EQ(about.Label1->text(), "Strata Equalizer version 1.0");
  EXPECT_EQ(about.TransparentButton1->geometry(), QRect(118, 130, 75, 25));
  std::vector<QUrl> opened;
  about.OnOpenUrl = [&](const QUrl& url) { opened.push_back(url); };
  about.show();
  QTest::mouseClick(about.Label3, Qt::LeftButton);
  QTest::mouseClick(about.Label5, Qt::LeftButton);
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_TRUE(opened[0].toLocalFile().endsWith("README.md"));
  EXPECT_TRUE(opened[1].toLocalFile().endsWith("LICENSES.md"));
  for (const QUrl& url : opened) EXPECT_TRUE(QFileInfo::exists(url.toLocalFile())) << url.toLocalFile().toStdString();
  // The links are reached with Tab and opened with Enter.
  about.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&about));
  about.TransparentButton1->setFocus(Qt::TabFocusReason);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), about.Label3);
  QTest::keyClick(about.Label3, Qt::Key_Tab);
  QTest::keyClick(about.Label5, Qt::Key_Return);
  ASSERT_EQ(opened.size(), 3u);
  EXPECT_EQ(opened[2], opened[1]);
  QTimer::singleShot(0, [&] { QTest::mouseClick(about.TransparentButton1, Qt::LeftButton); });
  EXPECT_EQ(about.exec(), QDialog::Accepted);
}

}  // namespace
}  // namespace strataeq

namespace strataeq {
namespace {

TEST_F(Window, AFailedRecordingLeavesTheExistingFileAlone) {
  const std::string output = dir.File("take.wav");
  WriteFile(output, Bytes{'k', 'e', 'e', 'p'});
  Entry(form->InputDevs, "Microphone")->trigger();
  ChooseFile(output, 1);
  form->ToFileClick(form.get());
  QTest::mouseClick(form->btnStart, Qt::LeftButton);
  ASSERT_TRUE(messages.empty()) << messages[0];
  ASSERT_TRUE(Recording());
  audio->Step(TWaveDir::Input, 0, 2);
  audio->LoseDevice(TWaveDir::Input, 0);
  ASSERT_TRUE(WaitFor([&] { return form->btnStart->isEnabled(); }));
  EXPECT_FALSE(messages.empty()) << "the failure is reported";
  EXPECT_EQ(ReadFile(output), (Bytes{'k', 'e', 'e', 'p'}));
  int files = 0;
  for (auto& e : std::filesystem::directory_iterator(dir.Path())) files += e.is_regular_file();
  EXPECT_EQ(files, 1) << "no temporary file is left";
}

// A file run that cannot write all of its output, onto a full disk or past a file-size
// limit, to WAV and to MP3: the window says which file and why, the file of that name
// stays byte for byte and nothing is left beside it. Needs a small file system of its own
// (mounting needs root).
TEST_F(Window, AFileRunThatCannotWriteKeepsTheOldFileAndSaysWhy) {
  namespace fs = std::filesystem;
  const fs::path small = dir.File("small");
  fs::create_directories(small);
  if (std::system(("mount -t tmpfs -o size=1m tmpfs '" + small.string() + "' 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "cannot mount a small file system here (needs root)";
  struct Unmount {
    fs::path at;
    ~Unmount() { std::system(("umount '" + at.string() + "'").c_str()); }
  } unmount{small};
  WriteFile((small / "filler").string(), Bytes(900 * 1024, 0));  // about 100 kB stay free
  const std::string source = dir.File("in.wav");
  WriteFile(source, SimpleWav(Pcm(16, 2, 44100), AsBytes(Tone(44100 * 12))));  // 190 kB as MP3
  ChooseFile(source, 1);
  form->FromFileEntry()->trigger();
  std::signal(SIGXFSZ, SIG_IGN);
  for (const bool limited : {false, true}) {
    for (const int type : {1, 2}) {
      const fs::path output = (limited ? fs::path(dir.Path()) : small) / (type == 1 ? "out.wav" : "out.mp3");
      WriteFile(output.string(), Bytes{'o', 'l', 'd'});
      std::vector<std::string> before;
      for (const auto& e : fs::directory_iterator(output.parent_path())) before.push_back(e.path().filename());
      ChooseFile(output.string(), type);
      form->ToFileEntry()->trigger();
      messages.clear();
      rlimit old {};
      ::getrlimit(RLIMIT_FSIZE, &old);
      if (limited) {
        rlimit cut = old;
        cut.rlim_cur = 100 * 1024;
        ::setrlimit(RLIMIT_FSIZE, &cut);
      }
      QTest::mouseClick(form->btnStart, Qt::LeftButton);
      const bool ended = WaitFor([&] { return form->btnStart->isEnabled() && !messages.empty(); });
      ::setrlimit(RLIMIT_FSIZE, &old);
      ASSERT_TRUE(ended) << output;
      QTest::qWait(50);  // the run's end finishes the output after the trigger stopped
      const std::string why = limited ? ": File too large; " : ": the disk is full; ";
      EXPECT_EQ(messages[0], "Unable to write " + output.string() + why + output.string() + " is left as it was");
      EXPECT_EQ(ReadFile(output.string()), (Bytes{'o', 'l', 'd'}));
      std::vector<std::string> after;
      for (const auto& e : fs::directory_iterator(output.parent_path())) after.push_back(e.path().filename());
      std::sort(before.begin(), before.end());
      std::sort(after.begin(), after.end());
      EXPECT_EQ(after, before) << output;
    }
  }
  std::signal(SIGXFSZ, SIG_DFL);
}

}  // namespace
}  // namespace strataeq

namespace strataeq {
namespace {

QAccessibleInterface* Accessible(QObject* o) { return QAccessible::queryAccessibleInterface(o); }
std::string Text(QObject* o, QAccessible::Text t) { return Accessible(o)->text(t).toStdString(); }

TEST_F(Window, ScreenReadersHearNamesValuesInWordsAndSetWholeGestures) {
  // Every control that takes the focus has a name; the sliders name their bands.
  int focusable = 0;
  for (QWidget* w : form->findChildren<QWidget*>()) {
    if (w->focusPolicy() == Qt::NoFocus || !w->isVisible()) continue;
    ++focusable;
    EXPECT_FALSE(Text(w, QAccessible::Name).empty()) << w->metaObject()->className() << " at " << w->x() << "," << w->y();
  }
  EXPECT_EQ(focusable, 27);  // Load ... Close, FFT, Vis, the 15 bands, Start, Stop, Reset, About
  EXPECT_EQ(Text(form->Sliders[0], QAccessible::Name), "0-60 Hz");
  EXPECT_EQ(Text(form->Sliders[14], QAccessible::Name), "16-20 Khz");
  EXPECT_EQ(Text(form->FftLen, QAccessible::Name), "Accuracy");
  EXPECT_EQ(Text(form->FftLen, QAccessible::Description), "FFT length 256");
  EXPECT_EQ(Accessible(form.get())->role(), QAccessible::Window);

  // A value set through accessibility is a whole gesture: the gain, the readout and the
  // words follow, as for a key press.
  TMMSlider* band7 = form->Sliders[7];
  QAccessibleInterface* slider = Accessible(band7);
  slider->valueInterface()->setCurrentValue(-45);
  EXPECT_FLOAT_EQ(BandGain(7), -4.5f);
  EXPECT_EQ(Readout(), "2-4 Khz : -4.5 dB");
  EXPECT_EQ(Text(band7, QAccessible::Description), "\u22124.5 dB");
  QAccessibleActionInterface* actions = slider->actionInterface();
  EXPECT_TRUE(actions->actionNames().contains(QAccessibleActionInterface::increaseAction()));
  actions->doAction(QAccessibleActionInterface::increaseAction());
  EXPECT_FLOAT_EQ(BandGain(7), -4.4f);
  actions->doAction(QAccessibleActionInterface::decreaseAction());
  actions->doAction(QAccessibleActionInterface::decreaseAction());
  EXPECT_FLOAT_EQ(BandGain(7), -4.6f);
  slider->valueInterface()->setCurrentValue(990);
  EXPECT_FLOAT_EQ(BandGain(7), 16.0f);
  EXPECT_EQ(Text(band7, QAccessible::Description), "+16 dB");
  // A mouse drag still sets the gain only at its end.
  const QPoint thumb = band7->ThumbRect().center();
  QTest::mousePress(band7, Qt::LeftButton, {}, thumb);
  QTest::mouseMove(band7, thumb + QPoint(0, 30));
  EXPECT_FLOAT_EQ(BandGain(7), 16.0f);
  QTest::mouseRelease(band7, Qt::LeftButton, {}, thumb + QPoint(0, 30));
  EXPECT_LT(BandGain(7), 16.0f);

  // The readout shows the gain's shortest form, not its single-precision digits.
  form->Sliders[6]->SetPosition(56);
  form->SliderMouseEnter(form->Sliders[6]);
  EXPECT_EQ(Readout(), "1-2 Khz : 0.9 dB");
  form->Sliders[6]->SetPosition(-1);
  form->SliderMouseEnter(form->Sliders[6]);
  EXPECT_EQ(Readout(), "1-2 Khz : -0.1 dB");

  // Menu buttons say they open a menu; a device button keeps saying what it chooses.
  EXPECT_TRUE(Accessible(form->InputDev)->state().hasPopup);
  EXPECT_FALSE(Accessible(form->btnStart)->state().hasPopup);
  Entry(form->InputDevs, "Microphone")->trigger();
  EXPECT_EQ(form->InputDev->Hint(), "Microphone");
  EXPECT_EQ(Text(form->InputDev, QAccessible::Description), "Recording Device : Microphone, opens a menu");
  EXPECT_EQ(Text(form->OutDev, QAccessible::Description), "Output Device : Default: Speakers, opens a menu");
  EXPECT_EQ(Text(form->btnChannelSelect, QAccessible::Description), "opens a menu");

  // Vis Enable is on or off.
  EXPECT_TRUE(Accessible(form->Vis)->state().checkable);
  EXPECT_TRUE(Accessible(form->Vis)->state().checked);
  EXPECT_EQ(Text(form->Vis, QAccessible::Description), "on");
  QTest::mouseClick(form->Vis, Qt::LeftButton);
  EXPECT_FALSE(Accessible(form->Vis)->state().checked);
  EXPECT_EQ(Text(form->Vis, QAccessible::Description), "off");
  EXPECT_FALSE(Accessible(form->btnStart)->state().checkable);

  // The gauge has a value.
  QAccessibleValueInterface* gauge = Accessible(form->Gauge)->valueInterface();
  ASSERT_NE(gauge, nullptr);
  form->Gauge->SetMaxValue(200);
  form->Gauge->SetProgress(50);
  EXPECT_EQ(gauge->currentValue().toInt(), 25);
}

TEST_F(Window, PressAnswersAtOnceAndTheFocusFollowsStartAndStop) {
  // The dialog or menu a press opens comes after the press has returned.
  QAccessibleActionInterface* save = Accessible(form->btnSave)->actionInterface();
  bool dialogShown = false;
  AnswerDialog([&](QFileDialog& d) {
    dialogShown = true;
    d.reject();
  });
  save->doAction(QAccessibleActionInterface::pressAction());
  EXPECT_FALSE(dialogShown) << "the press waited for the dialog";
  ASSERT_TRUE(WaitFor([&] { return dialogShown; }));

  bool menuShown = false;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (!form->InputDevs->isVisible()) return;
    menuShown = true;
    form->InputDevs->close();
  });
  poll.start(5);
  Accessible(form->InputDev)->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
  EXPECT_FALSE(menuShown) << "the press waited for the menu";
  ASSERT_TRUE(WaitFor([&] { return menuShown; }));
  poll.stop();

  // Enter on Start: the focus goes to Stop, not to Reset; Enter on Stop brings it back.
  // The closed popup hands activation back to the form later, so wait for it to settle.
  ASSERT_TRUE(WaitFor([&] { return QApplication::activePopupWidget() == nullptr; }));
  form->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
  Entry(form->InputDevs, "Microphone")->trigger();
  Entry(form->OutputDevs, "Speakers")->trigger();
  form->btnStart->setFocus(Qt::TabFocusReason);
  ASSERT_TRUE(WaitFor([&] { return QApplication::focusWidget() == form->btnStart; }));
  QTest::keyClick(form->btnStart, Qt::Key_Return);
  ASSERT_TRUE(Recording());
  EXPECT_EQ(QApplication::focusWidget(), form->btnStop);
  QTest::keyClick(form->btnStop, Qt::Key_Return);
  ASSERT_TRUE(WaitFor([&] { return form->btnStart->isEnabled(); }));
  EXPECT_EQ(QApplication::focusWidget(), form->btnStart);
}

// The readout box says how a file run ended (screen readers hear of the change), until
// the next run; the window closing during a run says nothing.
TEST_F(Window, TheEndOfAFileRunIsToldInTheReadoutsDescription) {
  const std::string source = dir.File("in.wav");
  WriteFile(source, SimpleWav(Pcm(16, 2, 44100), AsBytes(Tone(44100))));
  ChooseFile(source, 1);
  form->FromFileEntry()->trigger();
  ChooseFile(dir.File("out.wav"), 1);
  form->ToFileEntry()->trigger();
  QTest::mouseClick(form->btnStart, Qt::LeftButton);
  ASSERT_TRUE(messages.empty()) << messages[0];
  ASSERT_TRUE(WaitFor([&] { return form->btnStart->isEnabled(); }));
  EXPECT_EQ(form->Panel1->accessibleDescription(), "Processing done");

  form->Gauge->SetMaxValue(100);
  form->Gauge->SetProgress(40);
  form->ShowProgress();
  EXPECT_EQ(form->Panel1->accessibleDescription(), "");
  form->HideProgress();
  EXPECT_EQ(form->Panel1->accessibleDescription(), "Processing stopped at 40 %");
  form->ShowProgress();
  form->hide();
  EXPECT_EQ(form->Panel1->accessibleDescription(), "");
  form->HideProgress();
}

// A source of more than 2 GiB (a sparse file) written into a FIFO: the gauge counts it
// without overflowing, and the FIFO stays a FIFO.
TEST_F(Window, TheGaugeCountsASourceOfMoreThan2GiBIntoAFifo) {
  const std::string source = dir.File("big.wav"), sink = dir.File("sink.wav");
  const std::uint32_t data = 2500000000u;
  Bytes head = SimpleWav(Pcm(16, 2, 44100), Bytes(4, 0));
  head.resize(44);
  for (int i = 0; i < 4; ++i) {
    head[4 + i] = static_cast<std::uint8_t>((data + 36) >> (8 * i));
    head[40 + i] = static_cast<std::uint8_t>(data >> (8 * i));
  }
  WriteFile(source, head);
  std::filesystem::resize_file(source, 44 + std::uintmax_t{data});
  ASSERT_EQ(::mkfifo(sink.c_str(), 0600), 0);
  std::thread reader([&] {
    std::ifstream in(sink, std::ios::binary);
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    }
  });
  ChooseFile(source, 1);
  form->FromFileEntry()->trigger();
  ChooseFile(sink, 1);
  form->ToFileEntry()->trigger();
  QTest::mouseClick(form->btnStart, Qt::LeftButton);
  EXPECT_EQ(form->Gauge->MaxValue(), static_cast<int>(data / 2));
  EXPECT_TRUE(WaitFor([&] { return form->Gauge->Progress() > 0; }));
  EXPECT_LE(form->Gauge->Progress(), form->Gauge->MaxValue());
  QTest::mouseClick(form->btnStop, Qt::LeftButton);
  EXPECT_TRUE(WaitFor([&] { return form->btnStart->isEnabled(); }));
  QTest::qWait(50);
  reader.join();
  EXPECT_TRUE(messages.empty()) << messages[0];
  struct stat st {};
  ASSERT_EQ(::stat(sink.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

}  // namespace
}  // namespace strataeq

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include "PulseShell.h"
#include "drivers/DesktopSound.h"

extern char** environ;

namespace strataeq {
namespace {

using test::Shell;
using test::SinkIndex;
using test::StreamSink;

// The window's Desktop Sound on the private server of scripts/pulse-test-server.sh or
// scripts/pipewire-test-server.sh (sinks strataeq_a, the default, and strataeq_b), with
// another process's stream playing: the window is made before the equalizer's device.
class PulseDesktopWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("STRATAEQ_LIBRARY_PATH", STRATAEQ_CODEC_DIR, 1);
    SetWaveBackend(CreatePulseBackend());
    if (waveOutGetNumDevs() == 0) GTEST_SKIP() << "no sound server reachable";
    if (SinkIndex("strataeq_a").empty() || Shell("pactl get-default-sink") != "strataeq_a")
      GTEST_SKIP() << "not the private test server";
    char arg0[] = "pacat", arg1[] = "--playback", arg2[] = "/dev/zero";
    char* argv[] = {arg0, arg1, arg2, nullptr};
    if (posix_spawnp(&player_, "pacat", nullptr, nullptr, argv, environ) != 0) GTEST_SKIP() << "pacat not available";
    for (int i = 0; i < 100 && stream_.empty(); ++i) {
      stream_ = Shell("pactl list sink-inputs | awk '/^Sink Input #/ { id = substr($3, 2) } "
                      "/application.process.id = \"" + std::to_string(player_) + "\"/ { print id }'");
      if (stream_.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_FALSE(stream_.empty()) << "the player's stream did not appear";
    form = std::make_unique<TEqForm>();
    form->OnMessage = [this](TObject*, const std::string& text) { messages.push_back(text); };
    form->show();
  }
  void TearDown() override {
    form.reset();
    Application().OnException = nullptr;
    if (player_ > 0) {
      kill(player_, SIGTERM);
      waitpid(player_, nullptr, 0);
    }
    Shell("pactl set-default-sink strataeq_a");
    SetWaveBackend(nullptr);
  }

  TMMWaveOut* Out() { return form->Route() ? form->Route()->Player() : nullptr; }
  bool Recording() { return form->Route() && form->Route()->Recorder() && form->Route()->Recorder()->Started(); }

  TQtMessageLoop loop;
  std::unique_ptr<TEqForm> form;
  std::vector<std::string> messages;
  pid_t player_ = 0;
  std::string stream_;
};

TEST_F(PulseDesktopWindow, DesktopSoundTakesAPlayerThroughTheEqualizerAndBackOnStop) {
  for (QAction* a : form->InputDevs->actions())
    if (a->text() == "Desktop Sound") a->trigger();
  QTest::mouseClick(form->btnStart, Qt::LeftButton);
  ASSERT_TRUE(messages.empty()) << messages[0];
  ASSERT_TRUE(Recording());
  const std::string ours = SinkIndex(TDesktopSound::kSinkName);
  ASSERT_FALSE(ours.empty());
  EXPECT_EQ(StreamSink(stream_), ours);
  EXPECT_EQ(Shell("pactl get-default-sink"), TDesktopSound::kSinkName);
  // The route carries sound: the window's player moves on.
  const std::int64_t early = Out()->Position();
  ASSERT_TRUE(WaitFor([&] { return Out()->Position() > early + 44100 / 2; }));
  EXPECT_TRUE(messages.empty());

  QTest::mouseClick(form->btnStop, Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return form->btnStart->isEnabled(); }));
  EXPECT_EQ(StreamSink(stream_), SinkIndex("strataeq_a"));
  EXPECT_EQ(Shell("pactl get-default-sink"), "strataeq_a");
  EXPECT_EQ(SinkIndex(TDesktopSound::kSinkName), "");
}

// The route's output goes away (headphones unplugged). Left on the default, the route
// follows the desktop to a remaining real sink with the player still on the equalizer;
// a device chosen by name stays an error that ends the route.
TEST_F(PulseDesktopWindow, AGoneOutputIsFollowedOnTheDefaultAndAnErrorWhenChosen) {
  struct TempSink {
    std::string module = Shell("pactl load-module module-null-sink sink_name=strataeq_gone "
                               "sink_properties=device.description=StrataEq-Gone");
    void Unload() { Shell("pactl unload-module " + module); }
    ~TempSink() { Unload(); }
  };
  auto windowSink = [] {  // the sink the window's player plays to
    return Shell("pactl list sink-inputs | awk '$1 == \"Sink:\" { sink = $2 } "
                 "/application.process.id = \"" + std::to_string(getpid()) + "\"/ { print sink }'");
  };
  auto start = [&] {
    for (QAction* a : form->InputDevs->actions())
      if (a->text() == "Desktop Sound") a->trigger();
    QTest::mouseClick(form->btnStart, Qt::LeftButton);
    ASSERT_TRUE(messages.empty()) << messages[0];
    ASSERT_TRUE(WaitFor([&] { return windowSink() == SinkIndex("strataeq_gone"); }));
    EXPECT_EQ(StreamSink(stream_), SinkIndex(TDesktopSound::kSinkName));
  };
  {
    TempSink gone;
    ASSERT_FALSE(SinkIndex("strataeq_gone").empty());
    Shell("pactl set-default-sink strataeq_gone");
    start();
    const std::string caption = form->OutDev->Caption();
    gone.Unload();
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    std::string now;
    while ((now = windowSink()) != SinkIndex("strataeq_a") && now != SinkIndex("strataeq_b") &&
           std::chrono::steady_clock::now() < deadline)
      QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    ASSERT_TRUE(now == SinkIndex("strataeq_a") || now == SinkIndex("strataeq_b")) << "the route did not move within 2 s";
    EXPECT_TRUE(messages.empty()) << messages[0];
    EXPECT_EQ(StreamSink(stream_), SinkIndex(TDesktopSound::kSinkName));
    EXPECT_EQ(form->OutDev->Caption(), now == SinkIndex("strataeq_a") ? "StrataEq-Null-A" : "StrataEq-Null-B");
    const std::int64_t early = Out()->Position();
    ASSERT_TRUE(WaitFor([&] { return Out()->Position() > early + 44100 / 2; }));

    QTest::mouseClick(form->btnStop, Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return form->btnStart->isEnabled(); }));
    EXPECT_EQ(StreamSink(stream_), SinkIndex("strataeq_a"));
    EXPECT_EQ(SinkIndex(TDesktopSound::kSinkName), "");
    EXPECT_EQ(form->OutDev->Caption(), caption);
  }

  // Chosen by name: the window made after the device is there lists it.
  TempSink gone;
  form = std::make_unique<TEqForm>();
  form->OnMessage = [this](TObject*, const std::string& text) { messages.push_back(text); };
  for (QAction* a : form->OutputDevs->actions())
    if (a->text() == "StrataEq-Gone") a->trigger();
  start();
  gone.Unload();
  ASSERT_TRUE(WaitFor([&] { return form->btnStart->isEnabled(); }));
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].rfind("WaveOut", 0), 0u) << messages[0];
  EXPECT_EQ(StreamSink(stream_), SinkIndex("strataeq_a"));
  EXPECT_EQ(SinkIndex(TDesktopSound::kSinkName), "");
}

}  // namespace
}  // namespace strataeq
