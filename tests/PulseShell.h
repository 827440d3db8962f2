// Test helpers that ask a running sound server through pactl, for the tests that run
// against the private servers of scripts/pulse-test-server.sh and pipewire-test-server.sh.
#pragma once

#include <cstdio>
#include <string>

namespace strataeq::test {

// A shell command's output without its trailing line end; empty when it fails.
inline std::string Shell(const std::string& command) {
  std::string out;
  if (FILE* p = popen((command + " 2>/dev/null").c_str(), "r")) {
    char buf[512];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}
inline std::string DefaultSink() { return Shell("pactl get-default-sink"); }
inline std::string SinkIndex(const std::string& name) {
  return Shell("pactl list short sinks | awk '$2 == \"" + name + "\" { print $1 }'");
}
inline std::string StreamSink(const std::string& stream) {
  return Shell("pactl list short sink-inputs | awk '$1 == " + stream + " { print $2 }'");
}

}  // namespace strataeq::test
