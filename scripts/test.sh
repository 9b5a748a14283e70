#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once in the
# normal build, once under AddressSanitizer and UndefinedBehaviorSanitizer,
# once under ThreadSanitizer. SALVOR_SKIP_SANITIZERS=1 runs the first only.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

# Runs the tests of a build tree, after clearing the temporary files
# (core images of death tests among them) of its earlier runs.
run_tests() {
  local dir=$1
  shift
  find "$dir/test-tmp" -mindepth 1 -delete 2>/dev/null || true
  (cd "$dir" && env "$@" ctest --output-on-failure -j2)
}

scripts/build.sh build
run_tests build

if [ "${SALVOR_SKIP_SANITIZERS:-0}" != 1 ]; then
  scripts/build.sh build-asan -DSALVOR_SANITIZE=ON -DSALVOR_BENCH=OFF
  run_tests build-asan ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1

  scripts/build.sh build-tsan -DSALVOR_TSAN=ON -DSALVOR_BENCH=OFF
  run_tests build-tsan TSAN_OPTIONS=halt_on_error=1
fi
