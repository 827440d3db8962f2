#!/usr/bin/env bash
# Latency table of the live route on a private PulseAudio server: `strataeq-cli live`
# records the monitor of null sink A (through the test server's remapped source) and
# plays back into A itself, at FFT 256 with every band at -20 dB, for LIVE_SECONDS (60) with --latency 20, 40, 80, with the design
# values, and with --latency 40 while another process keeps one core busy. For each:
#  - click in -> click out: 10 clicks (5 ms of 1 kHz, one every 3 s) play into A; one
#    recording of A's monitor holds each click and, 20 dB down, the route's copy of it,
#    mixed by the same sink: no second clock or measuring path in between;
#  - the delay the program itself reports (the median of its "Latency :" readouts);
#  - drop-outs after priming (the count at the end minus the count after 3 s);
#  - CPU use of the program, percent of one core;
#  - gaps heard per minute: a second run of the same setting routes A's monitor to
#    null sink B while a 500 Hz tone plays into A; B's monitor is recorded from the 5th
#    second to 2 s before the end and fitted 10 ms at a time to the tone
#    (build/bench/strataeq_gaps), less the gaps that were already in the route's input
#    (A's monitor, recorded beside it: the tone's own player can skip), beside the
#    drop-outs per minute that run showed over the same span;
#  - the time the machine's hypervisor took from both cores meanwhile (steal): on a
#    shared virtual machine a stall of 20 ms or more leaves the device playing silence
#    and the route's delay raised until its ring drops what piled up.
# Usage: bench/latency.sh [build-folder]   (default build/release)
#   LATENCY_ROWS="40 busy" picks rows (default "20 40 80 design busy").
#   BUSY=1 keeps one core busy through every row (another process spinning).
#   STRATAEQ_TEST_SERVER=pipewire runs on a private PipeWire session instead;
#   PW_QUANTUM=N forces that private session's graph to N-frame cycles (what a smaller
#   quantum would give; a user's own server is never changed).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
cli=$build/bin/strataeq-cli
gaps_tool=$build/bench/strataeq_gaps
[ -x "$cli" ] && [ -x "$gaps_tool" ] || { echo "build first: $cli or $gaps_tool is missing" >&2; exit 1; }
seconds=${LIVE_SECONDS:-60}
[ "$seconds" -ge 40 ] || { echo "LIVE_SECONDS must be at least 40 (the clicks take 35 s)" >&2; exit 1; }

server_script=scripts/${STRATAEQ_TEST_SERVER:-pulse}-test-server.sh
work=$(mktemp -d)
busy=
all_busy=
cleanup() {
  [ -n "$busy" ] && kill "$busy" 2>/dev/null || true
  [ -n "$all_busy" ] && kill "$all_busy" 2>/dev/null || true
  jobs -p | xargs -r kill 2>/dev/null || true
  "$server_script" stop "$work/pulse" || true
  [ -n "${KEEP_WORK:-}" ] && echo "kept $work" || rm -rf "$work"
}
trap cleanup EXIT
gains=$(printf -- "-20%.0s," $(seq 15)); gains=${gains%,}
eval "$("$server_script" start "$work/pulse")"
[ -n "${PW_QUANTUM:-}" ] && PIPEWIRE_RUNTIME_DIR="$work/pulse/runtime" pw-metadata -n settings 0 clock.force-quantum "$PW_QUANTUM" >/dev/null

sox -q -n -r 44100 -c 2 -b 16 "$work/clicks.wav" synth 0.005 sine 1000 vol 0.9 pad 0 2.995 repeat 9
sox -q -n -r 44100 -c 2 -b 16 "$work/tone.wav" synth "$((seconds + 5))" sine 500 vol 0.5
gaps_run() {  # options...; prints gaps heard per minute and drop-outs shown per minute
  "$cli" live --in "Monitor of StrataEq-Null-A" --out StrataEq-Null-B --fft 256 --gains "$gains" \
    --seconds "$seconds" "$@" >"$work/gaps.log" 2>&1 &
  local live=$!
  paplay -d strataeq_a "$work/tone.wav" &
  local tone=$!
  sleep 5
  parecord -d strataeq_b.monitor --rate=44100 --channels=2 --format=s16le --file-format=wav "$work/tone-rec.wav" &
  local rec=$!
  parecord -d strataeq_a.monitor --rate=44100 --channels=2 --format=s16le --file-format=wav "$work/tone-in.wav" &
  local recin=$!
  sleep $((seconds - 7))
  kill -INT "$rec" "$recin"
  wait "$rec" "$recin" 2>/dev/null || true
  wait "$live" || true
  kill "$tone" 2>/dev/null || true
  wait "$tone" 2>/dev/null || true
  local counts heard
  counts=$(grep -o 'Dropouts : [0-9]*' "$work/gaps.log" | awk '{ print $3 }' || true)
  heard=$("$gaps_tool" "$work/tone-rec.wav" 500 0 "$work/tone-in.wav" || true)
  echo "$heard" | awk -v from="$(echo "$counts" | sed -n '5p')" -v to="$(echo "$counts" | sed -n "$((seconds - 2))p")" \
    '{ if ($1 == "gaps" && $4 > 0) printf "%6.1f %6.1f", ($2 - $8) / $4, (to - from) / $4; else printf "%6s %6s", "-", "-" }'
}
clicks() {  # plays the clicks and prints each delay from click to copy in ms
  parecord -d strataeq_a.monitor --rate=44100 --channels=2 --format=s16le --file-format=wav "$work/rec.wav" &
  local rec=$!
  sleep 1
  paplay -d strataeq_a "$work/clicks.wav"
  sleep 2
  kill -INT "$rec"
  wait "$rec" 2>/dev/null || true
  # A click is the first sound after a second of quiet, timed where it passes a third of
  # its peak; its copy is timed at a third of its own peak, 6 ms or more after it (the
  # click lasts 5 ms) and within 2.5 s.
  sox "$work/rec.wav" -t dat - remix 1 | awk 'BEGIN { last = -10 } !/^;/ { a = $2 < 0 ? -$2 : $2
      if (a > 0.03 && $1 - last > 1) coming = 1
      if (coming && a > 0.3) { click = $1; coming = 0; waiting = 1 }
      else if (waiting && a > 0.03 && $1 > click + 0.006) { printf "%.1f\n", 1000 * ($1 - click); waiting = 0 }
      else if (waiting && $1 > click + 2.5) waiting = 0
      if (a > 0.03) last = $1 }'
}
summary() {  # delays on stdin: mean min max count
  awk '{ s += $1; n++; if (min == "" || $1 < min) min = $1; if ($1 > max) max = $1 }
    END { if (n) printf "%6.1f %6.1f %6.1f %3d", s / n, min, max, n; else printf "%6s %6s %6s %3d", "-", "-", "-", 0 }'
}

echo "server: $(pactl info | sed -n 's/^Server Name: //p')${PW_QUANTUM:+, quantum forced to $PW_QUANTUM frames}"
echo "live route A's monitor -> A, FFT 256, every band -20 dB, $seconds s per row; $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
[ -n "${BUSY:-}" ] && { sh -c 'while :; do :; done' & all_busy=$!; echo "one core kept busy throughout"; }
printf "%-22s %8s | %6s %6s %6s %3s | %8s | %9s | %13s | %6s | %7s\n" setting expected mean min max n reported drop-outs \
  "gaps/min heard shown" "CPU %" "steal %"
cpu_times() { head -n 1 /proc/stat | awk '{ print $9, $2 + $3 + $4 + $5 + $6 + $7 + $8 + $9 }'; }
row() {  # label, extra options...
  local label=$1
  shift
  local before
  before=$(cpu_times)
  # A's monitor through the test server's remapped source: the route refuses a device's
  # own monitor as its input.
  /usr/bin/time -f '%U %S %e' -o "$work/time" "$cli" live --in StrataEq-Remapped-Source --out StrataEq-Null-A \
    --fft 256 --gains "$gains" --seconds "$seconds" "$@" >"$work/live.log" 2>&1 &
  local live=$!
  sleep 5  # primed and steady
  local delays
  delays=$(clicks | summary)
  wait "$live" || echo "$label: $(tail -n 1 "$work/live.log")" >&2
  local expected reported counts primed last cpu steal
  expected=$(grep -o 'expected [0-9.]* ms' "$work/live.log" | awk '{ print $2 }' || true)
  [ -n "$expected" ] || expected=$(awk 'BEGIN { printf "%.1f", 32 * 8192 / 176.4 + 64 / 44.1 }')
  reported=$(grep -o 'Latency : [0-9]* ms' "$work/live.log" | awk '{ print $3 }' | sort -n |
    awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)] }' || true)
  counts=$(grep -o 'Dropouts : [0-9]*' "$work/live.log" | awk '{ print $3 }' || true)
  primed=$(echo "$counts" | sed -n '3p')
  last=$(echo "$counts" | tail -n 1)
  cpu=$(awk '{ printf "%.1f", 100 * ($1 + $2) / $3 }' "$work/time")
  steal=$(echo "$before $(cpu_times)" | awk '{ printf "%.1f", ($4 > $2) ? 100 * ($3 - $1) / ($4 - $2) : 0 }')
  local heard
  heard=$(gaps_run "$@")
  printf "%-22s %8s | %s | %8s | %9s | %13s | %6s | %7s\n" "$label" "$expected" "$delays" "${reported:--}" \
    "$((last - primed))" "$heard" "$cpu" "$steal"
}
for r in ${LATENCY_ROWS:-20 40 80 design busy}; do
  case "$r" in
    design) row "design values" ;;
    busy)
      sh -c 'while :; do :; done' &
      busy=$!
      row "--latency 40, core busy" --latency 40
      kill "$busy"
      busy=
      ;;
    *) row "--latency $r" --latency "$r" ;;
  esac
done
echo "gaps/min: heard in a recording of B (a second run, A's monitor -> B, 500 Hz) and not already in A, and the drop-outs that run showed"
echo "expected: the plan's own figure (buffers and priming plus the FFT's N/4 frames, without the server's share)"
