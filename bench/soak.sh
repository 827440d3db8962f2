#!/usr/bin/env bash
# A long desktop route as a listener meets it: `strataeq-cli live --desktop --latency 40`
# on a private sound server for SOAK_MINUTES (15) while an application plays a 500 Hz
# tone (moved onto the equalizer's sink) and, unless BUSY=0, another process keeps one
# core busy. The route plays on null sink B, whose monitor is recorded from the 5th
# second and fitted 10 ms at a time to the tone (build/bench/strataeq_gaps), beside the
# route's input (the equalizer sink's monitor): gaps the player itself left there are
# said apart ("upstream"). Prints the gaps heard, the drop-outs the program showed over
# the same span, the latency it
# reported (min/median/max) and its resident memory at minute 1 and at the end.
# Usage: bench/soak.sh [build-folder]   (default build/release)
#   SOAK_MINUTES=1 for a short check; STRATAEQ_TEST_SERVER=pipewire for PipeWire.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
cli=$build/bin/strataeq-cli
gaps_tool=$build/bench/strataeq_gaps
[ -x "$cli" ] && [ -x "$gaps_tool" ] || { echo "build first: $cli or $gaps_tool is missing" >&2; exit 1; }
minutes=${SOAK_MINUTES:-15}
seconds=$((minutes * 60))

server_script=scripts/${STRATAEQ_TEST_SERVER:-pulse}-test-server.sh
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  "$server_script" stop "$work/pulse" || true
  [ -n "${KEEP_WORK:-}" ] && echo "kept $work" || rm -rf "$work"
}
trap cleanup EXIT
eval "$("$server_script" start "$work/pulse")"
sox -q -n -r 44100 -c 2 -b 16 "$work/tone.wav" synth "$((seconds + 20))" sine 500 vol 0.5

if [ "${BUSY:-1}" != 0 ]; then
  sh -c 'while :; do :; done' &
  pids+=($!)
fi
"$cli" live --desktop --out StrataEq-Null-B --latency 40 --seconds "$seconds" >"$work/live.log" 2>&1 &
live=$!
pids+=("$live")
sleep 2  # the equalizer's sink is the default now
paplay "$work/tone.wav" &
pids+=($!)
sleep 3
parecord -d strataeq_b.monitor --rate=44100 --channels=2 --format=s16le --file-format=wav "$work/rec.wav" &
rec=$!
pids+=("$rec")
parecord -d strataeq_equalizer.monitor --rate=44100 --channels=2 --format=s16le --file-format=wav "$work/in.wav" &
recin=$!
pids+=("$recin")
rss() { awk '/^VmRSS/ { print $2 }' "/proc/$live/status" 2>/dev/null || echo -; }
if [ "$minutes" -gt 1 ]; then
  sleep 55
  rss1=$(rss)
  sleep $((seconds - 62))
  rss_end=$(rss)
else
  sleep 53
  rss1=$(rss)
  rss_end=$rss1
fi
kill -INT "$rec" "$recin"
wait "$rec" "$recin" 2>/dev/null || true
wait "$live" || echo "the route ended with: $(tail -n 1 "$work/live.log")" >&2

counts=$(grep -o 'Dropouts : [0-9]*' "$work/live.log" | awk '{ print $3 }' || true)
from=$(echo "$counts" | sed -n '5p')
to=$(echo "$counts" | sed -n "$((seconds - 2))p")
heard=$("$gaps_tool" "$work/rec.wav" 500 0 "$work/in.wav" || true)
echo "server: $(pactl info | sed -n 's/^Server Name: //p'); $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg); one core busy: $([ "${BUSY:-1}" != 0 ] && echo yes || echo no)"
echo "desktop route, --latency 40, $minutes min: $heard"
echo "drop-outs shown over the recorded span: $(( ${to:-0} - ${from:-0} )) (at the end: $(echo "$counts" | tail -n 1))"
grep -o 'Latency : [0-9]* ms' "$work/live.log" | awk '{ print $3 }' | sort -n |
  awk '{ v[NR] = $1 } END { if (NR) printf "latency reported: min %d ms, median %d ms, max %d ms\n", v[1], v[int((NR + 1) / 2)], v[NR] }'
echo "RSS: ${rss1} kB at minute 1, ${rss_end} kB at minute $minutes"
grep -E '^(Latency :|Recording :|Playback :|Desktop Sound :)' "$work/live.log" | sort | uniq -c | sed 's/^/  /' || true
