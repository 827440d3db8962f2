#include "foundation/MMDSPObj.h"

#include <algorithm>
#include <mutex>

#include "platform/Messages.h"

namespace strataeq {
namespace {

// Both lists are touched by constructors and destructors on the main thread; the
// thread list is also searched from workers, hence its lock.
std::vector<TMMDSPComponent*>& Components() {
  static std::vector<TMMDSPComponent*> list;
  return list;
}

std::mutex gThreadsMutex;
std::vector<TMMDSPThread*>& Threads() {
  static std::vector<TMMDSPThread*> list;
  return list;
}

constexpr std::size_t kMaxPropertyName = 20;

}  // namespace

bool IsSoundComponent(const TComponent* c) { return dynamic_cast<const TMMCustomSoundComponent*>(c) != nullptr; }

std::vector<TMMDSPComponent*> ComponentList() { return Components(); }

TMMDSPComponent::TMMDSPComponent(TConnectionProps props) : props_(props) { Components().push_back(this); }

TMMDSPComponent::~TMMDSPComponent() {
  SetState(TComponentStateFlag::csDestroying, true);
  SetInput(nullptr);
  SetOutput(nullptr);
  SetPWaveFormat(nullptr);
  std::erase(Components(), this);
  BeginDestruction();
}

bool TMMDSPComponent::FormatFrozen() const {
  return InState(TComponentStateFlag::csLoading) || InState(TComponentStateFlag::csReading) ||
         InState(TComponentStateFlag::csDestroying);
}

void TMMDSPComponent::Notification(TComponent* component, TOperation operation) {
  if (operation != TOperation::opRemove) return;
  if (component == input_)
    SetInput(nullptr);
  else if (component == output_)
    SetOutput(nullptr);
}

bool TMMDSPComponent::ConnectionProperty(std::string_view name, TMMDSPComponent*& value) const {
  if (name == "Input" && props_.Input) {
    value = input_;
    return true;
  }
  if (name == "Output" && props_.Output) {
    value = output_;
    return true;
  }
  return false;
}

bool TMMDSPComponent::CanConnectInput(TComponent* component) const {
  auto* v = dynamic_cast<TMMDSPComponent*>(component);
  if (component == this || !v || !v->ExposesOutput()) return false;
  return output_ ? output_->CanConnectInput(component) : true;
}

bool TMMDSPComponent::CanConnectOutput(TComponent* component) const {
  auto* v = dynamic_cast<TMMDSPComponent*>(component);
  if (component == this || !v || !v->ExposesInput()) return false;
  return input_ ? input_->CanConnectOutput(component) : true;
}

void TMMDSPComponent::ConnectionBroadcast(TMMDSPComponent* component, int side, std::string_view name) {
  for (TMMDSPComponent* x : ComponentList()) x->ConnectionChanging(component, side, name);
}

void TMMDSPComponent::ConnectionChanging(TMMDSPComponent* k, int side, std::string_view name) {
  TMMDSPComponent* value = nullptr;
  if (side == 1) {
    if (input_ == k && inputName_ == name && k->ConnectionProperty(name, value) && value == this)
      SetInputLink(nullptr, {});
  } else if (side == 0) {
    if (output_ == k && outputName_ == name && k->ConnectionProperty(name, value) && value == this)
      SetOutputLink(nullptr, {});
  }
}

void TMMDSPComponent::SetInputLink(TMMDSPComponent* component, std::string_view name) {
  input_ = component;
  inputName_ = std::string(name.substr(0, kMaxPropertyName));
  if (component) FreeNotification(component);
}

void TMMDSPComponent::SetOutputLink(TMMDSPComponent* component, std::string_view name) {
  output_ = component;
  outputName_ = std::string(name.substr(0, kMaxPropertyName));
  if (component) FreeNotification(component);
}

void TMMDSPComponent::SetInput(TMMDSPComponent* v) {
  // A class without a published "Input" has no upstream at all.
  if (v == input_ || (v && (!props_.Input || !CanConnectInput(v)))) return;
  Stop();
  if (input_) {
    ConnectionBroadcast(this, 0, "Input");
    SetInputLink(nullptr, {});
    AdoptPWaveFormat(nullptr);
  }
  if (!v) return;
  ConnectionBroadcast(v, 1, "Output");
  SetInputLink(v, "Output");
  v->SetOutputLink(this, "Input");
  UpdateFormat();
}

void TMMDSPComponent::SetOutput(TMMDSPComponent* v) {
  if (v == output_ || (v && (!props_.Output || !CanConnectOutput(v)))) return;
  Stop();
  if (output_) {
    TMMDSPComponent* old = output_;
    ConnectionBroadcast(this, 1, "Output");
    old->AdoptPWaveFormat(nullptr);
    SetOutputLink(nullptr, {});
  }
  if (!v) return;
  ConnectionBroadcast(v, 0, "Input");
  SetOutputLink(v, "Input");
  v->SetInputLink(this, "Output");
  UpdateFormat();
}

void TMMDSPComponent::UpdateFormat() {
  if (FormatFrozen()) return;
  if (input_)
    AdoptPWaveFormat(input_->PWaveFormat());
  else if (output_)
    output_->AdoptPWaveFormat(PWaveFormat());
}

void TMMDSPComponent::SetPWaveFormat(const TWaveFormatEx* format) {
  if (format != format_.get()) {
    if (started_) Stop();
    format_ = CopyFormat(format);
  }
  if (!FormatFrozen() && output_) output_->AdoptPWaveFormat(format_.get());
}

void TMMDSPComponent::AdoptPWaveFormat(const TWaveFormatEx* format) { SetPWaveFormat(format); }

void TMMDSPComponent::Loaded() {
  TMMCustomDSPComponent::Loaded();
  SetPWaveFormat(format_.get());
}

std::int32_t TMMDSPComponent::BufferSize() const { return opened_ ? realBufferSize_ : bufferSize_; }

void TMMDSPComponent::SetBufferSize(std::int32_t value) {
  if (value == bufferSize_) return;
  if (started_) Stop();
  bufferSize_ = value;
}

void TMMDSPComponent::Open() {
  if (opened_) return;
  if (format_ && format_->nBlockAlign > 0) {
    const std::int32_t align = format_->nBlockAlign;
    realBufferSize_ = std::max(bufferSize_ - bufferSize_ % align, align);
  } else {
    realBufferSize_ = bufferSize_;
  }
  opened_ = true;
}

void TMMDSPComponent::Close() { opened_ = false; }

void TMMDSPComponent::Start() {
  if (opened_ && !started_) started_ = true;
}

void TMMDSPComponent::Stop() { started_ = false; }

void TMMDSPComponent::BufferReady(PMMWaveHdr lpwh) {
  if (OnBufferReady) OnBufferReady(this, lpwh);
  if (output_) output_->BufferReady(lpwh);
}

void TMMDSPComponent::BufferLoad(PMMWaveHdr lpwh, bool& MoreBuffers) {
  if (OnBufferLoad) OnBufferLoad(this, lpwh, MoreBuffers);
  if (input_) input_->BufferLoad(lpwh, MoreBuffers);
}

const std::uint8_t* TMMDSPComponent::LoanLoad(std::int32_t, std::int32_t& bytes, bool& MoreBuffers) {
  bytes = 0;
  MoreBuffers = false;
  return nullptr;
}

// --- drivers ---------------------------------------------------------------

TMMDSPComponent* TMMCustomSoundComponent::SegmentStart(bool& upstreamDriver) {
  upstreamDriver = false;
  TMMDSPComponent* k = this;
  while (k->Input()) {
    k = k->Input();
    if (k == this) break;  // cannot happen with the connection rules; stay safe
    if (IsSoundComponent(k)) {
      upstreamDriver = true;
      return this;
    }
  }
  return k;
}

void TMMCustomSoundComponent::Apply(TMMDSPComponent* k, Op op) {
  switch (op) {
    case Op::Open:
      k->SetBufferSize(BufferSize());
      k->Open();
      break;
    case Op::Close: k->Close(); break;
    case Op::Start: k->Start(); break;
    case Op::Pause: k->Pause(); break;
    case Op::Restart: k->Restart(); break;
    case Op::Stop: k->Stop(); break;
    case Op::Reset: k->Reset(); break;
  }
}

void TMMCustomSoundComponent::ApplyBase(Op op) {
  switch (op) {
    case Op::Open: TMMDSPComponent::Open(); break;
    case Op::Close: TMMDSPComponent::Close(); break;
    case Op::Start: TMMDSPComponent::Start(); break;
    case Op::Pause: TMMDSPComponent::Pause(); break;
    case Op::Restart: TMMDSPComponent::Restart(); break;
    case Op::Stop: TMMDSPComponent::Stop(); break;
    case Op::Reset: TMMDSPComponent::Reset(); break;
  }
}

void TMMCustomSoundComponent::PropagateDown(Op op) {
  bool upstream = false;
  TMMDSPComponent* start = SegmentStart(upstream);
  if (op == Op::Open) upstreamDriver_ = upstream;
  for (TMMDSPComponent* k = start; k; k = k->Output()) {
    if (k == this) continue;
    Apply(k, op);
    if (IsSoundComponent(k)) break;
  }
  ApplyBase(op);
}

void TMMCustomSoundComponent::PropagateFarEndFirst(Op op) {
  TMMDSPComponent* next = Output();
  while (next && !IsSoundComponent(next)) next = next->Output();
  if (next && next != this) Apply(next, op);
  bool upstream = false;
  for (TMMDSPComponent* k = SegmentStart(upstream); k; k = k->Output()) {
    if (k == this) continue;
    if (IsSoundComponent(k)) break;
    Apply(k, op);
  }
  ApplyBase(op);
}

void TMMCustomSoundComponent::Open() { PropagateDown(Op::Open); }
void TMMCustomSoundComponent::Start() { PropagateDown(Op::Start); }
void TMMCustomSoundComponent::Pause() { PropagateDown(Op::Pause); }
void TMMCustomSoundComponent::Restart() { PropagateDown(Op::Restart); }
void TMMCustomSoundComponent::Reset() { PropagateDown(Op::Reset); }
void TMMCustomSoundComponent::Close() { PropagateFarEndFirst(Op::Close); }
void TMMCustomSoundComponent::Stop() { PropagateFarEndFirst(Op::Stop); }

// --- threads -----------------------------------------------------------------

TMMDSPThread::TMMDSPThread(TMMDSPComponent* owner) : owner_(owner) {
  std::lock_guard lock(gThreadsMutex);
  Threads().push_back(this);
}

TMMDSPThread::~TMMDSPThread() {
  std::lock_guard lock(gThreadsMutex);
  std::erase(Threads(), this);
}

void TMMDSPThread::Synchronize(const std::function<void()>& fn) { RunOnMainThread(fn); }

void SynchronizedCall(const std::function<void()>& fn) {
  if (!IsMainThread()) {
    TMMDSPThread* thread = nullptr;
    {
      std::lock_guard lock(gThreadsMutex);
      const auto self = std::this_thread::get_id();
      for (TMMDSPThread* t : Threads())
        if (t->ThreadID() == self) thread = t;
    }
    if (thread) {
      thread->Synchronize(fn);
      return;
    }
  }
  fn();
}

}  // namespace strataeq
