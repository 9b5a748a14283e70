#!/usr/bin/env bash
# The long soak: 1,024 hosts (127.0.10.1 onwards) send a dump each to one
# collector at once through the client's loss-and-reorder shim (5% dropped
# and 5% delayed each way); every dump must arrive byte-exact and the
# collector must end with the memory and descriptors it started with.
# Usage: scripts/soak.sh [hosts] [KiB per dump]   (default 1024 and 1024)
set -euo pipefail
cd "$(dirname "$0")/.."
hosts=${1:-1024}
kib=${2:-1024}
scripts/build.sh build >/dev/null
# Each salvor-send process and the collector's dumps need descriptors.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
SALVOR_SOAK_HOSTS=$hosts SALVOR_SOAK_KIB=$kib build/tests/collector/soak_tests
