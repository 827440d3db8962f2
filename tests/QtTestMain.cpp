// GoogleTest main of the widget tests: one QApplication, on the offscreen platform unless the
// environment names another, and Qt's own warnings (painter misuse, wrong thread, ...) fail
// the test that caused them.
#include <QApplication>
#include <QString>
#include <cstdlib>
#include <gtest/gtest.h>

namespace {

QtMessageHandler previousHandler = nullptr;

// Warnings of the platform plugin that say nothing about our code (the offscreen plugin
// cannot raise a popup menu, let it grab the keyboard and mouse, or shape a window).
bool IsHarmless(const QString& message) {
  return message.contains(QLatin1String("propagateSizeHints")) ||
         message.contains(QLatin1String("This plugin does not support raise()")) ||
         message.contains(QLatin1String("This plugin does not support grabbing")) ||
         message.contains(QLatin1String("This plugin does not support setting window masks")) ||
         message.contains(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR"));
}

void FailOnQtWarning(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if ((type == QtWarningMsg || type == QtCriticalMsg) && !IsHarmless(message))
    ADD_FAILURE() << "Qt warning: " << message.toStdString();
  if (previousHandler) previousHandler(type, context, message);
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  previousHandler = qInstallMessageHandler(FailOnQtWarning);
  return RUN_ALL_TESTS();
}
