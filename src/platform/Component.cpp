#include "platform/Component.h"

#include <algorithm>

namespace strataeq {

TComponent::~TComponent() { BeginDestruction(); }

void TComponent::BeginDestruction() {
  if (InState(TComponentStateFlag::csDestroying) && freeNotifies_.empty()) return;
  SetState(TComponentStateFlag::csDestroying, true);
  // Each notified component may unregister itself (or others) while we walk.
  while (!freeNotifies_.empty()) {
    TComponent* other = freeNotifies_.back();
    freeNotifies_.pop_back();
    std::erase(other->freeNotifies_, this);
    other->Notification(this, TOperation::opRemove);
  }
}

void TComponent::FreeNotification(TComponent* other) {
  if (!other || other == this) return;
  if (std::find(freeNotifies_.begin(), freeNotifies_.end(), other) == freeNotifies_.end())
    freeNotifies_.push_back(other);
  if (std::find(other->freeNotifies_.begin(), other->freeNotifies_.end(), this) == other->freeNotifies_.end())
    other->freeNotifies_.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* other) {
  if (!other) return;
  std::erase(freeNotifies_, other);
  std::erase(other->freeNotifies_, this);
}

}  // namespace strataeq
