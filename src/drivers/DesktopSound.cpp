#include "drivers/DesktopSound.h"

#include <pulse/pulseaudio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <thread>
#include <vector>

namespace strataeq {
namespace {

// The virtual device carries what a killed run needs to put things back: the default
// before it, and where each application stream came from ("index=sink,...").
constexpr const char* kPreviousDefault = "strataeq.previous_default";
constexpr const char* kOrigins = "strataeq.origins";

struct SinkEntry {
  std::uint32_t index = PA_INVALID_INDEX;
  std::uint32_t module = PA_INVALID_INDEX;
  std::string name;
  std::string previousDefault;
  std::string origins;
  long priority = 0;  // the server's ranking where it gives one (PipeWire's session priority)
};

struct StreamEntry {
  std::uint32_t index = PA_INVALID_INDEX;
  std::uint32_t sink = PA_INVALID_INDEX;
  bool application = false;  // a client's stream from another process
};

// Names go into a module argument between quotes; anything that could end the quotes
// is refused.
bool Quotable(const std::string& s) {
  return !s.empty() && s.find_first_of("'\"\\ \t\n,=") == std::string::npos;
}

std::map<std::uint32_t, std::string> ParseOrigins(const std::string& text) {
  std::map<std::uint32_t, std::string> out;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    const std::string item = text.substr(start, end - start);
    const std::size_t eq = item.find('=');
    if (eq != std::string::npos && eq > 0) {
      try {
        out[static_cast<std::uint32_t>(std::stoul(item.substr(0, eq)))] = item.substr(eq + 1);
      } catch (const std::exception&) {
      }
    }
    start = end + 1;
  }
  return out;
}

}  // namespace

// A connection of its own to the server, used synchronously from the main thread.
class TDesktopSound::TServer {
 public:
  TServer() {
    loop_ = pa_threaded_mainloop_new();
    if (!loop_ || pa_threaded_mainloop_start(loop_) < 0) Fail("the sound server's client could not start");
    Lock lock(loop_);
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "StrataEq desktop sound");
    if (!context_) Fail("the sound server's client could not start");
    pa_context_set_state_callback(context_, &TServer::Wake, this);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
      Fail("no sound server is running");
    for (;;) {
      const pa_context_state_t st = pa_context_get_state(context_);
      if (st == PA_CONTEXT_READY) break;
      if (!PA_CONTEXT_IS_GOOD(st)) Fail("no sound server is running");
      pa_threaded_mainloop_wait(loop_);
    }
  }

  ~TServer() {
    if (loop_) {
      pa_threaded_mainloop_lock(loop_);
      if (context_) {
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
      }
      pa_threaded_mainloop_unlock(loop_);
      pa_threaded_mainloop_stop(loop_);
      pa_threaded_mainloop_free(loop_);
    }
  }

  std::string DefaultSink() {
    std::string name;
    Run(pa_context_get_server_info(
            context_,
            [](pa_context*, const pa_server_info* i, void* p) {
              if (i && i->default_sink_name) *static_cast<std::string*>(p) = i->default_sink_name;
            },
            &name));
    return name;
  }

  std::vector<SinkEntry> Sinks() {
    std::vector<SinkEntry> list;
    Run(pa_context_get_sink_info_list(
        context_,
        [](pa_context*, const pa_sink_info* i, int eol, void* p) {
          if (eol || !i) return;
          SinkEntry e;
          e.index = i->index;
          e.module = i->owner_module;
          e.name = i->name ? i->name : "";
          if (const char* v = pa_proplist_gets(i->proplist, kPreviousDefault)) e.previousDefault = v;
          if (const char* v = pa_proplist_gets(i->proplist, kOrigins)) e.origins = v;
          if (const char* v = pa_proplist_gets(i->proplist, "priority.session")) e.priority = std::atol(v);
          static_cast<std::vector<SinkEntry>*>(p)->push_back(e);
        },
        &list));
    return list;
  }

  std::vector<StreamEntry> Streams() {
    std::vector<StreamEntry> list;
    Run(pa_context_get_sink_input_info_list(
        context_,
        [](pa_context*, const pa_sink_input_info* i, int eol, void* p) {
          if (eol || !i) return;
          const char* pid = pa_proplist_gets(i->proplist, PA_PROP_APPLICATION_PROCESS_ID);
          const bool ours = pid && std::to_string(getpid()) == pid;
          static_cast<std::vector<StreamEntry>*>(p)->push_back(
              {i->index, i->sink, i->client != PA_INVALID_INDEX && !ours});
        },
        &list));
    return list;
  }

  bool HasSource(const std::string& name) {
    bool found = false;
    Run(pa_context_get_source_info_by_name(
        context_, name.c_str(),
        [](pa_context*, const pa_source_info* i, int eol, void* p) {
          if (!eol && i) *static_cast<bool*>(p) = true;
        },
        &found));
    return found;
  }
  bool HasSink(const std::string& name) {
    const std::vector<SinkEntry> list = Sinks();
    return std::any_of(list.begin(), list.end(), [&](const SinkEntry& s) { return s.name == name; });
  }

  // The server may answer a request before it acts on it (PipeWire's server hands
  // devices and defaults to its session manager): what comes next waits until the
  // server shows the change. False when it does not within a few seconds.
  bool Settle(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(3)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      pa_threaded_mainloop_unlock(loop_);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      pa_threaded_mainloop_lock(loop_);
    }
    return true;
  }

  // A null sink, ready when it and its monitor are listed.
  std::uint32_t LoadSink(const std::string& sinkName, const std::string& args) {
    std::uint32_t index = PA_INVALID_INDEX;
    Run(pa_context_load_module(
        context_, "module-null-sink", args.c_str(),
        [](pa_context*, std::uint32_t idx, void* p) { *static_cast<std::uint32_t*>(p) = idx; }, &index));
    if (index != PA_INVALID_INDEX) Settle([&] { return HasSink(sinkName) && HasSource(sinkName + ".monitor"); });
    return index;
  }

  bool UnloadSink(std::uint32_t module, const std::string& sinkName) {
    return RunSuccess(pa_context_unload_module, module) &&
           Settle([&] { return !HasSink(sinkName) && !HasSource(sinkName + ".monitor"); });
  }
  bool SetDefaultSink(const std::string& name) {
    bool ok = false;
    Run(pa_context_set_default_sink(context_, name.c_str(), &TServer::Success, &ok));
    return ok && Settle([&] { return DefaultSink() == name; });
  }
  bool MoveStream(std::uint32_t stream, const std::string& sink) {
    bool ok = false;
    Run(pa_context_move_sink_input_by_name(context_, stream, sink.c_str(), &TServer::Success, &ok));
    return ok;
  }

 private:
  class Lock {
   public:
    explicit Lock(pa_threaded_mainloop* l) : l_(l) { pa_threaded_mainloop_lock(l_); }
    ~Lock() { pa_threaded_mainloop_unlock(l_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pa_threaded_mainloop* l_;
  };

  [[noreturn]] static void Fail(const std::string& why) {
    throw EMMDesktopError("Desktop Sound: " + why);
  }

  static void Wake(pa_context*, void* self) { pa_threaded_mainloop_signal(static_cast<TServer*>(self)->loop_, 0); }
  static void Success(pa_context*, int ok, void* p) { *static_cast<bool*>(p) = ok != 0; }

  bool RunSuccess(pa_operation* (*call)(pa_context*, std::uint32_t, pa_context_success_cb_t, void*),
                  std::uint32_t index) {
    bool ok = false;
    Run(call(context_, index, &TServer::Success, &ok));
    return ok;
  }

  // Waits for an operation made under the lock the caller's Run frame takes; the
  // operation's callbacks run on the loop thread before its state changes.
  void Run(pa_operation* op) {
    if (!op) Fail(pa_strerror(pa_context_errno(context_)));
    pa_operation_set_state_callback(
        op, [](pa_operation*, void* l) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(l), 0); },
        loop_);
    while (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_threaded_mainloop_wait(loop_);
    const bool cancelled = pa_operation_get_state(op) == PA_OPERATION_CANCELLED;
    pa_operation_unref(op);
    if (cancelled) Fail("the connection to the sound server was lost");
  }

  friend class TDesktopSound;
  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
};

TDesktopSound::TDesktopSound() = default;

TDesktopSound::~TDesktopSound() {
  try {
    Stop();
  } catch (...) {  // the server went away: nothing left to put back
  }
}

bool TDesktopSound::Recover() {
  std::vector<SinkEntry> sinks = server_->Sinks();
  const auto ours = std::find_if(sinks.begin(), sinks.end(), [](const SinkEntry& s) { return s.name == kSinkName; });
  if (ours == sinks.end()) return false;
  auto exists = [&](const std::string& name) {
    return name != kSinkName &&
           std::any_of(sinks.begin(), sinks.end(), [&](const SinkEntry& s) { return s.name == name; });
  };
  std::string fallback = exists(ours->previousDefault) ? ours->previousDefault : std::string();
  for (const SinkEntry& s : sinks)
    if (fallback.empty() && s.name != kSinkName) fallback = s.name;
  // Streams that played elsewhere than on the default go back there first; then the
  // default comes back and the streams that follow it go along; what is left moves to
  // the default, which makes it follow the default again. The user may have chosen
  // another default meanwhile: only ours is replaced.
  const auto origins = ParseOrigins(ours->origins);
  for (const StreamEntry& st : server_->Streams()) {
    const auto o = origins.find(st.index);
    if (st.sink == ours->index && o != origins.end() && o->second != fallback && exists(o->second))
      server_->MoveStream(st.index, o->second);
  }
  if (server_->DefaultSink() == kSinkName && !fallback.empty()) server_->SetDefaultSink(fallback);
  const std::string target = server_->DefaultSink() != kSinkName ? server_->DefaultSink() : fallback;
  for (const StreamEntry& st : server_->Streams())
    if (st.sink == ours->index && !target.empty()) server_->MoveStream(st.index, target);
  if (ours->module != PA_INVALID_INDEX) server_->UnloadSink(ours->module, kSinkName);
  return true;
}

void TDesktopSound::Start(const std::string& output, int sampleRate) {
  if (active_) return;
  if (!server_) server_ = std::make_unique<TServer>();
  TServer::Lock lock(server_->loop_);
  Recover();

  const std::vector<SinkEntry> sinks = server_->Sinks();
  // A leftover that could not be removed is still no output.
  auto exists = [&](const std::string& name) {
    return name != kSinkName &&
           std::any_of(sinks.begin(), sinks.end(), [&](const SinkEntry& s) { return s.name == name; });
  };
  if (output == kSinkName)
    throw EMMDesktopError("Desktop Sound: the equalized sound cannot be played into \"" + std::string(kDescription) +
                          "\" itself; choose a real playback device");
  const std::string previous = server_->DefaultSink();
  std::string out = output.empty() ? previous : output;
  if (!exists(out)) {
    if (!output.empty()) throw EMMDesktopError("Desktop Sound: there is no playback device " + output);
    out.clear();
    for (const SinkEntry& s : sinks)
      if (out.empty() && exists(s.name)) out = s.name;
    if (out.empty()) throw EMMDesktopError("Desktop Sound: there is no playback device to play the desktop's sound");
  }
  if (!Quotable(out)) throw EMMDesktopError("Desktop Sound: the playback device's name cannot be handed to the server");
  const std::string restoreDefault = exists(previous) && Quotable(previous) ? previous : out;

  std::string origins;
  std::map<std::uint32_t, std::string> names;
  for (const SinkEntry& s : sinks) names[s.index] = s.name;
  for (const StreamEntry& st : server_->Streams()) {
    if (!st.application || !Quotable(names[st.sink])) continue;
    if (!origins.empty()) origins += ',';
    origins += std::to_string(st.index) + '=' + names[st.sink];
  }
  const std::string args = "sink_name=" + std::string(kSinkName) + " format=s16le channels=2 rate=" +
                           std::to_string(sampleRate) + " sink_properties='device.description=\"" + kDescription +
                           "\" " + kPreviousDefault + "=\"" + restoreDefault + "\" " + kOrigins + "=\"" + origins +
                           "\"'";
  if (server_->LoadSink(kSinkName, args) == PA_INVALID_INDEX)
    throw EMMDesktopError("Desktop Sound: the sound server could not create the device \"" + std::string(kDescription) +
                          "\"");
  active_ = true;
  output_ = out;
  // Streams that follow the default move with it; the others are moved one by one.
  server_->SetDefaultSink(kSinkName);
  std::uint32_t ourIndex = PA_INVALID_INDEX;
  for (const SinkEntry& s : server_->Sinks())
    if (s.name == kSinkName) ourIndex = s.index;
  moved_ = 0;
  for (const StreamEntry& st : server_->Streams()) {
    if (!st.application) continue;
    if (st.sink == ourIndex || server_->MoveStream(st.index, kSinkName)) ++moved_;
  }
}

bool TDesktopSound::OutputPresent() {
  if (!active_ || !server_) return false;
  TServer::Lock lock(server_->loop_);
  // A device's streams can fail a moment before the server stops listing it.
  return !server_->Settle([&] { return !server_->HasSink(output_); }, std::chrono::milliseconds(1000));
}

std::string TDesktopSound::FollowDesktop() {
  if (!active_ || !server_) throw EMMDesktopError("Desktop Sound: not running");
  TServer::Lock lock(server_->loop_);
  const std::vector<SinkEntry> sinks = server_->Sinks();
  const std::string def = server_->DefaultSink();
  const SinkEntry* best = nullptr;
  for (const SinkEntry& s : sinks) {
    if (s.name == kSinkName || !Quotable(s.name)) continue;
    if (s.name == def) {
      best = &s;
      break;
    }
    if (!best || s.priority > best->priority) best = &s;
  }
  if (!best) throw EMMDesktopError("Desktop Sound: there is no playback device left to play the desktop's sound");
  output_ = best->name;
  return output_;
}

void TDesktopSound::Stop() {
  if (!active_ || !server_) return;
  active_ = false;
  TServer::Lock lock(server_->loop_);
  Recover();
}

}  // namespace strataeq
