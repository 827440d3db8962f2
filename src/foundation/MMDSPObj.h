// The sound component chain: links, format propagation, buffer sizes, lifecycle
// propagation by the drivers, push and pull of buffers, and the worker-thread base.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/MMPCMSup.h"
#include "platform/Component.h"
#include "platform/Threads.h"

namespace strataeq {

class TMMDSPComponent;

// Posted by a driver's buffer path to its notification window to complete a stop.
inline constexpr std::uint32_t MM_WOM_STOP = 32769;

using TMMBufferEvent = std::function<void(TObject* Sender, PMMWaveHdr lpwh)>;
using TMMBufferLoadEvent = std::function<void(TObject* Sender, PMMWaveHdr lpwh, bool& MoreBuffers)>;

class TMMComponent : public TComponent {};
class TMMNonVisualComponent : public TMMComponent {};
class TMMCustomDSPComponent : public TMMNonVisualComponent {};

// Which of the connection properties "Input" and "Output" a class publishes; it
// decides what may be connected to it.
struct TConnectionProps {
  bool Input = true;
  bool Output = true;
};

class TMMDSPComponent : public TMMCustomDSPComponent {
 public:
  explicit TMMDSPComponent(TConnectionProps props = {});
  ~TMMDSPComponent() override;

  TMMDSPComponent* Input() const { return input_; }
  TMMDSPComponent* Output() const { return output_; }
  virtual void SetInput(TMMDSPComponent* value);
  virtual void SetOutput(TMMDSPComponent* value);

  const TWaveFormatEx* PWaveFormat() const { return format_.get(); }
  virtual void SetPWaveFormat(const TWaveFormatEx* format);
  virtual void AdoptPWaveFormat(const TWaveFormatEx* format);
  virtual void UpdateFormat();

  // The real buffer size while opened, else the stored value.
  virtual std::int32_t BufferSize() const;
  virtual void SetBufferSize(std::int32_t value);

  bool Opened() const { return opened_; }
  bool Started() const { return started_; }

  virtual void Open();
  virtual void Close();
  virtual void Start();
  virtual void Pause() {}
  virtual void Restart() {}
  virtual void Stop();
  virtual void Reset() {}

  // Push: a filled buffer travels downstream. Runs on the driver's thread.
  virtual void BufferReady(PMMWaveHdr lpwh);
  // Pull: asks upstream to fill the buffer. Runs on the driver's thread.
  virtual void BufferLoad(PMMWaveHdr lpwh, bool& MoreBuffers);
  // Pull without a copy, where a component holds the bytes already: up to maxBytes of
  // them in place, read-only, until ReleaseLoaned; bytes and MoreBuffers as BufferLoad
  // would give them. nullptr: nothing to lend now, BufferLoad instead.
  virtual const std::uint8_t* LoanLoad(std::int32_t maxBytes, std::int32_t& bytes, bool& MoreBuffers);
  virtual void ReleaseLoaned() {}

  virtual void ConnectionChanging(TMMDSPComponent* component, int side, std::string_view name);
  virtual void SetInputLink(TMMDSPComponent* component, std::string_view name);
  virtual void SetOutputLink(TMMDSPComponent* component, std::string_view name);
  virtual bool CanConnectInput(TComponent* component) const;
  virtual bool CanConnectOutput(TComponent* component) const;

  // A published component-valued property by name; false when the class has none.
  virtual bool ConnectionProperty(std::string_view name, TMMDSPComponent*& value) const;

  const std::string& InputPropertyName() const { return inputName_; }
  const std::string& OutputPropertyName() const { return outputName_; }
  bool ExposesInput() const { return props_.Input; }
  bool ExposesOutput() const { return props_.Output; }

  void Loaded() override;

  TMMBufferEvent OnBufferReady;
  TMMBufferLoadEvent OnBufferLoad;

 protected:
  void Notification(TComponent* component, TOperation operation) override;
  bool FormatFrozen() const;  // loading, reading or being destroyed

 private:
  void ConnectionBroadcast(TMMDSPComponent* component, int side, std::string_view name);

  TConnectionProps props_;
  TMMDSPComponent* input_ = nullptr;
  TMMDSPComponent* output_ = nullptr;
  PWaveFormatEx format_;
  std::int32_t bufferSize_ = 2048;
  std::int32_t realBufferSize_ = 2048;
  bool opened_ = false;
  bool started_ = false;
  std::string inputName_;
  std::string outputName_;
};

// Base of the drivers: propagates the lifecycle through its segment of the chain.
class TMMCustomSoundComponent : public TMMDSPComponent {
 public:
  using TMMDSPComponent::TMMDSPComponent;

  // Set by Open when another driver lies upstream.
  bool UpstreamDriver() const { return upstreamDriver_; }

  void Open() override;
  void Close() override;
  void Start() override;
  void Pause() override;
  void Restart() override;
  void Stop() override;
  void Reset() override;

 private:
  enum class Op { Open, Close, Start, Pause, Restart, Stop, Reset };
  TMMDSPComponent* SegmentStart(bool& upstreamDriver);
  void PropagateDown(Op op);
  void PropagateFarEndFirst(Op op);
  void Apply(TMMDSPComponent* k, Op op);
  void ApplyBase(Op op);

  bool upstreamDriver_ = false;
};

// Worker threads of the drivers; members of the thread list from construction on.
class TMMDSPThread : public TThread {
 public:
  explicit TMMDSPThread(TMMDSPComponent* owner);
  ~TMMDSPThread() override;
  TMMDSPComponent* Owner() const { return owner_; }
  // Runs fn on the main thread and waits for it.
  void Synchronize(const std::function<void()>& fn);

 private:
  TMMDSPComponent* owner_;
};

// From a worker of the thread list: runs fn on the main thread and waits.
// Anywhere else: calls fn directly.
void SynchronizedCall(const std::function<void()>& fn);

bool IsSoundComponent(const TComponent* c);
// Every chain component alive, in order of construction.
std::vector<TMMDSPComponent*> ComponentList();

}  // namespace strataeq
