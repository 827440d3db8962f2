#include "app/cli/CliOptions.h"

#include <charconv>
#include <cmath>
#include <set>
#include <sstream>

#include "app/cli/CliSupport.h"

namespace strataeq::cli {
namespace {

float ParseGain(const std::string& text, const std::string& what) {
  std::size_t used = 0;
  float g = 0;
  try {
    g = std::stof(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != text.size() || text.empty() || !std::isfinite(g))
    throw EUsageError(what + ": '" + text + "' is not a number of dB");
  if (g < kMinGain || g > kMaxGain)
    throw EUsageError(what + ": " + text + " dB is outside -99..16 dB");
  return g;
}

int ParseInt(const std::string& text, const std::string& what) {
  int v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty())
    throw EUsageError(what + ": '" + text + "' is not a whole number");
  return v;
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const auto pos = s.find(sep, start);
    parts.push_back(s.substr(start, pos - start));
    if (pos == std::string::npos) return parts;
    start = pos + 1;
  }
}

// Which options each command takes.
const std::set<std::string>& EqOptions() {
  static const std::set<std::string> s{"--preset", "--band", "--gains", "--fft", "--channel"};
  return s;
}

bool Allowed(const std::string& command, const std::string& sub, const std::string& option) {
  if (option == "--fft" && command == "preset" && sub == "import") return true;
  if (option == "--quiet" || option == "-q") return command == "process" || command == "live" || command == "play" || command == "record";
  if (EqOptions().contains(option))
    return command == "process" || command == "live" || command == "play" || command == "record" ||
           (command == "preset" && sub == "write");
  if (option == "--description") return command == "preset" && sub == "write";
  if (option == "--bands")
    return command == "process" || command == "live" || command == "play" || command == "record" ||
           (command == "preset" && (sub == "write" || sub == "import"));
  if (option == "--bitrate" || option == "--mp3-container") return command == "process" || command == "record";
  if (option == "--bits") return command == "process";
  if (option == "--in") return command == "live" || command == "record";
  if (option == "--out") return command == "live" || command == "play";
  if (option == "--seconds") return command == "live" || command == "record";
  if (option == "--out-dir" || option == "-j" || option == "--jobs" || option == "--threads") return command == "process";
  if (option == "--to") return command == "process" || command == "record";
  if (option == "--desktop") return command == "live";
  if (option == "--latency") return command == "live" || command == "play" || command == "record";
  return false;
}

std::size_t PositionalCount(const std::string& command) {
  if (command == "process" || command == "import" || command == "export") return 2;
  if (command == "devices" || command == "live") return 0;
  return 1;  // info, preset write/show, play, record
}

}  // namespace

TCliOptions ParseCommandLine(const std::vector<std::string>& args) {
  TCliOptions o;
  if (args.empty()) throw EUsageError("no command given");
  o.Command = args[0];
  static const std::set<std::string> commands{"process", "info", "preset", "devices", "live", "play", "record"};
  if (!commands.contains(o.Command)) throw EUsageError("unknown command '" + o.Command + "'");
  std::size_t i = 1;
  const auto isHelp = [](const std::string& a) { return a == "--help" || a == "-h"; };
  if (o.Command == "preset" && args.size() >= 2 && isHelp(args[1])) {
    o.Help = true;
    return o;
  }
  if (o.Command == "preset") {
    if (args.size() < 2 || (args[1] != "write" && args[1] != "show" && args[1] != "import" && args[1] != "export"))
      throw EUsageError("preset takes 'write', 'show', 'import' or 'export'");
    o.SubCommand = args[1];
    i = 2;
  }
  bool optionsEnded = false;
  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--" && !optionsEnded) {
      optionsEnded = true;  // what follows are files, even when they begin with '-'
      continue;
    }
    if (optionsEnded || a.size() < 2 || a[0] != '-') {
      o.Positional.push_back(a);
      continue;
    }
    if (isHelp(a)) {
      o.Help = true;
      return o;
    }
    if (!Allowed(o.Command, o.SubCommand, a)) throw EUsageError("option " + a + " does not apply here");
    if (a == "-q" || a == "--quiet") {
      o.Quiet = true;
      continue;
    }
    if (a == "--desktop") {
      o.Desktop = true;
      continue;
    }
    if (i + 1 >= args.size()) throw EUsageError("option " + a + " needs a value");
    const std::string& v = args[++i];
    if (a == "--preset") {
      o.Eq.Preset = v;
    } else if (a == "--gains") {
      const auto parts = Split(v, ',');
      if (parts.size() != kBands) throw EUsageError("--gains needs 15 values separated by commas");
      std::array<float, kBands> g{};
      for (int b = 0; b < kBands; ++b) g[static_cast<std::size_t>(b)] = ParseGain(parts[static_cast<std::size_t>(b)], "--gains");
      o.Eq.Gains = g;
    } else if (a == "--band") {
      const auto eq = v.find('=');
      if (eq == std::string::npos) throw EUsageError("--band takes N=DB, for example 8=-20");
      const int n = ParseInt(v.substr(0, eq), "--band");
      if (n < 1 || n > kBands) throw EUsageError("--band: band " + std::to_string(n) + " is outside 1..15");
      o.Eq.Bands.emplace_back(n - 1, ParseGain(v.substr(eq + 1), "--band"));
    } else if (a == "--fft") {
      const int n = ParseInt(v, "--fft");
      if (n < 16 || n > 4096 || (n & (n - 1)) != 0)
        throw EUsageError("--fft takes a power of two from 16 to 4096");
      o.Eq.FFTLength = n;
    } else if (a == "--channel") {
      if (v == "both") o.Eq.Channel = TMMChannel::chBoth;
      else if (v == "left") o.Eq.Channel = TMMChannel::chLeft;
      else if (v == "right") o.Eq.Channel = TMMChannel::chRight;
      else throw EUsageError("--channel takes both, left or right");
    } else if (a == "--bands") {
      if (v != "15" && v != "exact") throw EUsageError("--bands takes 15 or exact");
      o.Eq.ExactBands = v == "exact";
    } else if (a == "--description") {
      o.Eq.Description = v;
    } else if (a == "--bitrate") {
      o.Bitrate = ParseInt(v, "--bitrate");
      if (o.Bitrate < 32 || o.Bitrate > 320) throw EUsageError("--bitrate takes 32..320 kbit/s");
    } else if (a == "--mp3-container") {
      if (v != "raw" && v != "wav") throw EUsageError("--mp3-container takes raw or wav");
      o.Mp3InWave = v == "wav";
    } else if (a == "--bits") {
      if (v != "16" && v != "24" && v != "32" && v != "32f") throw EUsageError("--bits takes 16, 24, 32 or 32f");
      o.Bits = v;
    } else if (a == "--in") {
      o.InDevice = v;
    } else if (a == "--out") {
      o.OutDevice = v;
    } else if (a == "--seconds") {
      std::size_t used = 0;
      double s = -1;
      try {
        s = std::stod(v, &used);
      } catch (const std::exception&) {
      }
      if (used != v.size() || !(s > 0) || !std::isfinite(s)) throw EUsageError("--seconds takes a positive number");
      o.Seconds = s;
    } else if (a == "--out-dir") {
      if (v.empty()) throw EUsageError("--out-dir needs a folder");
      o.OutDir = v;
    } else if (a == "--to") {
      if (v != "wav" && v != "mp3") throw EUsageError("--to takes wav or mp3");
      o.To = v;
    } else if (a == "-j" || a == "--jobs") {
      o.Jobs = ParseInt(v, a);
      if (o.Jobs < 1 || o.Jobs > 256) throw EUsageError(a + " takes 1..256 jobs");
    } else if (a == "--threads") {
      o.Threads = ParseInt(v, a);
      if (o.Threads < 1 || o.Threads > 256) throw EUsageError("--threads takes 1..256 threads");
    } else if (a == "--latency") {
      const int ms = ParseInt(v, "--latency");
      if (ms < 5 || ms > 2000) throw EUsageError("--latency takes 5..2000 ms");
      o.LatencyMs = ms;
    }
  }
  if (o.Desktop && o.InDevice) throw EUsageError("--desktop records the desktop's own sound: it takes no --in");
  if (!o.OutDir && o.Jobs > 0) throw EUsageError("-j goes with --out-dir");
  if (o.Mp3InWave) {
    // The container is chosen only for an MP3 output; any other is written as plain
    // WAV, which would drop the option without a word.
    std::vector<std::string> outputs;
    if (o.OutDir && o.To.empty()) outputs = o.Positional;
    else if (!o.To.empty()) outputs = {"." + o.To};
    else if (!o.Positional.empty()) outputs = {o.Positional.back()};
    for (const std::string& name : outputs)
      if (KindOf(name) != TFileKind::Mp3)
        throw EUsageError("--mp3-container wav puts MP3 audio in a WAV file and applies to an output named .mp3, not " +
                          (!o.To.empty() ? "--to " + o.To : name));
  }
  if (o.OutDir) {
    if (o.Positional.empty()) throw EUsageError("process --out-dir takes one or more input files");
    return o;
  }
  const std::size_t want = PositionalCount(o.Command == "preset" ? o.SubCommand : o.Command);
  if (o.Positional.size() != want)
    throw EUsageError(o.Command + (o.SubCommand.empty() ? "" : " " + o.SubCommand) + " takes " +
                      std::to_string(want) + (want == 1 ? " file" : " files"));
  return o;
}

const char* UsageText() {
  return "usage:\n"
         "  strataeq-cli process INPUT OUTPUT [options]   equalize a file into a file\n"
         "  strataeq-cli process INPUT... --out-dir DIR [--to wav|mp3] [-j N] [options]\n"
         "                                                equalize files into DIR, N at once\n"
         "  strataeq-cli info FILE                        format, length, play time\n"
         "  strataeq-cli preset write FILE [options]      write a preset (.sqp)\n"
         "  strataeq-cli preset show FILE                 print a preset's description, FFT length, bands\n"
         "  strataeq-cli preset import TEXT OUT.sqp [--bands 15|exact] [--fft N]\n"
         "                                                a GraphicEQ or ParametricEQ text as a preset\n"
         "  strataeq-cli preset export IN.sqp OUT.txt     a preset's response as a GraphicEQ text\n"
         "  strataeq-cli devices                          list recording and playback devices\n"
         "  strataeq-cli live [--in DEV | --desktop] [--out DEV] [--seconds S] [--latency MS] [options]\n"
         "  strataeq-cli play FILE [--out DEV] [--latency MS] [options]\n"
         "  strataeq-cli record FILE [--in DEV] [--seconds S] [--latency MS] [options]\n"
         "options:\n"
         "  --preset FILE        start from a preset's bands, description and FFT length\n"
         "                       (.sqp, or a GraphicEQ or ParametricEQ text)\n"
         "  --bands 15|exact     a text preset as the window's fifteen bands (default) or as\n"
         "                       one band per point or region, as closely as the filter allows\n"
         "  --band N=DB          gain of band N (1..15, the window's slider order), repeatable\n"
         "  --gains G1,...,G15   all fifteen gains in dB\n"
         "  --fft N              FFT length 16..4096 (2048 and 4096 filters as 1024, kept in presets)\n"
         "  --channel both|left|right\n"
         "  --description TEXT   (preset write)\n"
         "  --bitrate KBPS       MP3 output bit rate 32..320 (default 128)\n"
         "  --mp3-container raw|wav   MP3 output as raw MPEG audio (default) or in a WAV file\n"
         "  --out-dir DIR        batch: outputs go to DIR under their inputs' names\n"
         "  --to wav|mp3         the output's type, for -, a device, a FIFO or a name without\n"
         "                       extension; batch: the outputs' extension (default: the input's)\n"
         "  -j, --jobs N         batch: files at once (default: one per core)\n"
         "  --threads N          per file: 1 reads, filters and writes on one thread; 2 or more\n"
         "                       read, filter and write on threads of their own, 4 or more filter\n"
         "                       a stereo file's two channels at once (default: the cores; in a\n"
         "                       batch, cores / jobs, so one per file at -j cores)\n"
         "  --bits 16|24|32|32f  WAV output samples: integer bits or 32-bit float (default: the input's;\n"
         "                       16 bits from more are dithered)\n"
         "  --desktop            equalize everything the desktop plays: a virtual device takes\n"
         "                       the applications' sound, the equalized sound goes to --out\n"
         "  --latency MS         buffer for this end-to-end delay instead of the design values\n"
         "  -q, --quiet          no progress\n"
         "gains are -99..16 dB; outputs are .wav or .mp3 files (any letter case), or - for\n"
         "standard output, a device or a FIFO with --to\n";
}

std::string CommandUsage(const std::string& command, const std::string& subCommand) {
  const std::string prefix = "  strataeq-cli " + command + (subCommand.empty() ? "" : " " + subCommand);
  std::istringstream lines(UsageText());
  std::string out = "usage:\n", line;
  bool inOptions = false, keep = false;
  while (std::getline(lines, line)) {
    if (line == "usage:") continue;
    if (line == "options:") {
      inOptions = true;
      keep = false;
      continue;
    }
    if (!inOptions) {
      if (line.rfind("  strataeq-cli ", 0) == 0)
        keep = line.rfind(prefix, 0) == 0 && (line.size() == prefix.size() || line[prefix.size()] == ' ');
    } else if (line.rfind("  -", 0) == 0) {
      // An option line: its first option name decides ("-j, --jobs N" by -j).
      const std::string name = line.substr(2, line.find_first_of(" ,", 2) - 2);
      keep = Allowed(command, subCommand, name);
      if (keep && out.find("options:") == std::string::npos) out += "options:\n";
    } else if (line.rfind("    ", 0) != 0) {
      keep = true;  // the closing notes
    }
    if (keep) out += line + "\n";
  }
  return out;
}

}  // namespace strataeq::cli
