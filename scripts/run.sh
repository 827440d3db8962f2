#!/usr/bin/env bash
# Builds StrataEq and opens its window when a display is there ($DISPLAY or
# $WAYLAND_DISPLAY). Without one it runs the headless demo: equalizes a demo file it
# generates and says where the result is. Further arguments are passed to strataeq-cli
# instead.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C build/release strataeq strataeq-cli >/dev/null
cli=build/release/bin/strataeq-cli
if [ $# -gt 0 ]; then
  exec "$cli" "$@"
fi
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec build/release/bin/strataeq
fi

demo=build/demo
mkdir -p "$demo"
# Ten seconds of 44.1 kHz 16-bit stereo: 220 Hz on the left, 3 kHz on the right.
sox -q -n -r 44100 -c 2 -b 16 "$demo/input.wav" synth 10 sine 220 sine 3000 vol 0.3
"$cli" info "$demo/input.wav"
# 200-600 Hz up 6 dB (the 220 Hz tone), the 2-4 kHz band down by 20 dB, at FFT length
# 1024: at the default 256 the lowest bands own too few bins to act.
"$cli" process "$demo/input.wav" "$demo/equalized.wav" --band 4=6 --band 8=-20 --fft 1024
"$cli" preset write "$demo/demo.sqp" --band 4=6 --band 8=-20 --fft 1024 --description "Demo"
echo
echo "input:     $demo/input.wav"
echo "equalized: $demo/equalized.wav"
echo "preset:    $demo/demo.sqp (strataeq-cli preset show $demo/demo.sqp)"
echo "the left channel (220 Hz) comes out about 5 dB up, the right (3 kHz) 20 dB down: sox $demo/equalized.wav -n remix 2 stat"
echo
echo "No display was found (\$DISPLAY and \$WAYLAND_DISPLAY are empty), so the window was not opened."
echo "To open it, run scripts/run.sh from a desktop session, or build/release/bin/strataeq there."
