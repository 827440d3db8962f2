#!/usr/bin/env bash
# Whole-command comparison of file-to-file equalizing:
#   strataeq-cli process (the default, on three threads with 2 or more cores, and
#   --threads 1 in the same rounds) against SoX (15 equalizer biquads at the band centres) and
#   ffmpeg firequalizer (the same gain table), on a generated 10-minute 44.1 kHz stereo file;
#   peak memory of strataeq-cli for a 10- and a 60-minute file;
#   with MP3 support: WAV -> MP3 128 kbit/s beside lame alone (on the input, and on the
#   equalized WAV, which is what strataeq-cli encodes), MP3 -> WAV beside mpg123 -w;
#   24-bit -> 24-bit beside 16-bit -> 16-bit (the same noise).
# Each comparison runs its commands in turn (paired) RUNS times (default 5) and takes
# the median of each: wall seconds, and CPU seconds (user + system), which stay steady on
# a busy machine. Ratios are printed for both.
# Usage: bench/compare-file.sh [build-folder]   (default build/release)
#   ONLY=bits: the 24-bit beside 16-bit row alone.
# The paired runs set their medians through printf -v.
# shellcheck disable=SC2154
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

runs=${RUNS:-5}

measure() {  # command...: "wall cpu" seconds of one run
  # The shell's own timing, to the millisecond: /usr/bin/time gives hundredths, a step
  # of 4 % of a 16-bit run.
  local TIMEFORMAT='%3R %3U %3S'
  if ! { time "$@" >/dev/null 2>"$work/err"; } 2>"$work/time"; then
    echo "failed: $*" >&2
    cat "$work/err" >&2
    exit 1
  fi
  awk '{ printf "%s %s\n", $1, $2 + $3 }' "$work/time"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# paired NAME -- command A -- command B [-- command C]: RUNS rounds, each running the
# commands in turn; sets NAME_a_wall, NAME_a_cpu, NAME_b_wall, ... (medians).
paired() {
  local name=$1 n=0 i arg letters=(a b c d) cmd
  shift 2
  : >"$work/cmd0"
  for arg in "$@"; do
    if [ "$arg" = -- ]; then n=$((n + 1)); : >"$work/cmd$n"; continue; fi
    printf '%s\0' "$arg" >>"$work/cmd$n"
  done
  for i in $(seq 0 "$n"); do : >"$work/t$i"; done
  for _ in $(seq 1 "$runs"); do
    for i in $(seq 0 "$n"); do
      mapfile -d '' -t cmd <"$work/cmd$i"
      measure "${cmd[@]}" >>"$work/t$i"
    done
  done
  for i in $(seq 0 "$n"); do
    printf -v "${name}_${letters[i]}_wall" '%s' "$(cut -d' ' -f1 "$work/t$i" | median)"
    printf -v "${name}_${letters[i]}_cpu" '%s' "$(cut -d' ' -f2 "$work/t$i" | median)"
  done
  load=$(cut -d' ' -f1 /proc/loadavg)
}

ratio() { echo "$1 / $2" | bc -l; }

peak_kib() {  # command...: maximum resident set size in KiB
  /usr/bin/time -f '%M' "$@" 2>&1 >/dev/null | tail -n 1
}

report() {  # label, wall seconds, cpu seconds, audio seconds (the load: after the pairing)
  printf '%-38s %8.2f s wall %8.2f s CPU %8.0fx real time (CPU)  load %s\n' "$1" "$2" "$3" "$(echo "$4 / $3" | bc -l)" \
    "$load"
}

in10=$work/in10.wav
make_input 600 "$in10"
echo "input: 10 minutes, 44.1 kHz 16-bit stereo, $(stat -c %s "$in10") bytes; gains: $gain_list dB"
echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg); medians of $runs paired runs"

only=${ONLY:-}
[ -z "$only" ] || [ "$only" = bits ] || { echo "ONLY takes bits" >&2; exit 1; }

# The default (reading, filtering and writing on threads of their own when there are
# 2 or more cores) and --threads 1 in the same rounds as ffmpeg.
if [ -z "$only" ]; then
paired ff -- "$cli" process "$in10" "$work/out-cli.wav" --gains "$gain_list" -q \
  -- "$cli" process "$in10" "$work/out-cli1.wav" --gains "$gain_list" -q --threads 1 \
  -- ffmpeg -v error -y -threads 1 -filter_threads 1 -i "$in10" -af "firequalizer=gain_entry='$ff_table'" "$work/out-ff.wav"
report "strataeq-cli process (default)" "$ff_a_wall" "$ff_a_cpu" 600
report "strataeq-cli process --threads 1" "$ff_b_wall" "$ff_b_cpu" 600
report "ffmpeg firequalizer (1 thread)" "$ff_c_wall" "$ff_c_cpu" 600
printf 'ratio: ffmpeg / strataeq wall %.2f (--threads 1: %.2f), CPU %.2f (--threads 1: %.2f)\n' \
  "$(ratio "$ff_c_wall" "$ff_a_wall")" "$(ratio "$ff_c_wall" "$ff_b_wall")" \
  "$(ratio "$ff_c_cpu" "$ff_a_cpu")" "$(ratio "$ff_c_cpu" "$ff_b_cpu")"
cmp -s "$work/out-cli.wav" "$work/out-cli1.wav" || { echo "the threaded output differs from --threads 1" >&2; exit 1; }
paired sx -- "$cli" process "$in10" "$work/out-cli.wav" --gains "$gain_list" -q \
  -- sox -q "$in10" "$work/out-sox.wav" "${sox_effects[@]}"
report "sox (15 equalizer biquads)" "$sx_b_wall" "$sx_b_cpu" 600
printf 'ratio: sox / strataeq wall %.2f, CPU %.2f\n' "$(ratio "$sx_b_wall" "$sx_a_wall")" "$(ratio "$sx_b_cpu" "$sx_a_cpu")"
fi

in24=$work/in24.wav
sox -q "$in10" -b 24 "$in24" vol 0.999
paired hr -- "$cli" process "$in24" "$work/out24.wav" --gains "$gain_list" -q \
  -- "$cli" process "$in10" "$work/out16.wav" --gains "$gain_list" -q
report "strataeq-cli 24-bit -> 24-bit" "$hr_a_wall" "$hr_a_cpu" 600
report "strataeq-cli 16-bit -> 16-bit" "$hr_b_wall" "$hr_b_cpu" 600
printf 'ratio: 24-bit throughput / 16-bit throughput wall %.2f, CPU %.2f\n' "$(ratio "$hr_b_wall" "$hr_a_wall")" \
  "$(ratio "$hr_b_cpu" "$hr_a_cpu")"
rm -f "$in24" "$work/out24.wav" "$work/out16.wav"
if [ -n "$only" ]; then
  echo "load at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
  exit 0
fi

m10=$(peak_kib "$cli" process "$in10" "$work/out-cli.wav" --gains "$gain_list" -q)
in60=$work/in60.wav
make_input 3600 "$in60"
m60=$(peak_kib "$cli" process "$in60" "$work/out60.wav" --gains "$gain_list" -q)
rm -f "$in60" "$work/out60.wav"
echo "peak memory: 10-minute file ${m10} KiB, 60-minute file ${m60} KiB"

if "$cli" process "$in10" "$work/probe.mp3" -q --gains "$gain_list" >/dev/null 2>&1; then
  command -v lame >/dev/null && command -v mpg123 >/dev/null || { echo "lame or mpg123 missing" >&2; exit 1; }
  # The encoder's work depends on the signal: the equalized one costs it some 10 % more
  # than the input. lame on the equalized WAV encodes what strataeq-cli encodes.
  "$cli" process "$in10" "$work/eq.wav" --gains "$gain_list" -q >/dev/null 2>&1
  paired enc -- "$cli" process "$in10" "$work/out.mp3" --gains "$gain_list" --bitrate 128 -q \
    -- lame --quiet -b 128 "$in10" "$work/lame.mp3" \
    -- "$cli" process "$in10" "$work/out1.mp3" --gains "$gain_list" --bitrate 128 -q --threads 1 \
    -- lame --quiet -b 128 "$work/eq.wav" "$work/lame-eq.mp3"
  rm -f "$work/eq.wav" "$work/lame-eq.mp3"
  report "strataeq-cli WAV -> MP3 128k" "$enc_a_wall" "$enc_a_cpu" 600
  report "strataeq-cli WAV -> MP3 --threads 1" "$enc_c_wall" "$enc_c_cpu" 600
  report "lame -b 128" "$enc_b_wall" "$enc_b_cpu" 600
  report "lame -b 128, the equalized WAV" "$enc_d_wall" "$enc_d_cpu" 600
  printf 'ratio: strataeq / lame wall %.2f, CPU %.2f (--threads 1: wall %.2f, CPU %.2f)\n' \
    "$(ratio "$enc_a_wall" "$enc_b_wall")" "$(ratio "$enc_a_cpu" "$enc_b_cpu")" \
    "$(ratio "$enc_c_wall" "$enc_b_wall")" "$(ratio "$enc_c_cpu" "$enc_b_cpu")"
  printf 'ratio: strataeq / lame on the equalized WAV wall %.2f, CPU %.2f (--threads 1: wall %.2f, CPU %.2f)\n' \
    "$(ratio "$enc_a_wall" "$enc_d_wall")" "$(ratio "$enc_a_cpu" "$enc_d_cpu")" \
    "$(ratio "$enc_c_wall" "$enc_d_wall")" "$(ratio "$enc_c_cpu" "$enc_d_cpu")"
  paired dec -- "$cli" process "$work/lame.mp3" "$work/dec.wav" --gains "$gain_list" -q \
    -- mpg123 -q -w "$work/mpg.wav" "$work/lame.mp3" \
    -- "$cli" process "$work/lame.mp3" "$work/dec1.wav" --gains "$gain_list" -q --threads 1
  report "strataeq-cli MP3 -> WAV" "$dec_a_wall" "$dec_a_cpu" 600
  report "strataeq-cli MP3 -> WAV --threads 1" "$dec_c_wall" "$dec_c_cpu" 600
  report "mpg123 -w" "$dec_b_wall" "$dec_b_cpu" 600
  printf 'ratio: strataeq / mpg123 wall %.2f, CPU %.2f (--threads 1: wall %.2f, CPU %.2f)\n' \
    "$(ratio "$dec_a_wall" "$dec_b_wall")" "$(ratio "$dec_a_cpu" "$dec_b_cpu")" \
    "$(ratio "$dec_c_wall" "$dec_b_wall")" "$(ratio "$dec_c_cpu" "$dec_b_cpu")"
else
  echo "MP3 output not available in this build: MP3 comparisons skipped"
fi
echo "load at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
