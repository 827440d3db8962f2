// Buffered file and memory I/O with RIFF chunk navigation, and the compiled-in
// resource table. Files are read and written little-endian.
#pragma once

#include "platform/MMSystem.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace strataeq {

using FOURCC = std::uint32_t;

// First letter in the lowest byte.
constexpr FOURCC mmioFOURCC(char a, char b, char c, char d) {
  return static_cast<FOURCC>(static_cast<std::uint8_t>(a)) |
         (static_cast<FOURCC>(static_cast<std::uint8_t>(b)) << 8) |
         (static_cast<FOURCC>(static_cast<std::uint8_t>(c)) << 16) |
         (static_cast<FOURCC>(static_cast<std::uint8_t>(d)) << 24);
}
// Up to four letters, padded with blanks.
FOURCC mmioStringToFOURCC(std::string_view text);
std::string FOURCCToString(FOURCC code);

inline constexpr FOURCC FOURCC_RIFF = mmioFOURCC('R', 'I', 'F', 'F');
inline constexpr FOURCC FOURCC_LIST = mmioFOURCC('L', 'I', 'S', 'T');
inline constexpr FOURCC FOURCC_MEM = mmioFOURCC('M', 'E', 'M', ' ');

// A chunk descriptor. The data offset is the file offset just after the size field.
struct MMCKINFO {
  FOURCC ckid = 0;
  std::uint32_t cksize = 0;
  FOURCC fccType = 0;  // form or list type of "RIFF" and "LIST" chunks
  std::int64_t dwDataOffset = 0;
  std::uint32_t dwFlags = 0;
};
// The chunk's size field is rewritten when it is ascended out of.
inline constexpr std::uint32_t MMIO_DIRTY = 0x10000000;

// Open flags.
inline constexpr std::uint32_t MMIO_READ = 0x0000;
inline constexpr std::uint32_t MMIO_WRITE = 0x0001;
inline constexpr std::uint32_t MMIO_READWRITE = 0x0002;
inline constexpr std::uint32_t MMIO_CREATE = 0x1000;  // create or truncate; never through a link
// With MMIO_CREATE: a new file only, refused when the name is taken (by a link too).
inline constexpr std::uint32_t MMIO_NEWFILE = 0x2000;

// Descend flags: without one the next chunk is taken, whatever it is.
inline constexpr std::uint32_t MMIO_FINDCHUNK = 0x0010;  // ckid
inline constexpr std::uint32_t MMIO_FINDRIFF = 0x0020;   // "RIFF" with fccType
inline constexpr std::uint32_t MMIO_FINDLIST = 0x0040;   // "LIST" with fccType
// CreateChunk flags.
inline constexpr std::uint32_t MMIO_CREATERIFF = 0x0020;
inline constexpr std::uint32_t MMIO_CREATELIST = 0x0040;

// Results.
inline constexpr std::uint32_t MMIOERR_FILENOTFOUND = 257;
inline constexpr std::uint32_t MMIOERR_OUTOFMEMORY = 258;
inline constexpr std::uint32_t MMIOERR_CANNOTOPEN = 259;
inline constexpr std::uint32_t MMIOERR_CANNOTCLOSE = 260;
inline constexpr std::uint32_t MMIOERR_CANNOTREAD = 261;
inline constexpr std::uint32_t MMIOERR_CANNOTWRITE = 262;
inline constexpr std::uint32_t MMIOERR_CANNOTSEEK = 263;
inline constexpr std::uint32_t MMIOERR_CHUNKNOTFOUND = 265;
inline constexpr std::uint32_t MMIOERR_ACCESSDENIED = 268;

// One open file or memory block. Not thread-safe: one thread at a time.
class TMMIO {
 public:
  ~TMMIO();  // flushes and closes
  TMMIO(const TMMIO&) = delete;
  TMMIO& operator=(const TMMIO&) = delete;

  // A named file with an I/O buffer of bufferSize bytes (0: unbuffered). Opened for
  // reading and writing, a file that may not be written is opened for reading only
  // (writes then fail) unless MMIO_CREATE asks for a new file.
  static std::unique_ptr<TMMIO> OpenFile(const std::string& path, std::uint32_t flags,
                                         std::int32_t bufferSize, std::uint32_t* error = nullptr);
  // A file already open: reads and writes go through a duplicate of fd (the caller
  // keeps its own), never through its name.
  static std::unique_ptr<TMMIO> OpenHandle(int fd, std::int32_t bufferSize, std::uint32_t* error = nullptr);
  // A stream already open (a device, a FIFO, standard output): written in order from
  // its start through a duplicate of fd; a write or seek back to earlier bytes fails.
  static std::unique_ptr<TMMIO> OpenStream(int fd, std::int32_t bufferSize);
  // Read-only view of memory the caller keeps alive while the handle lives.
  static std::unique_ptr<TMMIO> OpenMemory(const void* data, std::size_t size);
  // A growable memory file holding a copy of bytes; readable and writable.
  static std::unique_ptr<TMMIO> OpenMemory(std::vector<std::uint8_t> bytes);
  // A resource of the compiled-in table, read only.
  static std::unique_ptr<TMMIO> OpenResource(std::string_view name, std::string_view type,
                                             std::uint32_t* error = nullptr);

  // Bytes moved, fewer at the end of the data; -1 on an error before any byte.
  std::int64_t Read(void* dst, std::int64_t n);
  std::int64_t Write(const void* src, std::int64_t n);
  // origin: SEEK_SET, SEEK_CUR or SEEK_END. The new position, or -1.
  std::int64_t Seek(std::int64_t offset, int origin);
  std::int64_t Tell() const { return pos_; }
  std::int64_t Size() const;

  // Reads the chunk header at the current position (searching when flags ask, for
  // ck.ckid or ck.fccType, within parent when given) and stays after it.
  std::uint32_t Descend(MMCKINFO& ck, const MMCKINFO* parent, std::uint32_t flags);
  // Moves past the chunk; a dirty chunk gets its size (current position - data
  // offset) written and an odd size its zero pad byte.
  std::uint32_t Ascend(MMCKINFO& ck);
  // Writes a chunk header (and the form type for RIFF and LIST) and marks it dirty.
  std::uint32_t CreateChunk(MMCKINFO& ck, std::uint32_t flags);

  std::uint32_t SetBuffer(std::int32_t size);
  std::int32_t BufferSize() const { return static_cast<std::int32_t>(buffer_.size()); }
  std::uint32_t Flush();
  // Cuts the file (or memory) at the current position.
  std::uint32_t Truncate();
  std::uint32_t Close();

  bool Writable() const;
  bool IsMemory() const;
  bool IsStream() const;
  // Why the first write that failed failed (an errno value: ENOSPC, EFBIG, EIO...), 0
  // while none did. Once a write failed every later one fails too: bytes that never
  // reached the file are not skipped over.
  int Error() const { return error_; }
  // The open file's descriptor (still owned here); -1 for memory and resources.
  int Descriptor() const;
  // The bytes of a growable memory file; empty for any other kind.
  const std::vector<std::uint8_t>& MemoryBytes() const;

  class Backend;

 private:
  explicit TMMIO(std::unique_ptr<Backend> backend);
  bool FlushBuffer();
  void DropBuffer();
  bool ReadExact(void* dst, std::int64_t n) { return Read(dst, n) == n; }
  bool WriteExact(const void* src, std::int64_t n) { return Write(src, n) == n; }

  std::unique_ptr<Backend> backend_;
  std::vector<std::uint8_t> buffer_;
  std::int64_t bufStart_ = 0;  // file offset of buffer_[0]
  std::int64_t bufLen_ = 0;    // valid bytes in the buffer
  std::int64_t dirtyLo_ = 0, dirtyHi_ = 0;  // modified range within the buffer
  std::int64_t pos_ = 0;
  std::int64_t size_ = 0;  // logical size, including buffered writes
  int error_ = 0;
};

bool MMIOFileExists(const std::string& path);
bool MMIODeleteFile(const std::string& path);

// Compiled-in resources: a unit registers its bytes once at start-up.
struct TResourceEntry {
  std::string type;  // "WAVE"
  std::string name;  // matched without regard to letter case
  std::span<const std::uint8_t> data;
};
void RegisterResource(std::string type, std::string name, std::span<const std::uint8_t> data);
// Empty when there is no such resource.
std::span<const std::uint8_t> FindResource(std::string_view name, std::string_view type);

// Registers at static initialisation: `static TResourceRegistrar r("WAVE", "DING", bytes);`
struct TResourceRegistrar {
  TResourceRegistrar(std::string type, std::string name, std::span<const std::uint8_t> data) {
    RegisterResource(std::move(type), std::move(name), data);
  }
};

}  // namespace strataeq
