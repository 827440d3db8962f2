#!/usr/bin/env bash
# Latency table of the live route on a private PulseAudio server (null sinks A, B, C):
# `strataeq-cli live` equalizes A's monitor into B at FFT 256 for LIVE_SECONDS (60)
# with --latency 20, 40, 80, with the design values, and with --latency 40 while
# another process keeps one core busy. For each:
#  - click in -> click out: 10 clicks (20 ms of 1 kHz, one every 3 s) play into A; two
#    loopbacks put A's monitor on the left and B's on the right of C, one recording of
#    C's monitor holds each click going in and coming out;
#  - the delay the program itself reports (the median of its "Latency :" readouts);
#  - drop-outs after priming (the count at the end minus the count after 3 s);
#  - CPU use of the program, percent of one core.
# The measuring path's own skew (both loopbacks from A's monitor) is printed first.
# Usage: bench/latency.sh [build-folder]   (default build/release)
#   LATENCY_ROWS="40 busy" picks rows (default "20 40 80 design busy").
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
cli=$build/bin/strataeq-cli
[ -x "$cli" ] || { echo "build first: $cli is missing" >&2; exit 1; }
seconds=${LIVE_SECONDS:-60}
[ "$seconds" -ge 40 ] || { echo "LIVE_SECONDS must be at least 40 (the clicks take 35 s)" >&2; exit 1; }

work=$(mktemp -d)
busy=
cleanup() {
  [ -n "$busy" ] && kill "$busy" 2>/dev/null || true
  jobs -p | xargs -r kill 2>/dev/null || true
  scripts/pulse-test-server.sh stop "$work/pulse" || true
  [ -n "${KEEP_WORK:-}" ] && echo "kept $work" || rm -rf "$work"
}
trap cleanup EXIT
eval "$(scripts/pulse-test-server.sh start "$work/pulse")"

sox -q -n -r 44100 -c 2 -b 16 "$work/clicks.wav" synth 0.02 sine 1000 vol 0.9 pad 0 2.98 repeat 9
pactl load-module module-null-sink sink_name=strataeq_c >/dev/null
loopbacks=()
measure_from() {  # left source, right source: the loopbacks into C
  for m in "${loopbacks[@]}"; do pactl unload-module "$m"; done
  loopbacks=()
  loopbacks+=("$(pactl load-module module-loopback source="$1" sink=strataeq_c latency_msec=30 channels=1 \
    channel_map=front-left remix=no)")
  loopbacks+=("$(pactl load-module module-loopback source="$2" sink=strataeq_c latency_msec=30 channels=1 \
    channel_map=front-right remix=no)")
}
onsets() {  # file, channel: start of each click, in seconds
  sox "$1" -t dat - remix "$2" | awk '!/^;/ && ($2 > 0.3 || $2 < -0.3) { if ($1 - last > 1) print $1; last = $1 }'
}
clicks() {  # plays the clicks and prints each delay from left to right in ms
  parecord -d strataeq_c.monitor --rate=44100 --channels=2 --format=s16le --file-format=wav "$work/rec.wav" &
  local rec=$!
  sleep 1
  paplay -d strataeq_a "$work/clicks.wav"
  sleep 2
  kill -INT "$rec"
  wait "$rec" 2>/dev/null || true
  paste <(onsets "$work/rec.wav" 1) <(onsets "$work/rec.wav" 2) >"$work/pairs"
  # A click out is matched to the latest click in before it.
  awk -F'\t' 'NR == FNR { if ($1 != "") inp[++n] = $1; next }
    $2 != "" { best = -1; for (i = 1; i <= n; i++) if (inp[i] <= $2) best = inp[i]; if (best >= 0) printf "%.1f\n", 1000 * ($2 - best) }' \
    "$work/pairs" "$work/pairs"
}
summary() {  # delays on stdin: mean min max count
  awk '{ s += $1; n++; if (min == "" || $1 < min) min = $1; if ($1 > max) max = $1 }
    END { if (n) printf "%6.1f %6.1f %6.1f %3d", s / n, min, max, n; else printf "%6s %6s %6s %3d", "-", "-", "-", 0 }'
}

measure_from strataeq_a.monitor strataeq_a.monitor
echo "measuring path skew (A's monitor on both sides), ms: mean min max clicks: $(clicks | summary)"
measure_from strataeq_a.monitor strataeq_b.monitor

echo "live route A's monitor -> B, FFT 256, $seconds s per row; $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
printf "%-22s %8s | %6s %6s %6s %3s | %8s | %9s | %6s\n" setting expected mean min max n reported drop-outs "CPU %"
row() {  # label, extra options...
  local label=$1
  shift
  /usr/bin/time -f '%U %S %e' -o "$work/time" "$cli" live --in "Monitor of StrataEq-Null-A" --out StrataEq-Null-B \
    --fft 256 --band 8=-6 --seconds "$seconds" "$@" >"$work/live.log" 2>&1 &
  local live=$!
  sleep 5  # primed and steady
  local delays
  delays=$(clicks | summary)
  wait "$live"
  local expected reported counts primed last cpu
  expected=$(grep -o 'expected [0-9.]* ms' "$work/live.log" | awk '{ print $2 }' || true)
  [ -n "$expected" ] || expected=$(awk 'BEGIN { printf "%.1f", 32 * 8192 / 176.4 + 64 / 44.1 }')
  reported=$(grep -o 'Latency : [0-9]* ms' "$work/live.log" | awk '{ print $3 }' | sort -n |
    awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)] }' || true)
  counts=$(grep -o 'Dropouts : [0-9]*' "$work/live.log" | awk '{ print $3 }' || true)
  primed=$(echo "$counts" | sed -n '3p')
  last=$(echo "$counts" | tail -n 1)
  cpu=$(awk '{ printf "%.1f", 100 * ($1 + $2) / $3 }' "$work/time")
  printf "%-22s %8s | %s | %8s | %9s | %6s\n" "$label" "$expected" "$delays" "${reported:--}" "$((last - primed))" "$cpu"
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
echo "expected: the plan's own figure (buffers and priming plus the FFT's N/4 frames, without the server's share)"
