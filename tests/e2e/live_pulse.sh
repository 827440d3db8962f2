#!/usr/bin/env bash
# Live route on a real sound server: a private PulseAudio or PipeWire with two null sinks.
# A tone of 500 Hz + 3 kHz plays into sink A; `strataeq-cli live` equalizes A's monitor
# into sink B with band 8 (2-4 kHz) at -20 dB and FFT length 4096; B's monitor is
# recorded. Passes when 3 kHz comes out 20 dB (+-1.5 dB) below 500 Hz, relative to the
# tone as played, and no drop-out is counted once the ring buffer has primed.
# Usage: tests/e2e/live_pulse.sh BUILD-FOLDER
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:?usage: tests/e2e/live_pulse.sh BUILD-FOLDER}
cli=$build/bin/strataeq-cli
seconds=20

# The server: STRATAEQ_TEST_SERVER=pulse (the classic daemon, default) or pipewire.
server_kind=${STRATAEQ_TEST_SERVER:-pulse}
server_script=scripts/$server_kind-test-server.sh
[ -x "$server_script" ] || { echo "no test server $server_kind" >&2; exit 2; }

work=$(mktemp -d)
server=$work/pulse
cleanup() {
  jobs -p | xargs -r kill 2>/dev/null || true
  "$server_script" stop "$server" || true
  rm -rf "$work"
}
trap cleanup EXIT
eval "$("$server_script" start "$server")"

sox -q -n -r 44100 -c 2 -b 16 "$work/tone.wav" synth $((seconds + 15)) sine 500 synth $((seconds + 15)) sine mix 3000 vol 0.25
paplay -d strataeq_a "$work/tone.wav" &

"$cli" devices
"$cli" live --in "Monitor of StrataEq-Null-A" --out "StrataEq-Null-B" --band 8=-20 --fft 4096 \
  --seconds $((seconds + 4)) >"$work/live.log" 2>&1 &
live=$!
sleep 3  # the ring buffer primes and the output fills before recording starts
parecord -d strataeq_b.monitor --rate=44100 --channels=2 --format=s16le --file-format=wav "$work/out.wav" &
rec=$!
sleep "$seconds"
kill -INT "$rec"
wait "$rec" || true
wait "$live"
cat "$work/live.log"

level() {  # file, low Hz, high Hz: RMS of that band in dBFS, from 2 s in
  sox "$1" -n trim 2 remix 1 sinc "$2-$3" stat 2>&1 | awk '/RMS +amplitude/ { print 20 * log($3) / log(10) }'
}
in_low=$(level "$work/tone.wav" 400 600)
in_high=$(level "$work/tone.wav" 2800 3200)
out_low=$(level "$work/out.wav" 400 600)
out_high=$(level "$work/out.wav" 2800 3200)
change=$(awk -v a="$in_low" -v b="$in_high" -v c="$out_low" -v d="$out_high" 'BEGIN { printf "%.2f", (d - c) - (b - a) }')
echo "500 Hz: $in_low -> $out_low dBFS; 3 kHz: $in_high -> $out_high dBFS; 3 kHz relative to 500 Hz changed by $change dB"

# Drop-outs: the count printed once a second must not grow after the first 3 s.
counts=$(grep -o 'Dropouts : [0-9]*' "$work/live.log" | awk '{ print $3 }')
after_priming=$(echo "$counts" | sed -n '3p')
last=$(echo "$counts" | tail -n 1)
echo "drop-outs: $after_priming after priming, $last at the end"

fail=0
awk -v c="$change" 'BEGIN { exit !(c >= -21.5 && c <= -18.5) }' || { echo "FAIL: 3 kHz moved by $change dB, not -20 +-1.5" >&2; fail=1; }
awk -v o="$out_low" 'BEGIN { exit !(o > -40) }' || { echo "FAIL: no 500 Hz tone came through ($out_low dBFS)" >&2; fail=1; }
[ -n "$last" ] && [ "$last" = "$after_priming" ] || { echo "FAIL: drop-outs went from $after_priming to $last" >&2; fail=1; }
# A played file ends once the server has played it (PipeWire's server never lets the
# last bytes' read index catch up).
sox -q -n -r 44100 -c 2 -b 16 "$work/short.wav" synth 2 sine 500 vol 0.25
timeout 10 "$cli" play --out StrataEq-Null-B "$work/short.wav" || { echo "FAIL: play of a 2 s file did not end by itself" >&2; fail=1; }
[ "$fail" -eq 0 ] && echo "live route on $server_kind: passed"
exit "$fail"
