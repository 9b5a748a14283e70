#!/usr/bin/env bash
# Runs one Windows test program under Wine for ctest (the build's emulator).
# Its output goes through a file, then to ctest: a Wine helper that the
# program happens to start inherits the file rather than ctest's pipe, and
# would otherwise hold the test open until the run ends.
#
# A program that Wine failed to start at all is started again, up to
# twice. Whether it started is told by a mark, not by its output: every
# test program creates the file that SALVOR_WINE_STARTED names before its
# own code runs (tests/windows/startedMark.cpp), so a program that crashed
# or failed before its first line is reported as it is, not run again.
# SALVOR_WINE stands in for Wine (the wrapper's own test).
wine=${SALVOR_WINE:-/usr/lib/wine/wine64}
out=$(mktemp "${TMPDIR:-/tmp}/wine-test.XXXXXX")
mark=$out.started
trap 'rm -f "$out" "$mark"' EXIT
# Wine's drive Z: is the Linux root.
export SALVOR_WINE_STARTED="Z:${mark//\//\\}"
for attempt in 1 2 3; do
  rm -f "$mark"
  "$wine" "$@" >"$out" 2>&1 </dev/null
  status=$?
  if [ "$status" = 0 ] || [ -e "$mark" ]; then
    break
  fi
  echo "wineTest: Wine did not start the program (status $status), attempt $attempt" >&2
done
cat "$out"
exit "$status"
