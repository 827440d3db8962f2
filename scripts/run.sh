#!/usr/bin/env bash
# Builds StrataEq and runs its main job.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C build/release >/dev/null
exec build/release/bin/strataeq-cli --version
