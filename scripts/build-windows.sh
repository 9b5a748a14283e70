#!/usr/bin/env bash
# Cross-builds the project for 64-bit Windows into build-win/ (or the
# directory given as $1) with mingw-w64, linking the libraries that
# scripts/windowsDeps.sh builds once into its cache. With SALVOR_WIN_TEST=1
# it then runs the tests under Wine with ctest.
# Needs what "scripts/deps.sh windows" installs.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-win}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
prefixes=$(scripts/windowsDeps.sh | tail -1)

# Wine runs GoogleTest's discovery at build time and the tests, in a
# prefix of the build tree's own. A persistent server and Wine's helper
# processes are started first, their output sent away: started by a test
# instead, they would hold ctest's output pipe open and the run could hang.
# One Wine process (a shell reading a pipe that this script holds open
# until it ends) keeps the helpers running between tests.
mkdir -p "$dir/wine"
export WINEPREFIX=$dir/wine WINEDEBUG=-all
wineserver -p >/dev/null 2>&1 || true  # one may be running already
trap 'exec 9>&-; wineserver -k >/dev/null 2>&1 || true' EXIT
/usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
rm -f "$WINEPREFIX/keep" && mkfifo "$WINEPREFIX/keep"
/usr/lib/wine/wine64 cmd <"$WINEPREFIX/keep" >/dev/null 2>&1 &
exec 9>"$WINEPREFIX/keep"

cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DSALVOR_WIN_DEPS_PREFIXES="$prefixes" -DSALVOR_WERROR=ON | grep "Windows build:" || true
ninja -C "$dir" -j "$(nproc)"
# The programs are linked statically: they may import Windows' own DLLs
# only, never the compiler's run-time or a library of the cache. The
# event-message library, resources only, imports nothing at all.
dll=$dir/collector/salvorEventMessages.dll
imports=$(x86_64-w64-mingw32-objdump -p "$dll" | awk '/DLL Name:/ {print $3}')
[ -z "$imports" ] || { echo "$dll imports $imports" >&2; exit 1; }
for exe in "$dir/collector/salvor.exe" "$dir/tools/salvor-send.exe"; do
  [ -f "$exe" ] || continue
  foreign=$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ {print $3}' |
            grep -iE '^(lib|icu)' || true)
  [ -z "$foreign" ] || { echo "$exe imports $foreign" >&2; exit 1; }
done
if [ "${SALVOR_WIN_TEST:-0}" = 1 ]; then
  # A test that fails under Wine runs once more before it counts: a child
  # process of Wine's has now and then hung at its start under load (a
  # death test that passed forty runs in a row when run alone).
  # A real fault fails both runs.
  ctest --test-dir "$dir" -j "$(nproc)" --timeout 300 --output-on-failure \
    --repeat until-pass:2
fi
