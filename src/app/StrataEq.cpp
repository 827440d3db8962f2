// The program strataeq: the application object, its title, the main window and the
// about box; the platform's message queue is drained in the Qt loop.
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "app/AboutUnit.h"
#include "app/EqualizerUnit.h"
#include "app/WindowSettings.h"
#include "platform/Messages.h"
#include "platform/qt/QtMessageLoop.h"

namespace {

const char* const kUsage =
    "Usage: strataeq [--latency MS] [--reset] [--help] [--version]\n"
    "\n"
    "Opens the Strata Equalizer window: the sound of a recording device or a WAV or MP3\n"
    "file, through a fifteen-band equalizer, to a playback device or a file.\n"
    "\n"
    "  Recording device button   choose the source (\"From File\" picks a WAV or MP3 file)\n"
    "  Output device button      choose the sink (\"To File\" writes a WAV or MP3 file)\n"
    "  Start / Stop              run and end the route\n"
    "  band sliders              -99 .. +16 dB per band; Delete puts one back to 0 dB\n"
    "  Load / Save               equalizer presets (.sqp)\n"
    "\n"
    "  --latency MS              buffer live routes for this end-to-end delay (5..2000 ms)\n"
    "                            instead of the design values (about 1.5 s)\n"
    "  --reset                   start from the design state instead of the state the\n"
    "                            window was left in (kept in $XDG_CONFIG_HOME/strataeq/)\n"
    "\n"
    "Qt's own options (-platform, -display, ...) are accepted as well.\n"
    "Without a display, use strataeq-cli (strataeq-cli --help).\n";

void ShowCritical(const std::string& text) {
  QMessageBox box(QMessageBox::Critical, QApplication::applicationName(), QString::fromStdString(text),
                  QMessageBox::Ok, QApplication::activeWindow());
  box.exec();
}

// Exceptions that reach the event loop end as the application's error display.
class TStrataApplication : public QApplication {
 public:
  using QApplication::QApplication;
  bool notify(QObject* receiver, QEvent* event) override {
    try {
      return QApplication::notify(receiver, event);
    } catch (...) {
      ShowCritical(strataeq::ExceptionMessage(std::current_exception()));
      return false;
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  double latencyMs = 0;
  bool reset = false;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (!std::strcmp(argv[i], "--latency")) {
      char* end = nullptr;
      const long ms = i + 1 < argc ? std::strtol(argv[i + 1], &end, 10) : 0;
      if (!end || *end || ms < 5 || ms > 2000) {
        std::fputs("strataeq: --latency takes 5..2000 ms\n", stderr);
        return 2;
      }
      latencyMs = static_cast<double>(ms);
      ++i;
      continue;
    }
    if (!std::strcmp(argv[i], "--reset")) {
      reset = true;
      continue;
    }
    if (!std::strcmp(argv[i], "--version")) {
      std::printf("strataeq %s\n", STRATAEQ_VERSION);
      return 0;
    }
  }
  // A file-size limit (ulimit -f) and a FIFO output whose reader left fail the write
  // (EFBIG, EPIPE), which the run reports, instead of ending the program.
  std::signal(SIGXFSZ, SIG_IGN);
  std::signal(SIGPIPE, SIG_IGN);
  TStrataApplication app(argc, argv);
  QApplication::setApplicationName("Strata Equalizer 1.0");
  QApplication::setApplicationDisplayName("Strata Equalizer 1.0");
  QApplication::setDesktopFileName("strataeq");
  strataeq::TQtMessageLoop loop;
  strataeq::Application().OnException = [](std::exception_ptr e) {
    ShowCritical(strataeq::ExceptionMessage(e));
  };
  strataeq::Application().OnMessageBox = [](const std::string&, const std::string& text) { ShowCritical(text); };

  std::unique_ptr<strataeq::TEqForm> form;
  try {
    form = std::make_unique<strataeq::TEqForm>();
  } catch (...) {
    ShowCritical(strataeq::ExceptionMessage(std::current_exception()));
    return 1;
  }
  form->SetLatencyTarget(latencyMs);
  form->setWindowTitle(QApplication::applicationName());
  // The about box is the window's child and goes with it.
  form->AboutForm = new strataeq::TAboutForm(form.get());
  // The state the window was left in, unless asked for the design state; it is kept
  // again when the window closes.
  const strataeq::TWindowSettings settings;
  const std::string warning = settings.Attach(*form, !reset);
  form->show();
  if (!warning.empty()) {
    std::fprintf(stderr, "strataeq: %s\n", warning.c_str());
    QTimer::singleShot(0, form.get(), [&form, warning] {
      QMessageBox::warning(form.get(), QApplication::applicationName(), QString::fromStdString(warning));
    });
  }
  const int status = app.exec();
  form.reset();
  return status;
}
