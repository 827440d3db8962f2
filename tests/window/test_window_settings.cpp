// The window's memory between runs (a private XDG_CONFIG_HOME, the virtual backend), and
// where the about box finds its documents.
#include <QAction>
#include <QDir>
#include <QMenu>
#include <QTest>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/AboutUnit.h"
#include "app/EqualizerUnit.h"
#include "app/WindowSettings.h"
#include "controls/MMSlider.h"
#include "controls/TransBtn.h"
#include "drivers/MMWavIn.h"
#include "drivers/MMWavOut.h"
#include "eq/MMEQ.h"
#include "eq/MMObjLst.h"
#include "files/WavTestUtil.h"
#include "platform/WaveApiVirtual.h"
#include "platform/qt/QtMessageLoop.h"

namespace strataeq {
namespace {

namespace fs = std::filesystem;

class WindowMemory : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("STRATAEQ_LIBRARY_PATH", STRATAEQ_CODEC_DIR, 1);
    setenv("XDG_CONFIG_HOME", dir.Path().c_str(), 1);
    Devices("Headphones");
  }
  void TearDown() override {
    form.reset();
    unsetenv("XDG_CONFIG_HOME");  // the other tests never write settings
  }
  void Devices(const std::string& secondOutput) {
    form.reset();
    audio = TVirtualAudio::Install(2, 2);
    audio->SetDeviceName(TWaveDir::Input, 0, "Microphone");
    audio->SetDeviceName(TWaveDir::Input, 1, "Monitor of Speakers");
    audio->SetDeviceName(TWaveDir::Output, 0, "Speakers");
    audio->SetDeviceName(TWaveDir::Output, 1, secondOutput);
  }
  // A new window, as the program opens it; returns the settings' warning.
  std::string Open(bool restore = true) {
    form.reset();
    form = std::make_unique<TEqForm>();
    form->OnMessage = [](TObject*, const std::string& text) { ADD_FAILURE() << text; };
    const std::string warning = TWindowSettings().Attach(*form, restore);
    form->show();
    return warning;
  }
  static QAction* Entry(QMenu* menu, const QString& text) {
    for (QAction* a : menu->actions())
      if (a->text() == text) return a;
    return nullptr;
  }
  float Gain(int band) const { return form->Equalizer->Filters()->Band(band)->Gain(); }
  void ExpectDesignState() {
    for (int i = 0; i < kBandCount; ++i) EXPECT_EQ(Gain(i), 0.0f) << i;
    EXPECT_EQ(form->Equalizer->FFTLength(), 256);
    EXPECT_EQ(form->Equalizer->Channel(), TMMChannel::chBoth);
    EXPECT_EQ(form->InputDevice(), MapperId);
    EXPECT_EQ(form->OutputDevice(), MapperId);
    EXPECT_TRUE(form->Vis->Down());
  }

  wavtest::TempDir dir;
  TQtMessageLoop loop;
  std::shared_ptr<TVirtualAudio> audio;
  std::unique_ptr<TEqForm> form;
};

TEST_F(WindowMemory, TheWindowComesBackAsItWasLeftAndADeviceThatIsGoneFallsBackToTheDefault) {
  EXPECT_EQ(TWindowSettings::DefaultFile(), QString::fromStdString(dir.File("strataeq/strataeq.conf")));
  EXPECT_EQ(Open(), "");  // the first run
  ExpectDesignState();

  form->Sliders[7]->SetPosition(-45);
  form->SliderChanged(form->Sliders[7]);
  form->Sliders[2]->SetPosition(62 * 3);
  form->SliderChanged(form->Sliders[2]);
  form->FftLen->SetPosition(6);
  form->RightOnly1Click(form.get());
  form->InputDeviceClick(Entry(form->InputDevs, "Monitor of Speakers"));
  form->OutputDeviceClick(Entry(form->OutputDevs, "Headphones"));
  form->VisClick(form.get());
  form->move(40, 30);
  ASSERT_TRUE(form->close());
  form.reset();

  EXPECT_EQ(Open(), "");
  EXPECT_FLOAT_EQ(Gain(7), -4.5f);
  EXPECT_FLOAT_EQ(Gain(2), 3.0f);
  EXPECT_EQ(form->Sliders[7]->Position(), -45);
  EXPECT_EQ(form->Sliders[2]->Position(), 62 * 3);
  EXPECT_EQ(form->Equalizer->FFTLength(), 1024);
  EXPECT_EQ(form->FftLen->Position(), 6);
  EXPECT_EQ(form->Equalizer->Channel(), TMMChannel::chRight);
  EXPECT_EQ(form->btnChannelSelect->Caption(), "Right Only");
  EXPECT_EQ(form->InputDevice(), 1);
  EXPECT_EQ(form->InputDev->Caption(), "Monitor of Speakers");
  EXPECT_TRUE(Entry(form->OutputDevs, "Headphones")->isChecked());
  EXPECT_FALSE(form->Vis->Down());
  EXPECT_EQ(form->height(), 168);
  EXPECT_EQ(form->pos(), QPoint(40, 30));

  // --reset: the design state, and Reset still means every band at 0 dB.
  form.reset();
  EXPECT_EQ(Open(false), "");
  ExpectDesignState();
  form.reset();  // not closed: what was kept stays
  EXPECT_EQ(Open(), "");
  QTest::mouseClick(form->btnReset, Qt::LeftButton);
  EXPECT_EQ(Gain(7), 0.0f);
  EXPECT_EQ(form->Equalizer->FFTLength(), 1024);

  // The headphones are gone: the default output, the rest as it was.
  Devices("USB Speakers");
  EXPECT_EQ(Open(), "");
  EXPECT_EQ(form->OutputDevice(), MapperId);
  EXPECT_EQ(form->OutDev->Caption(), "Default: Speakers");
  EXPECT_TRUE(Entry(form->OutputDevs, "Default: Speakers")->isChecked());
  EXPECT_EQ(form->InputDevice(), 1);
  EXPECT_FLOAT_EQ(Gain(7), -4.5f);
}

TEST_F(WindowMemory, ADamagedFileIsReportedOnceAndGivesAUsableWindowInTheDesignState) {
  const std::string file = dir.File("strataeq/strataeq.conf");
  fs::create_directories(dir.File("strataeq"));
  const std::string good =
      "[General]\nformat=1\ngains=0, 0, 0, 0, 0, 0, 0, -4.5, 0, 0, 0, 0, 0, 0, 0\nfft=1024\nchannel=left\n"
      "recording=\ndesktop=false\nplayback=Headphones\nvis=true\n";
  // Qt's settings cache takes a file of the size and time it last wrote for unchanged:
  // each write gets a time of its own.
  int writes = 0;
  auto write = [&](const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
    fs::last_write_time(file, fs::file_time_type::clock::now() + std::chrono::seconds(++writes));
  };
  write(good);
  EXPECT_EQ(Open(), "");
  EXPECT_FLOAT_EQ(Gain(7), -4.5f);
  EXPECT_EQ(form->OutputDevice(), 1);

  auto replace = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  const std::string damaged[] = {
      std::string("\x7f" "ELF\0\0\xff\xfe[[[=\n\0", 14),  // not a settings file at all
      replace("-4.5", "1e30"),                           // a gain no slider gives
      replace("-4.5", "nan"),
      replace(", 0\nfft", "\nfft"),                      // fourteen bands
      replace("fft=1024", "fft=1000"),
      replace("channel=left", "channel=middle"),
      replace("vis=true\n", ""),
      replace("format=1", "format=9"),                   // a later program's file
  };
  for (const std::string& text : damaged) {
    write(text);
    const std::string warning = Open();
    EXPECT_NE(warning.find("damaged"), std::string::npos) << warning;
    ExpectDesignState();
    EXPECT_FALSE(fs::exists(file));
    EXPECT_TRUE(fs::exists(file + ".damaged"));
    // Once: the file was set aside, and the window still works.
    form.reset();
    EXPECT_EQ(Open(), "");
    form->FftLen->SetPosition(5);
    EXPECT_EQ(form->Equalizer->FFTLength(), 512);
    ASSERT_TRUE(form->close());
    EXPECT_EQ(Open(), "");
    EXPECT_EQ(form->Equalizer->FFTLength(), 512);
  }
}

TEST(AboutBox, DocumentsAreFoundBesideAnInstallMovedOrNotAndFromABuildFolderAnywhere) {
  wavtest::TempDir dir;
  const QString root = QString::fromStdString(dir.Path());
  const QString docs = "share/doc/strataeq";
  ASSERT_TRUE(QDir(root).mkpath("usr/bin") && QDir(root).mkpath("usr/" + docs) && QDir(root).mkpath("build/bin"));
  std::ofstream((root + "/usr/" + docs + "/README.md").toStdString()) << "guide";
  EXPECT_EQ(TAboutForm::DocumentPath(root + "/usr/bin", "README.md"), root + "/usr/" + docs + "/README.md");
  ASSERT_TRUE(QDir(root).rename("usr", "opt"));
  EXPECT_EQ(TAboutForm::DocumentPath(root + "/opt/bin", "README.md"), root + "/opt/" + docs + "/README.md");
  // A build folder outside the source tree: the source tree's documents.
  const QString source = QDir::cleanPath(STRATAEQ_TESTS_DIR "/..");
  EXPECT_EQ(TAboutForm::DocumentPath(root + "/build/bin", "LICENSES.md"), source + "/LICENSES.md");
  EXPECT_EQ(TAboutForm::DocumentPath(root + "/opt/bin", "LICENSES.md"), source + "/LICENSES.md");
}

}  // namespace
}  // namespace strataeq
