#!/usr/bin/env bash
# The collector under Wine in the foreground ("salvor.exe debug -s
# <config>") on a loopback port: dumps of several sizes sent by the Linux
# client and by salvor-send.exe under Wine are stored byte for byte, and
# the log says what happened.
# Usage: tests/windows/endToEnd.sh [cross build dir] [Linux build dir]
set -euo pipefail
cd "$(dirname "$0")/../.."
win=${1:-build-win}
linux=${2:-build}
. tests/windows/wineRun.sh

wineStart
scratchDir e2e
collector=
cleanup() {
  [ -n "$collector" ] && kill "$collector" 2>/dev/null
  wineStop
  rm -rf "$work"
}
trap cleanup EXIT

port=$(freeUdpPort)
writeConfig "$port"
"$wine" "$salvorExe" debug -s "$workWin\\salvor.xml" >"$work/console.txt" 2>&1 &
collector=$!
waitAlive "$port" 30 || fail "the collector does not answer: $(tail -3 "$work/console.txt")"

# One byte, one datagram's worth exactly, a few MiB (several debug-line
# steps and many windows of data messages), and a size that ends mid-datagram.
sources=()
for size in 1 1552 3145728 1000003; do
  randomFile "$work/src-$size" "$size"
  "$send" --quiet --server "127.0.0.1:$port" "$work/src-$size" || fail "sending $size bytes"
  sources+=("$work/src-$size")
done
# The Windows client too, from inside Wine.
randomFile "$work/src-win" 200000
"$wine" "$sendExe" --quiet --server "127.0.0.1:$port" "$workWin\\src-win" ||
  fail "salvor-send.exe could not send its dump"
sources+=("$work/src-win")
checkStored "${sources[@]}"

log=$work/log/salvor.log
[ -s "$log" ] || fail "no log at $log"
grep -q "Posting back a status check reply to 127.0.0.1" "$log" ||
  fail "the log has no status check line"
kill "$collector"
wait "$collector" 2>/dev/null || true
collector=
echo "endToEnd: ${#sources[@]} dumps stored byte for byte by salvor.exe under Wine"
