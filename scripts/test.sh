#!/usr/bin/env bash
# Checks the library's module graph, installs what is missing, builds, and runs every test: once in the
# normal build (then builds the Debian package, checks it with lintian
# and tries it in a booted systemd container), once under AddressSanitizer and UndefinedBehaviorSanitizer,
# once under ThreadSanitizer, then every fuzzer for a short while
# (SALVOR_FUZZ_SECONDS each, default 10). SALVOR_SKIP_SANITIZERS=1 runs
# the first only. Then the Windows stage: the cross build, its tests under
# Wine, and the collector under Wine fed by the Linux client, in the
# foreground and as a service; SALVOR_SKIP_WINDOWS=1 skips it. Ends with
# the time each stage took.
set -euo pipefail
cd "$(dirname "$0")/.."
# The library's module graph first: it takes a moment and needs no build.
python3 scripts/checkModules.py
scripts/deps.sh test
windows=1
[ "${SALVOR_SKIP_WINDOWS:-0}" != 1 ] || windows=

# The time of each stage, printed at the end.
stageTimes=()
stageStart=$SECONDS
stageEnd() {
  stageTimes+=("$1: $((SECONDS - stageStart)) s")
  stageStart=$SECONDS
}
windowsDeps=
onExit() {
  [ -z "$windowsDeps" ] || kill -- "-$windowsDeps" 2>/dev/null || true
  [ ${#stageTimes[@]} -eq 0 ] || printf 'Stage %s\n' "${stageTimes[@]}"
}
trap onExit EXIT

# On a new machine the Windows stage's libraries take minutes to fetch and
# build, much of it waiting on the network or on one core: they are built
# in the background, at a low priority, while the Linux stages run (their
# tests and single-threaded steps leave a core idle). setsid gives the
# build a process group of its own, which a failed run stops.
if [ -n "$windows" ]; then
  scripts/deps.sh windows
  mkdir -p build
  setsid nice -n 10 scripts/windowsDeps.sh >build/windowsDeps.log 2>&1 &
  windowsDeps=$!
fi

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
stageEnd "normal build and tests"

# The Debian package: its contents, and lintian with no error.
deb=$(scripts/package.sh | tail -1)
contents=$(dpkg-deb --contents "$deb")
for path in usr/sbin/salvor usr/bin/salvor-send etc/salvor/salvor.xml \
            lib/systemd/system/quillon-network-coredump.service \
            usr/share/man/man8/salvor.8.gz usr/share/man/man1/salvor-send.1.gz; do
  grep -q "\./$path\$" <<<"$contents" || { echo "package lacks $path" >&2; exit 1; }
done
lintian --fail-on error --allow-root "$deb"
stageEnd "package and lintian"
scripts/test-container.sh "$deb"
stageEnd "container"

if [ "${SALVOR_SKIP_SANITIZERS:-0}" != 1 ]; then
  scripts/build.sh build-asan -DSALVOR_SANITIZE=ON -DSALVOR_BENCH=OFF
  run_tests build-asan SALVOR_QUICK_TESTS=1 ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1
  stageEnd "AddressSanitizer build and tests"

  scripts/build.sh build-tsan -DSALVOR_TSAN=ON -DSALVOR_BENCH=OFF
  run_tests build-tsan SALVOR_QUICK_TESTS=1 TSAN_OPTIONS=halt_on_error=1
  stageEnd "ThreadSanitizer build and tests"

  scripts/fuzz.sh "${SALVOR_FUZZ_SECONDS:-10}"
  stageEnd "fuzzers"
fi

if [ -n "$windows" ]; then
  status=0
  wait "$windowsDeps" || status=$?
  windowsDeps=
  if [ "$status" != 0 ]; then
    cat build/windowsDeps.log >&2
    exit 1
  fi
  cat build/windowsDeps.log
  stageEnd "Windows libraries (the rest of their background build)"
  find build-win/test-tmp -mindepth 1 -delete 2>/dev/null || true
  SALVOR_WIN_TEST=1 scripts/build-windows.sh build-win
  if [ -f build-win/collector/salvor.exe ]; then
    tests/windows/endToEnd.sh build-win build
    tests/windows/sealed.sh build-win build
    tests/windows/service.sh build-win build
  else
    echo "Windows stage: salvor.exe is not part of the Windows build yet; its scripts are skipped"
  fi
  stageEnd "Windows build and tests"
fi
