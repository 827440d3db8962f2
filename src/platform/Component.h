// The GUI-framework-style component base: a name, a state set and removal
// notifications between components that registered interest in each other.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace strataeq {

class TObject {
 public:
  virtual ~TObject() = default;
};

using TNotifyEvent = std::function<void(TObject* Sender)>;

enum class TComponentStateFlag : std::uint8_t { csLoading, csReading, csWriting, csDestroying, csDesigning };
enum class TOperation { opInsert, opRemove };

class TComponent : public TObject {
 public:
  TComponent() = default;
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }

  bool InState(TComponentStateFlag f) const { return state_ & FlagBit(f); }
  void SetState(TComponentStateFlag f, bool on) { state_ = on ? (state_ | FlagBit(f)) : (state_ & ~FlagBit(f)); }

  // Both components learn of the other's destruction through Notification.
  void FreeNotification(TComponent* other);
  void RemoveFreeNotification(TComponent* other);

  // Called when loading from stored settings has finished.
  virtual void Loaded() { SetState(TComponentStateFlag::csLoading, false); }

 protected:
  virtual void Notification(TComponent* /*component*/, TOperation /*operation*/) {}
  // A derived destructor calls this first, so that the removal notifications run while
  // the whole object still exists.
  void BeginDestruction();

 private:
  static std::uint8_t FlagBit(TComponentStateFlag f) { return static_cast<std::uint8_t>(1u << static_cast<int>(f)); }

  std::string name_;
  std::uint8_t state_ = 0;
  std::vector<TComponent*> freeNotifies_;
};

}  // namespace strataeq
