# Shared by the Windows stage's scripts (sourced, not run): a Wine prefix
# with a persistent server, a scratch directory that both sides see, a
# collector configuration in it, and the checks of stored dumps.
#
# Set before sourcing: win (the cross build's directory) and linux (the
# Linux build's, whose salvor-send talks to the collector from outside Wine).

wine=/usr/lib/wine/wine64
win=$(cd "$win" && pwd)
export WINEPREFIX=${WINEPREFIX:-$win/wine} WINEDEBUG=-all
salvorExe=$win/collector/salvor.exe
sendExe=$win/tools/salvor-send.exe
send=$linux/tools/salvor-send
for f in "$salvorExe" "$sendExe" "$send"; do
  [ -x "$f" ] || { echo "$f is missing: build it first" >&2; exit 1; }
done

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# The persistent server and one Wine process holding Wine's helpers, their
# output sent away (else they hold the caller's pipes open); both end with
# the script.
wineStart() {
  mkdir -p "$WINEPREFIX"
  wineserver -p >/dev/null 2>&1 || true  # one may be running already
  keep=$(mktemp -u "$WINEPREFIX/keep.XXXXXX")
  mkfifo "$keep"
  "$wine" cmd <"$keep" >/dev/null 2>&1 &
  exec 8>"$keep"
  # A command run to its end: the prefix is set up (when new) once it
  # returns. No "wineboot -i" here: run on a ready prefix it goes on
  # setting up services after it returns, and a registration made
  # meanwhile is lost.
  "$wine" cmd /c exit >/dev/null 2>&1
}

wineStop() {
  exec 8>&- 2>/dev/null || true
  rm -f "$keep"
  wineserver -k >/dev/null 2>&1 || true
}

# The scratch directory: $work on Linux, $workWin (C:\...) inside Wine.
scratchDir() {
  local name=salvor-$1-$$
  work=$WINEPREFIX/drive_c/$name
  workWin="C:\\$name"
  rm -rf "$work"
  mkdir -p "$work"
}

freeUdpPort() {
  python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# A configuration for port $1 with data and log directories in the
# scratch directory, and the elements in $2 if given.
writeConfig() {
  cat >"$work/salvor.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<salvor>
  <defaultValues>
    <port>$1</port>
    <level>0</level>
  </defaultValues>
  <defaultDataPath>$workWin\\data</defaultDataPath>
  <defaultLogPath>$workWin\\log</defaultLogPath>
  ${2:-}
</salvor>
XML
}

# Waits up to $2 seconds for the collector on port $1 to answer a status check.
waitAlive() {
  local i
  for ((i = 0; i < $2; i++)); do
    "$send" --quiet --status --retries 2 --server "127.0.0.1:$1" 2>/dev/null && return 0
    sleep 1
  done
  return 1
}

# A file of $2 random bytes at $1.
randomFile() {
  head -c "$2" /dev/urandom >"$1"
}

# Every source file given has a byte-exact copy among the dumps stored for
# 127.0.0.1 (Wine sends from it whatever the client's address), and no
# stored dump is left partial or unexpected.
checkStored() {
  local hostDir=$work/data/127/0/0/1 src sum
  [ -d "$hostDir" ] || fail "no dump directory $hostDir"
  local stored
  stored=$(cd "$hostDir" && sha256sum zdump_127.0.0.1-* | awk '{print $1}' | sort)
  [ "$(wc -l <<<"$stored")" = "$#" ] || fail "$# dumps sent, $(wc -l <<<"$stored") stored"
  for src in "$@"; do
    sum=$(sha256sum "$src" | awk '{print $1}')
    grep -qx "$sum" <<<"$stored" || fail "$(basename "$src") was not stored byte for byte"
  done
}
