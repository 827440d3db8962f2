// A new file that replaces its final name only when it is complete: written as an
// unnamed file in the final name's folder (or, where the file system cannot make one,
// under a name nobody can guess), then linked in and renamed over the final name. A
// failed or abandoned write leaves an existing file of that name as it was, and a
// killed process leaves nothing behind (the unnamed file goes with it).
//
// Outputs that are not regular files are never replaced: a character device, a FIFO
// and "-" (standard output) are written directly, as a stream. A symbolic link keeps
// its place: the file it points at is the one replaced, beside itself.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace strataeq {

class TAtomicFile {
 public:
  TAtomicFile() = default;
  ~TAtomicFile();  // removes a file that was not committed
  TAtomicFile(const TAtomicFile&) = delete;
  TAtomicFile& operator=(const TAtomicFile&) = delete;

  // Opens the output for finalName: a stream, or a new file beside the file finalName
  // names (following links), readable and writable by the owner only until it is
  // committed. A temporary name that is taken is never opened; the next one is tried.
  // 0 or an errno value: EISDIR for a folder, ENOTSUP for a block device or a socket.
  int Create(const std::string& finalName);

  bool IsOpen() const { return fd_ >= 0; }
  bool Committed() const { return committed_; }
  // The output is a device, a FIFO or standard output: written in order from the
  // start, never sought back in, and nothing to remove when it fails.
  bool IsStream() const { return stream_; }
  // Open for writing (and reading, unless a stream); owned by this object. Writers
  // that keep the descriptor past Commit or Discard must hold a duplicate of their own.
  int Handle() const { return fd_; }
  // The temporary file's name while it has one (the fallback, or during Commit);
  // empty for an unnamed file and a stream.
  const std::string& TempName() const { return temp_; }
  // The name as given ("-" for standard output).
  const std::string& Name() const { return name_; }
  // What is written or replaced: the given name with its links followed.
  const std::string& FinalName() const { return final_; }
  // A path on the file system the bytes go to, for free-space queries: one that
  // exists, so a query needs no second try.
  const std::string& SpacePath() const { return !temp_.empty() ? temp_ : folder_.empty() ? final_ : folder_; }

  // All of the bytes at the file's current offset; 0 or an errno value.
  int Write(const void* data, std::size_t size);
  // The file's first end bytes are written (by whatever descriptor): with early
  // writeback on, their way to the disk starts now, a few megabytes at a time, so that
  // Commit's flush finds little left. Nothing for a stream. Off by default: it may wait
  // for a busy disk, which a device's thread must not.
  void StartWriteback(std::int64_t end);
  void SetEarlyWriteback(bool value) { earlyWriteback_ = value; }

  // Flushes the file to disk, gives it the permission bits (and, where the process
  // may, the owner and group) of the file it replaces (0666 less the umask when there
  // is none), links it in under a fresh name, renames that over the final name and
  // flushes the folder. 0 or an errno value; on failure the new file is removed and
  // the final name is untouched. A stream has nothing to move: Commit only closes it.
  int Commit();
  // Removes the new file and closes it; nothing after Commit.
  void Discard();

 private:
  int OpenStream(const std::string& path);
  std::string TempPrefix() const;
  int CreateTemp();
  int LinkTemp();
  int MoveIntoPlace(mode_t mode);
  bool NameHoldsFile(const std::string& name) const;

  std::string name_, final_, folder_, temp_;
  int fd_ = -1;
  std::int64_t writeback_ = 0;  // bytes whose writing back has started
  bool earlyWriteback_ = false;
  bool committed_ = false;
  bool stream_ = false;
  bool unnamed_ = false;
};

// The permission bits a new file gets: 0666 less the process's umask.
mode_t NewFileMode();

// Tests replace the random part of the temporary names; empty restores it.
using TTempNameSource = std::function<std::string()>;
void SetTempNameSource(TTempNameSource source);
// Tests of the fallback turn unnamed files off (false); on by default.
void SetUnnamedTempFiles(bool enabled);

}  // namespace strataeq
