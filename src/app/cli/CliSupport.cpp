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
