#!/usr/bin/env bash
# Runs one Windows test program under Wine for ctest (the build's emulator).
# Its output goes through a file, then to ctest: a Wine helper that the
# program happens to start inherits the file rather than ctest's pipe, and
# would otherwise hold the test open until the run ends. A program that
# Wine failed to start at all (no output, a failure status) is started
# again, up to twice: every test program prints before it does anything.
out=$(mktemp "${TMPDIR:-/tmp}/wine-test.XXXXXX")
trap 'rm -f "$out"' EXIT
for attempt in 1 2 3; do
  /usr/lib/wine/wine64 "$@" >"$out" 2>&1 </dev/null
  status=$?
  if [ "$status" = 0 ] || [ -s "$out" ]; then
    break
  fi
  echo "wineTest: Wine started nothing (status $status), attempt $attempt" >&2
done
cat "$out"
exit "$status"
