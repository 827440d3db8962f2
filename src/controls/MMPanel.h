// Panel framed by the shared bevel; its children lie inside the bevel.
#pragma once

#include <string>

#include "controls/MMObj.h"

namespace strataeq {

enum class TAlignment { taLeftJustify, taRightJustify, taCenter };

class TMMPanel : public TMMCustomControl {
  Q_OBJECT
 public:
  explicit TMMPanel(QWidget* parent = nullptr);

  const std::string& Caption() const { return caption_; }
  void SetCaption(std::string caption);
  TAlignment Alignment() const { return alignment_; }
  void SetAlignment(TAlignment alignment);

  QAccessible::Role AccessibleRole() const override { return QAccessible::Pane; }
  std::string AccessibleCaption() const override { return caption_; }

 protected:
  void Paint(QPainter& painter) override;
  // Children are laid out inside the total bevel width.
  void BevelChanged() override;

 private:
  std::string caption_;
  TAlignment alignment_ = TAlignment::taCenter;
};

}  // namespace strataeq
