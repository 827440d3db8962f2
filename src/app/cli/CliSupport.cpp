#include "app/cli/CliSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace strataeq::cli {
namespace {

volatile std::sig_atomic_t gInterrupted = 0;
int gGuards = 0;
extern "C" void OnInterrupt(int) { gInterrupted = 1; }

}  // namespace

TInterruptGuard::TInterruptGuard() {
  if (gGuards++ > 0) return;
  gInterrupted = 0;
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
}

TInterruptGuard::~TInterruptGuard() {
  if (--gGuards > 0) return;
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
}

bool Interrupted() { return gInterrupted != 0; }

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

void CheckReadableInput(const std::string& path) {
  // Non-blocking: a FIFO without a writer yet is readable, not a hang.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw EMMError(path + ": " + std::strerror(errno));
  struct stat st {};
  const bool folder = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
  ::close(fd);
  if (folder) throw EMMError(path + ": is a folder, not a sound file");
}

TFileKind KindOf(const std::string& path) {
  const auto dot = path.find_last_of('.');
  if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return TFileKind::Wav;
  std::string ext = path.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  return ext == "mp3" ? TFileKind::Mp3 : TFileKind::Wav;
}

TProgress::TProgress(std::FILE* out, bool enabled)
    : out_(out), enabled_(enabled && isatty(fileno(out))), start_(std::chrono::steady_clock::now()) {}

void TProgress::Update(std::int64_t done, std::int64_t total, double audioSeconds) {
  if (!enabled_) return;
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const double fraction = total > 0 ? std::clamp(static_cast<double>(done) / static_cast<double>(total), 0.0, 1.0) : 0.0;
  constexpr int kWidth = 30;
  const int filled = static_cast<int>(fraction * kWidth);
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.append(static_cast<std::size_t>(kWidth - filled), '.');
  std::fprintf(out_, "\r[%s] %3d%%  %5.1f s", bar.c_str(), static_cast<int>(fraction * 100), elapsed);
  if (elapsed > 0.05 && audioSeconds > 0) std::fprintf(out_, "  %6.0fx real time", audioSeconds / elapsed);
  if (!note_.empty()) std::fprintf(out_, "  %s", note_.c_str());
  std::fflush(out_);
  drawn_ = true;
}

void TProgress::Finish() {
  if (drawn_) std::fprintf(out_, "\n");
  drawn_ = false;
}

}  // namespace strataeq::cli
