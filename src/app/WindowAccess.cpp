// What screen readers learn of the window beyond the controls' own: the band each slider
// sets, values in words, what the device buttons choose, the latched Vis button, how a
// file run ended, and the window itself as a frame.
#include <QAccessible>
#include <QAccessibleWidget>
#include <QEvent>

#include "app/EqualizerUnit.h"
#include "controls/MMGauge.h"
#include "controls/MMPanel.h"
#include "controls/MMSlider.h"
#include "controls/TransBtn.h"

namespace strataeq {

namespace {

QAccessibleInterface* FormFactory(const QString& className, QObject* object) {
  if (className != QLatin1String(TEqForm::staticMetaObject.className()) || !object || !object->isWidgetType())
    return nullptr;
  return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Window);
}

// A file run ends when its gauge goes away; Qt's bridge carries no alerts, so the readout
// box the gauge sits in says how the run ended in its description (a change screen
// readers are told of), until the next run.
class TRunEndWords : public QObject {
 public:
  TRunEndWords(TMMGauge* gauge, QWidget* box) : QObject(gauge), gauge_(gauge), box_(box) {
    gauge->installEventFilter(this);
  }
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Show && !box_->accessibleDescription().isEmpty()) box_->setAccessibleDescription({});
    // Only the gauge's own hide: the window closing hides it as well.
    if (event->type() == QEvent::Hide && gauge_->isHidden()) {
      const int percent = gauge_->PercentDone();
      box_->setAccessibleDescription(percent >= 100 ? QStringLiteral("Processing done")
                                                    : QStringLiteral("Processing stopped at %1 %").arg(percent));
    }
    return false;
  }

 private:
  TMMGauge* gauge_;
  QWidget* box_;
};

}  // namespace

std::string GainWords(double gain) {
  const std::string digits = GainText(gain);
  if (digits == "0") return "0 dB";
  // U+2212: a hyphen is read as "dash" or not at all.
  if (digits.front() == '-') return "\u2212" + digits.substr(1) + " dB";
  return "+" + digits + " dB";
}

void TEqForm::BuildAccessibility() {
  static const bool installed = (QAccessible::installFactory(FormFactory), true);
  (void)installed;
  for (int i = 0; i < kBandCount; ++i) {
    TMMSlider* s = Sliders[static_cast<std::size_t>(i)];
    s->setAccessibleName(BandNames[static_cast<std::size_t>(i)]);
    s->OnValueText = [](TObject*, int position) { return GainWords(SliderGain(position)); };
  }
  FftLen->setAccessibleName("Accuracy");
  FftLen->OnValueText = [](TObject*, int position) {
    if (position < 0 || position > 8) return std::to_string(position);
    return "FFT length " + std::to_string(16 << position);
  };
  InputDev->SetDescriptionLead("Recording Device : ");
  OutDev->SetDescriptionLead("Output Device : ");
  Vis->SetLatching(true);
  new TRunEndWords(Gauge, Panel1);
}

}  // namespace strataeq
