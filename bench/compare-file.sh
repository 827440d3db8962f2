#!/usr/bin/env bash
# Whole-command comparison of file-to-file equalizing:
#   strataeq-cli process  against SoX (15 equalizer biquads at the band centres) and
#   ffmpeg firequalizer (the same gain table), on a generated 10-minute 44.1 kHz stereo file;
#   peak memory of strataeq-cli for a 10- and a 60-minute file;
#   with MP3 support: WAV -> MP3 128 kbit/s beside lame alone, MP3 -> WAV beside mpg123 -w.
# Usage: bench/compare-file.sh [build-folder]   (default build/release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
cli=$build/bin/strataeq-cli
[ -x "$cli" ] || { echo "build first: $cli is missing" >&2; exit 1; }
for tool in sox ffmpeg /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The window's fifteen bands and a gain for each.
lo=(0 60 120 200 600 800 1000 2000 4000 6000 8000 10000 12000 14000 16000)
hi=(60 120 200 600 800 1000 2000 4000 6000 8000 10000 12000 14000 16000 20000)
gains=(3 -2 4 -6 1 2 -3 -20 5 -4 2 -1 3 -5 2)
gain_list=$(IFS=,; echo "${gains[*]}")

sox_effects=()
ff_entries=()
for i in "${!gains[@]}"; do
  centre=$(( (lo[i] + hi[i]) / 2 ))
  [ "$centre" -lt 20 ] && centre=30
  width=$(( hi[i] - lo[i] ))
  sox_effects+=(equalizer "$centre" "${width}h" "${gains[i]}")
  ff_entries+=("entry($centre,${gains[i]})")
done
ff_table=$(IFS=';'; echo "${ff_entries[*]}")

make_input() {  # seconds, file
  sox -q -n -r 44100 -c 2 -b 16 "$2" synth "$1" pinknoise vol 0.3
}

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

peak_kib() {  # command...: maximum resident set size in KiB
  /usr/bin/time -f '%M' "$@" 2>&1 >/dev/null | tail -n 1
}

report() {  # label, seconds, audio seconds
  printf '%-34s %8.2f s  %8.0fx real time\n' "$1" "$2" "$(echo "$3 / $2" | bc -l)"
}

in10=$work/in10.wav
make_input 600 "$in10"
echo "input: 10 minutes, 44.1 kHz 16-bit stereo, $(stat -c %s "$in10") bytes; gains: $gain_list dB"

t_cli=$(best_of_3 "$cli" process "$in10" "$work/out-cli.wav" --gains "$gain_list" -q)
t_sox=$(best_of_3 sox -q "$in10" "$work/out-sox.wav" "${sox_effects[@]}")
t_ff=$(best_of_3 ffmpeg -v error -y -threads 1 -filter_threads 1 -i "$in10" -af "firequalizer=gain_entry='$ff_table'" "$work/out-ff.wav")
t_copy=$(best_of_3 sox -q "$in10" "$work/out-copy.wav")
report "strataeq-cli process" "$t_cli" 600
report "sox (15 equalizer biquads)" "$t_sox" 600
report "ffmpeg firequalizer (1 thread)" "$t_ff" 600
report "sox plain copy" "$t_copy" 600
printf 'ratio: sox / strataeq %.2f, ffmpeg / strataeq %.2f\n' \
  "$(echo "$t_sox / $t_cli" | bc -l)" "$(echo "$t_ff / $t_cli" | bc -l)"

m10=$(peak_kib "$cli" process "$in10" "$work/out-cli.wav" --gains "$gain_list" -q)
in60=$work/in60.wav
make_input 3600 "$in60"
m60=$(peak_kib "$cli" process "$in60" "$work/out60.wav" --gains "$gain_list" -q)
rm -f "$in60" "$work/out60.wav"
echo "peak memory: 10-minute file ${m10} KiB, 60-minute file ${m60} KiB"

if "$cli" process "$in10" "$work/probe.mp3" -q --gains "$gain_list" >/dev/null 2>&1; then
  command -v lame >/dev/null && command -v mpg123 >/dev/null || { echo "lame or mpg123 missing" >&2; exit 1; }
  t_enc=$(best_of_3 "$cli" process "$in10" "$work/out.mp3" --gains "$gain_list" --bitrate 128 -q)
  t_lame=$(best_of_3 lame --quiet -b 128 "$in10" "$work/lame.mp3")
  report "strataeq-cli WAV -> MP3 128k" "$t_enc" 600
  report "lame -b 128" "$t_lame" 600
  printf 'ratio: strataeq / lame %.2f\n' "$(echo "$t_enc / $t_lame" | bc -l)"
  t_dec=$(best_of_3 "$cli" process "$work/lame.mp3" "$work/dec.wav" --gains "$gain_list" -q)
  t_mpg=$(best_of_3 mpg123 -q -w "$work/mpg.wav" "$work/lame.mp3")
  report "strataeq-cli MP3 -> WAV" "$t_dec" 600
  report "mpg123 -w" "$t_mpg" 600
  printf 'ratio: strataeq / mpg123 %.2f\n' "$(echo "$t_dec / $t_mpg" | bc -l)"
else
  echo "MP3 output not available in this build: MP3 comparisons skipped"
fi
