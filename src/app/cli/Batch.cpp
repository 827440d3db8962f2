#include "app/cli/Batch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <thread>
#include <vector>

#include "app/cli/CliSupport.h"
#include "app/cli/Commands.h"
#include "eq/MMEQ.h"
#include "files/MMBlade.h"
#include "platform/Messages.h"

namespace strataeq::cli {
namespace {

namespace fs = std::filesystem;

// A child's stderr carries its progress as lines with this start; every other line is
// what it has to say about a failure.
constexpr char kProgressTag[] = "\x1e" "progress ";
constexpr int kUnitsPerFile = 1000;

enum class TJobState { Waiting, Running, Done, Failed };

struct TJob {
  std::string input, output;
  TJobState state = TJobState::Waiting;
  pid_t pid = -1;
  int fd = -1;              // the read end of the child's stderr
  std::string partial;      // a line not yet complete
  std::string said;         // the child's failure text
  double fraction = 0;      // of the file done
  double audioSeconds = 0;  // done
  std::string failure;
};

void WriteAll(int fd, const char* data, std::size_t bytes) {
  while (bytes > 0) {
    const ssize_t n = ::write(fd, data, bytes);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    bytes -= static_cast<std::size_t>(n);
  }
}

// In the child, whose stderr is the pipe to the parent. Never returns.
[[noreturn]] void RunChild(const TJob& job, const TCliOptions& o) {
  SetMainThread();
  int code = 1;
  try {
    ProcessFile(job.input, job.output, o, [](std::int64_t done, std::int64_t total, double seconds) {
      char line[128];
      const int n =
          std::snprintf(line, sizeof line, "%s%" PRId64 " %" PRId64 " %.3f\n", kProgressTag, done, total, seconds);
      if (n > 0) WriteAll(STDERR_FILENO, line, std::min(static_cast<std::size_t>(n), sizeof line - 1));
    });
    code = 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "an unknown failure\n");
  }
  std::fflush(nullptr);
  // No static destructors: the parent's state was copied into this process, not made here.
  _exit(code);
}

void Start(TJob& job, std::vector<TJob>& jobs, const TCliOptions& o) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    job.state = TJobState::Failed;
    job.failure = std::string("cannot start a process: ") + std::strerror(errno);
    return;
  }
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    // A parent that dies (even by kill -9) takes its jobs along: each removes its
    // unfinished output as on SIGTERM.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(1);
    dup2(fds[1], STDERR_FILENO);
    close(fds[0]);
    close(fds[1]);
    for (const TJob& other : jobs)
      if (other.fd >= 0) close(other.fd);
    RunChild(job, o);
  }
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    job.state = TJobState::Failed;
    job.failure = std::string("cannot start a process: ") + std::strerror(errno);
    return;
  }
  job.pid = pid;
  job.fd = fds[0];
  job.state = TJobState::Running;
}

void Absorb(TJob& job, const char* data, std::size_t bytes) {
  job.partial.append(data, bytes);
  std::size_t start = 0;
  for (std::size_t eol; (eol = job.partial.find('\n', start)) != std::string::npos; start = eol + 1) {
    const std::string line = job.partial.substr(start, eol - start);
    if (line.rfind(kProgressTag, 0) == 0) {
      long long done = 0, total = 0;
      double seconds = 0;
      if (std::sscanf(line.c_str() + sizeof kProgressTag - 1, "%lld %lld %lf", &done, &total, &seconds) == 3) {
        job.fraction = total > 0 ? std::clamp(static_cast<double>(done) / static_cast<double>(total), 0.0, 1.0) : 0.0;
        job.audioSeconds = seconds;
      }
    } else if (!line.empty()) {
      if (!job.said.empty()) job.said += "; ";
      job.said += line;
    }
  }
  job.partial.erase(0, start);
}

// The child has closed its end: collect its exit.
void Reap(TJob& job) {
  close(job.fd);
  job.fd = -1;
  int status = 0;
  while (waitpid(job.pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!job.partial.empty()) Absorb(job, "\n", 1);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    job.state = TJobState::Done;
    job.fraction = 1;
    return;
  }
  job.state = TJobState::Failed;
  if (WIFSIGNALED(status))
    job.failure = "ended by signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")" +
                  (job.said.empty() ? "" : ": " + job.said);
  else if (!job.said.empty())
    job.failure = job.said;
  else
    job.failure = "failed with exit status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
}

}  // namespace

std::string BatchOutputName(const std::string& input, const std::string& folder, const std::string& to) {
  fs::path name = fs::path(input).filename();
  if (!to.empty()) name.replace_extension("." + to);
  return (fs::path(folder) / name).string();
}

int RunBatch(const TCliOptions& o) {
  const auto began = std::chrono::steady_clock::now();
  // Settings that would fail every file fail the batch before it starts.
  {
    TMMEqualizer eq;
    ApplyEqSettings(eq, o.Eq);
  }
  std::vector<TJob> jobs;
  bool mp3Out = false;
  for (const std::string& input : o.Positional) {
    TJob job;
    job.input = input;
    job.output = BatchOutputName(input, *o.OutDir, o.To);
    try {
      mp3Out = mp3Out || OutputKind(job.output, o.To) == TFileKind::Mp3;
    } catch (const EMMError& e) {
      job.state = TJobState::Failed;
      job.failure = e.what();
    }
    jobs.push_back(std::move(job));
  }
  TMMBitrates bitrate{};
  if (mp3Out && !BitrateFromKbps(o.Bitrate, bitrate))
    throw EUsageError("--bitrate: no MP3 bit rate of " + std::to_string(o.Bitrate) + " kbit/s");
  std::error_code ec;
  fs::create_directories(*o.OutDir, ec);
  if (ec) throw EMMError("cannot create the folder " + *o.OutDir + ": " + ec.message());

  // No job writes over an input (by its name, a hard link or a symbolic link): all are
  // checked before the first file is written.
  std::map<std::pair<dev_t, ino_t>, std::string> inputs;
  for (const TJob& job : jobs) {
    struct stat st {};
    if (::stat(job.input.c_str(), &st) == 0) inputs.emplace(std::make_pair(st.st_dev, st.st_ino), job.input);
  }
  for (TJob& job : jobs) {
    struct stat st {};
    if (job.state != TJobState::Waiting || ::stat(job.output.c_str(), &st) != 0) continue;
    if (const auto it = inputs.find({st.st_dev, st.st_ino}); it != inputs.end()) {
      job.state = TJobState::Failed;
      job.failure = "its output " + job.output + " is the input " + it->second + ": refusing to overwrite it";
    }
  }
  // Two inputs of one name would write one output: the later ones are refused.
  std::map<std::string, std::string> taken;
  for (TJob& job : jobs) {
    if (job.state != TJobState::Waiting) continue;
    const auto [it, fresh] = taken.emplace(job.output, job.input);
    if (!fresh) {
      job.state = TJobState::Failed;
      job.failure = "its output " + job.output + " is also the output of " + it->second;
    }
  }

  const unsigned cores = std::thread::hardware_concurrency();
  const std::size_t parallel = static_cast<std::size_t>(o.Jobs > 0 ? o.Jobs : std::max(1u, cores));
  // Whatever is buffered would be written again by every child.
  std::fflush(nullptr);
  TProgress progress(stderr, !o.Quiet);
  std::size_t next = 0;
  bool forwarded = false;
  for (;;) {
    if (Interrupted() && !forwarded) {
      // Ctrl-C at a terminal reaches every job by itself, a SIGTERM only this process.
      forwarded = true;
      for (const TJob& job : jobs)
        if (job.state == TJobState::Running) kill(job.pid, SIGTERM);
    }
    std::size_t running = 0;
    for (const TJob& job : jobs) running += job.state == TJobState::Running;
    for (; running < parallel && next < jobs.size() && !Interrupted(); ++next) {
      if (jobs[next].state != TJobState::Waiting) continue;
      Start(jobs[next], jobs, o);
      running += jobs[next].state == TJobState::Running;
    }
    if (running == 0) break;

    std::vector<pollfd> fds;
    std::vector<TJob*> polled;
    for (TJob& job : jobs) {
      if (job.state != TJobState::Running) continue;
      fds.push_back(pollfd{job.fd, POLLIN, 0});
      polled.push_back(&job);
    }
    if (poll(fds.data(), fds.size(), 100) > 0) {
      for (std::size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        char buffer[4096];
        const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
        if (n > 0)
          Absorb(*polled[i], buffer, static_cast<std::size_t>(n));
        else if (n == 0 || errno != EINTR)
          Reap(*polled[i]);
      }
    }

    std::int64_t units = 0;
    double audioSeconds = 0;
    std::size_t finished = 0;
    for (const TJob& job : jobs) {
      const bool over = job.state == TJobState::Done || job.state == TJobState::Failed;
      finished += over;
      units += over ? kUnitsPerFile : static_cast<std::int64_t>(job.fraction * kUnitsPerFile);
      audioSeconds += job.audioSeconds;
    }
    progress.SetNote(std::to_string(finished) + "/" + std::to_string(jobs.size()) + " files");
    progress.Update(units, static_cast<std::int64_t>(jobs.size()) * kUnitsPerFile, audioSeconds);
  }
  progress.Finish();
  for (TJob& job : jobs)
    if (job.state == TJobState::Waiting) {
      job.state = TJobState::Failed;
      job.failure = "not started: interrupted";
    }

  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  const auto failed = static_cast<std::size_t>(
      std::count_if(jobs.begin(), jobs.end(), [](const TJob& j) { return j.state == TJobState::Failed; }));
  if (failed == 0) {
    if (!o.Quiet)
      std::fprintf(stderr, "strataeq-cli: %zu %s written to %s in %.1f s\n", jobs.size(),
                   jobs.size() == 1 ? "file" : "files", o.OutDir->c_str(), seconds);
    return 0;
  }
  std::fprintf(stderr, "strataeq-cli: %zu of %zu files written to %s in %.1f s; %zu failed:\n", jobs.size() - failed,
               jobs.size(), o.OutDir->c_str(), seconds, failed);
  for (const TJob& job : jobs)
    if (job.state == TJobState::Failed) std::fprintf(stderr, "  %s: %s\n", job.input.c_str(), job.failure.c_str());
  return Interrupted() ? InterruptedStatus() : 1;
}

}  // namespace strataeq::cli
