// What screen readers and UI automation learn of the controls.
#pragma once

#include <QAccessible>
#include <optional>
#include <string>

class QWidget;

namespace strataeq {

// What screen readers and UI automation learn of a control: its role, its value as text
// and a press action. The name is the widget's accessible name, else its caption, else
// its hint.
class TMMAccessibleControl {
 public:
  virtual ~TMMAccessibleControl() = default;
  virtual QAccessible::Role AccessibleRole() const { return QAccessible::Client; }
  virtual std::string AccessibleValue() const { return {}; }
  virtual std::string AccessibleHint() const { return {}; }
  virtual std::string AccessibleCaption() const { return {}; }
  // The press action of button-like controls; false when there is none.
  virtual bool AccessiblePress() { return false; }
  // The description when it is more than the hint; empty: the widget's own.
  virtual std::string AccessibleDescription() const { return {}; }
  // On/off state of a latched control; none for others.
  virtual std::optional<bool> AccessibleChecked() const { return std::nullopt; }
  // The interface Qt's accessibility asks for; controls with a value range override it.
  virtual QAccessibleInterface* NewAccessible(QWidget* self);

 protected:
  TMMAccessibleControl();  // installs the factory once
};

}  // namespace strataeq
