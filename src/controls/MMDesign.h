// The window designer component. Its form-editing features act only in a form editor;
// while the program runs its one effect is the form's client height.
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

#include "controls/MMObj.h"
#include "foundation/MMUtils.h"

namespace strataeq {

STRATAEQ_DECLARE_ERROR(EMMDesignerError);

class TMMDesigner : public TObject {
 public:
  // The owner is the form, or a non-widget object (a data module) whose parent is the form.
  explicit TMMDesigner(QObject* owner);

  QWidget* Form() const { return form_; }

  bool Active() const { return active_; }
  void SetActive(bool v) { active_ = v; }
  bool AutoUpdate() const { return autoUpdate_; }
  void SetAutoUpdate(bool v) { autoUpdate_ = v; }
  bool Update() const { return false; }  // a request, never stored as set
  void SetUpdate(bool) {}
  bool Sound() const { return sound_; }
  void SetSound(bool v) { sound_ = v; }
  TColor Color() const { return color_; }
  void SetColor(TColor v) { color_ = v; }
  int LineWidth() const { return lineWidth_; }
  void SetLineWidth(int v) { lineWidth_ = v; }
  int Margin() const { return margin_; }
  void SetMargin(int v) { margin_ = v; }
  bool ShowButton() const { return showButton_; }
  void SetShowButton(bool v);
  int RuntimeHeight() const { return runtimeHeight_; }
  void SetRuntimeHeight(int v) { runtimeHeight_ = v; }

  // After the form's values are set: a RuntimeHeight above 0 becomes its client height.
  void Loaded();

 private:
  QPointer<QWidget> form_;
  bool active_ = true, autoUpdate_ = true, sound_ = true;
  TColor color_ = clRed;
  int lineWidth_ = 1, margin_ = 6;
  bool showButton_ = false;
  int runtimeHeight_ = -1;
};

}  // namespace strataeq
