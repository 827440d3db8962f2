#include "controls/MMDesign.h"

namespace strataeq {

namespace {

QWidget* FormOf(QObject* owner) {
  if (!owner) return nullptr;
  if (owner->isWidgetType()) {
    auto* widget = static_cast<QWidget*>(owner);
    return widget->isWindow() ? widget : nullptr;
  }
  // A data module: its owner is the form.
  QObject* parent = owner->parent();
  if (parent && parent->isWidgetType() && static_cast<QWidget*>(parent)->isWindow())
    return static_cast<QWidget*>(parent);
  return nullptr;
}

}  // namespace

TMMDesigner::TMMDesigner(QObject* owner) : form_(FormOf(owner)) {
  if (!form_) throw EMMDesignerError("Owner must be a Form");
}

void TMMDesigner::SetShowButton(bool v) {
  if (v == showButton_) return;
  showButton_ = v;
  // The button lives in the frame of the form editor; here the frame only repaints.
  if (form_) form_->update();
}

void TMMDesigner::Loaded() {
  if (form_ && runtimeHeight_ > 0) form_->resize(form_->width(), runtimeHeight_);
}

}  // namespace strataeq
