#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>

namespace strataeq {
namespace {

constexpr int kNameAttempts = 100;
constexpr int kMoveAttempts = 8;
constexpr std::size_t kRandomChars = 12;
constexpr const char* kTag = ".strataeq-";

std::mutex gNameMutex;
TTempNameSource gNameSource;
std::atomic<bool> gUnnamed{true};
constexpr int kMaxLinks = 40;
// Large enough that the disk gets long runs, small enough that the end of a file of
// some hundred megabytes has little left to flush.
constexpr std::int64_t kWritebackStep = 8 << 20;

std::string RandomPart() {
  {
    std::lock_guard lock(gNameMutex);
    if (gNameSource) return gNameSource();
  }
  static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[kRandomChars];
  if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
    std::random_device rd;
    for (auto& b : bytes) b = static_cast<unsigned char>(rd());
  }
  std::string s(kRandomChars, ' ');
  // 62 letters: the slight bias of the modulo costs well under a bit of the 71.
  for (std::size_t i = 0; i < kRandomChars; ++i) s[i] = kChars[bytes[i] % 62];
  return s;
}

int WriteAllAt(int fd, const unsigned char* data, std::size_t size, off_t offset) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pwrite(fd, data + done, size - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return ENOSPC;
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

// Copies every byte of from into to, from the start.
int CopyContents(int from, int to) {
  unsigned char buffer[65536];
  off_t at = 0;
  for (;;) {
    const ssize_t n = ::pread(from, buffer, sizeof buffer, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    if (const int r = WriteAllAt(to, buffer, static_cast<std::size_t>(n), at)) return r;
    at += n;
  }
}

void SyncFolder(const std::string& folder) {
  const int dfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return;
  // Best effort: the file is in place already, and some file systems cannot do it.
  ::fsync(dfd);
  ::close(dfd);
}

// Follows the links of name to the entry that holds the data: path names it, and st
// describes it when it exists (a missing file, or a dangling link's target, is made).
int ResolveLinks(const std::string& name, std::string& path, struct stat& st, bool& exists) {
  std::filesystem::path p(name);
  for (int hop = 0; hop < kMaxLinks; ++hop) {
    if (::lstat(p.c_str(), &st) != 0) {
      if (errno != ENOENT) return errno;
      exists = false;
      path = p.string();
      return 0;
    }
    if (!S_ISLNK(st.st_mode)) {
      exists = true;
      path = p.string();
      return 0;
    }
    std::string target(PATH_MAX, '\0');
    const ssize_t n = ::readlink(p.c_str(), target.data(), target.size());
    if (n < 0) return errno;
    target.resize(static_cast<std::size_t>(n));
    const std::filesystem::path t(target);
    p = t.is_absolute() ? t : p.parent_path() / t;
  }
  return ELOOP;
}

// The replaced file's owner and group where the process may give them; a member of the
// group may at least keep the group.
void KeepOwner(int fd, const struct stat& old) {
  struct stat mine {};
  if (::fstat(fd, &mine) != 0 || (mine.st_uid == old.st_uid && mine.st_gid == old.st_gid)) return;
  if (::fchown(fd, old.st_uid, old.st_gid) != 0) (void)::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
}

}  // namespace

mode_t NewFileMode() {
  // The umask can only be read by setting it; /proc shows it without that race.
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0) {
      const unsigned long mask = std::strtoul(line.c_str() + 6, nullptr, 8);
      return static_cast<mode_t>(0666 & ~mask);
    }
  }
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  const mode_t mask = ::umask(022);
  ::umask(mask);
  return 0666 & ~mask;
}

void SetTempNameSource(TTempNameSource source) {
  std::lock_guard lock(gNameMutex);
  gNameSource = std::move(source);
}

void SetUnnamedTempFiles(bool enabled) { gUnnamed = enabled; }

TAtomicFile::~TAtomicFile() { Discard(); }

int TAtomicFile::Create(const std::string& finalName) {
  Discard();
  committed_ = stream_ = unnamed_ = false;
  temp_.clear();
  name_ = final_ = finalName;
  writeback_ = 0;
  if (finalName == "-") return OpenStream({});
  if (finalName.empty() || !std::filesystem::path(finalName).has_filename()) return EISDIR;
  struct stat st {};
  // Through any links, /dev/stdout and /proc/self/fd/N included.
  if (::stat(finalName.c_str(), &st) == 0 && (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)))
    return OpenStream(finalName);
  bool exists = false;
  if (const int r = ResolveLinks(finalName, final_, st, exists)) return r;
  if (exists) {
    if (S_ISDIR(st.st_mode)) return EISDIR;
    if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) return OpenStream(final_);
    // Audio written over a disk or into a socket is never what was meant.
    if (!S_ISREG(st.st_mode)) return ENOTSUP;
  }
  const std::filesystem::path p(final_);
  folder_ = p.has_parent_path() ? p.parent_path().string() : ".";
  if (gUnnamed) {
    const int fd = ::open(folder_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) {
      fd_ = fd;
      unnamed_ = true;
      return 0;
    }
    // File systems (and kernels) without unnamed files say so in several ways.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return errno;
  }
  return CreateTemp();
}

int TAtomicFile::OpenStream(const std::string& path) {
  const int fd = path.empty() ? ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0)
                              : ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || (!path.empty() && !S_ISCHR(st.st_mode) && !S_ISFIFO(st.st_mode))) {
    // Swapped for something else between the look and the open.
    ::close(fd);
    return EAGAIN;
  }
  fd_ = fd;
  stream_ = true;
  return 0;
}

std::string TAtomicFile::TempPrefix() const {
  const std::string base = std::filesystem::path(final_).filename().string();
  // ".", the name, the tag and the random part within one folder entry's limit.
  const std::size_t room = NAME_MAX - 1 - std::strlen(kTag) - kRandomChars;
  std::string prefix = ".";
  prefix += base.substr(0, room);
  prefix += kTag;
  return prefix;
}

int TAtomicFile::CreateTemp() {
  const std::string prefix = TempPrefix();
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::string name = (std::filesystem::path(folder_) / (prefix + RandomPart())).string();
    const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      fd_ = fd;
      temp_ = name;
      return 0;
    }
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

int TAtomicFile::LinkTemp() {
  const std::string prefix = TempPrefix();
  const std::string self = "/proc/self/fd/" + std::to_string(fd_);
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::string name = (std::filesystem::path(folder_) / (prefix + RandomPart())).string();
    int r = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW);
    // Without /proc, only a privileged process may link a descriptor itself.
    if (r != 0 && errno == ENOENT) r = ::linkat(fd_, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH);
    if (r == 0) {
      temp_ = name;
      return 0;
    }
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

int TAtomicFile::Write(const void* data, std::size_t size) {
  if (fd_ < 0) return EBADF;
  const auto* p = static_cast<const unsigned char*>(data);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd_, p + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return ENOSPC;
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

void TAtomicFile::StartWriteback(std::int64_t end) {
  if (!earlyWriteback_ || fd_ < 0 || stream_ || end - writeback_ < kWritebackStep) return;
  // Only starts the writes: Commit's fsync is still what makes the file durable.
  (void)::sync_file_range(fd_, writeback_, end - writeback_, SYNC_FILE_RANGE_WRITE);
  writeback_ = end;
}

bool TAtomicFile::NameHoldsFile(const std::string& name) const {
  struct stat mine {}, there {};
  return fd_ >= 0 && !name.empty() && ::fstat(fd_, &mine) == 0 && ::lstat(name.c_str(), &there) == 0 &&
         mine.st_dev == there.st_dev && mine.st_ino == there.st_ino;
}

int TAtomicFile::MoveIntoPlace(mode_t mode) {
  for (int attempt = 0; attempt < kMoveAttempts; ++attempt) {
    if (!NameHoldsFile(temp_)) {
      // Not linked yet, or the name was taken from us: the descriptor links again. An
      // unnamed file whose only link was removed cannot be linked again (ENOENT).
      int linked = ENOENT;
      if (unnamed_) {
        temp_.clear();
        linked = LinkTemp();
        if (linked != 0 && linked != ENOENT) return linked;
      }
      if (linked != 0) {
        // Renaming the taken name would move someone else's entry (a link, say) into
        // place. The open descriptor still holds every byte.
        unnamed_ = false;
        const int old = fd_;
        fd_ = -1;
        int r = CreateTemp();
        if (r == 0) r = CopyContents(old, fd_);
        if (r == 0 && ::fchmod(fd_, mode) != 0) r = errno;
        if (r == 0 && ::fsync(fd_) != 0) r = errno;
        ::close(old);
        if (r != 0) return r;
      }
    }
    if (::rename(temp_.c_str(), final_.c_str()) != 0) {
      // Taken away between the check and the rename: link it in again.
      if (errno == ENOENT) continue;
      return errno;
    }
    if (NameHoldsFile(final_)) {
      temp_.clear();
      return 0;
    }
    // Swapped between the check and the rename: go again, over whatever was moved in.
  }
  return EAGAIN;
}

int TAtomicFile::Commit() {
  if (fd_ < 0) return EBADF;
  if (stream_) {
    // Nothing to move; a device may still report a failed write when it is closed.
    const int r = ::close(fd_) == 0 || errno == EINTR ? 0 : errno;
    fd_ = -1;
    committed_ = r == 0;
    return r;
  }
  struct stat st {};
  const bool replaces = ::stat(final_.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  const mode_t mode = replaces ? (st.st_mode & 0777) : NewFileMode();
  if (replaces) KeepOwner(fd_, st);
  int r = 0;
  if (::fchmod(fd_, mode) != 0) r = errno;
  if (r == 0 && ::fsync(fd_) != 0) r = errno;
  if (r == 0) r = MoveIntoPlace(mode);
  if (r != 0) {
    Discard();
    return r;
  }
  SyncFolder(folder_);
  ::close(fd_);
  fd_ = -1;
  committed_ = true;
  return 0;
}

void TAtomicFile::Discard() {
  if (fd_ < 0) return;
  // Only our own entry: one that replaced it is not ours to remove.
  if (NameHoldsFile(temp_)) ::unlink(temp_.c_str());
  ::close(fd_);
  fd_ = -1;
}

}  // namespace strataeq
