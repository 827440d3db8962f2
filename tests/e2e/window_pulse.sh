#!/usr/bin/env bash
# The window as a user meets it: strataeq on an Xvfb screen with a private PulseAudio or PipeWire.
# A tone of 500 Hz + 3 kHz plays into sink A; the window's default devices are A's
# monitor and sink B. Start is clicked; B's monitor is recorded with the bands flat,
# then the 2-4 kHz slider is dragged to the bottom with the mouse and B is recorded
# again. Passes when the window is 663 x 278, the tone comes through flat, 3 kHz drops
# by more than 30 dB relative to 500 Hz after the drag, the analysers draw bars while
# it runs, and Stop and Close end the program with status 0. The screenshot is kept as
# BUILD-FOLDER/e2e/window.png.
# Usage: tests/e2e/window_pulse.sh BUILD-FOLDER
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(cd "${1:?usage: tests/e2e/window_pulse.sh BUILD-FOLDER}" && pwd)
program=$build/bin/strataeq
shots=$build/e2e
mkdir -p "$shots"

# The server: STRATAEQ_TEST_SERVER=pulse (the classic daemon, default) or pipewire.
server_kind=${STRATAEQ_TEST_SERVER:-pulse}
server_script=scripts/$server_kind-test-server.sh
[ -x "$server_script" ] || { echo "no test server $server_kind" >&2; exit 2; }

work=$(mktemp -d)
# The window starts as designed and keeps its state in the run's own folder.
export XDG_CONFIG_HOME=$work/config
server=$work/pulse
cleanup() {
  jobs -p | xargs -r kill 2>/dev/null || true
  "$server_script" stop "$server" || true
  rm -rf "$work"
}
trap cleanup EXIT
eval "$("$server_script" start "$server")"
pactl set-default-source strataeq_a.monitor
pactl set-default-sink strataeq_b

# A free display number.
display=90
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
export DISPLAY=":$display"
for _ in $(seq 1 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
unset WAYLAND_DISPLAY

sox -q -n -r 44100 -c 2 -b 16 "$work/tone.wav" synth 40 sine 500 synth 40 sine mix 3000 vol 0.25
paplay -d strataeq_a "$work/tone.wav" &

"$program" >"$work/window.log" 2>&1 &
app=$!
wid=""
for _ in $(seq 1 100); do
  wid=$(xdotool search --name '^Strata Equalizer 1.0$' 2>/dev/null | head -n 1) && [ -n "$wid" ] && break
  sleep 0.1
done
[ -n "$wid" ] || { echo "FAIL: no window appeared" >&2; cat "$work/window.log" >&2; exit 1; }
# The window is found by name before it is mapped at its size on a busy machine.
for _ in $(seq 1 100); do
  geometry=$(xdotool getwindowgeometry "$wid" 2>/dev/null | awk '/Geometry/ { print $2 }')
  [ "$geometry" = "663x278" ] && break
  sleep 0.1
done
sleep 0.5
echo "window $wid: $geometry"

click() {  # x, y in the window
  xdotool mousemove --window "$wid" "$1" "$2" click 1
  sleep 0.3
}
record() {  # file, seconds
  parecord -d strataeq_b.monitor --rate=44100 --channels=2 --format=s16le --file-format=wav "$1" &
  local rec=$!
  sleep "$2"
  kill -INT "$rec"
  wait "$rec" || true
}
level() {  # file, low Hz, high Hz: RMS of that band in dBFS, from 1 s in
  sox "$1" -n trim 1 remix 1 sinc "$2-$3" stat 2>&1 | awk '/RMS +amplitude/ { if ($3 > 0) print 20 * log($3) / log(10); else print -200 }'
}
# Lime or yellow bar pixels in the left analyser (at (6, 173) in the window, 322 x 100).
bars() {
  convert "$1" -crop 322x100+6+173 +repage -fuzz 20% -fill black +opaque lime -fill white -opaque lime \
    -format '%[fx:int(mean*w*h+0.5)]' info:
}

import -window "$wid" "$work/idle.png"
click 248 151  # Start
sleep 3        # the ring buffer primes and the output fills
record "$work/flat.wav" 4
import -window "$wid" "$shots/window.png"

# The 2-4 kHz slider (at (417, 41), 21 x 99): from its thumb at 0 dB to the bottom.
x=$((417 + 10))
xdotool mousemove --window "$wid" "$x" 90 mousedown 1
for y in 100 115 130 145 160 175; do xdotool mousemove --window "$wid" "$x" "$y"; sleep 0.05; done
xdotool mouseup 1
sleep 2
record "$work/cut.wav" 4

click 328 151  # Stop
sleep 1
click 631 15   # Close
status=0
for _ in $(seq 1 100); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$app" 2>/dev/null; then echo "FAIL: the program did not end after Close" >&2; kill "$app"; status=1; fi
wait "$app" || status=$?

in_low=$(level "$work/tone.wav" 400 600)
in_high=$(level "$work/tone.wav" 2800 3200)
flat_low=$(level "$work/flat.wav" 400 600)
flat_high=$(level "$work/flat.wav" 2800 3200)
cut_low=$(level "$work/cut.wav" 400 600)
cut_high=$(level "$work/cut.wav" 2800 3200)
cut=$(awk -v a="$flat_low" -v b="$flat_high" -v c="$cut_low" -v d="$cut_high" 'BEGIN { printf "%.1f", (d - c) - (b - a) }')
idle_bars=$(bars "$work/idle.png")
run_bars=$(bars "$shots/window.png")
echo "played: 500 Hz $in_low, 3 kHz $in_high dBFS"
echo "flat: 500 Hz $flat_low, 3 kHz $flat_high dBFS; after the drag: 500 Hz $cut_low, 3 kHz $cut_high dBFS"
echo "3 kHz relative to 500 Hz changed by $cut dB; analyser bar pixels idle $idle_bars, running $run_bars"
echo "exit status $status; screenshot $shots/window.png"
cat "$work/window.log"

fail=0
[ "$geometry" = "663x278" ] || { echo "FAIL: the window is $geometry, not 663x278" >&2; fail=1; }
awk -v o="$flat_low" 'BEGIN { exit !(o > -30) }' || { echo "FAIL: no tone came through ($flat_low dBFS)" >&2; fail=1; }
awk -v a="$in_low" -v b="$in_high" -v c="$flat_low" -v d="$flat_high" 'BEGIN { x = (d - c) - (b - a); exit !(x > -1.5 && x < 1.5) }' ||
  { echo "FAIL: the flat equalizer changed the tone ($flat_low / $flat_high dBFS)" >&2; fail=1; }
awk -v c="$cut" 'BEGIN { exit !(c < -30) }' || { echo "FAIL: the drag cut 3 kHz by only $cut dB" >&2; fail=1; }
[ "$run_bars" -gt 50 ] && [ "$idle_bars" -lt "$run_bars" ] || { echo "FAIL: the analyser shows no bars" >&2; fail=1; }
[ "$status" -eq 0 ] || { echo "FAIL: exit status $status" >&2; fail=1; }
# Close kept the state: the 2-4 kHz band (the eighth) at the bottom.
kept=$(sed -n 's/^gains=//p' "$XDG_CONFIG_HOME/strataeq/strataeq.conf" 2>/dev/null | cut -d, -f8 | tr -d ' ')
echo "kept 2-4 kHz gain: ${kept:-none}"
[ "$kept" = "-99" ] || { echo "FAIL: the window did not keep its state on Close" >&2; fail=1; }
[ "$fail" -eq 0 ] && echo "window on $server_kind: passed"
exit "$fail"
