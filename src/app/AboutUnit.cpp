#include "app/AboutUnit.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QKeyEvent>
#include <QMouseEvent>

#include "controls/MMObj.h"
#include "controls/TransBtn.h"

namespace strataeq {
namespace {

QLabel* Text(QWidget* parent, const QString& text, QRect r, QFont font, bool link = false) {
  auto* l = new QLabel(text, parent);
  l->setGeometry(r);
  l->setAlignment(Qt::AlignCenter);
  if (link) {
    font.setUnderline(true);
    QPalette p = l->palette();
    p.setColor(QPalette::WindowText, Qt::blue);
    l->setPalette(p);
    l->setCursor(Qt::PointingHandCursor);
    // Reachable with Tab and opened with Enter or Space, as the button is.
    l->setFocusPolicy(Qt::TabFocus);
    l->setAccessibleDescription(QStringLiteral("link"));
  }
  l->setFont(font);
  return l;
}

}  // namespace

// An install keeps the documents at a fixed path from its programs, wherever its prefix
// was moved; a build folder, wherever it is, has them in the source tree it was built from.
QString TAboutForm::DocumentPath(const QString& programDir, const QString& name) {
  const QStringList folders = {QDir(programDir).absoluteFilePath(QStringLiteral(STRATAEQ_DOC_FROM_BIN)),
                               QStringLiteral(STRATAEQ_DOC_SOURCE_DIR)};
  for (const QString& folder : folders) {
    const QString path = QDir::cleanPath(QDir(folder).absoluteFilePath(name));
    if (QFileInfo::exists(path)) return path;
  }
  return QDir::cleanPath(QDir(folders.first()).absoluteFilePath(name));
}

QUrl TAboutForm::GuideUrl() {
  return QUrl::fromLocalFile(DocumentPath(QCoreApplication::applicationDirPath(), QStringLiteral("README.md")));
}

QUrl TAboutForm::LicencesUrl() {
  return QUrl::fromLocalFile(DocumentPath(QCoreApplication::applicationDirPath(), QStringLiteral("LICENSES.md")));
}

TAboutForm::TAboutForm(QWidget* parent) : QDialog(parent) {
  setWindowTitle("About");
  setFont(MMFont("MS Sans Serif", -11));
  setFixedSize(312, 168);
  Label1 = Text(this, "Strata Equalizer version 1.0", {58, 14, 196, 16},
                MMFont("Arial", -13, TFontStyle::fsBold | TFontStyle::fsItalic));
  Label2 = Text(this, "by the StrataEq developers", {41, 32, 230, 16}, MMFont("Arial", -13, TFontStyles(TFontStyle::fsBold)));
  Label3 = Text(this, "User guide (README)", {81, 56, 149, 16}, MMFont("Arial", -13, TFontStyles(TFontStyle::fsBold)), true);
  Label3->setToolTip(GuideUrl().toLocalFile());
  Label4 = Text(this, "Built on Qt, libmpg123 and LAME", {55, 90, 202, 13}, font());
  Label5 = Text(this, "Library licences", {100, 106, 111, 13}, font(), true);
  Label5->setToolTip(LicencesUrl().toLocalFile());
  Label3->installEventFilter(this);
  Label5->installEventFilter(this);
  TransparentButton1 = new TTransparentButton(this);
  TransparentButton1->setGeometry(118, 130, 75, 25);
  TransparentButton1->SetCaption("Ok");
  TransparentButton1->OnClick = [this](TObject* s) { TransparentButton1Click(s); };
}

bool TAboutForm::eventFilter(QObject* watched, QEvent* event) {
  auto activate = [&] {
    if (watched == Label3) Label3Click(this);
    else if (watched == Label5) Label5Click(this);
  };
  if (event->type() == QEvent::MouseButtonRelease &&
      static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton)
    activate();
  if (event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space) {
      activate();
      return true;
    }
  }
  // The focused link is framed, as the focused button is marked.
  if (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut)
    if (auto* label = qobject_cast<QLabel*>(watched))
      label->setFrameStyle(event->type() == QEvent::FocusIn ? QFrame::Box | QFrame::Plain : QFrame::NoFrame);
  return QDialog::eventFilter(watched, event);
}

void TAboutForm::TransparentButton1Click(TObject*) { done(QDialog::Accepted); }

void TAboutForm::Open(const QUrl& url) {
  if (OnOpenUrl) OnOpenUrl(url);
  else QDesktopServices::openUrl(url);
}

void TAboutForm::Label3Click(TObject*) { Open(GuideUrl()); }
void TAboutForm::Label5Click(TObject*) { Open(LicencesUrl()); }

}  // namespace strataeq
