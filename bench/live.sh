#!/usr/bin/env bash
# Live route on a private PulseAudio server (two null sinks):
#  - CPU use of `strataeq-cli live` at FFT lengths 256 and 4096 (percent of one core,
#    over 30 s, all bands set, a tone playing);
#  - end-to-end latency, click in to click out: a click played into sink A is found in a
#    recording of sink B's monitor while `live` runs A's monitor -> B, against the same
#    measurement straight from A's monitor (the measuring tools' own delay).
# Usage: bench/live.sh [build-folder]   (default build/release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
cli=$build/bin/strataeq-cli
[ -x "$cli" ] || { echo "build first: $cli is missing" >&2; exit 1; }
seconds=${LIVE_SECONDS:-30}

work=$(mktemp -d)
cleanup() {
  jobs -p | xargs -r kill 2>/dev/null || true
  scripts/pulse-test-server.sh stop "$work/pulse" || true
  [ -n "${KEEP_WORK:-}" ] && echo "kept $work" || rm -rf "$work"
}
trap cleanup EXIT
eval "$(scripts/pulse-test-server.sh start "$work/pulse")"
gains=3,-2,4,-6,1,2,-3,-20,5,-4,2,-1,3,-5,2

sox -q -n -r 44100 -c 2 -b 16 "$work/tone.wav" synth $((seconds + 10)) sine 500 sine 3000 vol 0.3
for fft in 256 4096; do
  paplay -d strataeq_a "$work/tone.wav" &
  player=$!
  usage=$(/usr/bin/time -f '%U %S %e' "$cli" live --in "Monitor of StrataEq-Null-A" --out StrataEq-Null-B \
    --gains "$gains" --fft "$fft" --seconds "$seconds" -q 2>&1 >/dev/null | tail -n 1)
  kill "$player" 2>/dev/null || true
  wait "$player" 2>/dev/null || true
  awk -v u="$usage" -v f="$fft" 'BEGIN { split(u, a, " "); printf "live, FFT %4d: %.2f%% of one core (%.2f s CPU in %.1f s)\n", f, 100 * (a[1] + a[2]) / a[3], a[1] + a[2], a[3] }'
done

# Latency: clicks (20 ms of 1 kHz at full scale, every 3 s) play into A; two loopbacks
# put A's monitor on the left and B's monitor on the right of a third null sink, so one
# recording holds the click going in and coming out of the live route.
sox -q -n -r 44100 -c 2 -b 16 "$work/clicks.wav" synth 0.02 sine 1000 vol 0.9 pad 0 2.98 repeat 9
pactl load-module module-null-sink sink_name=strataeq_c >/dev/null
for side in left right; do
  source=strataeq_a.monitor
  [ "$side" = right ] && source=strataeq_b.monitor
  pactl load-module module-loopback source=$source sink=strataeq_c latency_msec=30 channels=1 \
    channel_map=front-$side remix=no >/dev/null
done
"$cli" live --in "Monitor of StrataEq-Null-A" --out StrataEq-Null-B --seconds 60 -q >/dev/null 2>&1 &
live=$!
sleep 5  # primed and steady
parecord -d strataeq_c.monitor --rate=44100 --channels=2 --format=s16le --file-format=wav "$work/rec.wav" &
rec=$!
sleep 1
paplay -d strataeq_a "$work/clicks.wav"
sleep 3
kill -INT "$rec"
wait "$rec" 2>/dev/null || true
kill -INT "$live"
wait "$live" || true

onsets() {  # file, channel: start of each click, in seconds
  sox "$1" -t dat - remix "$2" | awk '!/^;/ && ($2 > 0.3 || $2 < -0.3) { if ($1 - last > 1) print $1; last = $1 }'
}
paste <(onsets "$work/rec.wav" 1) <(onsets "$work/rec.wav" 2) >"$work/pairs"
# A click out is matched to the latest click in before it.
latencies=$(awk -F'\t' 'NR == FNR { if ($1 != "") inp[++n] = $1; next }
  $2 != "" { best = -1; for (i = 1; i <= n; i++) if (inp[i] < $2) best = inp[i]; if (best >= 0) printf "%.0f\n", 1000 * ($2 - best) }' \
  "$work/pairs" "$work/pairs")
echo "click in -> click out through live (ms): $(echo $latencies | tr '\n' ' ')"
echo "$latencies" | awk '{ s += $1; n++; if (min == "" || $1 < min) min = $1; if ($1 > max) max = $1 } END { if (n) printf "measured latency of the live route: mean %.0f ms (min %d, max %d, %d clicks)\n", s / n, min, max, n; else print "no click came through" }'
# 8192-byte buffers of 44.1 kHz 16-bit stereo last 46.4 ms: the ring buffer starts
# delivering after 11 of its 20 slots are filled and the output keeps 20 buffers queued.
awk 'BEGIN { b = 8192 / 176400 * 1000; printf "design: ring priming 11 x %.1f ms = %.0f ms + output queue 20 x %.1f ms = %.0f ms + one recorded buffer %.1f ms = %.0f ms\n", b, 11 * b, b, 20 * b, b, 32 * b }'
