#!/usr/bin/env bash
# Menus opened through the accessibility Press action on Wayland: the window tests'
# WaylandMenus case under weston (its X11 backend on a private Xvfb gives it a keyboard)
# with Qt's Wayland platform. Exits 77 (skipped) without weston or Qt's Wayland plugin.
# Usage: tests/e2e/window_wayland.sh BUILD-FOLDER
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(cd "${1:?usage: tests/e2e/window_wayland.sh BUILD-FOLDER}" && pwd)
command -v weston >/dev/null || { echo "skipped: no weston" >&2; exit 77; }
ls /usr/lib/*/qt6/plugins/platforms/libqwayland-generic.so >/dev/null 2>&1 || { echo "skipped: no qt6-wayland" >&2; exit 77; }

work=$(mktemp -d)
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

display=90
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY=":$display"
for _ in $(seq 1 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done

export XDG_RUNTIME_DIR=$work/runtime XDG_CONFIG_HOME=$work/config
mkdir -m 700 "$XDG_RUNTIME_DIR"
socket=strataeq-wayland
weston --backend=x11-backend.so --socket="$socket" --width=1024 --height=768 --idle-time=0 >"$work/weston.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 100); do [ -S "$XDG_RUNTIME_DIR/$socket" ] && break; sleep 0.1; done
[ -S "$XDG_RUNTIME_DIR/$socket" ] || { echo "FAIL: weston did not start" >&2; cat "$work/weston.log" >&2; exit 1; }
sleep 1  # its shell maps the desktop

# Keys go through the X server into weston's window, and from there to the focused surface.
status=0
WAYLAND_DISPLAY=$socket QT_QPA_PLATFORM=wayland STRATAEQ_TEST_KEYS="xdotool mousemove 300 300 key" \
  "$build/tests/test_window" --gtest_filter='WaylandMenus.*' 2>&1 | tee "$work/test.log" || status=$?
grep -q '^\[  PASSED  \] 1 test' "$work/test.log" && ! grep -q SKIPPED "$work/test.log" || status=1
[ "$status" -eq 0 ] && echo "menus on Wayland: passed"
exit "$status"
