// The about box: the program's name and version, its makers and two links to documents
// on this machine, the user guide and the licences of the libraries it uses.
#pragma once

#include <QDialog>
#include <QString>
#include <QUrl>
#include <functional>

#include "platform/Component.h"

class QLabel;

namespace strataeq {

class TTransparentButton;

class TAboutForm : public QDialog, public TObject {
  Q_OBJECT
 public:
  explicit TAboutForm(QWidget* parent = nullptr);

  QLabel *Label1 = nullptr, *Label2 = nullptr, *Label3 = nullptr, *Label4 = nullptr, *Label5 = nullptr;
  TTransparentButton* TransparentButton1 = nullptr;

  // The document of this name for a program in programDir: beside the install, else in
  // the source tree; the install's path when neither has it.
  static QString DocumentPath(const QString& programDir, const QString& name);
  // The documents the links open, as found when the box was made.
  static QUrl GuideUrl();
  static QUrl LicencesUrl();

  void TransparentButton1Click(TObject* Sender);
  void Label3Click(TObject* Sender);
  void Label5Click(TObject* Sender);

  // Opens a link; the desktop's handler unless a test takes it.
  std::function<void(const QUrl&)> OnOpenUrl;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Open(const QUrl& url);
};

}  // namespace strataeq
