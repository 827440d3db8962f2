// Menus a screen reader opens on Wayland (run by tests/e2e/window_wayland.sh under weston;
// skipped on other platforms). The window has had a key press first, as in a real session:
// a popup would then be opened with that stale input serial and dismissed at once.
#include <QAccessible>
#include <QApplication>
#include <QElapsedTimer>
#include <QMenu>
#include <QTest>
#include <gtest/gtest.h>

#include <cstdlib>

#include "app/EqualizerUnit.h"
#include "controls/TransBtn.h"
#include "eq/MMEQ.h"
#include "platform/WaveApiVirtual.h"
#include "platform/qt/QtMessageLoop.h"

namespace strataeq {
namespace {

// Serves the Qt loop for ms milliseconds; whether the menu was hidden at any time.
bool HiddenWithin(QMenu* menu, int ms) {
  QElapsedTimer t;
  t.start();
  bool hidden = false;
  while (t.elapsed() < ms) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    hidden = hidden || !menu->isVisible();
  }
  return hidden;
}

// The compositor's keys, through the X server it runs on (the script names the tool).
void Keys(const char* keys) {
  const char* tool = std::getenv("STRATAEQ_TEST_KEYS");
  ASSERT_TRUE(tool) << "STRATAEQ_TEST_KEYS is not set";
  ASSERT_EQ(std::system((std::string(tool) + " " + keys).c_str()), 0);
}

TEST(WaylandMenus, APressFromAScreenReaderOpensAMenuThatStaysAndTakesTheKeys) {
  if (QGuiApplication::platformName() != QLatin1String("wayland")) GTEST_SKIP() << "not on Wayland";
  setenv("STRATAEQ_LIBRARY_PATH", STRATAEQ_CODEC_DIR, 1);
  TQtMessageLoop loop;
  const auto audio = TVirtualAudio::Install(2, 2);
  TEqForm form;
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  QTest::qWait(300);
  Keys("Tab");
  QTest::qWait(300);
  auto press = [&] {
    QAccessible::queryAccessibleInterface(form.btnChannelSelect)
        ->actionInterface()
        ->doAction(QAccessibleActionInterface::pressAction());
    QElapsedTimer t;
    t.start();
    while (!form.ChannelsMenu->isVisible() && t.elapsed() < 5000) QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    return form.ChannelsMenu->isVisible();
  };

  ASSERT_TRUE(press());
  EXPECT_FALSE(HiddenWithin(form.ChannelsMenu, 1000)) << "the compositor dismissed the menu";
  Keys("Down Down Return");
  EXPECT_TRUE(HiddenWithin(form.ChannelsMenu, 500));
  EXPECT_EQ(form.Equalizer->Channel(), TMMChannel::chLeft);
  EXPECT_EQ(form.btnChannelSelect->Caption(), "Left Only");

  // Escape closes it without a choice; after, the menu is a popup again for the mouse.
  ASSERT_TRUE(press());
  EXPECT_FALSE(HiddenWithin(form.ChannelsMenu, 300));
  Keys("Escape");
  EXPECT_TRUE(HiddenWithin(form.ChannelsMenu, 500));
  EXPECT_EQ(form.Equalizer->Channel(), TMMChannel::chLeft);
  EXPECT_EQ(form.ChannelsMenu->windowType(), Qt::Popup);
}

}  // namespace
}  // namespace strataeq
