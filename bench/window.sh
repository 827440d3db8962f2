#!/usr/bin/env bash
# The window on an Xvfb screen with a private PulseAudio server (two null sinks):
#  - time from launch to the window on the screen, and to its first painted picture;
#  - CPU use of strataeq running the live route at FFT 256 (the design length) for
#    WINDOW_SECONDS (default 30) with a tone playing, displays on and then off (Vis);
#  - peak memory (VmHWM) of each run;
#  - the CPU of each of the program's threads over the same span and how often each woke,
#    and how often the main thread woke and was preempted.
# Usage: bench/window.sh [build-folder]   (default build/release)
# WINDOW_PERF=FILE records a call-graph profile (perf record -g) of the displays-on span
# into FILE; read it with: perf report -i FILE --no-children --sort dso,sym
# Each step has a time limit: a window that does not show, paint or close fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
program=$build/bin/strataeq
[ -x "$program" ] || { echo "build first: $program is missing" >&2; exit 1; }
seconds=${WINDOW_SECONDS:-30}

work=$(mktemp -d)
# The window remembers Vis: each run starts from the design state in its own folder, or
# the "on" run would start as the last run of any checkout left it.
export XDG_CONFIG_HOME=$work/config
cleanup() {
  jobs -p | xargs -r kill 2>/dev/null || true
  scripts/pulse-test-server.sh stop "$work/pulse" || true
  rm -rf "$work"
}
trap cleanup EXIT
eval "$(scripts/pulse-test-server.sh start "$work/pulse")"
pactl set-default-source strataeq_a.monitor
pactl set-default-sink strataeq_b
display=90
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
export DISPLAY=":$display"
for _ in $(seq 1 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
unset WAYLAND_DISPLAY

sox -q -n -r 44100 -c 2 -b 16 "$work/tone.wav" synth $((2 * seconds + 30)) sine 500 sine 3000 vol 0.3
paplay -d strataeq_a "$work/tone.wav" &

ticks=$(getconf CLK_TCK)
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
# One line per thread: id|name|nanoseconds on a CPU|times it slept, sorted by id for
# join. The scheduler's own count (schedstat), not the 10 ms ticks: a thread that wakes
# 40 times a second for a fraction of a tick is sampled, not measured, by the ticks.
thread_ns() {
  local t
  for t in /proc/"$1"/task/*; do
    awk -v id="${t##*/}" -v pid="$1" -v name="$(cat "$t/comm" 2>/dev/null)" \
      -v slept="$(awk '/^voluntary_ctxt_switches/ { print $2 }' "$t/status" 2>/dev/null)" \
      '{ print id "|" (id == pid ? "main" : name) "|" $1 "|" slept }' "$t/schedstat" 2>/dev/null
  done | sort -t '|' -k1,1
}
# The main thread's task switches, voluntary (it slept: a wake-up) and involuntary.
switches() { awk '/^voluntary_ctxt_switches/ { v = $2 } /^nonvoluntary_ctxt_switches/ { n = $2 } END { print v, n }' "/proc/$1/task/$1/status"; }
fail() { echo "window.sh: $*" >&2; exit 1; }
now() { date +%s.%N; }

run() {  # displays: on or off
  local start wid mapped painted app
  start=$(now)
  "$program" >"$work/window.log" 2>&1 &
  app=$!
  wid=$(timeout 30 xdotool search --sync --onlyvisible --name '^Strata Equalizer 1.0$' | head -n 1) || true
  [ -n "$wid" ] || fail "the window did not show within 30 s"
  mapped=$(now)
  # Painted: the window's picture is no longer one colour.
  local tries=0
  while [ "$(import -window "$wid" -format '%k' info: 2>/dev/null || echo 1)" -le 1 ]; do
    tries=$((tries + 1))
    [ "$tries" -le 1000 ] || fail "the window was not painted within 10 s"
    sleep 0.01
  done
  painted=$(now)
  awk -v s="$start" -v m="$mapped" -v p="$painted" \
    'BEGIN { printf "launch to window on screen %.0f ms, to first painted picture %.0f ms\n", 1000 * (m - s), 1000 * (p - s) }'
  sleep 0.5
  if [ "$1" = off ]; then xdotool mousemove --window "$wid" 134 151 click 1; sleep 0.3; fi
  xdotool mousemove --window "$wid" 248 151 click 1  # Start
  sleep 3
  local before after
  thread_ns "$app" >"$work/threads.before"
  local switched
  switched=$(switches "$app")
  before=$(cpu_ticks "$app")
  if [ -n "${WINDOW_PERF:-}" ] && [ "$1" = on ]; then
    perf record -q ${WINDOW_PERF_ARGS:--g} -t "$app" -o "$WINDOW_PERF" -- sleep "$seconds" >/dev/null 2>&1
  else
    sleep "$seconds"
  fi
  after=$(cpu_ticks "$app")
  thread_ns "$app" >"$work/threads.after"
  switched="$switched $(switches "$app")"
  local hwm
  hwm=$(awk '/VmHWM/ { print $2 }' "/proc/$app/status")
  awk -v b="$before" -v a="$after" -v t="$ticks" -v s="$seconds" -v d="$1" -v h="$hwm" \
    'BEGIN { printf "live at FFT 256, displays %-3s: %.2f%% of one core (%.2f s CPU in %d s); peak memory %.1f MB\n", d, 100 * (a - b) / t / s, (a - b) / t, s, h / 1024 }'
  # Per thread, the busiest first: name, % of one core, wake-ups a second.
  join -t '|' "$work/threads.before" "$work/threads.after" |
    awk -F'|' -v s="$seconds" '{ printf "%s|%.3f|%.0f\n", $2, 100 * ($6 - $3) / 1e9 / s, ($7 - $4) / s }' |
    sort -t '|' -k2 -g -r | awk -F'|' '$2 > 0.005 { line = line sprintf("%s%s %s%% %s/s", sep, $1, $2, $3); sep = ", " }
      END { print "  threads (CPU, wake-ups): " line }'
  echo "$switched" | awk -v s="$seconds" '{ printf "  main thread: %.0f wake-ups a second, %.0f preemptions\n", ($3 - $1) / s, ($4 - $2) / s }'
  xdotool mousemove --window "$wid" 328 151 click 1  # Stop
  sleep 0.5
  xdotool mousemove --window "$wid" 631 15 click 1   # Close
  local waited=0
  while kill -0 "$app" 2>/dev/null; do
    waited=$((waited + 1))
    if [ "$waited" -gt 100 ]; then
      kill -9 "$app" 2>/dev/null || true
      fail "the window did not close within 10 s"
    fi
    sleep 0.1
  done
  wait "$app" || true
}

echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
run on
run off
echo "load at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
