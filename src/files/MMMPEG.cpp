#include "files/MMMPEG.h"

#include <cmath>
#include <cstdio>
#include <mutex>
#include <utility>

#include "platform/DynLib.h"

namespace strataeq {
namespace {

constexpr const char* kLibraryName = "mpegint.dll";
constexpr const char* kUnableToLoad = "Unable to load mpegint.dll";
constexpr const char* kInvalidVersion = "Invalid Mpeg Decoder DLL version";
constexpr std::int32_t kMinimumVersion = 17;

struct Binding {
  std::mutex mutex;
  bool attempted = false;
  bool loaded = false;
  TDynLib library;
  TMpegDecoderApi api;
  std::function<void(const std::string&)> handler;
};

// Never destroyed: the library stays loaded until the process ends.
Binding& TheBinding() {
  static Binding* binding = new Binding;
  return *binding;
}

void ShowMessage(const std::string& text) {
  std::function<void(const std::string&)> handler;
  {
    std::lock_guard lock(TheBinding().mutex);
    handler = TheBinding().handler;
  }
  if (handler)
    handler(text);
  else
    std::fprintf(stderr, "%s\n", text.c_str());
}

// A decoder that lacks an entry point we call is as unusable as an old one.
bool Acceptable(const TMpegDecoderApi& api) {
  return api.Version && api.Version() >= kMinimumVersion && api.Init && api.Done && api.Clear &&
         api.SetTrailingHeader && api.SetExactPosition && api.SetFileName && api.GetFileName && api.GetEmpty &&
         api.GetFileInfo && api.SetChannelMode && api.GetChannelMode && api.SetPosition && api.GetPosition &&
         api.OpenFile && api.CloseFile && api.ResetFile && api.ReadDataBytes && api.GetDone && api.GetErrorText;
}

void BindEntryPoints(const TDynLib& lib, TMpegDecoderApi& api) {
  api.Version = lib.Function<MPEG_VERSION_FN>("mpeg_Version");
  api.Init = lib.Function<MPEG_INIT_FN>("mpeg_Init");
  api.Done = lib.Function<MPEG_DONE_FN>("mpeg_Done");
  api.SetDecodeCallback = lib.Symbol("mpeg_SetDecodeCallback");
  api.SetDecodeMode = lib.Symbol("mpeg_SetDecodeMode");
  api.SetFileOffset = lib.Symbol("mpeg_SetFileOffset");
  api.ScanFile = lib.Symbol("mpeg_ScanFile");
  api.EncryptFile = lib.Symbol("mpeg_EncryptFile");
  api.ReadID3Tag = lib.Symbol("mpeg_ReadID3Tag");
  api.Clear = lib.Function<MPEG_HANDLE_FN>("mpeg_Clear");
  api.SetTrailingHeader = lib.Function<MPEG_HANDLE_INT_FN>("mpeg_SetTrailingHeader");
  api.SetExactPosition = lib.Function<MPEG_HANDLE_INT_FN>("mpeg_SetExactPosition");
  api.SetFileName = lib.Function<MPEG_SETFILENAME_FN>("mpeg_SetFileName");
  api.GetFileName = lib.Function<MPEG_GETFILENAME_FN>("mpeg_GetFileName");
  api.GetEmpty = lib.Function<MPEG_HANDLE_FN>("mpeg_GetEmpty");
  api.GetFileInfo = lib.Function<MPEG_GETFILEINFO_FN>("mpeg_GetFileInfo");
  api.SetChannelMode = lib.Function<MPEG_HANDLE_INT_FN>("mpeg_SetChannelMode");
  api.GetChannelMode = lib.Function<MPEG_HANDLE_INTPTR_FN>("mpeg_GetChannelMode");
  api.SetPosition = lib.Function<MPEG_HANDLE_INT_FN>("mpeg_SetPosition");
  api.GetPosition = lib.Function<MPEG_HANDLE_FN>("mpeg_GetPosition");
  api.OpenFile = lib.Function<MPEG_HANDLE_FN>("mpeg_OpenFile");
  api.CloseFile = lib.Function<MPEG_HANDLE_FN>("mpeg_CloseFile");
  api.ResetFile = lib.Function<MPEG_HANDLE_FN>("mpeg_ResetFile");
  api.ReadDataBytes = lib.Function<MPEG_READDATA_FN>("mpeg_ReadDataBytes");
  api.GetDone = lib.Function<MPEG_HANDLE_FN>("mpeg_GetDone");
  api.GetErrorText = lib.Function<MPEG_ERRORTEXT_FN>("mpeg_GetErrorText");
}

}  // namespace

const TMpegDecoderApi* MpegDecoderApi() {
  Binding& b = TheBinding();
  std::string message;
  {
    std::lock_guard lock(b.mutex);
    if (b.attempted) return b.loaded ? &b.api : nullptr;
    b.attempted = true;
    if (!b.library.Load(kLibraryName)) {
      message = kUnableToLoad;
    } else {
      TMpegDecoderApi api;
      BindEntryPoints(b.library, api);
      if (Acceptable(api)) {
        b.api = api;
        b.loaded = true;
      } else {
        b.library.Unload();
        message = kInvalidVersion;
      }
    }
  }
  if (!message.empty()) ShowMessage(message);
  return b.loaded ? &b.api : nullptr;
}

void SetMpegMessageHandler(std::function<void(const std::string&)> handler) {
  std::lock_guard lock(TheBinding().mutex);
  TheBinding().handler = std::move(handler);
}

bool SetMpegDecoderApi(const TMpegDecoderApi& api) {
  Binding& b = TheBinding();
  bool accepted = false;
  {
    std::lock_guard lock(b.mutex);
    b.attempted = true;
    accepted = Acceptable(api);
    b.loaded = accepted;
    b.api = accepted ? api : TMpegDecoderApi{};
  }
  if (!accepted) ShowMessage(kInvalidVersion);
  return accepted;
}

void UnloadMpegDecoder() {
  Binding& b = TheBinding();
  std::lock_guard lock(b.mutex);
  b.library.Unload();
  b.api = TMpegDecoderApi{};
  b.attempted = false;
  b.loaded = false;
}

// --- TMMMpeg -------------------------------------------------------------------

TMMMpeg::TMMMpeg() : api_(MpegDecoderApi()) {
  if (!api_) throw EMMMpegError(kUnableToLoad);
  std::int32_t error = 0;
  handle_ = api_->Init(&error, &TMMMpeg::Notify, this);
  if (error != 0 || !handle_) {
    if (handle_) api_->Done(&handle_);
    Raise(error);
  }
}

TMMMpeg::~TMMMpeg() {
  try {
    CloseFile();
  } catch (...) {
  }
  api_->Done(&handle_);
}

void TMMMpeg::Raise(std::int32_t code, const std::string& prefix) const {
  char text[256] = {};
  if (api_->GetErrorText(code, text, sizeof text) != 0) text[0] = '\0';
  text[sizeof text - 1] = '\0';
  throw EMMMpegError(prefix + text);
}

void TMMMpeg::Notify(std::int32_t /*code*/, void* user) {
  if (!user) return;
  auto* self = static_cast<TMMMpeg*>(user);
  // The library called us: an exception must not unwind through it.
  try {
    self->FileInfoChanged();
  } catch (...) {
    if (!self->notifyError_) self->notifyError_ = std::current_exception();
  }
}

void TMMMpeg::RethrowNotifyError() {
  if (notifyError_) std::rethrow_exception(std::exchange(notifyError_, nullptr));
}

void TMMMpeg::FileInfoChanged() {
  if (api_->GetEmpty(handle_) == 0) {
    TMpegFileInfo info{};
    Check(api_->GetFileInfo(handle_, &info));
    info_ = info;
    fileSet_ = true;
  } else {
    info_ = TMpegFileInfo{};
    fileSet_ = false;
  }
  RebuildFormat();
  if (OnChange) OnChange(this);
}

void TMMMpeg::RebuildFormat() {
  if (!fileSet_) {
    format_.reset();
    return;
  }
  const int channels = Mode() == TSampleMode::smSingleChannel || ChannelMode() != TChannelMode::cmBoth ? 1 : 2;
  const TWaveFormatEx f = BuildPcmFormat(16, channels, static_cast<std::uint32_t>(info_.playback_rate));
  format_ = CopyFormat(&f);
}

std::string TMMMpeg::FileName() const {
  char name[256] = {};
  Check(api_->GetFileName(handle_, name, sizeof name));
  name[sizeof name - 1] = '\0';
  return name;
}

void TMMMpeg::SetFileName(const std::string& name) {
  if (opened_) CloseFile();
  const std::int32_t rc = api_->SetFileName(handle_, name.c_str());
  if (rc != 0) {
    notifyError_ = nullptr;
    Raise(rc);
  }
  RethrowNotifyError();
}

void TMMMpeg::SetTrailingHeader(std::int32_t value) {
  if (value == trailingHeader_) return;
  trailingHeader_ = value;
  Check(api_->SetTrailingHeader(handle_, value));
}

void TMMMpeg::SetExactposition(bool value) {
  exactPosition_ = value;
  Check(api_->SetExactPosition(handle_, value ? 1 : 0));
}

TChannelMode TMMMpeg::ChannelMode() const {
  std::int32_t word = 0;
  Check(api_->GetChannelMode(handle_, &word));
  return static_cast<TChannelMode>(word & 0xFF);
}

void TMMMpeg::SetChannelMode(TChannelMode value) {
  if (opened_) throw EMMMpegError(LoadResString(msg::PropertyWhileOpen));
  Check(api_->SetChannelMode(handle_, static_cast<std::int32_t>(value)));
  // The delivered channel count may have changed: whoever took our format must know.
  RebuildFormat();
  if (OnChange) OnChange(this);
}

TMpegVersion TMMMpeg::Version() const {
  return fileSet_ ? static_cast<TMpegVersion>(info_.version) : TMpegVersion::v1;
}

void TMMMpeg::OpenFile() {
  if (opened_) return;
  Check(api_->OpenFile(handle_));
  opened_ = true;
}

void TMMMpeg::CloseFile() {
  if (!opened_) return;
  opened_ = false;
  Check(api_->CloseFile(handle_));
}

void TMMMpeg::ResetFile() { Check(api_->ResetFile(handle_)); }

std::int32_t TMMMpeg::Position() const { return api_->GetPosition(handle_); }

void TMMMpeg::SetPosition(std::int32_t frame) {
  const std::string prefix = std::to_string(frame) + ": ";
  if (!opened_) {
    Check(api_->SetPosition(handle_, Max(frame, 0)), prefix);
    return;
  }
  Check(api_->SetPosition(handle_, Max(frame - 2, 0)), prefix);
  std::int32_t frameBytes = 0;
  if (format_)
    frameBytes = static_cast<std::int32_t>(std::lround(format_->nAvgBytesPerSec * info_.ms_per_frame / 1000.0));
  frameBytes = Clamp(frameBytes - frameBytes % 4, 4, 4608);
  while (api_->GetPosition(handle_) < frame && api_->GetDone(handle_) == 0) {
    const std::int32_t n = api_->ReadDataBytes(handle_, scratch_, frameBytes);
    if (n < 0) Raise(-n, prefix);
    if (n == 0) break;  // the end, even if the library does not say so
  }
}

std::int32_t TMMMpeg::ReadDataBytes(void* buffer, std::int32_t bytes) {
  const std::int32_t n = api_->ReadDataBytes(handle_, buffer, bytes);
  if (n < 0) Raise(-n);
  return n;
}

bool TMMMpeg::Done() const { return api_->GetDone(handle_) != 0; }

// --- TMMMPEGFile ---------------------------------------------------------------

TMMMPEGFile::TMMMPEGFile() : TMMDSPComponent(TConnectionProps{false, true}), mpeg_(std::make_unique<TMMMpeg>()) {
  mpeg_->OnChange = [this](TObject*) {
    SetPWaveFormat(mpeg_->PWaveFormat());
    if (OnChange) OnChange(this);
  };
}

TMMMPEGFile::~TMMMPEGFile() {
  try {
    Close();
  } catch (...) {
  }
  mpeg_->OnChange = nullptr;
}

void TMMMPEGFile::Open() {
  TMMDSPComponent::Open();
  if (fileOpened_) return;
  if (!mpeg_->Empty()) {
    mpeg_->OpenFile();
    startFrame_ = mpeg_->Position();
  }
  fileOpened_ = true;
}

void TMMMPEGFile::Start() {
  TMMDSPComponent::Start();
  if (!fileOpened_ || fileStarted_) return;
  fileStarted_ = true;
  if (!mpeg_->Empty()) mpeg_->SetPosition(startFrame_);
}

void TMMMPEGFile::Stop() {
  fileStarted_ = false;
  TMMDSPComponent::Stop();
}

void TMMMPEGFile::Close() {
  if (fileOpened_) {
    Stop();
    fileOpened_ = false;
    mpeg_->CloseFile();
  }
  TMMDSPComponent::Close();
}

void TMMMPEGFile::BufferLoad(PMMWaveHdr lpwh, bool& MoreBuffers) {
  if (mpeg_->Empty()) {
    lpwh->dwBytesRecorded = 0;
    MoreBuffers = false;
    return;
  }
  const std::int32_t size = static_cast<std::int32_t>(lpwh->dwBufferLength);
  if (!fileStarted_ || !enabled_) {
    GlobalFillMem(lpwh->lpData, static_cast<std::size_t>(size), 0);
    lpwh->dwBytesRecorded = size;
    MoreBuffers = true;
    return;
  }
  const std::int32_t n = mpeg_->Opened() ? mpeg_->ReadDataBytes(lpwh->lpData, size) : 0;
  lpwh->dwBytesRecorded = n;
  if (n == 0) {
    MoreBuffers = false;
    return;
  }
  if (!mpeg_->Done()) {
    MoreBuffers = true;
    return;
  }
  if (lpwh->LoopRec == 0) {
    MoreBuffers = false;
    return;
  }
  if (lpwh->LoopCount > 0) --lpwh->LoopTempCount;
  if (lpwh->LoopCount != 0 && lpwh->LoopTempCount < 0) {
    MoreBuffers = false;
    return;
  }
  mpeg_->ResetFile();
  MoreBuffers = true;
  lpwh->LoopMark = -1;
}

}  // namespace strataeq
