#!/usr/bin/env bash
# Batch equalizing: strataeq-cli process with --out-dir on 20 generated files (1 minute
# each, 44.1 kHz 16-bit stereo pink noise), WAV -> WAV and WAV -> MP3 128 kbit/s, at
# -j 1 and -j 2; best of 3 wall-clock runs each. The machine's other load shows in the
# figures: run it on an idle machine.
# Usage: bench/batch.sh [build-folder] [files] [seconds-per-file]   (default build/release 20 60)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
files=${2:-20}
seconds=${3:-60}
cli=$build/bin/strataeq-cli
[ -x "$cli" ] || { echo "build first: $cli is missing" >&2; exit 1; }
command -v sox >/dev/null || { echo "sox is missing (scripts/setup.sh installs it)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
gains=3,-2,4,-6,1,2,-3,-20,5,-4,2,-1,3,-5,2

mkdir "$work/in"
for i in $(seq -w 1 "$files"); do
  sox -q -n -r 44100 -c 2 -b 16 "$work/in/track$i.wav" synth "$seconds" pinknoise vol 0.3
done
audio=$((files * seconds))
echo "input: $files files of $seconds s, 44.1 kHz 16-bit stereo ($audio s of audio); $(nproc) cores"

seconds_of() {  # command...: wall seconds of one run
  local start end
  start=$(date +%s.%N)
  if ! "$@" >/dev/null 2>"$work/err"; then
    echo "failed: $*" >&2
    cat "$work/err" >&2
    exit 1
  fi
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}

best_of_3() {
  local best=""
  for _ in 1 2 3; do
    local t
    t=$(seconds_of "$@")
    if [ -z "$best" ] || (( $(echo "$t < $best" | bc -l) )); then best=$t; fi
  done
  echo "$best"
}

for to in wav mp3; do
  declare -A t=()
  for j in 1 2; do
    rm -rf "$work/out"
    t[$j]=$(best_of_3 "$cli" process "$work"/in/*.wav --out-dir "$work/out" --to "$to" -j "$j" --gains "$gains" -q)
    n=$(find "$work/out" -name "*.$to" | wc -l)
    [ "$n" -eq "$files" ] || { echo "-j $j --to $to wrote $n of $files files" >&2; exit 1; }
    printf '%-36s %8.2f s  %8.0fx real time\n' "batch WAV -> ${to^^}, -j $j" "${t[$j]}" "$(echo "$audio / ${t[$j]}" | bc -l)"
  done
  printf 'speed-up -j 2 over -j 1 (%s): %.2f\n' "$to" "$(echo "${t[1]} / ${t[2]}" | bc -l)"
  unset t
done
