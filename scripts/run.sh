#!/usr/bin/env bash
# Installs what is missing, builds the collector and the client (only
# those two, in build/), and starts the collector in the foreground on
# the example configuration config/salvor.example.xml (port 6500, dumps
# under run/data, log in run/log/salvor.log), or on the configuration file
# given as $1. Ctrl-C stops it.
#
# Nothing is written outside the checkout: the start-up trace and the
# preference store's common and user folders are kept under run/ too.
set -euo pipefail
if [ $# -gt 1 ]; then
  echo "usage: scripts/run.sh [config.xml]" >&2
  exit 2
fi
config=${1:-}
if [ -n "$config" ]; then
  [ -f "$config" ] || { echo "scripts/run.sh: no configuration file '$config'" >&2; exit 2; }
  config=$(realpath "$config")
fi
cd "$(dirname "$0")/.."
config=${config:-$PWD/config/salvor.example.xml}

scripts/deps.sh
# The same configuration as scripts/build.sh gives build/, so that the
# test command goes on from what this built.
cmake -S . -B build -G Ninja -DSALVOR_WERROR=ON >/dev/null
ninja -C build -j "$(nproc)" salvor salvor-send

mkdir -p run/tmp run/appdata run/config
export TMPDIR=$PWD/run/tmp
export SALVOR_APPDATA_PATH=$PWD/run/appdata
export XDG_CONFIG_HOME=$PWD/run/config
echo "salvor: starting on $config; Ctrl-C stops it."
exec build/collector/salvor debug -s "$config"
