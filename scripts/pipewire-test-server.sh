#!/usr/bin/env bash
# A private PipeWire session for checks against the sound server most desktops run: its
# own session bus, runtime, configuration and state folders, then `pipewire`,
# `wireplumber` and `pipewire-pulse`, with the same devices as pulse-test-server.sh.
#
#   eval "$(scripts/pipewire-test-server.sh start [DIR])"   # prints the environment to use
#   scripts/pipewire-test-server.sh stop [DIR]
#
# Devices: sinks "strataeq_a" and "strataeq_b" (with their monitors) and the source
# "strataeq_src", a remap of the monitor of strataeq_a. A's is the default sink.
set -euo pipefail

cmd=${1:-}
dir=${2:-${TMPDIR:-/tmp}/strataeq-pipewire}

stop_all() {
  local f pid
  # Last started first: the PulseAudio front, the session manager, the graph, the bus.
  for f in pulse wireplumber pipewire dbus; do
    [ -f "$dir/$f.pid" ] || continue
    pid=$(cat "$dir/$f.pid")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
    rm -f "$dir/$f.pid"
  done
}

case "$cmd" in
  start)
    mkdir -p "$dir/runtime" "$dir/config" "$dir/state" "$dir/data"
    chmod 700 "$dir/runtime"
    export XDG_RUNTIME_DIR="$dir/runtime" PIPEWIRE_RUNTIME_DIR="$dir/runtime" PULSE_RUNTIME_PATH="$dir/runtime/pulse"
    export HOME="$dir" XDG_CONFIG_HOME="$dir/config" XDG_STATE_HOME="$dir/state" XDG_DATA_HOME="$dir/data"
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/runtime/bus"
    unset PULSE_SERVER PIPEWIRE_REMOTE DISPLAY WAYLAND_DISPLAY
    log=$dir/server.log
    dbus-daemon --session --address="$DBUS_SESSION_BUS_ADDRESS" --nofork --nopidfile >>"$log" 2>&1 &
    echo $! >"$dir/dbus.pid"
    for _ in $(seq 1 50); do [ -S "$dir/runtime/bus" ] && break; sleep 0.1; done
    pipewire >>"$log" 2>&1 &
    echo $! >"$dir/pipewire.pid"
    for _ in $(seq 1 50); do [ -S "$dir/runtime/pipewire-0" ] && break; sleep 0.1; done
    wireplumber >>"$log" 2>&1 &
    echo $! >"$dir/wireplumber.pid"
    pipewire-pulse >>"$log" 2>&1 &
    echo $! >"$dir/pulse.pid"
    export PULSE_SERVER="unix:$dir/runtime/pulse/native"
    up=0
    for _ in $(seq 1 100); do
      if pactl info >/dev/null 2>&1; then up=1; break; fi
      sleep 0.1
    done
    if [ "$up" -eq 1 ] &&
       pactl load-module module-null-sink sink_name=strataeq_a sink_properties=device.description=StrataEq-Null-A >/dev/null &&
       pactl load-module module-null-sink sink_name=strataeq_b sink_properties=device.description=StrataEq-Null-B >/dev/null &&
       pactl load-module module-remap-source source_name=strataeq_src master=strataeq_a.monitor \
         source_properties=device.description=StrataEq-Remapped-Source >/dev/null; then
      # The session manager applies defaults once the devices are in its graph.
      for _ in $(seq 1 100); do
        pactl set-default-sink strataeq_a >/dev/null 2>&1 || true
        pactl set-default-source strataeq_src >/dev/null 2>&1 || true
        [ "$(pactl get-default-sink 2>/dev/null)" = strataeq_a ] &&
          [ "$(pactl get-default-source 2>/dev/null)" = strataeq_src ] && {
          echo "export PULSE_SERVER=$PULSE_SERVER"
          exit 0
        }
        sleep 0.1
      done
    fi
    echo "pipewire-test-server: the session did not come up, see $log" >&2
    stop_all
    exit 1
    ;;
  stop)
    stop_all
    ;;
  *)
    echo "usage: $0 start|stop [DIR]" >&2
    exit 2
    ;;
esac
