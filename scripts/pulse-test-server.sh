#!/usr/bin/env bash
# A private PulseAudio server for checks against a real server: its own runtime
# folder, no user or system configuration, two null sinks and a remapped source.
#
#   eval "$(scripts/pulse-test-server.sh start [DIR])"   # prints the environment to use
#   scripts/pulse-test-server.sh stop [DIR]
#
# Devices: sinks "strataeq_a" and "strataeq_b" (with their monitors) and the source
# "strataeq_src", a remap of the monitor of strataeq_a.
set -euo pipefail

cmd=${1:-}
dir=${2:-${TMPDIR:-/tmp}/strataeq-pulse}

case "$cmd" in
  start)
    mkdir -p "$dir/runtime" "$dir/state"
    chmod 700 "$dir/runtime"
    cat >"$dir/server.pa" <<'EOF'
load-module module-native-protocol-unix auth-anonymous=1
load-module module-null-sink sink_name=strataeq_a sink_properties=device.description=StrataEq-Null-A
load-module module-null-sink sink_name=strataeq_b sink_properties=device.description=StrataEq-Null-B
load-module module-remap-source source_name=strataeq_src master=strataeq_a.monitor source_properties=device.description=StrataEq-Remapped-Source
set-default-sink strataeq_a
set-default-source strataeq_src
EOF
    export XDG_RUNTIME_DIR="$dir/runtime" PULSE_RUNTIME_PATH="$dir/runtime" PULSE_STATE_PATH="$dir/state"
    export HOME="$dir" PULSE_CONFIG_PATH="$dir/state"
    unset PULSE_SERVER
    pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no --disallow-exit=no \
      --log-target=file:"$dir/server.log" -F "$dir/server.pa" >/dev/null 2>&1 &
    echo $! >"$dir/pid"
    # Ready when the socket answers.
    for _ in $(seq 1 100); do
      if PULSE_SERVER="unix:$dir/runtime/native" pactl info >/dev/null 2>&1; then
        echo "export PULSE_SERVER=unix:$dir/runtime/native"
        exit 0
      fi
      sleep 0.1
    done
    echo "pulse-test-server: server did not come up, see $dir/server.log" >&2
    kill "$(cat "$dir/pid")" 2>/dev/null || true
    exit 1
    ;;
  stop)
    if [ -f "$dir/pid" ]; then
      pid=$(cat "$dir/pid")
      kill "$pid" 2>/dev/null || true
      for _ in $(seq 1 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
      done
      kill -9 "$pid" 2>/dev/null || true
      rm -f "$dir/pid"
    fi
    ;;
  *)
    echo "usage: $0 start|stop [DIR]" >&2
    exit 2
    ;;
esac
