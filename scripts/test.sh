#!/usr/bin/env bash
# Checks the library's module graph, installs what is missing, builds, and runs every test: once in the
# normal build (then builds the Debian package, checks it with lintian
# and tries it in a booted systemd container), once under AddressSanitizer and UndefinedBehaviorSanitizer,
# once under ThreadSanitizer, then every fuzzer for a short while
# (SALVOR_FUZZ_SECONDS each, default 10). SALVOR_SKIP_SANITIZERS=1 runs
# the first only. Then the Windows stage: the cross build, its tests under
# Wine, and the collector under Wine fed by the Linux client, in the
# foreground and as a service; SALVOR_SKIP_WINDOWS=1 skips it.
set -euo pipefail
cd "$(dirname "$0")/.."
# The library's module graph first: it takes a moment and needs no build.
python3 scripts/checkModules.py
scripts/deps.sh test

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

# The Debian package: its contents, and lintian with no error.
deb=$(scripts/package.sh | tail -1)
contents=$(dpkg-deb --contents "$deb")
for path in usr/sbin/salvor usr/bin/salvor-send etc/salvor/salvor.xml \
            lib/systemd/system/quillon-network-coredump.service \
            usr/share/man/man8/salvor.8.gz usr/share/man/man1/salvor-send.1.gz; do
  grep -q "\./$path\$" <<<"$contents" || { echo "package lacks $path" >&2; exit 1; }
done
lintian --fail-on error --allow-root "$deb"
scripts/test-container.sh "$deb"

if [ "${SALVOR_SKIP_SANITIZERS:-0}" != 1 ]; then
  scripts/build.sh build-asan -DSALVOR_SANITIZE=ON -DSALVOR_BENCH=OFF
  run_tests build-asan SALVOR_QUICK_TESTS=1 ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1

  scripts/build.sh build-tsan -DSALVOR_TSAN=ON -DSALVOR_BENCH=OFF
  run_tests build-tsan SALVOR_QUICK_TESTS=1 TSAN_OPTIONS=halt_on_error=1

  scripts/fuzz.sh "${SALVOR_FUZZ_SECONDS:-10}"
fi

if [ "${SALVOR_SKIP_WINDOWS:-0}" != 1 ]; then
  windowsStart=$(date +%s)
  scripts/deps.sh windows
  find build-win/test-tmp -mindepth 1 -delete 2>/dev/null || true
  SALVOR_WIN_TEST=1 scripts/build-windows.sh build-win
  if [ -f build-win/collector/salvor.exe ]; then
    tests/windows/endToEnd.sh build-win build
    tests/windows/service.sh build-win build
  else
    echo "Windows stage: salvor.exe is not part of the Windows build yet; its scripts are skipped"
  fi
  echo "Windows stage: $(($(date +%s) - windowsStart)) s"
fi
