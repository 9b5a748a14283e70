#!/usr/bin/env bash
# Installs what is missing, builds, and starts the collector in the
# foreground on the example configuration (port 6500, dumps under
# run/data, log in run/log/salvor.log). Pass another configuration file
# as $1 to use it instead.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build
config=${1:-config/salvor.example.xml}
echo "salvor: listening on the port set in $config; Ctrl-C stops it."
exec build/collector/salvor debug -s "$config"
