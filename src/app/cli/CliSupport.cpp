#include "app/cli/CliSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>

#include "foundation/MMUtils.h"

namespace strataeq::cli {
namespace {

volatile std::sig_atomic_t gInterrupted = 0;
int gGuards = 0;
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
extern "C" void OnInterrupt(int sig) {
  if (gInterrupted == 0) gInterrupted = sig;
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

}  // namespace

TInterruptGuard::TInterruptGuard() {
  if (gGuards++ > 0) return;
  gInterrupted = 0;
  for (int sig : kSignals) std::signal(sig, OnInterrupt);
}

TInterruptGuard::~TInterruptGuard() {
  if (--gGuards > 0) return;
  for (int sig : kSignals) std::signal(sig, SIG_DFL);
}

bool Interrupted() { return gInterrupted != 0; }

int InterruptedStatus() { return 128 + (gInterrupted != 0 ? static_cast<int>(gInterrupted) : SIGINT); }

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

bool IsStreamOutput(const std::string& path) {
  struct stat st {};
  return path == "-" || (::stat(path.c_str(), &st) == 0 && (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)));
}

TFileKind OutputKind(const std::string& path, const std::string& to) {
  const std::filesystem::path name = std::filesystem::path(path).filename();
  const std::string ext = path == "-" ? std::string() : Lower(name.extension().string());
  if (ext == ".wav" || ext == ".mp3") {
    if (!to.empty() && "." + to != ext)
      throw EMMError("the output " + path + " is named as " + ext + " but --to says " + to + ": rename it or drop --to");
    return ext == ".mp3" ? TFileKind::Mp3 : TFileKind::Wav;
  }
  if (!to.empty() && (ext.empty() || IsStreamOutput(path))) return to == "mp3" ? TFileKind::Mp3 : TFileKind::Wav;
  if (ext.empty())
    throw EMMError("the output " + path + " has no extension: give --to wav or --to mp3 to say what to write");
  throw EMMError("the output " + path + " is not a .wav or .mp3 file: refusing to write audio as " + ext +
                 " (outputs are .wav or .mp3; --to wav|mp3 names the type for a stream or a name without extension)");
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
