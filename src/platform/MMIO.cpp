#include "platform/MMIO.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>

namespace strataeq {

FOURCC mmioStringToFOURCC(std::string_view text) {
  char c[4] = {' ', ' ', ' ', ' '};
  for (std::size_t i = 0; i < 4 && i < text.size(); ++i) c[i] = text[i];
  return mmioFOURCC(c[0], c[1], c[2], c[3]);
}

std::string FOURCCToString(FOURCC code) {
  std::string s(4, ' ');
  for (int i = 0; i < 4; ++i) s[static_cast<std::size_t>(i)] = static_cast<char>((code >> (8 * i)) & 0xFF);
  return s;
}

namespace {

void PutLE32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint32_t GetLE32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

}  // namespace

class TMMIO::Backend {
 public:
  virtual ~Backend() = default;
  // Bytes moved; fewer only at the end of the data or on a full device; -1 when
  // nothing could be moved because of an error.
  virtual std::int64_t ReadAt(std::int64_t off, void* dst, std::int64_t n) = 0;
  virtual std::int64_t WriteAt(std::int64_t off, const void* src, std::int64_t n) = 0;
  virtual std::int64_t Size() const = 0;
  virtual bool Truncate(std::int64_t size) = 0;
  virtual bool Close() = 0;
  virtual bool Writable() const = 0;
  virtual bool IsMemory() const { return false; }
  virtual const std::vector<std::uint8_t>* Bytes() const { return nullptr; }
  virtual int Descriptor() const { return -1; }
  virtual bool IsStream() const { return false; }
  // The errno of the last failed write.
  int LastError() const { return lastError_; }

 protected:
  int lastError_ = 0;
};

namespace {

class FileBackend final : public TMMIO::Backend {
 public:
  FileBackend(int fd, bool writable) : fd_(fd), writable_(writable) {}
  ~FileBackend() override { Close(); }
  int Descriptor() const override { return fd_; }

  std::int64_t ReadAt(std::int64_t off, void* dst, std::int64_t n) override {
    auto* p = static_cast<std::uint8_t*>(dst);
    std::int64_t done = 0;
    while (done < n) {
      const ssize_t r = ::pread(fd_, p + done, static_cast<std::size_t>(n - done), off + done);
      if (r < 0) {
        if (errno == EINTR) continue;
        return done > 0 ? done : -1;
      }
      if (r == 0) break;
      done += r;
    }
    return done;
  }

  std::int64_t WriteAt(std::int64_t off, const void* src, std::int64_t n) override {
    if (!writable_) return -1;
    const auto* p = static_cast<const std::uint8_t*>(src);
    std::int64_t done = 0;
    while (done < n) {
      const ssize_t r = ::pwrite(fd_, p + done, static_cast<std::size_t>(n - done), off + done);
      if (r < 0) {
        if (errno == EINTR) continue;
        lastError_ = errno;
        return done > 0 ? done : -1;
      }
      if (r == 0) {
        lastError_ = ENOSPC;
        break;
      }
      done += r;
    }
    return done;
  }

  std::int64_t Size() const override {
    struct stat st {};
    return ::fstat(fd_, &st) == 0 ? static_cast<std::int64_t>(st.st_size) : 0;
  }

  bool Truncate(std::int64_t size) override { return writable_ && ::ftruncate(fd_, size) == 0; }

  bool Close() override {
    if (fd_ < 0) return true;
    const int r = ::close(fd_);
    fd_ = -1;
    return r == 0;
  }

  bool Writable() const override { return writable_; }

 private:
  int fd_;
  bool writable_;
};

// Bytes written in order to a descriptor that cannot seek.
class StreamBackend final : public TMMIO::Backend {
 public:
  explicit StreamBackend(int fd) : fd_(fd) {}
  ~StreamBackend() override { Close(); }
  int Descriptor() const override { return fd_; }
  bool IsStream() const override { return true; }

  std::int64_t ReadAt(std::int64_t, void*, std::int64_t) override { return -1; }

  std::int64_t WriteAt(std::int64_t off, const void* src, std::int64_t n) override {
    if (off != written_) {
      lastError_ = ESPIPE;
      return -1;
    }
    const auto* p = static_cast<const std::uint8_t*>(src);
    std::int64_t done = 0;
    while (done < n) {
      const ssize_t r = ::write(fd_, p + done, static_cast<std::size_t>(n - done));
      if (r < 0) {
        if (errno == EINTR) continue;
        lastError_ = errno;
        break;
      }
      if (r == 0) {
        lastError_ = ENOSPC;
        break;
      }
      done += r;
    }
    written_ += done;
    return done > 0 || n == 0 ? done : -1;
  }

  std::int64_t Size() const override { return written_; }
  bool Truncate(std::int64_t size) override { return size == written_; }

  bool Close() override {
    if (fd_ < 0) return true;
    const int r = ::close(fd_);
    fd_ = -1;
    return r == 0 || errno == EINTR;
  }

  bool Writable() const override { return true; }

 private:
  int fd_;
  std::int64_t written_ = 0;
};

// A view of memory owned elsewhere, or a growable block of its own.
class MemoryBackend final : public TMMIO::Backend {
 public:
  MemoryBackend(const std::uint8_t* data, std::size_t size) : view_(data), viewSize_(size) {}
  explicit MemoryBackend(std::vector<std::uint8_t> bytes) : owned_(std::move(bytes)), growable_(true) {}

  std::int64_t ReadAt(std::int64_t off, void* dst, std::int64_t n) override {
    const std::int64_t size = Size();
    if (off >= size || n <= 0) return 0;
    const std::int64_t k = std::min(n, size - off);
    std::memcpy(dst, Data() + off, static_cast<std::size_t>(k));
    return k;
  }

  std::int64_t WriteAt(std::int64_t off, const void* src, std::int64_t n) override {
    if (!growable_) return -1;
    if (n <= 0) return 0;
    const std::int64_t end = off + n;
    try {
      if (end > static_cast<std::int64_t>(owned_.size())) owned_.resize(static_cast<std::size_t>(end));
    } catch (const std::bad_alloc&) {
      return -1;
    } catch (const std::length_error&) {
      return -1;
    }
    std::memcpy(owned_.data() + off, src, static_cast<std::size_t>(n));
    return n;
  }

  std::int64_t Size() const override {
    return growable_ ? static_cast<std::int64_t>(owned_.size()) : static_cast<std::int64_t>(viewSize_);
  }

  bool Truncate(std::int64_t size) override {
    if (!growable_) return false;
    if (size < static_cast<std::int64_t>(owned_.size())) owned_.resize(static_cast<std::size_t>(size));
    return true;
  }

  bool Close() override { return true; }
  bool Writable() const override { return growable_; }
  bool IsMemory() const override { return true; }
  const std::vector<std::uint8_t>* Bytes() const override { return growable_ ? &owned_ : nullptr; }

 private:
  const std::uint8_t* Data() const { return growable_ ? owned_.data() : view_; }

  const std::uint8_t* view_ = nullptr;
  std::size_t viewSize_ = 0;
  std::vector<std::uint8_t> owned_;
  bool growable_ = false;
};

}  // namespace

TMMIO::TMMIO(std::unique_ptr<Backend> backend) : backend_(std::move(backend)) { size_ = backend_->Size(); }

TMMIO::~TMMIO() { Close(); }

std::unique_ptr<TMMIO> TMMIO::OpenFile(const std::string& path, std::uint32_t flags, std::int32_t bufferSize,
                                       std::uint32_t* error) {
  auto fail = [error](std::uint32_t code) -> std::unique_ptr<TMMIO> {
    if (error) *error = code;
    return nullptr;
  };
  if (path.empty()) return fail(MMIOERR_CANNOTOPEN);
  int mode = O_RDONLY;
  if (flags & MMIO_READWRITE)
    mode = O_RDWR;
  else if (flags & MMIO_WRITE)
    mode = O_WRONLY;
  const bool create = flags & MMIO_CREATE;
  // A created file is never reached through a link: one planted under the name would
  // have us truncate and write whatever it points at.
  if (create) mode |= O_CREAT | O_NOFOLLOW | ((flags & MMIO_NEWFILE) ? O_EXCL : O_TRUNC);
  // Non-blocking so that opening a FIFO cannot hang; only regular files are accepted.
  int fd = ::open(path.c_str(), mode | O_CLOEXEC | O_NONBLOCK, 0666);
  bool writable = (mode & O_ACCMODE) != O_RDONLY;
  if (fd < 0 && !create && (mode & O_ACCMODE) == O_RDWR && (errno == EACCES || errno == EROFS || errno == EPERM)) {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    writable = false;
  }
  if (fd < 0) return fail(errno == ENOENT ? MMIOERR_FILENOTFOUND
                          : errno == EACCES || errno == EPERM ? MMIOERR_ACCESSDENIED
                                                              : MMIOERR_CANNOTOPEN);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return fail(MMIOERR_CANNOTOPEN);
  }
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl >= 0) ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  std::unique_ptr<TMMIO> io(new TMMIO(std::make_unique<FileBackend>(fd, writable)));
  if (io->SetBuffer(bufferSize) != MMSYSERR_NOERROR) return fail(MMIOERR_OUTOFMEMORY);
  if (error) *error = MMSYSERR_NOERROR;
  return io;
}

std::unique_ptr<TMMIO> TMMIO::OpenHandle(int fd, std::int32_t bufferSize, std::uint32_t* error) {
  auto fail = [error](std::uint32_t code) -> std::unique_ptr<TMMIO> {
    if (error) *error = code;
    return nullptr;
  };
  const int fl = fd >= 0 ? ::fcntl(fd, F_GETFL) : -1;
  if (fl < 0) return fail(MMIOERR_CANNOTOPEN);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return fail(MMIOERR_CANNOTOPEN);
  const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (own < 0) return fail(MMIOERR_CANNOTOPEN);
  std::unique_ptr<TMMIO> io(new TMMIO(std::make_unique<FileBackend>(own, (fl & O_ACCMODE) != O_RDONLY)));
  if (io->SetBuffer(bufferSize) != MMSYSERR_NOERROR) return fail(MMIOERR_OUTOFMEMORY);
  if (error) *error = MMSYSERR_NOERROR;
  return io;
}

std::unique_ptr<TMMIO> TMMIO::OpenStream(int fd, std::int32_t bufferSize) {
  const int own = fd >= 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
  if (own < 0) return nullptr;
  std::unique_ptr<TMMIO> io(new TMMIO(std::make_unique<StreamBackend>(own)));
  if (io->SetBuffer(bufferSize) != MMSYSERR_NOERROR) return nullptr;
  return io;
}

std::unique_ptr<TMMIO> TMMIO::OpenMemory(const void* data, std::size_t size) {
  if (!data) size = 0;
  return std::unique_ptr<TMMIO>(
      new TMMIO(std::make_unique<MemoryBackend>(static_cast<const std::uint8_t*>(data), size)));
}

std::unique_ptr<TMMIO> TMMIO::OpenMemory(std::vector<std::uint8_t> bytes) {
  return std::unique_ptr<TMMIO>(new TMMIO(std::make_unique<MemoryBackend>(std::move(bytes))));
}

std::unique_ptr<TMMIO> TMMIO::OpenResource(std::string_view name, std::string_view type, std::uint32_t* error) {
  const auto data = FindResource(name, type);
  if (data.data() == nullptr) {
    if (error) *error = MMIOERR_FILENOTFOUND;
    return nullptr;
  }
  if (error) *error = MMSYSERR_NOERROR;
  return OpenMemory(data.data(), data.size());
}

bool TMMIO::Writable() const { return backend_ && backend_->Writable(); }
bool TMMIO::IsMemory() const { return backend_ && backend_->IsMemory(); }
bool TMMIO::IsStream() const { return backend_ && backend_->IsStream(); }

int TMMIO::Descriptor() const { return backend_ ? backend_->Descriptor() : -1; }

const std::vector<std::uint8_t>& TMMIO::MemoryBytes() const {
  static const std::vector<std::uint8_t> none;
  const auto* bytes = backend_ ? backend_->Bytes() : nullptr;
  return bytes ? *bytes : none;
}

std::int64_t TMMIO::Size() const { return bufLen_ > 0 ? std::max(size_, bufStart_ + bufLen_) : size_; }

bool TMMIO::FlushBuffer() {
  if (dirtyHi_ <= dirtyLo_) return true;
  const std::int64_t n = dirtyHi_ - dirtyLo_;
  const std::int64_t w = backend_->WriteAt(bufStart_ + dirtyLo_, buffer_.data() + dirtyLo_, n);
  if (w > 0) size_ = std::max(size_, bufStart_ + dirtyLo_ + w);
  dirtyLo_ = dirtyHi_ = 0;
  if (w != n && error_ == 0) error_ = backend_->LastError() ? backend_->LastError() : EIO;
  return w == n;
}

void TMMIO::DropBuffer() {
  if (bufLen_ > 0) size_ = std::max(size_, bufStart_ + bufLen_);
  bufStart_ = pos_;
  bufLen_ = 0;
  dirtyLo_ = dirtyHi_ = 0;
}

std::int64_t TMMIO::Read(void* dst, std::int64_t n) {
  if (!backend_ || n < 0) return -1;
  auto* out = static_cast<std::uint8_t*>(dst);
  const std::int64_t cap = static_cast<std::int64_t>(buffer_.size());
  std::int64_t total = 0;
  while (n > 0) {
    if (pos_ >= bufStart_ && pos_ < bufStart_ + bufLen_) {
      const std::int64_t k = std::min(n, bufStart_ + bufLen_ - pos_);
      std::memcpy(out + total, buffer_.data() + (pos_ - bufStart_), static_cast<std::size_t>(k));
      pos_ += k;
      total += k;
      n -= k;
      continue;
    }
    if (!FlushBuffer()) return total > 0 ? total : -1;
    if (cap == 0 || n >= cap) {
      DropBuffer();
      const std::int64_t r = backend_->ReadAt(pos_, out + total, n);
      if (r < 0) return total > 0 ? total : -1;
      pos_ += r;
      total += r;
      break;
    }
    const std::int64_t r = backend_->ReadAt(pos_, buffer_.data(), cap);
    bufStart_ = pos_;
    bufLen_ = std::max<std::int64_t>(r, 0);
    if (r < 0) return total > 0 ? total : -1;
    if (r == 0) break;
  }
  return total;
}

std::int64_t TMMIO::Write(const void* src, std::int64_t n) {
  if (!backend_ || n < 0 || !backend_->Writable() || error_ != 0) return -1;
  const auto* in = static_cast<const std::uint8_t*>(src);
  const std::int64_t cap = static_cast<std::int64_t>(buffer_.size());
  std::int64_t total = 0;
  while (n > 0) {
    if (cap > 0 && pos_ >= bufStart_ && pos_ <= bufStart_ + bufLen_ && pos_ < bufStart_ + cap) {
      const std::int64_t at = pos_ - bufStart_;
      const std::int64_t k = std::min(n, cap - at);
      std::memcpy(buffer_.data() + at, in + total, static_cast<std::size_t>(k));
      if (dirtyHi_ <= dirtyLo_) {
        dirtyLo_ = at;
        dirtyHi_ = at + k;
      } else {
        dirtyLo_ = std::min(dirtyLo_, at);
        dirtyHi_ = std::max(dirtyHi_, at + k);
      }
      bufLen_ = std::max(bufLen_, at + k);
      pos_ += k;
      total += k;
      n -= k;
      continue;
    }
    if (!FlushBuffer()) return total > 0 ? total : -1;
    if (cap == 0 || n >= cap) {
      DropBuffer();
      const std::int64_t w = backend_->WriteAt(pos_, in + total, n);
      if (w != n && error_ == 0) error_ = backend_->LastError() ? backend_->LastError() : EIO;
      if (w < 0) return total > 0 ? total : -1;
      pos_ += w;
      total += w;
      size_ = std::max(size_, pos_);
      break;
    }
    DropBuffer();  // a new, empty window at the position
  }
  return total;
}

std::int64_t TMMIO::Seek(std::int64_t offset, int origin) {
  if (!backend_) return -1;
  std::int64_t base = 0;
  if (origin == SEEK_CUR)
    base = pos_;
  else if (origin == SEEK_END)
    base = Size();
  else if (origin != SEEK_SET)
    return -1;
  if ((offset > 0 && base > std::numeric_limits<std::int64_t>::max() - offset)) return -1;
  const std::int64_t target = base + offset;
  if (target < 0) return -1;
  pos_ = target;
  return pos_;
}

std::uint32_t TMMIO::Descend(MMCKINFO& ck, const MMCKINFO* parent, std::uint32_t flags) {
  const FOURCC wantId = ck.ckid;
  const FOURCC wantType = ck.fccType;
  const std::int64_t parentEnd = parent ? parent->dwDataOffset + parent->cksize : -1;
  for (;;) {
    if (parent && pos_ + 8 > parentEnd) return MMIOERR_CHUNKNOTFOUND;
    std::uint8_t head[8];
    if (!ReadExact(head, 8)) return MMIOERR_CHUNKNOTFOUND;
    MMCKINFO found;
    found.ckid = GetLE32(head);
    found.cksize = GetLE32(head + 4);
    found.dwDataOffset = pos_;
    if (found.ckid == FOURCC_RIFF || found.ckid == FOURCC_LIST) {
      std::uint8_t type[4];
      if (!ReadExact(type, 4)) return MMIOERR_CHUNKNOTFOUND;
      found.fccType = GetLE32(type);
    }
    bool match = true;
    if (flags & MMIO_FINDCHUNK)
      match = found.ckid == wantId;
    else if (flags & MMIO_FINDRIFF)
      match = found.ckid == FOURCC_RIFF && found.fccType == wantType;
    else if (flags & MMIO_FINDLIST)
      match = found.ckid == FOURCC_LIST && found.fccType == wantType;
    if (match) {
      ck = found;
      return MMSYSERR_NOERROR;
    }
    const std::int64_t next = found.dwDataOffset + found.cksize + (found.cksize & 1);
    if (Seek(next, SEEK_SET) < 0) return MMIOERR_CANNOTSEEK;
  }
}

std::uint32_t TMMIO::Ascend(MMCKINFO& ck) {
  if (ck.dwFlags & MMIO_DIRTY) {
    const std::int64_t size = pos_ - ck.dwDataOffset;
    if (size < 0 || size > std::numeric_limits<std::uint32_t>::max()) return MMIOERR_CANNOTWRITE;
    const std::int64_t end = pos_;
    std::uint8_t field[4];
    PutLE32(field, static_cast<std::uint32_t>(size));
    if (Seek(ck.dwDataOffset - 4, SEEK_SET) < 0 || !WriteExact(field, 4)) return MMIOERR_CANNOTWRITE;
    ck.cksize = static_cast<std::uint32_t>(size);
    if (Seek(end, SEEK_SET) < 0) return MMIOERR_CANNOTSEEK;
    if (size & 1) {
      const std::uint8_t pad = 0;
      if (!WriteExact(&pad, 1)) return MMIOERR_CANNOTWRITE;
    }
    ck.dwFlags &= ~MMIO_DIRTY;
    return MMSYSERR_NOERROR;
  }
  const std::int64_t next = ck.dwDataOffset + ck.cksize + (ck.cksize & 1);
  return Seek(next, SEEK_SET) < 0 ? MMIOERR_CANNOTSEEK : MMSYSERR_NOERROR;
}

std::uint32_t TMMIO::CreateChunk(MMCKINFO& ck, std::uint32_t flags) {
  if (flags & MMIO_CREATERIFF)
    ck.ckid = FOURCC_RIFF;
  else if (flags & MMIO_CREATELIST)
    ck.ckid = FOURCC_LIST;
  const bool typed = ck.ckid == FOURCC_RIFF || ck.ckid == FOURCC_LIST;
  std::uint8_t head[12];
  PutLE32(head, ck.ckid);
  PutLE32(head + 4, ck.cksize);
  PutLE32(head + 8, ck.fccType);
  ck.dwDataOffset = pos_ + 8;
  const std::int64_t n = typed ? 12 : 8;
  if (!WriteExact(head, n)) return MMIOERR_CANNOTWRITE;
  ck.dwFlags = MMIO_DIRTY;
  return MMSYSERR_NOERROR;
}

std::uint32_t TMMIO::SetBuffer(std::int32_t size) {
  if (!backend_) return MMIOERR_CANNOTWRITE;
  if (size < 0) size = 0;
  if (static_cast<std::size_t>(size) == buffer_.size()) return MMSYSERR_NOERROR;
  if (!FlushBuffer()) return MMIOERR_CANNOTWRITE;
  DropBuffer();
  try {
    std::vector<std::uint8_t> fresh(static_cast<std::size_t>(size));
    buffer_.swap(fresh);
  } catch (const std::bad_alloc&) {
    return MMIOERR_OUTOFMEMORY;
  }
  return MMSYSERR_NOERROR;
}

std::uint32_t TMMIO::Flush() {
  if (!backend_) return MMIOERR_CANNOTWRITE;
  return FlushBuffer() ? MMSYSERR_NOERROR : MMIOERR_CANNOTWRITE;
}

std::uint32_t TMMIO::Truncate() {
  if (!backend_) return MMIOERR_CANNOTWRITE;
  if (!FlushBuffer()) return MMIOERR_CANNOTWRITE;
  if (!backend_->Truncate(pos_)) return MMIOERR_CANNOTWRITE;
  size_ = pos_;
  bufLen_ = std::clamp<std::int64_t>(pos_ - bufStart_, 0, bufLen_);
  return MMSYSERR_NOERROR;
}

std::uint32_t TMMIO::Close() {
  if (!backend_) return MMSYSERR_NOERROR;
  const bool flushed = FlushBuffer();
  const bool closed = backend_->Close();
  if (!backend_->IsMemory()) backend_.reset();
  buffer_.clear();
  buffer_.shrink_to_fit();
  bufLen_ = 0;
  if (!flushed) return MMIOERR_CANNOTWRITE;
  return closed ? MMSYSERR_NOERROR : MMIOERR_CANNOTCLOSE;
}

bool MMIOFileExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool MMIODeleteFile(const std::string& path) { return !path.empty() && ::unlink(path.c_str()) == 0; }

namespace {

struct ResourceTable {
  std::mutex mutex;
  std::vector<TResourceEntry> entries;
};

ResourceTable& Resources() {
  static ResourceTable table;
  return table;
}

bool SameNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
         });
}

}  // namespace

void RegisterResource(std::string type, std::string name, std::span<const std::uint8_t> data) {
  ResourceTable& t = Resources();
  std::lock_guard lock(t.mutex);
  for (auto& e : t.entries) {
    if (SameNoCase(e.type, type) && SameNoCase(e.name, name)) {
      e.data = data;
      return;
    }
  }
  t.entries.push_back({std::move(type), std::move(name), data});
}

std::span<const std::uint8_t> FindResource(std::string_view name, std::string_view type) {
  ResourceTable& t = Resources();
  std::lock_guard lock(t.mutex);
  for (const auto& e : t.entries)
    if (SameNoCase(e.type, type) && SameNoCase(e.name, name)) return e.data;
  return {};
}

}  // namespace strataeq
