#!/usr/bin/env bash
# salvor.exe under Wine with a keys file: a dump sealed by the Linux
# client is stored byte for byte, the key is named in the journal, and a
# client whose key the collector does not hold is told so.
# Usage: tests/windows/sealed.sh [cross build dir] [Linux build dir]
set -euo pipefail
cd "$(dirname "$0")/../.."
win=${1:-build-win}
linux=${2:-build}
. tests/windows/wineRun.sh

wineStart
scratchDir sealed
collector=
cleanup() {
  [ -n "$collector" ] && kill "$collector" 2>/dev/null
  wineStop
  rm -rf "$work"
}
trap cleanup EXIT

(umask 077 && "$send" --make-key winhost >"$work/host.key" &&
  "$send" --make-key stranger >"$work/stranger.key" && cp "$work/host.key" "$work/keys")
port=$(freeUdpPort)
# Plain status checks from 127.0.0.1 stay allowed, for waitAlive.
writeConfig "$port" "<keysFile>$workWin\\keys</keysFile><allowPlainFrom>127.0.0.1/32</allowPlainFrom>"
"$wine" "$salvorExe" debug -s "$workWin\\salvor.xml" >"$work/console.txt" 2>&1 &
collector=$!
waitAlive "$port" 30 || fail "the collector does not answer: $(tail -3 "$work/console.txt")"

randomFile "$work/src-sealed" 2000003
"$send" --quiet --key-file "$work/host.key" --server "127.0.0.1:$port" "$work/src-sealed" ||
  fail "the sealed dump was not sent: $(tail -3 "$work/log/salvor.log")"
checkStored "$work/src-sealed"
grep -q '"key":"winhost"' "$work/log/dumps.jsonl" || fail "the journal does not name the key"

out=$("$send" --key-file "$work/stranger.key" --retries 2 --server "127.0.0.1:$port" \
  "$work/src-sealed" 2>&1) && fail "a dump sealed with an unknown key was taken"
grep -q "is this host's key in the collector's keys file?" <<<"$out" ||
  fail "the client did not say why: $out"
kill "$collector"
wait "$collector" 2>/dev/null || true
collector=
echo "sealed: a sealed dump stored byte for byte by salvor.exe under Wine"
