#include "eq/MMObjLst.h"

#include <cxxabi.h>
#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_set>

namespace strataeq {

namespace {

std::string Format(const char* pattern, const std::string& arg) {
  std::string text = pattern;
  auto pos = text.find("%s");
  if (pos != std::string::npos) text.replace(pos, 2, arg);
  return text;
}

std::string Format(const char* pattern, std::int32_t arg) {
  std::string text = pattern;
  auto pos = text.find("%d");
  if (pos != std::string::npos) text.replace(pos, 2, std::to_string(arg));
  return text;
}

[[noreturn]] void InvalidStream() { throw EStreamError(objmsg::InvalidStream); }

std::string Lower(std::string_view s) {
  std::string r(s);
  for (auto& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return r;
}

void CheckSignature(TStream& stream, const char (&expected)[4]) {
  char sig[4];
  stream.ReadBuffer(sig, 4);
  if (std::memcmp(sig, expected, 4) != 0) InvalidStream();
}

}  // namespace

// ---- streams

void TStream::ReadBuffer(void* buffer, std::size_t count) {
  if (count != 0 && Read(buffer, count) != count) throw EStreamError(objmsg::ReadError);
}

void TStream::WriteBuffer(const void* buffer, std::size_t count) {
  if (count != 0 && Write(buffer, count) != count) throw EStreamError(objmsg::WriteError);
}

std::uint8_t TStream::ReadU8() {
  std::uint8_t b;
  ReadBuffer(&b, 1);
  return b;
}

std::int16_t TStream::ReadI16() {
  std::uint8_t b[2];
  ReadBuffer(b, 2);
  return static_cast<std::int16_t>(b[0] | (b[1] << 8));
}

std::int32_t TStream::ReadI32() {
  std::uint8_t b[4];
  ReadBuffer(b, 4);
  return static_cast<std::int32_t>(std::uint32_t(b[0]) | (std::uint32_t(b[1]) << 8) |
                                   (std::uint32_t(b[2]) << 16) | (std::uint32_t(b[3]) << 24));
}

float TStream::ReadF32() { return std::bit_cast<float>(ReadI32()); }

void TStream::WriteU8(std::uint8_t v) { WriteBuffer(&v, 1); }

void TStream::WriteI16(std::int16_t v) {
  auto u = static_cast<std::uint16_t>(v);
  std::uint8_t b[2] = {static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8)};
  WriteBuffer(b, 2);
}

void TStream::WriteI32(std::int32_t v) {
  auto u = static_cast<std::uint32_t>(v);
  std::uint8_t b[4] = {static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8),
                       static_cast<std::uint8_t>(u >> 16), static_cast<std::uint8_t>(u >> 24)};
  WriteBuffer(b, 4);
}

void TStream::WriteF32(float v) { WriteI32(std::bit_cast<std::int32_t>(v)); }

std::size_t TReadOnlyMemoryStream::Read(void* buffer, std::size_t count) {
  std::size_t n = Min(count, size_ - pos_);
  if (n) std::memcpy(buffer, data_ + pos_, n);
  pos_ += n;
  return n;
}

std::size_t TMemoryStream::Read(void* buffer, std::size_t count) {
  std::size_t n = Min(count, bytes_.size() - pos_);
  if (n) std::memcpy(buffer, bytes_.data() + pos_, n);
  pos_ += n;
  return n;
}

std::size_t TMemoryStream::Write(const void* buffer, std::size_t count) {
  if (pos_ + count > bytes_.size()) bytes_.resize(pos_ + count);
  if (count) std::memcpy(bytes_.data() + pos_, buffer, count);
  pos_ += count;
  return count;
}

TFileStream::TFileStream(const std::string& fileName, TFileMode mode) {
  if (mode == TFileMode::fmOpenRead) {
    file_ = std::fopen(fileName.c_str(), "rb");
    struct stat st {};
    if (file_ && (fstat(fileno(file_), &st) != 0 || S_ISDIR(st.st_mode))) {
      int err = S_ISDIR(st.st_mode) ? EISDIR : errno;
      std::fclose(file_);
      file_ = nullptr;
      errno = err;
    }
    if (!file_) throw EFOpenError("Cannot open file \"" + fileName + "\". " + std::strerror(errno));
    size_ = st.st_size;
  } else {
    auto out = std::make_unique<TAtomicFile>();
    if (const int err = out->Create(fileName))
      throw EFCreateError("Cannot create file \"" + fileName + "\". " + std::strerror(err));
    out_ = std::move(out);
  }
}

TFileStream::~TFileStream() {
  if (file_) std::fclose(file_);
  // An uncommitted file is removed by its own destructor.
}

std::size_t TFileStream::Read(void* buffer, std::size_t count) {
  if (!file_) return 0;
  std::size_t n = std::fread(buffer, 1, count, file_);
  pos_ += static_cast<std::int64_t>(n);
  return n;
}

std::size_t TFileStream::Write(const void* buffer, std::size_t count) {
  if (!out_ || !out_->IsOpen() || writeError_ != 0) return 0;
  if (const int err = out_->Write(buffer, count)) {
    writeError_ = err;
    return 0;
  }
  pos_ += static_cast<std::int64_t>(count);
  size_ = Max(size_, pos_);
  return count;
}

void TFileStream::Close() {
  if (file_) {
    std::fclose(file_);
    file_ = nullptr;
  }
  if (!out_ || !out_->IsOpen()) return;
  int err = writeError_;
  if (err == 0) err = out_->Commit();
  if (err != 0) {
    out_->Discard();
    throw EStreamError(std::string(objmsg::WriteError) + ": " + std::strerror(err) + " (" + out_->FinalName() + ")");
  }
}

// ---- class registry

std::string ClassNameOf(const std::type_info& type) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  std::string name = status == 0 && demangled ? demangled : type.name();
  std::free(demangled);
  // Drop the namespaces, but not inside template arguments.
  std::size_t cut = 0;
  int depth = 0;
  for (std::size_t i = 0; i + 1 < name.size(); ++i) {
    if (name[i] == '<') ++depth;
    else if (name[i] == '>') --depth;
    else if (depth == 0 && name[i] == ':' && name[i + 1] == ':') cut = i + 2;
  }
  return name.substr(cut);
}

namespace {

class TRegistry {
 public:
  TRegistry() {
    Register(ClassOf<TMMEQFilter>(),
             [](TObject* o, TStream& s) { static_cast<TMMEQFilter*>(o)->ReadFromStream(s); },
             [](const TObject* o, TStream& s) { static_cast<const TMMEQFilter*>(o)->WriteToStream(s); });
  }

  void Register(const TObjectClass& cls, TObjectLoadProc load, TObjectStoreProc store) {
    std::lock_guard lock(mutex_);
    entries_.try_emplace(Lower(cls.Name), TRegisterRec{cls, std::move(load), std::move(store)});
  }

  const TRegisterRec* FindByName(std::string_view name) const {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(Lower(name));
    return it != entries_.end() ? &it->second : nullptr;
  }

  const TRegisterRec* FindByType(std::type_index type) const {
    std::lock_guard lock(mutex_);
    for (const auto& [key, rec] : entries_)
      if (rec.Class.Type == type) return &rec;
    return nullptr;
  }

 private:
  mutable std::mutex mutex_;
  // Sorted by the lower-case name; map nodes stay put, so found records stay valid.
  std::map<std::string, TRegisterRec> entries_;
};

TRegistry& Registry() {
  static TRegistry registry;
  return registry;
}

}  // namespace

void RegisterObjectClass(const TObjectClass& cls, TObjectLoadProc load, TObjectStoreProc store) {
  Registry().Register(cls, std::move(load), std::move(store));
}

const TRegisterRec* FindObjectClass(std::string_view name) { return Registry().FindByName(name); }

std::unique_ptr<TObject> ReadObject(TStream& stream) {
  std::uint8_t len = stream.ReadU8();
  std::string name(len, '\0');
  stream.ReadBuffer(name.data(), len);
  const TRegisterRec* rec = FindObjectClass(name);
  if (!rec) throw EClassNotFound(Format(objmsg::ClassNotRegistered, name));
  std::unique_ptr<TObject> object = rec->Class.Create();
  rec->Load(object.get(), stream);
  return object;
}

void WriteObject(const TObject* object, TStream& stream) {
  if (!object) throw EClassNotFound(objmsg::NilSourceClass);
  const TRegisterRec* rec = Registry().FindByType(typeid(*object));
  if (!rec) throw EClassNotFound(Format(objmsg::SourceClassNotRegistered, ObjectClassName(*object).substr(0, 63)));
  std::string name = rec->Class.Name.substr(0, 63);
  stream.WriteU8(static_cast<std::uint8_t>(name.size()));
  stream.WriteBuffer(name.data(), name.size());
  rec->Store(object, stream);
}

// ---- band

void TMMEQFilter::SetBand(float f1, float f2, float gain) {
  if (!std::isfinite(f1) || !std::isfinite(f2) || !std::isfinite(gain)) return;
  f1 = Max(f1, 0.0f);
  f2 = Max(f2, 0.0f);
  if (f1 == f1_ && f2 == f2_ && gain == gain_) return;
  f1_ = f1;
  f2_ = f2;
  gain_ = gain;
  Changed();
}

void TMMEQFilter::SetBandEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  Changed();
}

void TMMEQFilter::SetBandValue(int which, float value) {
  switch (which) {
    case 0: SetBand(value, f2_, gain_); break;
    case 1: SetBand(f1_, value, gain_); break;
    case 2: SetBand(f1_, f2_, value); break;
    default: break;
  }
}

void TMMEQFilter::Assign(const TMMEQFilter& source) {
  SetBand(source.f1_, source.f2_, source.gain_);
  SetBandEnabled(source.enabled_);
}

void TMMEQFilter::WriteToStream(TStream& stream) const {
  stream.WriteU8(enabled_ ? 1 : 0);
  stream.WriteF32(f1_);
  stream.WriteF32(f2_);
  stream.WriteF32(gain_);
}

void TMMEQFilter::ReadFromStream(TStream& stream) {
  enabled_ = stream.ReadU8() != 0;
  float f1 = stream.ReadF32();
  float f2 = stream.ReadF32();
  float gain = stream.ReadF32();
  if (!std::isfinite(f1) || !std::isfinite(f2) || !std::isfinite(gain)) InvalidStream();
  SetBand(f1, f2, gain);
}

void TMMEQFilter::Changed() {
  if (OnChange) OnChange(this);
}

// ---- object list

TObjectList::~TObjectList() {
  OnChange = nullptr;
  OnChanging = nullptr;
  TObjectList::FreeAll();
  TObjectList::Clear();
}

void TObjectList::IndexError(std::int32_t index) const { throw EListError(Format(objmsg::ListIndexError, index)); }

void TObjectList::Changed() {
  if (updateCount_ == 0 && OnChange) OnChange(this);
}

void TObjectList::Changing() {
  if (updateCount_ == 0 && OnChanging) OnChanging(this);
}

void TObjectList::SetUpdateState(bool updating) {
  if (updating)
    Changing();
  else
    Changed();
}

void TObjectList::BeginUpdate() {
  if (updateCount_ == 0) SetUpdateState(true);
  ++updateCount_;
}

void TObjectList::EndUpdate() {
  if (updateCount_ == 0) return;
  if (--updateCount_ == 0) SetUpdateState(false);
}

void TObjectList::Grow() {
  std::int32_t cap = Capacity();
  std::int32_t delta = cap > 8 ? 16 : (cap > 4 ? 8 : 4);
  SetCapacity(Min(cap + delta, MaxListSize));
}

void TObjectList::SetCapacity(std::int32_t n) {
  if (n == Capacity()) return;
  if (n < count_ || n > MaxListSize) IndexError(n);
  if (n == 0) {
    std::vector<TObject*>().swap(items_);
    return;
  }
  items_.resize(static_cast<std::size_t>(n), nullptr);
}

void TObjectList::SetCount(std::int32_t n) {
  if (n < 0 || n > MaxListSize) IndexError(n);
  if (n > Capacity()) SetCapacity(n);
  for (std::int32_t i = count_; i < n; ++i) items_[static_cast<std::size_t>(i)] = nullptr;
  count_ = n;
}

TObject* TObjectList::Get(std::int32_t index) const {
  if (index < 0 || index >= count_) IndexError(index);
  return items_[static_cast<std::size_t>(index)];
}

void TObjectList::Put(std::int32_t index, TObject* item) {
  if (index < 0 || index >= count_) IndexError(index);
  items_[static_cast<std::size_t>(index)] = item;
}

void TObjectList::Insert(std::int32_t index, TObject* item) {
  if (index < 0 || index > count_ || count_ >= MaxListSize) IndexError(index);
  Changing();
  if (count_ == Capacity()) Grow();
  auto at = items_.begin() + index;
  std::move_backward(at, items_.begin() + count_, items_.begin() + count_ + 1);
  *at = item;
  ++count_;
  Changed();
}

std::int32_t TObjectList::Add(TObject* item) {
  std::int32_t index = count_;
  TObjectList::Insert(index, item);
  return index;
}

void TObjectList::AddAll(const TObjectList& other) {
  if (&other == this) return;  // would never end
  BeginUpdate();
  try {
    for (std::int32_t i = 0; i < other.Count(); ++i) Add(other.Get(i));
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

void TObjectList::Delete(std::int32_t index) {
  if (index < 0 || index >= count_) IndexError(index);
  Changing();
  std::move(items_.begin() + index + 1, items_.begin() + count_, items_.begin() + index);
  --count_;
  items_[static_cast<std::size_t>(count_)] = nullptr;
  Changed();
}

std::int32_t TObjectList::IndexOf(const TObject* item) const {
  for (std::int32_t i = 0; i < count_; ++i)
    if (items_[static_cast<std::size_t>(i)] == item) return i;
  return -1;
}

void TObjectList::Clear() {
  if (count_ == 0) return;
  Changing();
  count_ = 0;
  std::vector<TObject*>().swap(items_);
  Changed();
}

void TObjectList::FreeItem(std::int32_t index) {
  if (index < 0 || index >= count_) IndexError(index);
  auto& slot = items_[static_cast<std::size_t>(index)];
  if (ownsObjects_) delete slot;
  slot = nullptr;
}

void TObjectList::FreeAll() {
  if (ownsObjects_) {
    // An object added twice is freed once.
    std::unordered_set<TObject*> seen;
    for (std::int32_t i = 0; i < count_; ++i) {
      auto& slot = items_[static_cast<std::size_t>(i)];
      if (slot && !seen.insert(slot).second) slot = nullptr;
    }
  }
  for (std::int32_t i = 0; i < count_; ++i) FreeItem(i);
  Clear();
}

std::vector<std::unique_ptr<TObject>> TObjectList::ReadObjects(TStream& stream, std::int32_t count) {
  // Every record takes at least its length byte.
  if (count < 0 || count > stream.Remaining()) InvalidStream();
  std::vector<std::unique_ptr<TObject>> objects;
  objects.reserve(static_cast<std::size_t>(count));
  for (std::int32_t i = 0; i < count; ++i) objects.push_back(ReadObject(stream));
  return objects;
}

void TObjectList::AddObjects(std::vector<std::unique_ptr<TObject>>& objects) {
  SetCapacity(Max(Capacity(), count_ + static_cast<std::int32_t>(objects.size())));
  for (auto& object : objects) Add(object.release());
}

void TObjectList::ReadData(TStream& stream) {
  CheckSignature(stream, "OBJ");
  stream.ReadU8();  // the owns-objects flag: objects made by reading are always owned
  std::int16_t count = stream.ReadI16();
  auto objects = ReadObjects(stream, count);
  BeginUpdate();
  try {
    FreeAll();
    ownsObjects_ = true;
    AddObjects(objects);
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

void TObjectList::WriteData(TStream& stream) const {
  stream.WriteBuffer("OBJ", 4);
  stream.WriteU8(ownsObjects_ ? 1 : 0);
  stream.WriteI16(static_cast<std::int16_t>(count_));
  for (std::int32_t i = 0; i < count_; ++i) WriteObject(items_[static_cast<std::size_t>(i)], stream);
}

void TObjectList::LoadFromFile(const std::string& fileName) {
  TFileStream file(fileName, TFileMode::fmOpenRead);
  try {
    ReadData(file);
  } catch (...) {
    throw EStreamError(objmsg::UnableToLoad);
  }
}

void TObjectList::SaveToFile(const std::string& fileName) const {
  TMemoryStream memory;
  WriteData(memory);
  TFileStream file(fileName, TFileMode::fmCreate);
  file.Write(memory.Bytes().data(), memory.Bytes().size());  // a failure is reported by Close, with its reason
  file.Close();
}

void TObjectList::Assign(const TObjectList* source) {
  throw EConvertError("Cannot assign a " + (source ? ObjectClassName(*source) : std::string("nil")) + " to a " +
                      ObjectClassName(*this));
}

// ---- band list

std::string TMMEQFilterList::Description() const { return owner_ ? owner_->Description() : description_; }

void TMMEQFilterList::SetDescription(const std::string& value) {
  if (owner_)
    owner_->SetDescription(value);
  else
    description_ = value;
}

std::int32_t TMMEQFilterList::FFTLength() const { return owner_ ? owner_->FFTLength() : fftLength_; }

void TMMEQFilterList::SetFFTLength(std::int32_t value) {
  if (owner_)
    owner_->SetFFTLength(value);
  else
    fftLength_ = value;
}

TMMEQFilter* TMMEQFilterList::Band(std::int32_t index) const {
  auto* band = dynamic_cast<TMMEQFilter*>(Get(index));
  if (!band) throw EInvalidCast(objmsg::InvalidCast);
  return band;
}

std::int32_t TMMEQFilterList::Add(TObject* item) {
  std::int32_t index = TObjectList::Add(item);
  auto* band = dynamic_cast<TMMEQFilter*>(item);
  if (!band) throw EInvalidCast(objmsg::InvalidCast);
  if (owner_) {
    TMMEQFilterListOwner* owner = owner_;
    band->OnChange = [owner](TMMEQFilter* b) { owner->BandChanged(b); };
  }
  return index;
}

namespace {

// The list's update bracket with the owner's updating flag set inside it, both closed
// also when an exception escapes.
template <class F>
void Bracketed(TObjectList& list, TMMEQFilterListOwner* owner, F&& work) {
  list.BeginUpdate();
  try {
    if (owner) owner->SetUpdating(true);
    work();
  } catch (...) {
    if (owner) owner->SetUpdating(false);
    list.EndUpdate();
    throw;
  }
  if (owner) owner->SetUpdating(false);
  list.EndUpdate();
}

}  // namespace

void TMMEQFilterList::Assign(const TObjectList* source) {
  auto* bands = dynamic_cast<const TMMEQFilterList*>(source);
  if (source && !bands) TObjectList::Assign(source);
  if (source == this) return;  // freeing first would lose the bands
  Bracketed(*this, owner_, [&] {
    FreeAll();
    if (!bands) return;
    SetCapacity(Max(Capacity(), bands->Count()));
    for (std::int32_t i = 0; i < bands->Count(); ++i) {
      auto band = std::make_unique<TMMEQFilter>();
      band->Assign(*bands->Band(i));
      Add(band.release());
    }
  });
}

void TMMEQFilterList::ReadData(TStream& stream) {
  CheckSignature(stream, "EQU");
  stream.ReadU8();  // the owns-objects flag: objects made by reading are always owned
  std::int32_t length = stream.ReadI32();
  std::string description;
  if (length > 0) {
    if (length > stream.Remaining()) InvalidStream();
    description.resize(static_cast<std::size_t>(length));
    stream.ReadBuffer(description.data(), description.size());
    description.resize(std::strlen(description.c_str()));
  }
  std::int32_t fftLength = stream.ReadI32();
  std::int16_t count = stream.ReadI16();
  auto objects = ReadObjects(stream, count);
  for (const auto& object : objects)
    if (!dynamic_cast<TMMEQFilter*>(object.get())) throw EInvalidCast(objmsg::InvalidCast);

  Bracketed(*this, owner_, [&] {
    FreeAll();
    SetOwnsObjects(true);
    if (length > 0) SetDescription(description);
    SetFFTLength(fftLength);
    AddObjects(objects);
  });
}

void TMMEQFilterList::WriteData(TStream& stream) const {
  stream.WriteBuffer("EQU", 4);
  stream.WriteU8(OwnsObjects() ? 1 : 0);
  std::string description = Description();
  stream.WriteI32(static_cast<std::int32_t>(description.size()));
  stream.WriteBuffer(description.data(), description.size());
  stream.WriteI32(FFTLength());
  stream.WriteI16(static_cast<std::int16_t>(Count()));
  for (std::int32_t i = 0; i < Count(); ++i) WriteObject(Get(i), stream);
}

void LoadDefaultBandList(TMMEQFilterList& list) {
  TReadOnlyMemoryStream stream(DefaultBandListStream());
  list.ReadData(stream);
}

}  // namespace strataeq
