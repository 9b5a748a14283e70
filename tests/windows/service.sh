#!/usr/bin/env bash
# The collector as a service of Wine's service control manager: "install"
# refuses a program that users who are not administrators could replace
# (under Wine every file is its user's, so it always refuses: the
# registration it makes is checked by the manager's back end's tests);
# registered with "sc create", "sc start" with "-s <config>" as start
# parameters runs it, it stores a dump sent from Linux, "sc stop" stops it
# cleanly, and "uninstall" removes it only once it is stopped; a
# registration whose command line carries "-s <config>" runs too.
# Usage: tests/windows/service.sh [cross build dir] [Linux build dir]
set -euo pipefail
cd "$(dirname "$0")/../.."
win=${1:-build-win}
linux=${2:-build}
. tests/windows/wineRun.sh

name=quillon-network-coredump
key="HKLM\\System\\CurrentControlSet\\Services\\$name"

wineStart
scratchDir service
cleanup() {
  "$wine" sc stop "$name" >/dev/null 2>&1 || true
  "$wine" sc delete "$name" >/dev/null 2>&1 || true
  wineStop
  rm -rf "$work"
}
trap cleanup EXIT
"$wine" sc delete "$name" >/dev/null 2>&1 || true

# The state's number in "sc query", or nothing when the service is unknown.
state() {
  "$wine" sc query "$name" 2>/dev/null | tr -d '\r' | awk '$1 == "STATE" {print $3}'
}

waitState() {
  local i
  for ((i = 0; i < $2 * 5; i++)); do
    [ "$(state)" = "$1" ] && return 0
    sleep 0.2
  done
  return 1
}

# The value $1 of the registration, as "reg query" shows it.
regValue() {
  "$wine" reg query "$key" 2>/dev/null | tr -d '\r' |
    awk -v v="$1" '$1 == v {sub(/^ *[^ ]+ +[^ ]+ +/, ""); print}'
}

# Registration: refused from a folder that its user may change.
if "$wine" "$salvorExe" install 2>"$work/install.err"; then
  fail "install of a program that users could replace succeeded"
fi
grep -q "can be changed by users who are not administrators" "$work/install.err" ||
  fail "install does not say why it refused: $(cat "$work/install.err")"
"$wine" reg query "$key" >/dev/null 2>&1 && fail "a refused install left a registration"
exe=$("$wine" winepath -w "$salvorExe" 2>/dev/null | tr -d '\r')
"$wine" sc create "$name" binPath= "$exe" >/dev/null || fail "sc create"
# Access denied (a prompt that is not elevated) is not "not registered".
if SALVOR_PLATFORM_FAULTS="service:13:skip=1" "$wine" "$salvorExe" uninstall \
     2>"$work/uninstall.err"; then
  fail "uninstall succeeded without access to the service"
fi
grep -q "cannot open the service $name: .*(error 5)" "$work/uninstall.err" ||
  fail "uninstall without access says: $(cat "$work/uninstall.err")"

# Start with the configuration as start parameters.
port=$(freeUdpPort)
writeConfig "$port"
started=$(date +%s.%N)
"$wine" sc start "$name" -s "$workWin\\salvor.xml" >/dev/null || fail "sc start"
waitState 4 20 || fail "the service is not running (state $(state))"
running=$(date +%s.%N)
waitAlive "$port" 10 || fail "the service does not answer on port $port"
randomFile "$work/src" 2500000
"$send" --quiet --server "127.0.0.1:$port" "$work/src" || fail "sending to the service"
checkStored "$work/src"

# A running service stays registered.
"$wine" "$salvorExe" uninstall 2>/dev/null || true
"$wine" reg query "$key" >/dev/null 2>&1 || fail "uninstall removed a running service"

# Stop.
stopAt=$(date +%s.%N)
"$wine" sc stop "$name" >/dev/null
waitState 1 15 || fail "the service did not stop (state $(state))"
stopped=$(date +%s.%N)
grep -q "Stopping network coredump server now." "$work/log/salvor.log" ||
  fail "the log does not say the server stopped"

"$wine" "$salvorExe" uninstall || fail "uninstall exited with $?"
"$wine" reg query "$key" >/dev/null 2>&1 && fail "the registration is still there"
# The configuration on the registered command line instead, read before
# the dispatcher starts ("sc config" would set it on Windows; Wine's sc has
# only "create" for it).
"$wine" sc create "$name" binPath= "$exe -s $workWin\\salvor.xml" >/dev/null ||
  fail "sc create with a command line"
# With resumeDumps on, a dump goes on across a stop and a start of the service.
writeConfig "$port" "<resumeDumps>true</resumeDumps>"
"$wine" sc start "$name" >/dev/null || fail "sc start of the service with -s on its command line"
waitState 4 20 || fail "the service with -s on its command line is not running (state $(state))"
waitAlive "$port" 10 || fail "the service with -s on its command line does not answer"
randomFile "$work/across" 20000001
"$send" --quiet --window 1 --wait 60 --server "127.0.0.1:$port" "$work/across" &
sender=$!
for _ in $(seq 400); do
  newest=$(ls -t "$work/data/127/0/0/1/" 2>/dev/null | head -1)
  [ -n "$newest" ] && [ "$(stat -c %s "$work/data/127/0/0/1/$newest")" -gt 2000000 ] && break
  sleep 0.05
done
"$wine" sc stop "$name" >/dev/null
waitState 1 15 || fail "the service did not stop in the middle of a dump (state $(state))"
"$wine" sc start "$name" >/dev/null || fail "sc start after a stop in the middle of a dump"
waitState 4 20 || fail "the service is not running again (state $(state))"
wait "$sender" || fail "the dump across a stop and a start of the service was not taken"
checkStored "$work/src" "$work/across"
grep -q '"resumed":1,"outcome":"complete"' "$work/log/dumps.jsonl" ||
  fail "the journal does not say the dump was resumed and complete"
"$wine" sc stop "$name" >/dev/null
waitState 1 15 || fail "the service with -s on its command line did not stop"
"$wine" "$salvorExe" uninstall || fail "uninstall exited with $?"

awk -v a="$started" -v b="$running" -v c="$stopAt" -v d="$stopped" 'BEGIN {
  printf "service: registered, running after %.1f s, stopped %.1f s after the request, removed\n",
    b - a, d - c }'
