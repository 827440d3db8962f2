#!/usr/bin/env bash
# Builds the libFuzzer targets listed in fuzz/targets.txt with clang (ASan + UBSan),
# replays every saved input (fuzz/corpus/<name>, fuzz/regressions/<name>), then fuzzes
# each target for the given number of seconds (default 60; 0 only replays).
#   scripts/fuzz.sh [seconds] [target...]
# FUZZ_BUILD_DIR picks the build folder (default build/fuzz). New inputs found while
# fuzzing stay in the build folder; a failing input is saved under
# <build>/artifacts/<name>/ and should be copied to fuzz/regressions/<name>/ with a
# unit test beside the code it broke.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
[[ "$seconds" =~ ^[0-9]+$ ]] || { echo "usage: scripts/fuzz.sh [seconds] [target...]" >&2; exit 2; }
build=${FUZZ_BUILD_DIR:-build/fuzz}
# A length read from an input must never turn into a huge allocation.
malloc_limit_mb=${FUZZ_MALLOC_LIMIT_MB:-256}

cmake -S fuzz -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$build"

if [ $# -gt 0 ]; then
  targets=("$@")
else
  IFS=";" read -r -a targets <"$build/targets.list" || true
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
common=(-rss_limit_mb=2048 -malloc_limit_mb="$malloc_limit_mb" -timeout=10)

failed=()
for t in "${targets[@]}"; do
  bin="$build/fuzz_$t"
  [ -x "$bin" ] || { echo "fuzz: no target $t" >&2; failed+=("$t(missing)"); continue; }
  saved=()
  for d in "fuzz/corpus/$t" "fuzz/regressions/$t"; do
    [ -d "$d" ] && saved+=("$d")
  done
  dict=()
  [ -f "fuzz/$t.dict" ] && dict=(-dict="fuzz/$t.dict")
  mkdir -p "$build/artifacts/$t" "$build/corpus/$t"

  count=0
  for d in "${saved[@]}"; do count=$((count + $(find "$d" -type f | wc -l))); done
  echo "== fuzz $t: replaying $count saved inputs"
  files=()
  for d in "${saved[@]}"; do
    while IFS= read -r -d '' f; do files+=("$f"); done < <(find "$d" -type f -print0 | sort -z)
  done
  if [ ${#files[@]} -gt 0 ] &&
    ! "$bin" "${common[@]}" -artifact_prefix="$build/artifacts/$t/" "${files[@]}" >"$build/replay_$t.log" 2>&1; then
    tail -n 40 "$build/replay_$t.log" >&2
    echo "fuzz $t: a saved input fails (log: $build/replay_$t.log)" >&2
    failed+=("$t(replay)")
    continue
  fi

  if [ "$seconds" -gt 0 ]; then
    echo "== fuzz $t: fuzzing for $seconds s"
    if ! "$bin" "${common[@]}" "${dict[@]}" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$t/" "$build/corpus/$t" "${saved[@]}" >"$build/fuzz_$t.log" 2>&1; then
      tail -n 60 "$build/fuzz_$t.log" >&2
      echo "fuzz $t: failure; input saved in $build/artifacts/$t/ (log: $build/fuzz_$t.log)" >&2
      failed+=("$t")
      continue
    fi
    grep -E '^stat::(number_of_executed_units|peak_rss_mb)|^Done' "$build/fuzz_$t.log" || true
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "== fuzz failed: ${failed[*]}" >&2
  exit 1
fi
echo "== fuzz passed: ${targets[*]}"
