#!/usr/bin/env bash
# Whole-command throughput of strataeq-cli process by sample format: the same
# generated 44.1 kHz stereo pink noise as 16-bit, 24-bit, 32-bit and float WAV,
# written in its own format, plus 24-bit written as 16 bits (dithered). Prints the
# best of three runs as CPU seconds (user + system, steady on a busy machine) and
# times real time.
# Usage: bench/formats-file.sh [build-folder] [seconds of audio]   (default build/release, 600)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
length=${2:-600}
cli=$build/bin/strataeq-cli
[ -x "$cli" ] || { echo "build first: $cli is missing" >&2; exit 1; }
command -v sox >/dev/null || { echo "sox is missing (scripts/setup.sh installs it)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
gains=3,-2,4,-6,1,2,-3,-20,5,-4,2,-1,3,-5,2

best_of_three() {  # command...
  local best=
  for _ in 1 2 3; do
    local t
    t=$(/usr/bin/time -f '%U + %S' "$@" 2>&1 >/dev/null | tail -1 | bc -l)
    if [ -z "$best" ] || [ "$(echo "$t < $best" | bc -l)" = 1 ]; then best=$t; fi
  done
  echo "$best"
}

printf '%-22s %10s %12s\n' "input -> output" "CPU s" "x realtime"
for spec in "16:-b 16" "24:-b 24" "32:-b 32" "32f:-e floating-point -b 32"; do
  name=${spec%%:*}
  # shellcheck disable=SC2086
  sox -q -n -r 44100 -c 2 ${spec#*:} "$work/in$name.wav" synth "$length" pinknoise vol 0.3
  t=$(best_of_three "$cli" process "$work/in$name.wav" "$work/out.wav" -q --gains "$gains")
  printf '%-22s %10.2f %12.0f\n' "$name -> $name" "$t" "$(echo "$length / $t" | bc -l)"
done
t=$(best_of_three "$cli" process "$work/in24.wav" "$work/out.wav" -q --gains "$gains" --bits 16)
printf '%-22s %10.2f %12.0f\n' "24 -> 16 (dither)" "$t" "$(echo "$length / $t" | bc -l)"
