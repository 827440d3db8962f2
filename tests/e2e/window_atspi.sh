#!/usr/bin/env bash
# The window through the accessibility bus, as a screen reader drives it: strataeq on an
# Xvfb screen with a private session bus (and the accessibility bus it launches) and a
# private PulseAudio; window_atspi.py does the checks. A tone of 500 Hz + 3 kHz plays into
# sink A; the window's default devices are A's monitor and sink B. The window with the
# 2-4 kHz slider focused is kept as BUILD-FOLDER/e2e/band_focused.png.
# Usage: tests/e2e/window_atspi.sh BUILD-FOLDER
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(cd "${1:?usage: tests/e2e/window_atspi.sh BUILD-FOLDER}" && pwd)
program=$build/bin/strataeq
shots=$build/e2e
mkdir -p "$shots"

work=$(mktemp -d)
# The window starts as designed and keeps its state in the run's own folder.
export XDG_CONFIG_HOME=$work/config
server=$work/pulse
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do
    # The bus launcher's own bus daemon and registry go with it.
    pgrep -P "$p" 2>/dev/null | xargs -r kill 2>/dev/null || true
    kill "$p" 2>/dev/null || true
  done
  [ -n "${bus_pid:-}" ] && kill "$bus_pid" 2>/dev/null || true
  scripts/pulse-test-server.sh stop "$server" || true
  rm -rf "$work"
}
trap cleanup EXIT
eval "$(scripts/pulse-test-server.sh start "$server")"
pactl set-default-source strataeq_a.monitor
pactl set-default-sink strataeq_b

display=90
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY=":$display"
for _ in $(seq 1 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
unset WAYLAND_DISPLAY

# A session bus of our own; the accessibility bus is launched on it.
export XDG_RUNTIME_DIR=$work/runtime
mkdir -m 700 "$XDG_RUNTIME_DIR"
bus_info=$(dbus-daemon --session --fork --print-address=1 --print-pid=1 --address="unix:path=$work/bus")
export DBUS_SESSION_BUS_ADDRESS=$(echo "$bus_info" | sed -n 1p)
bus_pid=$(echo "$bus_info" | sed -n 2p)
/usr/libexec/at-spi-bus-launcher --launch-immediately >"$work/a11y.log" 2>&1 &
pids+=($!)
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1

sox -q -n -r 44100 -c 2 -b 16 "$work/tone.wav" synth 60 sine 500 synth 60 sine mix 3000 vol 0.25
sox -q -n -r 44100 -c 2 -b 16 "$work/short.wav" synth 3 sine 1000 vol 0.25  # a file run's source
paplay -d strataeq_a "$work/tone.wav" &
pids+=($!)

"$program" --latency 100 >"$work/window.log" 2>&1 &
app=$!
pids+=("$app")
wid=""
for _ in $(seq 1 100); do
  wid=$(xdotool search --name '^Strata Equalizer 1.0$' 2>/dev/null | head -n 1) && [ -n "$wid" ] && break
  sleep 0.1
done
[ -n "$wid" ] || { echo "FAIL: no window appeared" >&2; cat "$work/window.log" >&2; exit 1; }
# No window manager: the window is given the input focus directly.
sleep 0.5
xdotool windowfocus "$wid"

status=0
/usr/bin/python3 tests/e2e/window_atspi.py "$work" "$wid" "$shots/band_focused.png" || status=$?
if [ "$status" -eq 0 ]; then
  for _ in $(seq 1 100); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$app" 2>/dev/null; then echo "FAIL: the program did not end after Close" >&2; status=1; fi
fi
if grep -q "ValueInterface" "$work/window.log"; then echo "FAIL: Qt warned of a missing value interface" >&2; status=1; fi
[ "$status" -eq 0 ] || cat "$work/window.log" >&2
exit "$status"
