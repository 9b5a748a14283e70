#!/usr/bin/env bash
# Builds the project into build/ (or the directory given as $1, with any
# further arguments passed to cmake).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
cmake -S . -B "$dir" -G Ninja -DSALVOR_WERROR=ON "$@" >/dev/null
ninja -C "$dir" -j "$(nproc)"
