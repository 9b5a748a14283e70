#!/usr/bin/env bash
# Throughput of salvor.exe under Wine against the bare Winsock reply loop
# (bench-winsock-loop.exe) under Wine: the Linux client streams the same
# dump into each, one after the other, for several rounds; prints each
# round's times and the median ratio of the collector's rate to the loop's.
# Usage: bench/winThroughput.sh [cross build dir] [Linux build dir] [MiB] [rounds]
set -euo pipefail
cd "$(dirname "$0")/.."
win=${1:-build-win}
linux=${2:-build}
mib=${3:-32}
rounds=${4:-3}
. tests/windows/wineRun.sh
loopExe=$win/bench/bench-winsock-loop.exe
[ -f "$loopExe" ] || fail "$loopExe is missing: build the Windows bench first"

wineStart
scratchDir bench
running=
cleanup() {
  [ -n "$running" ] && kill "$running" 2>/dev/null
  wineStop
  rm -rf "$work"
}
trap cleanup EXIT
randomFile "$work/dump" $((mib * 1048576))

# Seconds the client takes to send the dump to port $1.
sendTime() {
  local t0 t1
  t0=$(date +%s.%N)
  "$send" --quiet --server "127.0.0.1:$1" "$work/dump" || fail "sending to port $1"
  t1=$(date +%s.%N)
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }'
}

# Starts $@ under Wine, waits for port $port to answer.
startUnderWine() {
  "$wine" "$@" >"$work/console.txt" 2>&1 &
  running=$!
  waitAlive "$port" 30 || fail "$1 does not answer: $(tail -3 "$work/console.txt")"
}

stopRunning() {
  kill "$running" 2>/dev/null || true
  wait "$running" 2>/dev/null || true
  running=
}

ratios=()
for ((r = 1; r <= rounds; r++)); do
  port=$(freeUdpPort)
  startUnderWine "$loopExe" "$port"
  bare=$(sendTime "$port")
  stopRunning
  port=$(freeUdpPort)
  writeConfig "$port"
  rm -rf "$work/data"
  startUnderWine "$salvorExe" debug -s "$workWin\\salvor.xml"
  collector=$(sendTime "$port")
  stopRunning
  checkStored "$work/dump"
  ratio=$(awk -v a="$bare" -v b="$collector" 'BEGIN { printf "%.2f", a / b }')
  ratios+=("$ratio")
  awk -v m="$mib" -v a="$bare" -v b="$collector" -v r="$ratio" -v n="$r" 'BEGIN {
    printf "round %d: bare loop %.1f MiB/s, salvor.exe %.1f MiB/s, ratio %s\n",
      n, m / a, m / b, r }'
done
median=$(printf '%s\n' "${ratios[@]}" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
echo "salvor.exe under Wine runs at $median of the bare Winsock loop's rate (median of $rounds)"
