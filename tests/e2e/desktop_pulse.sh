#!/usr/bin/env bash
# Desktop sound on a real sound server: a private PulseAudio or PipeWire, two null sinks, A the
# default. A player streams 500 Hz + 3 kHz into the default device; `strataeq-cli live
# --desktop --out B` must take the player's stream onto "StrataEq Equalizer", equalize
# it (band 8, 2-4 kHz, at -20 dB) into B, and put everything back when it stops:
#  1. by --seconds: the 3 kHz cut is measured at B's monitor, then the state is checked;
#  2. by SIGTERM, and by SIGINT;
#  3. by kill -9, which leaves the device behind; the next start must clear it up.
# After each: the player's stream is on A again, A is the default, and no
# "StrataEq Equalizer" device is left. Last, naming the leftover of a killed run as the
# output is refused (the route would feed back), and the leftover is still cleared.
# Usage: tests/e2e/desktop_pulse.sh BUILD-FOLDER
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:?usage: tests/e2e/desktop_pulse.sh BUILD-FOLDER}
cli=$build/bin/strataeq-cli

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

fail=0
bad() { echo "FAIL: $*" >&2; fail=1; }

length=$((40 + 6 * ${KILL_LOOPS:-3}))  # the player outlasts every step
sox -q -n -r 44100 -c 2 -b 16 "$work/tone.wav" synth $length sine 500 synth $length sine mix 3000 vol 0.25
paplay "$work/tone.wav" &  # no device named: the default one, A
for _ in $(seq 1 50); do
  player=$(pactl list short sink-inputs | awk 'NR == 1 { print $1 }')
  [ -n "$player" ] && break
  sleep 0.1
done
[ -n "$player" ] || { echo "FAIL: the player did not start" >&2; exit 1; }
sink_index() { pactl list short sinks | awk -v n="$1" '$2 == n { print $1 }'; }
player_sink() { pactl list short sink-inputs | awk -v i="$player" '$1 == i { print $2 }'; }
a=$(sink_index strataeq_a)
echo "player stream $player on sink $(player_sink) (A is $a)"

wait_moved() {  # until the player's stream is on the equalizer's device
  for _ in $(seq 1 100); do
    eq=$(sink_index strataeq_equalizer)
    [ -n "$eq" ] && [ "$(player_sink)" = "$eq" ] && return 0
    sleep 0.05
  done
  return 1
}
check_restored() {  # what
  local sink default left
  sink=$(player_sink)
  default=$(pactl get-default-sink)
  left=$(pactl list sinks | grep -c -e 'strataeq_equalizer' -e 'StrataEq Equalizer' || true)
  echo "after $1: player on sink $sink, default $default, $left StrataEq Equalizer entries"
  [ "$sink" = "$a" ] || bad "after $1 the player's stream is on sink $sink, not A ($a)"
  [ "$default" = strataeq_a ] || bad "after $1 the default device is $default, not strataeq_a"
  [ "$left" -eq 0 ] || bad "after $1 the StrataEq Equalizer device is still there"
}

# 1. --seconds, with the band cut measured at B.
"$cli" live --desktop --out StrataEq-Null-B --band 8=-20 --fft 4096 --latency 100 --seconds 6 >"$work/live.log" 2>&1 &
live=$!
wait_moved || bad "the player's stream was not moved to the equalizer's device"
[ "$(pactl get-default-sink)" = strataeq_equalizer ] || bad "the equalizer's device is not the default while running"
sleep 1.5  # primed and steady
parecord -d strataeq_b.monitor --rate=44100 --channels=2 --format=s16le --file-format=wav "$work/out.wav" &
rec=$!
sleep 3
kill -INT "$rec"
wait "$rec" || true
wait "$live" || bad "live --desktop --seconds failed: $(cat "$work/live.log")"
cat "$work/live.log"
check_restored "--seconds"

level() {  # file, low Hz, high Hz: RMS of that band in dBFS
  sox "$1" -n remix 1 sinc "$2-$3" stat 2>&1 | awk '/RMS +amplitude/ { print 20 * log($3) / log(10) }'
}
in_low=$(level "$work/tone.wav" 400 600)
in_high=$(level "$work/tone.wav" 2800 3200)
out_low=$(level "$work/out.wav" 400 600)
out_high=$(level "$work/out.wav" 2800 3200)
change=$(awk -v a="$in_low" -v b="$in_high" -v c="$out_low" -v d="$out_high" 'BEGIN { printf "%.2f", (d - c) - (b - a) }')
echo "at B: 500 Hz $out_low dBFS, 3 kHz $out_high dBFS; 3 kHz relative to 500 Hz changed by $change dB"
awk -v c="$change" 'BEGIN { exit !(c >= -21.5 && c <= -18.5) }' || bad "3 kHz moved by $change dB, not -20 +-1.5"
awk -v o="$out_low" 'BEGIN { exit !(o > -40) }' || bad "the desktop's sound did not reach B ($out_low dBFS)"

# 2. Signals.
for sig in TERM INT; do
  "$cli" live --desktop --out StrataEq-Null-B --latency 100 -q &
  live=$!
  wait_moved || bad "SIG$sig run: the player's stream was not moved"
  sleep 0.5
  kill -"$sig" "$live"
  rc=0
  wait "$live" || rc=$?
  [ "$rc" -eq 0 ] || bad "live --desktop ended by SIG$sig with status $rc"
  check_restored "SIG$sig"
done

# 3. kill -9 leaves the device behind, the next start clears it up (KILL_LOOPS times).
for loop in $(seq 1 "${KILL_LOOPS:-3}"); do
  "$cli" live --desktop --out StrataEq-Null-B --latency 100 -q &
  live=$!
  wait_moved || bad "kill -9 run $loop: the player's stream was not moved"
  kill -9 "$live"
  wait "$live" 2>/dev/null || true
  [ -n "$(sink_index strataeq_equalizer)" ] || bad "kill -9 left nothing behind: the recovery goes untested"
  [ "$(pactl get-default-sink)" = strataeq_equalizer ] || bad "kill -9 run $loop: the default was not the equalizer's device"
  "$cli" live --desktop --out StrataEq-Null-B --latency 100 --seconds 2 -q || bad "the start after kill -9 failed (loop $loop)"
  check_restored "kill -9 and a new start ($loop)"
done

# Never into its own device: with one left behind by another kill -9, naming it as the
# output is refused, and the leftover is cleared up all the same.
"$cli" live --desktop --out StrataEq-Null-B --latency 100 -q &
live=$!
wait_moved || bad "second kill -9 run: the player's stream was not moved"
kill -9 "$live"
wait "$live" 2>/dev/null || true
if "$cli" live --desktop --out "StrataEq Equalizer" --seconds 1 -q 2>"$work/err.log"; then
  bad "live --desktop played into its own device"
else
  echo "refused: $(cat "$work/err.log")"
fi
check_restored "the refused start"

# 4. Devices that go away. A named output that goes keeps its error and exit 1.
route_sink() {  # the sink the route's own playback stream is on
  pactl list sink-inputs | awk '/^Sink Input #/ { s = "" } /^\tSink:/ { s = $2 } /media.name = "StrataEq playback"/ { print s }'
}
pactl load-module module-null-sink sink_name=strataeq_c sink_properties=device.description=StrataEq-Null-C >/dev/null
for _ in $(seq 1 50); do [ -n "$(sink_index strataeq_c)" ] && break; sleep 0.1; done
"$cli" live --desktop --out StrataEq-Null-C --latency 100 -q 2>"$work/err.log" &
live=$!
wait_moved || bad "named output run: the player's stream was not moved"
pactl unload-module "$(pactl list short modules | awk '/sink_name=strataeq_c/ { print $1 }')"
rc=0
timeout 10 tail --pid="$live" -f /dev/null || kill "$live"
wait "$live" || rc=$?
[ "$rc" -eq 1 ] || bad "a named output that went away ended with status $rc, not 1"
echo "named output gone: status $rc, $(cat "$work/err.log")"
check_restored "the named output went away"
# Without a named output the route follows the desktop: A (the default) goes, B remains.
"$cli" live --desktop --latency 100 --seconds 8 >"$work/follow.log" 2>&1 &
live=$!
wait_moved || bad "follow run: the player's stream was not moved"
sleep 1.5
pactl unload-module "$(pactl list short modules | awk '/sink_name=strataeq_a/ { print $1 }')"
b=$(sink_index strataeq_b)
moved=""
for step in $(seq 1 20); do  # 2 s
  [ "$(route_sink)" = "$b" ] && { moved=$step; break; }
  sleep 0.1
done
[ -n "$moved" ] && echo "the route plays on B ${moved}00 ms after A went away" || bad "the route did not move to B within 2 s"
[ "$(player_sink)" = "$(sink_index strataeq_equalizer)" ] || bad "the player's stream left the equalizer when A went away"
rc=0
wait "$live" || rc=$?
cat "$work/follow.log"
[ "$rc" -eq 0 ] || bad "the route that followed the desktop ended with status $rc"
[ "$(player_sink)" = "$b" ] || bad "after the follow run the player's stream is on $(player_sink), not B ($b)"
[ "$(pactl get-default-sink)" = strataeq_b ] || bad "after the follow run the default is $(pactl get-default-sink), not B"

[ "$fail" -eq 0 ] && echo "desktop sound on $server_kind: passed"
exit "$fail"
