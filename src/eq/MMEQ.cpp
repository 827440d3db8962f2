#include "eq/MMEQ.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

namespace strataeq {
namespace {

constexpr std::int32_t kMinWorkCapacity = 65536;
constexpr std::int32_t kDisplayCapacity = 8192;
constexpr std::int32_t kImpulseBytes = 16386;
constexpr std::int16_t kImpulse = 21500;
// Posted by the audio thread to the equalizer's own window: buffers have clipped.
constexpr std::uint32_t kOverflowMessage = 45560;

// 16-bit PCM, or float samples for the high-resolution path (up to 192000 Hz).
bool IsPcm16(const TWaveFormatEx* f) {
  if (IsValidPcmFormat(f) && f->wBitsPerSample == 16) return true;
  return IsFloatFormat(f) && (f->nChannels == 1 || f->nChannels == 2) && f->nSamplesPerSec >= 4000 &&
         f->nSamplesPerSec <= 192000;
}

std::int32_t FloorPowerOfTwo(std::int32_t v) {
  std::int32_t p = 1;
  while (p * 2 <= v) p *= 2;
  return p;
}

}  // namespace

TMMEqualizer::TMMEqualizer() {
  notify_ = std::make_unique<TNotifyWindow>([this](TMessage& m) {
    if (m.Msg != kOverflowMessage) return DefWindowProc(m);
    // Cleared before the event: a clip during the handler posts again.
    overflowPosted_.store(false);
    PcmOverflow();
  });
  notifyHandle_ = notify_->Handle();
  ReserveMessages(4);
  filters_ = std::make_unique<TMMEQFilterList>(this);
  filters_->OnChange = [this](TObject* sender) { BandListChanged(sender); };
  fftLength_ = kMinFFTLength;
  SetFFTLength(256);
}

TMMEqualizer::~TMMEqualizer() {
  Unprepare();
  notify_.reset();
  try {
    SetSpectrum(nullptr);
  } catch (...) {
  }
  filters_.reset();
}

// Properties

void TMMEqualizer::SetEnabled(bool value) {
  if (value == enabled_.load()) return;
  enabled_.store(value);
  if (prepared_) ResetFilter(filter_.get());
}

void TMMEqualizer::SetAligned(bool value) {
  if (value == aligned_.load()) return;
  aligned_.store(value);
  draining_ = false;
  if (prepared_) SetFilterAligned(filter_.get(), value);
}

void TMMEqualizer::SetSampleRate(std::int32_t value) {
  if (value == sampleRate_) return;
  sampleRate_ = Clamp(value, kMinSampleRate, kMaxSampleRate);
  RebuildDisplayFilter(true);
}

void TMMEqualizer::SetFFTLength(std::int32_t value) {
  const std::int32_t v = FloorPowerOfTwo(Clamp(value, kMinFFTLength, kMaxFFTLength));
  if (v == fftLength_) return;
  fftLength_ = v;
  RebuildDisplayFilter(true);
  if (!prepared_) return;
  if (!IsPcm16(PWaveFormat())) {
    Unprepare();
    return;
  }
  // Built complete (window and bands) before the audio thread can see it.
  ReplaceFilter(NewFilter(PWaveFormat(), workCapacity_));
}

void TMMEqualizer::SetDescription(const std::string& value) {
  if (value != description_) description_ = value;
}

void TMMEqualizer::SetFilters(const TMMEQFilterList* value) {
  if (value != filters_.get()) filters_->Assign(value);
}

void TMMEqualizer::SetWindow(TMMFFTWindow value) {
  if (value == window_) return;
  window_ = value;
  if (prepared_) SetFilterWindow(filter_.get(), value);
  RebuildDisplayFilter(true);
}

void TMMEqualizer::SetChannel(TMMChannel value) { channel_.store(value); }

void TMMEqualizer::SetThreads(std::int32_t value) { threads_ = std::max(1, value); }

void TMMEqualizer::SetSpectrum(TMMResponseDisplay* value) {
  if (value == spectrum_) return;
  if (spectrum_) {
    spectrum_->SetResponseHook(nullptr);
    spectrum_->ResetDisplay();
    FreeFFTFilter(display_);
    if (spectrumComponent_) RemoveFreeNotification(spectrumComponent_);
  }
  spectrum_ = value;
  spectrumComponent_ = dynamic_cast<TComponent*>(value);
  if (!spectrum_) return;
  if (spectrumComponent_) FreeNotification(spectrumComponent_);
  RebuildDisplayFilter(true);
  spectrum_->SetWindow(TMMFFTWindow::fwRectangular);
  spectrum_->SetResponseHook([this](TObject* sender) { DrawResponse(sender); });
  spectrum_->ResetDisplay();
}

void TMMEqualizer::SetPWaveFormat(const TWaveFormatEx* format) {
  if (format && !InState(TComponentStateFlag::csDesigning) && !IsPcm16(format))
    throw EMMEqualizerError(LoadResString(msg::InvalidWaveFormat));
  if (format) SetSampleRate(static_cast<std::int32_t>(std::min<std::uint32_t>(format->nSamplesPerSec, kMaxSampleRate)));
  TMMDSPComponent::SetPWaveFormat(format);
  // A filter made for another layout or rate would garble the stream: make a new one.
  const TWaveFormatEx* own = PWaveFormat();
  if (prepared_ && IsPcm16(own) &&
      (own->nChannels != filter_->Channels || static_cast<std::int32_t>(own->nSamplesPerSec) != filter_->SampleRate))
    ReplaceFilter(NewFilter(own, workCapacity_));
}

void TMMEqualizer::Assign(const TObject* source) {
  const auto* other = dynamic_cast<const TMMEqualizer*>(source);
  if (!other || other == this) return;
  SetChannel(other->Channel());
  SetEnabled(other->Enabled());
  SetDescription(other->Description());
  SetFFTLength(other->FFTLength());
  SetWindow(other->Window());
  SetFilters(other->Filters());
  SetSampleRate(other->SampleRate());
}

void TMMEqualizer::Loaded() {
  TMMDSPComponent::Loaded();
  if (spectrum_) spectrum_->ResetDisplay();
}

void TMMEqualizer::Notification(TComponent* component, TOperation operation) {
  TMMDSPComponent::Notification(component, operation);
  if (operation == TOperation::opRemove && component && component == spectrumComponent_) {
    spectrum_ = nullptr;
    spectrumComponent_ = nullptr;
    FreeFFTFilter(display_);
  }
}

// Lifecycle

PFFTFilter TMMEqualizer::NewFilter(const TWaveFormatEx* format, std::int32_t capacity) const {
  PFFTFilter f = CreateFFTFilter(format, fftLength_, capacity);
  if (!f) throw std::bad_alloc();
  f->NonFiniteCount = &nonFinite_;
  if (helper_ && f->Channels == 2) SetFilterHelper(f.get(), helper_.get());
  SetFilterAligned(f.get(), aligned_.load());
  SetFilterWindow(f.get(), window_);
  ApplyBands(f.get());
  return f;
}

void TMMEqualizer::ReplaceFilter(PFFTFilter next) {
  PFFTFilter old = std::move(filter_);
  filter_ = std::move(next);
  live_.store(filter_.get());
  // A buffer that fetched the old filter before the store may still be inside it;
  // that lasts one ProcessFilter call at most.
  while (inFilter_.load() != 0) std::this_thread::yield();
  old.reset();
}

void TMMEqualizer::Prepare() {
  if (prepared_ || !IsPcm16(PWaveFormat())) return;
  workCapacity_ = std::max(kMinWorkCapacity, BufferSize());
  draining_ = false;
  stage_.reset();
  staged_ = 0;
  stageMore_ = true;
  if (threads_ > 1 && PWaveFormat()->nChannels == 2) {
    helper_ = std::make_unique<THandOffWorker>();
    // One slice of the filter: whole buffers of the chain, one hand-off for all of them.
    const std::int32_t buffer = std::max(BufferSize(), 1);
    stage_ = AllocWaveHeader(static_cast<std::size_t>(std::max(workCapacity_ / buffer, 1) * buffer));
  }
  ReplaceFilter(NewFilter(PWaveFormat(), workCapacity_));
  prepared_ = true;
  RebuildResponse();
}

void TMMEqualizer::Unprepare() {
  if (!prepared_) return;
  prepared_ = false;
  ReplaceFilter(nullptr);
  helper_.reset();  // no filter is left to hand it work
}

void TMMEqualizer::Open() {
  Prepare();
  TMMDSPComponent::Open();
}

void TMMEqualizer::Close() {
  Unprepare();
  TMMDSPComponent::Close();
}

void TMMEqualizer::Start() {
  clipped_.store(0);
  RebuildResponse();
  TMMDSPComponent::Start();
}

// Audio path

void TMMEqualizer::Process(char* data, std::int32_t bytes) {
  if (!data || bytes <= 0 || !enabled_.load(std::memory_order_relaxed)) return;
  inFilter_.fetch_add(1);
  TFFTFilter* filter = live_.load();
  const bool overflow = filter && ProcessFilter(filter, channel_.load(std::memory_order_relaxed), data, bytes);
  inFilter_.fetch_sub(1, std::memory_order_release);
  if (overflow) NoteOverflow();
}

void TMMEqualizer::NoteOverflow() noexcept {
  // Counted here, reported on the main thread: the audio thread never waits for it,
  // and one message stands for every clip until the main thread has taken it.
  clipped_.fetch_add(1, std::memory_order_relaxed);
  if (!overflowPosted_.exchange(true)) {
    if (!PostMessage(notifyHandle_, kOverflowMessage)) overflowPosted_.store(false);
  }
}

namespace {
std::int32_t RecordedBytes(const TMMWaveHdr* h) {
  std::int32_t n = h->dwBytesRecorded;
  if (h->dwBufferLength > 0 && static_cast<std::uint32_t>(std::max(n, 0)) > h->dwBufferLength)
    n = static_cast<std::int32_t>(std::min<std::uint32_t>(h->dwBufferLength, 0x7FFFFFFF));
  return n;
}
}  // namespace

void TMMEqualizer::BufferReady(PMMWaveHdr lpwh) {
  if (lpwh) Process(lpwh->lpData, RecordedBytes(lpwh));
  TMMDSPComponent::BufferReady(lpwh);
}

void TMMEqualizer::BufferLoad(PMMWaveHdr lpwh, bool& MoreBuffers) {
  if (lpwh && stage_ && staged_ > 0) {
    LoadStaged(lpwh, MoreBuffers);  // what was filtered before goes out first
    return;
  }
  if (lpwh && aligned_.load() && enabled_.load() && live_.load()) {
    if (stage_)
      LoadStaged(lpwh, MoreBuffers);
    else
      LoadAligned(lpwh, MoreBuffers);
    return;
  }
  TMMDSPComponent::BufferLoad(lpwh, MoreBuffers);
  if (lpwh) Process(lpwh->lpData, RecordedBytes(lpwh));
}

void TMMEqualizer::LoadAligned(PMMWaveHdr h, bool& MoreBuffers) {
  const std::uint32_t length = h->dwBufferLength;
  const int room = static_cast<int>(std::min<std::uint32_t>(length, 0x7FFFFFFF));
  const TMMChannel channel = channel_.load(std::memory_order_relaxed);
  auto withFilter = [this](auto&& call) {
    inFilter_.fetch_add(1);
    TFFTFilter* filter = live_.load();
    const bool overflow = filter && call(filter);
    inFilter_.fetch_sub(1, std::memory_order_release);
    return overflow;
  };
  bool overflow = false;
  int delivered = 0;
  // Until the filter's delay has passed a pull may give nothing back: pull again
  // (the filter keeps what it was given), so that no buffer goes out empty.
  while (!draining_) {
    h->dwBufferLength = length;
    h->dwBytesRecorded = 0;
    bool more = false;
    // Bytes a read-ahead queue holds already are filtered where they are, not copied
    // here first (unless someone watches this pull).
    std::int32_t n = 0;
    const std::uint8_t* loaned = Input() && !OnBufferLoad ? Input()->LoanLoad(room, n, more) : nullptr;
    if (loaned) {
      overflow |=
          withFilter([&](TFFTFilter* f) { return ProcessFilterAlignedFrom(f, channel, loaned, h->lpData, n, delivered); });
      Input()->ReleaseLoaned();
    } else {
      TMMDSPComponent::BufferLoad(h, more);
      n = RecordedBytes(h);
      overflow |= withFilter([&](TFFTFilter* f) { return ProcessFilterAligned(f, channel, h->lpData, n, delivered); });
    }
    if (!more || n <= 0) draining_ = true;
    if (delivered > 0) break;
  }
  bool pending = false;
  if (draining_) {
    overflow |= withFilter([&](TFFTFilter* f) {
      int tail = 0;
      const bool clipped = DrainFilter(f, channel, h->lpData + delivered, room - delivered, tail);
      delivered += tail;
      pending = FilterPending(f) > 0;
      return clipped;
    });
  }
  h->dwBufferLength = length;
  h->dwBytesRecorded = delivered;
  MoreBuffers = !draining_ || pending;
  if (overflow) NoteOverflow();
}

void TMMEqualizer::LoadStaged(PMMWaveHdr h, bool& MoreBuffers) {
  TMMWaveHdr* stage = stage_.get();
  if (staged_ == 0 && stageMore_) {
    LoadAligned(stage, stageMore_);
    staged_ = static_cast<std::int32_t>(stage->dwBytesRecorded);
  }
  const std::int32_t from = static_cast<std::int32_t>(stage->dwBytesRecorded) - staged_;
  const std::int32_t n =
      std::min(staged_, static_cast<std::int32_t>(std::min<std::uint32_t>(h->dwBufferLength, 0x7FFFFFFF)));
  std::memcpy(h->lpData, stage->lpData + from, static_cast<std::size_t>(n));
  staged_ -= n;
  h->dwBytesRecorded = n;
  MoreBuffers = staged_ > 0 || stageMore_;
}

void TMMEqualizer::PcmOverflow() {
  if (OnPcmOverflow) OnPcmOverflow(this);
}

// Response

void TMMEqualizer::ApplyBands(TFFTFilter* filter) const {
  // Designed whole in a spare and swapped in: no block is filtered with half of the
  // bands, and the audio thread never waits for the designs.
  const TWaveFormatEx format = BuildPcmFormat(16, 1, static_cast<std::uint32_t>(filter->SampleRate));
  PFFTFilter spare = CreateFFTFilter(&format, filter->BlockLength, 0);
  if (!spare) throw std::bad_alloc();
  SetFilterBandGain(spare.get(), 0, static_cast<float>(sampleRate_) / 2, 0);
  for (std::int32_t i = 0; i < filters_->Count(); ++i) {
    const TMMEQFilter* band = filters_->Band(i);
    if (band->Enabled()) SetFilterBandGain(spare.get(), band->F1(), band->F2(), band->Gain());
  }
  InstallFilterDesign(filter, spare.get());
}

void TMMEqualizer::RebuildResponse() {
  if (prepared_) ApplyBands(filter_.get());
}

void TMMEqualizer::Changed() {
  if (spectrum_ && !InState(TComponentStateFlag::csLoading) && !InState(TComponentStateFlag::csReading))
    spectrum_->ResetDisplay();
  if (OnChange) OnChange(this);
}

void TMMEqualizer::BandChanged(TMMEQFilter* band) {
  if (updating_ || !band) return;
  if (prepared_) SetFilterBand(filter_.get(), band->F1(), band->F2(), band->Enabled() ? band->Gain() : 0.0f);
  Changed();
}

void TMMEqualizer::BandListChanged(TObject* /*sender*/) {
  if (updating_) return;
  RebuildResponse();
  Changed();
}

void TMMEqualizer::RebuildDisplayFilter(bool build) {
  FreeFFTFilter(display_);
  if (!build || !spectrum_) return;
  const TWaveFormatEx format = BuildPcmFormat(16, 1, static_cast<std::uint32_t>(sampleRate_));
  display_ = CreateFFTFilter(&format, fftLength_, kDisplayCapacity);
  if (!display_) throw std::bad_alloc();
  spectrum_->SetDataFormat(&format);
  SetFilterWindow(display_.get(), window_);
  spectrum_->ResetDisplay();
}

void TMMEqualizer::DrawResponse(TObject* /*sender*/) {
  if (!spectrum_ || !display_) return;
  TFFTFilter* filter = display_.get();
  ApplyBands(filter);
  // Each drawing starts from an empty filter, so it shows the response and nothing left
  // over from the drawing before.
  ResetFilter(filter);
  std::int16_t impulse[kImpulseBytes / 2] = {};
  impulse[0] = kImpulse;
  const std::int32_t bytes = std::min(std::max(spectrum_->FrameSize(), 2 * fftLength_), kImpulseBytes);
  ProcessFilter(filter, TMMChannel::chLeft, impulse, bytes);
  spectrum_->ProcessFrame(impulse);
}

}  // namespace strataeq
