#include "controls/MMAccess.h"

#include <QAccessibleWidget>
#include <QWidget>

namespace strataeq {

namespace {

class ControlAccessible : public QAccessibleWidget {
 public:
  ControlAccessible(QWidget* w, TMMAccessibleControl* control)
      : QAccessibleWidget(w, control->AccessibleRole()), control_(control) {}

  QAccessible::Role role() const override { return control_->AccessibleRole(); }
  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    if (role() == QAccessible::ButtonMenu) s.hasPopup = true;
    if (const std::optional<bool> on = control_->AccessibleChecked()) {
      s.checkable = true;
      s.checked = *on;
    }
    return s;
  }
  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Value) return QString::fromStdString(control_->AccessibleValue());
    if (t == QAccessible::Name && widget()->accessibleName().isEmpty()) {
      const std::string caption = control_->AccessibleCaption();
      return QString::fromStdString(caption.empty() ? control_->AccessibleHint() : caption);
    }
    // The bridge carries neither the popup nor the checkable state: the description
    // says them in words.
    if (t == QAccessible::Description) {
      QString description = QString::fromStdString(control_->AccessibleDescription());
      if (description.isEmpty()) description = QAccessibleWidget::text(t);
      auto add = [&](const char* words) {
        description += QLatin1String(description.isEmpty() ? "" : ", ") + QLatin1String(words);
      };
      if (const std::optional<bool> on = control_->AccessibleChecked()) add(*on ? "on" : "off");
      if (role() == QAccessible::ButtonMenu) add("opens a menu");
      return description;
    }
    return QAccessibleWidget::text(t);
  }
  QStringList actionNames() const override {
    QStringList names = QAccessibleWidget::actionNames();
    if (role() == QAccessible::Button || role() == QAccessible::ButtonMenu) names.prepend(pressAction());
    return names;
  }
  void doAction(const QString& name) override {
    if (name == pressAction()) {
      // A screen reader waits for the action's answer: a dialog or menu the press opens
      // runs its own loop, so the press happens after the answer has gone.
      TMMAccessibleControl* control = control_;
      QMetaObject::invokeMethod(widget(), [control] { control->AccessiblePress(); }, Qt::QueuedConnection);
      return;
    }
    QAccessibleWidget::doAction(name);
  }

 private:
  TMMAccessibleControl* control_;
};

QAccessibleInterface* ControlFactory(const QString& className, QObject* object) {
  // Asked once per class up the hierarchy: answer at the most derived one.
  if (!object || !object->isWidgetType() || className != QLatin1String(object->metaObject()->className()))
    return nullptr;
  auto* widget = static_cast<QWidget*>(object);
  auto* control = dynamic_cast<TMMAccessibleControl*>(widget);
  return control ? control->NewAccessible(widget) : nullptr;
}

}  // namespace

TMMAccessibleControl::TMMAccessibleControl() {
  static const bool installed = (QAccessible::installFactory(ControlFactory), true);
  (void)installed;
}

QAccessibleInterface* TMMAccessibleControl::NewAccessible(QWidget* self) { return new ControlAccessible(self, this); }

}  // namespace strataeq
