// The window's state between runs: band gains, FFT length, channel choice, the recording
// and playback devices by name, Vis and the window's position, in the user's
// configuration folder ($XDG_CONFIG_HOME/strataeq/strataeq.conf).
#pragma once

#include <QString>
#include <string>

namespace strataeq {

class TEqForm;

class TWindowSettings {
 public:
  // $XDG_CONFIG_HOME/strataeq/strataeq.conf, ~/.config/strataeq/strataeq.conf without it.
  static QString DefaultFile();

  explicit TWindowSettings(QString file = DefaultFile()) : file_(std::move(file)) {}
  const QString& File() const { return file_; }

  // Puts the window in the saved state. Without a file the window keeps its design state;
  // a damaged file as well: it is set aside (".damaged") so that it is reported once, and
  // the text returned says so. Empty when all went well.
  std::string Load(TEqForm& form) const;
  // Keeps the window's state; the text says why it could not (empty when it could).
  std::string Save(const TEqForm& form) const;
  // Load now (unless the design state is asked for), and Save when the window closes.
  // Returns Load's text.
  std::string Attach(TEqForm& form, bool restore = true) const;

 private:
  QString file_;
};

}  // namespace strataeq
