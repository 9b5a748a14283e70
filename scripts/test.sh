#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once in the
# normal build, once under AddressSanitizer and UndefinedBehaviorSanitizer,
# once under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

scripts/build.sh build
(cd build && ctest --output-on-failure -j2)

if [ "${SALVOR_SKIP_SANITIZERS:-0}" != 1 ]; then
  scripts/build.sh build-asan -DSALVOR_SANITIZE=ON -DSALVOR_BENCH=OFF
  (cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
     ctest --output-on-failure -j2)
fi

if [ "${SALVOR_SKIP_SANITIZERS:-0}" != 1 ]; then
  scripts/build.sh build-tsan -DSALVOR_TSAN=ON -DSALVOR_BENCH=OFF
  (cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j2)
fi
