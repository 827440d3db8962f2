// A new file that replaces its final name only when it is complete: written under a
// name nobody can guess in the final name's folder, then renamed over the final name.
// A failed or abandoned write leaves an existing file of that name as it was.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>

namespace strataeq {

class TAtomicFile {
 public:
  TAtomicFile() = default;
  ~TAtomicFile();  // removes a file that was not committed
  TAtomicFile(const TAtomicFile&) = delete;
  TAtomicFile& operator=(const TAtomicFile&) = delete;

  // Creates the temporary file beside finalName, exclusively and without following a
  // link, readable and writable by the owner only until it is committed. A name that
  // is taken is never opened; the next one is tried. 0 or an errno value.
  int Create(const std::string& finalName);

  bool IsOpen() const { return fd_ >= 0; }
  bool Committed() const { return committed_; }
  // Open for reading and writing; owned by this object. Writers that keep the
  // descriptor past Commit or Discard must hold a duplicate of their own.
  int Handle() const { return fd_; }
  const std::string& TempName() const { return temp_; }
  const std::string& FinalName() const { return final_; }

  // All of the bytes at the file's current offset; 0 or an errno value.
  int Write(const void* data, std::size_t size);

  // Flushes the file to disk, gives it the permission bits of the file it replaces
  // (0666 less the umask when there is none), renames it over the final name and
  // flushes the folder. Should the temporary name no longer hold this file (someone
  // replaced it), the contents go into a fresh temporary file instead. 0 or an errno
  // value; on failure the temporary file is removed and the final name is untouched.
  int Commit();
  // Removes the temporary file and closes it; nothing after Commit.
  void Discard();

 private:
  int CreateTemp();
  int MoveIntoPlace(mode_t mode);
  bool NameHoldsFile(const std::string& name) const;

  std::string final_, folder_, temp_;
  int fd_ = -1;
  bool committed_ = false;
};

// The permission bits a new file gets: 0666 less the process's umask.
mode_t NewFileMode();

// Tests replace the random part of the temporary names; empty restores it.
using TTempNameSource = std::function<std::string()>;
void SetTempNameSource(TTempNameSource source);

}  // namespace strataeq
