// Equalizer bands, the persistent object list with its class registry, the
// container stream ("OBJ" for any list, "EQU" for the band list) and the small
// stream layer it is read from and written to.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <typeindex>
#include <vector>

#include "foundation/MMUtils.h"
#include "platform/AtomicFile.h"
#include "platform/Component.h"

namespace strataeq {

// Stream and list failures. EFOpenError and EFCreateError are stream errors too, so
// that a caller can treat every failure of a preset file alike.
STRATAEQ_DECLARE_ERROR(EStreamError);
STRATAEQ_DECLARE_ERROR(EClassNotFound);
STRATAEQ_DECLARE_ERROR(EListError);
STRATAEQ_DECLARE_ERROR(EInvalidCast);
STRATAEQ_DECLARE_ERROR(EConvertError);
class EFOpenError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class EFCreateError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

namespace objmsg {
inline constexpr const char* InvalidStream = "Invalid Object stream";
inline constexpr const char* UnableToLoad = "Unable to load Object stream";
inline constexpr const char* ClassNotRegistered = "Class <%s> not registered";
inline constexpr const char* NilSourceClass = "Nil Source Class!";
inline constexpr const char* SourceClassNotRegistered = "Source Class <%s> not registered";
inline constexpr const char* ListIndexError = "List index out of bounds (%d)";
inline constexpr const char* ReadError = "Stream read error";
inline constexpr const char* WriteError = "Stream write error";
inline constexpr const char* InvalidCast = "Invalid class typecast";
}  // namespace objmsg

// A byte stream with a known size, so that readers can check a length or a count
// against the bytes actually left before they allocate anything.
class TStream {
 public:
  virtual ~TStream() = default;
  // Both return the number of bytes moved (fewer at the end or on failure).
  virtual std::size_t Read(void* buffer, std::size_t count) = 0;
  virtual std::size_t Write(const void* buffer, std::size_t count) = 0;
  virtual std::int64_t Position() const = 0;
  virtual std::int64_t Size() const = 0;
  std::int64_t Remaining() const { return Size() - Position(); }

  // Exactly count bytes or EStreamError ("Stream read error" / "Stream write error").
  void ReadBuffer(void* buffer, std::size_t count);
  void WriteBuffer(const void* buffer, std::size_t count);

  // Little-endian helpers over ReadBuffer/WriteBuffer.
  std::uint8_t ReadU8();
  std::int16_t ReadI16();
  std::int32_t ReadI32();
  float ReadF32();
  void WriteU8(std::uint8_t v);
  void WriteI16(std::int16_t v);
  void WriteI32(std::int32_t v);
  void WriteF32(float v);
};

// Reads a block of memory the caller keeps alive; writing fails.
class TReadOnlyMemoryStream : public TStream {
 public:
  TReadOnlyMemoryStream(const void* data, std::size_t size)
      : data_(static_cast<const std::uint8_t*>(data)), size_(size) {}
  explicit TReadOnlyMemoryStream(std::span<const std::uint8_t> bytes)
      : TReadOnlyMemoryStream(bytes.data(), bytes.size()) {}
  std::size_t Read(void* buffer, std::size_t count) override;
  std::size_t Write(const void*, std::size_t) override { return 0; }
  std::int64_t Position() const override { return static_cast<std::int64_t>(pos_); }
  std::int64_t Size() const override { return static_cast<std::int64_t>(size_); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// A growable in-memory stream: writes append at the position, reads follow it.
class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
  std::size_t Read(void* buffer, std::size_t count) override;
  std::size_t Write(const void* buffer, std::size_t count) override;
  std::int64_t Position() const override { return static_cast<std::int64_t>(pos_); }
  std::int64_t Size() const override { return static_cast<std::int64_t>(bytes_.size()); }
  void SetPosition(std::size_t pos) { pos_ = Min(pos, bytes_.size()); }
  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

enum class TFileMode { fmOpenRead, fmCreate };

// A file opened for reading only (EFOpenError when it cannot be), or a new file for
// writing (EFCreateError) that replaces one of that name only when Close succeeds:
// it is written beside the name and renamed over it, so a failed write (a full disk)
// leaves the old file as it was. Its size is taken when it is opened for reading.
class TFileStream : public TStream {
 public:
  TFileStream(const std::string& fileName, TFileMode mode);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;
  std::size_t Read(void* buffer, std::size_t count) override;
  std::size_t Write(const void* buffer, std::size_t count) override;
  std::int64_t Position() const override { return pos_; }
  std::int64_t Size() const override { return size_; }
  // Closes; a written file is flushed to disk and moved into place. EStreamError
  // "Stream write error" and the reason when the data did not all reach the file, and
  // then the file of that name is left as it was.
  void Close();

 private:
  std::FILE* file_ = nullptr;
  std::unique_ptr<TAtomicFile> out_;
  int writeError_ = 0;
  std::int64_t pos_ = 0;
  std::int64_t size_ = 0;
};

// Class registry: objects are created by class name when a stream is read.
using TObjectLoadProc = std::function<void(TObject* object, TStream& stream)>;
using TObjectStoreProc = std::function<void(const TObject* object, TStream& stream)>;

struct TObjectClass {
  std::string Name;  // what the stream carries, at most 63 characters
  std::type_index Type;
  std::function<std::unique_ptr<TObject>()> Create;  // plain construction
};

struct TRegisterRec {
  TObjectClass Class;
  TObjectLoadProc Load;
  TObjectStoreProc Store;
};

// The unqualified C++ class name of a type or an object ("TMMEQFilter").
std::string ClassNameOf(const std::type_info& type);
inline std::string ObjectClassName(const TObject& object) { return ClassNameOf(typeid(object)); }

template <class T>
TObjectClass ClassOf() {
  return TObjectClass{ClassNameOf(typeid(T)), std::type_index(typeid(T)),
                      [] { return std::unique_ptr<TObject>(new T()); }};
}

// Registration is a start-up activity (main thread); a second class of the same name
// (letter case ignored) is ignored. TMMEQFilter is always registered.
void RegisterObjectClass(const TObjectClass& cls, TObjectLoadProc load, TObjectStoreProc store);
template <class T>
void RegisterObjectClass(TObjectLoadProc load, TObjectStoreProc store) {
  RegisterObjectClass(ClassOf<T>(), std::move(load), std::move(store));
}
const TRegisterRec* FindObjectClass(std::string_view name);  // case-insensitive
// EClassNotFound "Class <name> not registered"; stream errors propagate.
std::unique_ptr<TObject> ReadObject(TStream& stream);
// EClassNotFound "Nil Source Class!" or "Source Class <name> not registered".
void WriteObject(const TObject* object, TStream& stream);

class TMMEQFilter;
using TMMEQFilterChangeEvent = std::function<void(TMMEQFilter* Sender)>;

// One equalizer band: a frequency range in Hz with a gain in dB.
class TMMEQFilter : public TObject {
 public:
  TMMEQFilter() = default;
  // Same rules as SetBand (no notification: nobody listens yet).
  TMMEQFilter(float f1, float f2, float gain, bool enabled = true) : enabled_(enabled) { SetBand(f1, f2, gain); }

  float F1() const { return f1_; }
  float F2() const { return f2_; }
  float Gain() const { return gain_; }
  bool Enabled() const { return enabled_; }

  // Stores and notifies only when something differs. Edges below 0 Hz become 0;
  // a call with a NaN or an infinity changes nothing.
  void SetBand(float f1, float f2, float gain);
  void SetBandEnabled(bool enabled);
  // which: 0 = f1, 1 = f2, 2 = gain; other values change nothing.
  void SetBandValue(int which, float value);
  // SetBand, then SetBandEnabled: up to two notifications.
  void Assign(const TMMEQFilter& source);

  // Record body: enabled (1 byte), f1, f2, gain (4-byte floats).
  virtual void WriteToStream(TStream& stream) const;
  // Refuses non-finite numbers (EStreamError "Invalid Object stream"); edges below
  // 0 Hz are clamped to 0. Any nonzero enabled byte means enabled.
  virtual void ReadFromStream(TStream& stream);
  virtual void Changed();

  // Set by the band list to the owning equalizer's band-changed handler.
  TMMEQFilterChangeEvent OnChange;

 private:
  float f1_ = 0;
  float f2_ = 0;
  float gain_ = 0;
  bool enabled_ = true;
};

// A persistent list of object references. Items are freed by the list only when
// OwnsObjects is set, and then only by FreeAll, FreeItem and destruction: Clear, Put
// and Delete never free. Main thread only.
class TObjectList : public TObject {
 public:
  static constexpr std::int32_t MaxListSize = 32767;  // the stream's count is 16-bit

  TObjectList() = default;
  ~TObjectList() override;  // notifies nobody, frees its items if it owns them
  TObjectList(const TObjectList&) = delete;
  TObjectList& operator=(const TObjectList&) = delete;

  bool OwnsObjects() const { return ownsObjects_; }
  void SetOwnsObjects(bool value) { ownsObjects_ = value; }
  std::int32_t Count() const { return count_; }
  void SetCount(std::int32_t n);
  std::int32_t Capacity() const { return static_cast<std::int32_t>(items_.size()); }
  void SetCapacity(std::int32_t n);
  std::int32_t UpdateCount() const { return updateCount_; }

  virtual TObject* Get(std::int32_t index) const;
  virtual void Put(std::int32_t index, TObject* item);
  TObject* operator[](std::int32_t index) const { return Get(index); }

  virtual std::int32_t Add(TObject* item);  // returns its index
  virtual void AddAll(const TObjectList& other);  // shares the objects, one bracket
  virtual void Insert(std::int32_t index, TObject* item);
  // Removes the reference at index (not freed); changing/changed like Insert.
  void Delete(std::int32_t index);
  virtual std::int32_t IndexOf(const TObject* item) const;
  virtual void Clear();
  virtual void FreeAll();
  virtual void FreeItem(std::int32_t index);

  void BeginUpdate();
  void EndUpdate();

  // Generic "OBJ" stream. A stream that fails anywhere leaves the list untouched
  // and notifies nobody; on success the items are replaced inside one update bracket.
  virtual void ReadData(TStream& stream);
  virtual void WriteData(TStream& stream) const;
  // LoadFromFile: EFOpenError when the file cannot be opened, EStreamError "Unable to
  // load Object stream" for anything that goes wrong while reading it.
  void LoadFromFile(const std::string& fileName);
  // The whole stream is built in memory first, so a failing object leaves an existing
  // file alone; the file is then replaced whole or not at all (TFileStream).
  void SaveToFile(const std::string& fileName) const;

  // Whether a stored form writes the binary property "ObjectContainer".
  virtual bool WritesObjectContainer() const { return count_ > 0; }

  // Generic assign of the framework: only the band list accepts a source.
  virtual void Assign(const TObjectList* source);

  TNotifyEvent OnChange;    // after a change (at the end of an update bracket)
  TNotifyEvent OnChanging;  // before a change

 protected:
  virtual void Changed();
  virtual void Changing();
  [[noreturn]] virtual void IndexError(std::int32_t index) const;
  virtual void Grow();
  virtual void SetUpdateState(bool updating);
  // Appends objects read from a stream; the list takes them over.
  void AddObjects(std::vector<std::unique_ptr<TObject>>& objects);
  // Reads count object records; the count is checked against the bytes left.
  static std::vector<std::unique_ptr<TObject>> ReadObjects(TStream& stream, std::int32_t count);

 private:
  bool ownsObjects_ = true;
  std::vector<TObject*> items_;  // size is the capacity
  std::int32_t count_ = 0;
  std::int32_t updateCount_ = 0;
};

// What the band list needs of the equalizer that owns it. TMMEqualizer implements it;
// the getters and setters are the equalizer's own properties.
class TMMEQFilterListOwner {
 public:
  virtual std::string Description() const = 0;
  virtual void SetDescription(const std::string& value) = 0;
  virtual std::int32_t FFTLength() const = 0;
  virtual void SetFFTLength(std::int32_t value) = 0;
  // The updating flag: set while the whole list is replaced (per-band work off).
  virtual void SetUpdating(bool value) = 0;
  // A band's own change notification.
  virtual void BandChanged(TMMEQFilter* band) = 0;

 protected:
  ~TMMEQFilterListOwner() = default;
};

// The equalizer's bands and the "EQU" stream (the preset file format).
class TMMEQFilterList : public TObjectList {
 public:
  // Without an owner the list keeps a description ("Untitled") and an FFT length
  // (256) of its own for the stream.
  explicit TMMEQFilterList(TMMEQFilterListOwner* owner = nullptr) : owner_(owner) {}

  TMMEQFilterListOwner* Owner() const { return owner_; }
  std::string Description() const;
  void SetDescription(const std::string& value);
  std::int32_t FFTLength() const;
  void SetFFTLength(std::int32_t value);

  // EInvalidCast when the item at index is not a band.
  TMMEQFilter* Band(std::int32_t index) const;

  // Also hooks the band to the owner's BandChanged; a non-band raises EInvalidCast
  // after it was inserted.
  std::int32_t Add(TObject* item) override;
  // Copies the source's bands (none: empties) inside one update bracket with the
  // owner's updating flag set: one notification. Description and FFT length stay.
  // Any other list class raises EConvertError.
  void Assign(const TObjectList* source) override;

  // "EQU" stream. All of it is read and checked first (description length and band
  // count against the bytes left, every record a finite band); only then are the
  // description, the FFT length and the bands taken over, with one change
  // notification at the end. A failure changes nothing.
  void ReadData(TStream& stream) override;
  void WriteData(TStream& stream) const override;
  bool WritesObjectContainer() const override { return true; }

 private:
  TMMEQFilterListOwner* owner_;
  std::string description_ = "Untitled";
  std::int32_t fftLength_ = 256;
};

// The main window's stored band list: the 398-byte "EQU" stream of the fifteen
// design bands, all enabled at 0 dB, "Untitled", FFT length 256.
std::span<const std::uint8_t> DefaultBandListStream();
// Reads it into list (bands, and the owner's description and FFT length).
void LoadDefaultBandList(TMMEQFilterList& list);

}  // namespace strataeq
