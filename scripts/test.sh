#!/usr/bin/env bash
# Builds and runs every test: plain (Release), then under AddressSanitizer with
# UndefinedBehaviorSanitizer, then under ThreadSanitizer (most tests cross threads), then the
# fuzz targets (FUZZ_SECONDS each, default 30: the PipeWire stages took the time back).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

jobs=$(nproc)
build_and_test() {  # name, ctest label regex ('' for all), cmake args...
  local name=$1 labels=$2
  shift 2
  echo "== $name build"
  cmake -S . -B "build/$name" -G Ninja "$@" >/dev/null
  ninja -C "build/$name"
  echo "== $name tests"
  local filter=()
  [ -n "$labels" ] && filter=(-L "$labels")
  ctest --test-dir "build/$name" --output-on-failure -j "$jobs" "${filter[@]}"
}

build_and_test release '' -DCMAKE_BUILD_TYPE=Release
echo "== live route on a private PulseAudio server"
tests/e2e/live_pulse.sh build/release
echo "== the window on Xvfb with a private PulseAudio server"
tests/e2e/window_pulse.sh build/release
echo "== the window through the accessibility bus (AT-SPI) on Xvfb with a private PulseAudio server"
tests/e2e/window_atspi.sh build/release
echo "== menus opened by a screen reader on Wayland (weston)"
tests/e2e/window_wayland.sh build/release
echo "== desktop sound on a private PulseAudio server"
tests/e2e/desktop_pulse.sh build/release
echo "== sound server tests on a private PulseAudio server"
pulse_tests() {  # one at a time: they change the server's default and its devices
  local dir
  dir=$(mktemp -d)
  local server_script=scripts/${STRATAEQ_TEST_SERVER:-pulse}-test-server.sh
  eval "$("$server_script" start "$dir/pulse")"
  local rc=0
  ctest --test-dir build/release --output-on-failure -j 1 -L platform || rc=$?
  [ "$rc" -eq 0 ] && { ctest --test-dir build/release --output-on-failure -j 1 -R '^PulseDesktop' || rc=$?; }
  "$server_script" stop "$dir/pulse"
  rm -rf "$dir"
  unset PULSE_SERVER
  return "$rc"
}
pulse_tests
echo "== the same on a private PipeWire session (pipewire-pulse, WirePlumber)"
export STRATAEQ_TEST_SERVER=pipewire
tests/e2e/live_pulse.sh build/release
tests/e2e/window_pulse.sh build/release
tests/e2e/desktop_pulse.sh build/release
pulse_tests
unset STRATAEQ_TEST_SERVER
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  build_and_test asan '' -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTRATAEQ_SANITIZE=address -DSTRATAEQ_BUILD_BENCH=OFF
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  build_and_test tsan '' -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTRATAEQ_SANITIZE=thread -DSTRATAEQ_BUILD_BENCH=OFF

# Parsers of untrusted input: replay every saved input, then fuzz each target a while.
scripts/fuzz.sh "${FUZZ_SECONDS:-30}"

echo "== all test runs passed"
