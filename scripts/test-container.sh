#!/usr/bin/env bash
# Tries the Debian package in a real systemd: boots a minimal Debian
# bookworm with systemd-nspawn, installs the package there and checks that
# the service runs, answers, stores a dump whole, stops and starts on
# request, and that purging leaves nothing of the package behind; prints
# the unit's exposure as systemd-analyze security rates it.
#
#   scripts/test-container.sh build/salvor_<version>_<arch>.deb
#
# The root file system is made once with debootstrap, from the Debian
# mirror that apt is configured with, and kept in
# ~/.cache/salvor-container (SALVOR_CONTAINER_CACHE) under a key of its
# recipe, so that a changed recipe makes a new one. Each run boots it
# through an overlay that is thrown away afterwards: the cached root stays
# clean. The container has a network of its own (its loopback only) and a
# cgroup of its own, removed afterwards.
#
# Skipped, with the reason, when SALVOR_SKIP_CONTAINER=1, when not run as
# root, or where systemd-nspawn cannot run a container.
set -euo pipefail
cd "$(dirname "$0")/.."

skip() {
  echo "container test skipped: $*"
  exit 0
}

[ $# -eq 1 ] && [ -f "$1" ] || { echo "usage: $0 PACKAGE.deb" >&2; exit 2; }
deb=$(realpath "$1")
[ "${SALVOR_SKIP_CONTAINER:-0}" != 1 ] || skip "SALVOR_SKIP_CONTAINER=1"
[ "$(id -u)" -eq 0 ] || skip "it needs root (debootstrap, overlay mounts, systemd-nspawn)"
command -v systemd-nspawn >/dev/null && command -v debootstrap >/dev/null ||
  skip "systemd-nspawn or debootstrap is missing (scripts/deps.sh test installs them)"
[ -d /sys/fs/cgroup ] || skip "no cgroup file system"
unshare --mount --pid --net --fork true 2>/dev/null ||
  skip "this machine cannot make the namespaces a container needs"

started=$(date +%s)
suite=bookworm
# The package's dependencies, without their versions: they go into the
# root before it boots, where the container has no network.
depends=$(dpkg-deb -f "$deb" Depends | tr ',|' '\n\n' | sed 's/(.*)//; s/[[:space:]]//g' |
  grep -v '^$' | sort -u | paste -sd, -)
# logrotate tries the package's rotation of the dump journal, zstd the
# example hook.
include="systemd,systemd-sysv,dbus,logrotate,zstd,$depends"

# The Debian mirror apt uses for the suite: the one-line and the deb822
# sources, the first entry of type deb for the suite itself.
mirror() {
  python3 - "$suite" <<'PY'
import glob, sys
suite = sys.argv[1]
def entries():
    for path in ["/etc/apt/sources.list"] + sorted(glob.glob("/etc/apt/sources.list.d/*.list")):
        try:
            lines = open(path).read().splitlines()
        except OSError:
            continue
        for line in lines:
            words = line.split("#", 1)[0].split()
            if words and words[0] == "deb":
                words = [w for w in words[1:] if not w.startswith("[")]
                if len(words) >= 2:
                    yield ["deb"], [words[0]], [words[1]]
    for path in sorted(glob.glob("/etc/apt/sources.list.d/*.sources")):
        try:
            text = open(path).read()
        except OSError:
            continue
        for stanza in text.split("\n\n"):
            fields = {}
            for line in stanza.splitlines():
                if line.startswith("#") or ":" not in line or line[0].isspace():
                    continue
                key, value = line.split(":", 1)
                fields[key.strip().lower()] = value.split()
            if fields.get("enabled", ["yes"])[0] == "no":
                continue
            yield fields.get("types", []), fields.get("uris", []), fields.get("suites", [])
for types, uris, suites in entries():
    if "deb" in types and suite in suites and uris:
        print(uris[0].rstrip("/"))
        break
else:
    print("http://deb.debian.org/debian")
PY
}
mirror=$(mirror)

# The recipe of the root; its text, with the suite, the packages and the
# mirror, is the cache key. (It runs where errexit does not hold: each
# step says when it failed.)
make_root() {
  local dir=$1
  debootstrap --variant=minbase --include="$include" "$suite" "$dir" "$mirror" || return 1
  # No getty on the container's console, no time spent on what a
  # container without a network does not need.
  chroot "$dir" systemctl mask console-getty.service getty.target \
    systemd-networkd-wait-online.service apt-daily.timer apt-daily-upgrade.timer \
    dpkg-db-backup.timer || return 1
  chroot "$dir" apt-get clean
}
key=$( (declare -f make_root; echo "$suite $include $mirror") | sha256sum | cut -c1-16)
cache=${SALVOR_CONTAINER_CACHE:-$(echo ~)/.cache/salvor-container}
root=$cache/root-$key
mkdir -p "$cache"
exec 9>"$cache/lock"
flock 9
# What a run that was killed left behind.
for stale in "$cache"/run.*; do
  [ -d "$stale" ] || continue
  umount "$stale/root" 2>/dev/null || true
  rm -rf "$stale"
done
if [ ! -f "$root/.complete" ]; then
  echo "container: making the root file system ($suite from $mirror; once, a minute or two)"
  # Roots of earlier recipes go.
  find "$cache" -mindepth 1 -maxdepth 1 -name 'root-*' -exec rm -rf {} +
  if ! debootstrap_log=$(make_root "$root.new" 2>&1); then
    echo "$debootstrap_log" | tail -30
    echo "container: making the root file system failed" >&2
    rm -rf "$root.new"
    exit 1
  fi
  touch "$root.new/.complete"
  mv "$root.new" "$root"
fi

# The checks, run inside the booted container by a unit of their own:
# their log and their result (0 when all passed) go to the directory $1.
# They power the container off at the end.
write_checks() {
  cat <<'CHECKS'
#!/bin/sh
out=$1
exec >"$out/log" 2>&1
unit=quillon-network-coredump.service
log=/var/log/salvor/salvor.log
finish() {
  echo "$1" > "$out/status"
  systemctl poweroff --no-block
  exit 0
}
fail() {
  echo "FAIL: $*"
  systemctl --no-pager status "$unit" 2>&1 | tail -15
  finish 1
}
ok() { echo "ok: $*"; }
# Waits up to 10 s for the unit to be in state $1.
wait_state() {
  for _ in $(seq 50); do
    [ "$(systemctl is-active "$unit")" = "$1" ] && return 0
    sleep 0.2
  done
  return 1
}

dpkg -i /pkgcheck/in/salvor.deb >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log; fail "dpkg -i"; }
ok "installed"
wait_state active || fail "the unit is $(systemctl is-active "$unit") after the install"
ok "the unit is active"
salvor-send --status || fail "no answer to a status request"

head -c 3000001 /dev/urandom > /root/dump.bin
salvor-send --quiet /root/dump.bin || fail "the dump was not taken"
dump=$(ls -t /var/lib/salvor/127/0/0/1/zdump_127.0.0.1-* 2>/dev/null | head -1)
[ -n "$dump" ] || fail "no dump file under /var/lib/salvor/127/0/0/1"
cmp /root/dump.bin "$dump" || fail "the dump differs from what was sent"
ok "the dump arrived byte-exact ($dump)"
# What README.Debian says a finished dump and its directory are.
[ "$(stat -c '%a %U:%G' "$dump")" = "400 root:root" ] ||
  fail "the finished dump is $(stat -c '%a %U:%G' "$dump"), not 400 root:root"
[ "$(stat -c '%a' /var/lib/salvor/127/0/0/1)" = 700 ] ||
  fail "the host directory has mode $(stat -c '%a' /var/lib/salvor/127/0/0/1), not 700"
[ "$(stat -c '%a' "$log")" = 600 ] || fail "$log has mode $(stat -c '%a' "$log"), not 600"
ok "the dump is mode 400, root:root, in a directory of mode 700; the log is mode 600"
if grep -q "preferences file not found at /etc/Quillon/Quillon Orvex dump collector/config.ini" "$log"; then
  fail "the collector did not read the packaged preferences"
fi
ok "the packaged preferences were read"

systemctl stop "$unit" || fail "systemctl stop"
result=$(systemctl show -P ExecMainStatus "$unit")
[ "$result" = 0 ] || fail "the collector ended with status $result on stop"
[ "$(systemctl is-active "$unit")" = inactive ] || fail "the unit is $(systemctl is-active "$unit") after stop"
grep -q "Stopping network coredump server now\." "$log" || fail "no stop line in $log"
ok "stopped with status 0, and said so in its log"
systemctl start "$unit" || fail "systemctl start"
wait_state active || fail "the unit is $(systemctl is-active "$unit") after start"
salvor-send --quiet --status || fail "no answer after the start"
ok "started again, and answers"

# A collector that dies is started again.
pid=$(systemctl show -P MainPID "$unit")
systemctl kill --kill-who=main --signal=SIGKILL "$unit"
for _ in $(seq 50); do
  now=$(systemctl show -P MainPID "$unit")
  [ "$now" != 0 ] && [ "$now" != "$pid" ] && [ "$(systemctl is-active "$unit")" = active ] && break
  sleep 0.2
done
[ "$(systemctl is-active "$unit")" = active ] && [ "$now" != "$pid" ] ||
  fail "the unit did not restart a killed collector"
salvor-send --quiet --status || fail "no answer after the restart"
ok "a killed collector is started again"

# With resumeDumps on, as packaged, a dump in the middle of a restart
# of the unit, and of an upgrade of the package, goes on and arrives
# whole. One message in flight at a time, so that it is still under way.
dump_across() {
  local what=$1 src=/root/across.bin sender f
  head -c 60000001 /dev/urandom > "$src"
  salvor-send --quiet --window 1 --wait 60 "$src" & sender=$!
  for _ in $(seq 200); do
    f=$(ls -t /var/lib/salvor/127/0/0/1/zdump_127.0.0.1-* 2>/dev/null | head -1)
    [ -n "$f" ] && [ "$(stat -c %s "$f")" -gt 5000000 ] && break
    sleep 0.05
  done
  shift
  "$@" || fail "$what"
  wait "$sender" || fail "the dump across $what was not taken"
  f=$(ls -t /var/lib/salvor/127/0/0/1/zdump_127.0.0.1-* | head -1)
  cmp "$src" "$f" || fail "the dump across $what differs"
  tail -1 /var/log/salvor/dumps.jsonl | grep -q '"resumed":1,"outcome":"complete"' ||
    fail "the journal does not say the dump across $what was resumed and complete: $(tail -1 /var/log/salvor/dumps.jsonl)"
  ok "a dump across $what arrived whole"
}
dump_across "a restart of the unit" systemctl restart "$unit"
rm -rf /tmp/up && dpkg-deb -R /pkgcheck/in/salvor.deb /tmp/up &&
  sed -i 's/^Version: .*/&+up1/' /tmp/up/DEBIAN/control &&
  dpkg-deb -b /tmp/up /tmp/salvor-up.deb >/dev/null || fail "no package of a higher version"
dump_across "an upgrade of the package" sh -c 'dpkg -i /tmp/salvor-up.deb >/tmp/dpkg-up.log 2>&1'
wait_state active || fail "the unit is $(systemctl is-active "$unit") after the upgrade"

# The example hook, where the package ships one, works inside the
# service's sandbox: a complete dump is replaced by its compressed copy,
# of the same mode.
hook=/usr/share/salvor/hooks/zstd-complete
if [ -x "$hook" ]; then
  sed -i "s|</salvor>|<dumpHook>$hook</dumpHook></salvor>|" /etc/salvor/salvor.xml
  systemctl restart "$unit" && wait_state active || fail "no restart with the hook configured"
  head -c 2000000 /dev/urandom > /root/hooked.bin
  salvor-send --quiet /root/hooked.bin || fail "the dump for the hook was not taken"
  for _ in $(seq 50); do
    zst=$(find /var/lib/salvor -name 'zdump_*.zst')
    [ -n "$zst" ] && break
    sleep 0.2
  done
  [ -n "$zst" ] || { tail -5 "$log"; fail "the hook made no compressed dump"; }
  zstd -q -dc "$zst" | cmp - /root/hooked.bin || fail "the compressed dump differs"
  [ ! -e "${zst%.zst}" ] || fail "the hook left the uncompressed dump"
  [ "$(stat -c '%a %U' "$zst")" = "400 root" ] ||
    fail "the compressed dump is $(stat -c '%a %U' "$zst"), not 400 root"
  ok "the example hook compressed a dump inside the sandbox"
fi

# The journal's rotation keeps every line: all of them are in the
# renamed file.
journal=/var/log/salvor/dumps.jsonl
echo '{"check":"rotation"}' >> "$journal"
cp "$journal" /tmp/journal
logrotate -f /etc/logrotate.d/salvor || fail "logrotate refused /etc/logrotate.d/salvor"
cmp /tmp/journal "$journal.1" || fail "the rotated journal lacks lines"
ok "logrotate rotates the dump journal"

exposure=$(systemd-analyze security "$unit" 2>/dev/null |
  sed -n 's/.*Overall exposure level for [^:]*: *\([0-9.]*\).*/\1/p')
[ -n "$exposure" ] || fail "systemd-analyze security gave no exposure"
echo "exposure: $exposure (systemd-analyze security)"

dpkg -L salvor > /tmp/files
dpkg --purge salvor >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log; fail "dpkg --purge"; }
while read -r path; do
  # Directories that other packages share stay.
  if [ -e "$path" ] || [ -L "$path" ]; then
    [ -d "$path" ] && [ -n "$(ls -A "$path/")" ] && continue
    fail "the purge left $path"
  fi
done < /tmp/files
left=$(find / -xdev \( -path /proc -o -path /sys -o -path /run -o -path /pkgcheck \
         -o -path /var/lib/salvor \) -prune \
         -o \( -iname '*salvor*' -o -iname '*quillon*' \) -print)
[ -z "$left" ] || fail "the purge left: $left"
[ "$(systemctl show -P LoadState "$unit")" = not-found ] || fail "the unit is still known after the purge"
[ ! -e /var/log/salvor ] || fail "the purge left /var/log/salvor"
cmp /root/dump.bin "$dump" || fail "the purge did not leave the dump"
others=$(find /var/lib/salvor ! -type d ! -name 'zdump_*')
[ -z "$others" ] || fail "the purge left in /var/lib/salvor: $others"
ok "the purge left nothing of the package, and the dump"
finish 0
CHECKS
}

# The run's own tree: the overlay's upper and work directories, the merged
# root the container boots, what it reads (the package, the checks) and
# what it writes back (the checks' log and result).
work=$(mktemp -d "$cache/run.XXXXXX")
upper=$work/upper
merged=$work/root
cgroups=()
nspawn_pid=
cleanup() {
  if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2>/dev/null; then
    kill -TERM "$nspawn_pid" 2>/dev/null || true
    sleep 5
    kill -KILL "$nspawn_pid" 2>/dev/null || true
  fi
  umount "$merged" 2>/dev/null || umount -l "$merged" 2>/dev/null || true
  local cg
  for cg in "${cgroups[@]}"; do
    # Child groups the container's systemd made, deepest first.
    [ -d "$cg" ] && find "$cg" -depth -type d -exec rmdir {} \; 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$upper" "$work/ovl" "$merged" "$work/in" "$work/out"
mount -t overlay overlay -o "lowerdir=$root,upperdir=$upper,workdir=$work/ovl" "$merged"
cp "$deb" "$work/in/salvor.deb"
write_checks > "$work/in/checks.sh"
chmod 755 "$work/in/checks.sh"
# The checks run as a unit of their own once the system is up.
mkdir -p "$merged/etc/systemd/system/multi-user.target.wants"
cat > "$merged/etc/systemd/system/pkgcheck.service" <<'UNIT'
[Unit]
Description=Checks of the installed package
After=multi-user.target
[Service]
Type=oneshot
ExecStart=/pkgcheck/in/checks.sh /pkgcheck/out
UNIT
ln -s ../pkgcheck.service "$merged/etc/systemd/system/multi-user.target.wants/pkgcheck.service"

# The container's cgroup, in each hierarchy that tracks processes (nspawn
# makes its own groups below the one it is started in, and the
# container's systemd its groups below those).
group=salvor-container-$$
for h in /sys/fs/cgroup/systemd /sys/fs/cgroup/unified /sys/fs/cgroup; do
  if [ -f "$h/cgroup.procs" ] && mkdir "$h/$group" 2>/dev/null; then
    cgroups+=("$h/$group")
  fi
done
# Runs systemd-nspawn, with the options every run here needs, in that
# cgroup; only in a subshell, as it ends in exec.
nspawn() {
  local cg
  for cg in "${cgroups[@]}"; do echo "$BASHPID" > "$cg/cgroup.procs"; done
  exec systemd-nspawn -q --register=no --keep-unit --private-network -D "$merged" "$@"
}

# nspawn can run at all here (no boot yet): otherwise the stage is skipped.
if ! probe=$(nspawn /bin/true 2>&1); then
  skip "systemd-nspawn cannot run a container here: $probe"
fi

echo "container: booting $suite with $(basename "$deb")"
nspawn -b --link-journal=no --console=pipe -M salvor-test \
  --bind-ro="$work/in:/pkgcheck/in" --bind="$work/out:/pkgcheck/out" \
  </dev/null >"$work/boot.log" 2>&1 &
nspawn_pid=$!
# The checks take about ten seconds; a boot that hangs ends after three
# minutes.
for _ in $(seq 180); do
  kill -0 "$nspawn_pid" 2>/dev/null || break
  sleep 1
done
if kill -0 "$nspawn_pid" 2>/dev/null; then
  echo "container: still running after three minutes; stopping it" >&2
  kill -TERM "$nspawn_pid" 2>/dev/null || true
  for _ in $(seq 10); do
    kill -0 "$nspawn_pid" 2>/dev/null || break
    sleep 1
  done
  kill -KILL "$nspawn_pid" 2>/dev/null || true
fi
wait "$nspawn_pid" 2>/dev/null || true
nspawn_pid=

if [ -f "$work/out/log" ]; then
  sed 's/^/  /' "$work/out/log"
fi
status=$(cat "$work/out/status" 2>/dev/null || echo none)
elapsed=$(( $(date +%s) - started ))
if [ "$status" != 0 ]; then
  echo "container: the boot's console:" >&2
  tail -40 "$work/boot.log" | sed 's/^/  /' >&2
  echo "container test failed (${elapsed} s)" >&2
  exit 1
fi
echo "container test passed (${elapsed} s)"
