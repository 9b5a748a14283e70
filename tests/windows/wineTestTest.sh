#!/usr/bin/env bash
# The Windows tests' wrapper (wineTest.sh) with a stand-in for Wine: a
# program that Wine did not start is run again, one that started and then
# failed, silent or not, is run once and its failure kept.
set -u
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export TMPDIR=$tmp
fails=0

# A Wine that counts its runs in $tmp/runs; it creates the start mark
# (as a started program would) unless $1 is "nostart", then prints $2 and
# exits with $3.
cat >"$tmp/wine" <<'WINE'
#!/usr/bin/env bash
echo run >>"$TMPDIR/runs"
if [ "$1" != nostart ]; then
  mark=${SALVOR_WINE_STARTED#Z:}
  : 2>/dev/null >"${mark//\\//}"
fi
[ -n "$2" ] && echo "$2"
exit "$3"
WINE
chmod +x "$tmp/wine"

check() {  # name, expected runs, expected status, wrapper arguments...
  local name=$1 runs=$2 want=$3
  shift 3
  rm -f "$tmp/runs"
  SALVOR_WINE=$tmp/wine bash "$here/wineTest.sh" "$@" >/dev/null 2>&1
  local status=$? got
  got=$(wc -l <"$tmp/runs")
  if [ "$got" != "$runs" ] || [ "$status" != "$want" ]; then
    echo "FAIL: $name: $got runs, status $status (expected $runs runs, status $want)"
    fails=1
  fi
}

check "a silent crash of a started program" 1 5 started "" 5
check "a started program's failure with output" 1 1 started "FAILED" 1
check "a program that passed" 1 0 started "ok" 0
check "Wine starting nothing" 3 1 nostart "" 1
check "Wine's own complaint" 3 53 nostart "wine: cannot find the program" 53
exit "$fails"
