#!/usr/bin/env bash
# Installs every Debian package StrataEq needs to build, test and benchmark.
# Idempotent: does nothing when everything is present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  libfftw3-dev libspeexdsp-dev
  libpulse-dev pulseaudio pulseaudio-utils
  pipewire pipewire-pulse wireplumber dbus
  libmpg123-dev libmp3lame-dev lame mpg123
  sox bc time ffmpeg procps
  qt6-base-dev qt6-base-dev-tools libgl-dev xvfb xauth xdotool x11-utils imagemagick
  fonts-liberation fonts-dejavu-core
  at-spi2-core python3-pyatspi dbus-daemon
  weston qt6-wayland
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
echo "setup: installing ${missing[*]}" >&2
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
