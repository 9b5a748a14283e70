#!/usr/bin/env bash
# The example hook packaging/hooks/age-complete, run as the collector runs
# it, on files with awkward names in a temporary directory: a complete
# dump becomes <dump>.age that decrypts to the same bytes, with the dump's
# mode, and the clear file goes; any failure leaves the dump and says why.
# Exits 77 (skipped) without age.
set -u
hook=$(cd "$(dirname "$0")/../../packaging/hooks" && pwd)/age-complete
if ! command -v age >/dev/null || ! command -v age-keygen >/dev/null; then
  echo "age is not installed: skipped"
  exit 77
fi
tmp=$(mktemp -d)
trap 'chmod -R u+w "$tmp"; rm -rf "$tmp"' EXIT
cd "$tmp" || exit 1
age-keygen -o identity 2>/dev/null
age-keygen -y identity >recipients
fails=0

check() {  # description, then a command that must succeed
  local what=$1
  shift
  if ! "$@"; then
    echo "FAIL: $what"
    fails=$((fails + 1))
  fi
}

# Runs the hook on $1 with outcome $2 (default complete); its stderr goes
# to ./err, its status is returned.
run() {
  env -i PATH="$PATH" SALVOR_OUTCOME="${2:-complete}" SALVOR_FILE="$1" \
    SALVOR_AGE_RECIPIENTS="${keys:-$tmp/recipients}" "$hook" 2>err
}

makeDump() {  # name, size in KiB
  head -c "$(($2 * 1024))" /dev/urandom >"$1"
  chmod 0440 -- "$1"
}

# A complete dump, of a name that starts with "-" and holds blanks, quotes,
# a glob and a newline, given relative to the working directory as the
# collector gives it for a relative data directory; and an empty one.
odd="-dump 'x' \"y\" *
z"
for name in "$odd" "empty"; do
  size=200
  [ "$name" = empty ] && size=0
  makeDump "$name" $size
  cp -- "$name" expected && chmod u+w expected
  check "hook succeeds on '$name'" run "$name"
  check "no clear file left of '$name'" test ! -e "$name"
  check "no temporary file left of '$name'" test ! -e "$name.age.part"
  check "'$name.age' decrypts to the dump" \
    sh -c 'age -d -i identity <"$1" | cmp -s - expected' sh "$name.age"
  check "'$name.age' has the dump's mode" test "$(stat -c %a -- "$name.age")" = 440
  rm -f expected
done

# Other outcomes are left alone.
makeDump kept 4
check "an incomplete dump: success" run kept incomplete
check "an incomplete dump stays clear" test -f kept -a ! -e kept.age

# Failures: loud, and the dump stays as it was.
fails_with() {  # file, message on stderr
  run "$1" && return 1
  grep -q "^age-complete: $2" err || { cat err; return 1; }
  test -f "$1"
}
keys=$tmp/none check "a missing recipients file fails" \
  fails_with kept "cannot read the recipients file"
echo "not a key" >bad
keys=$tmp/bad check "a bad recipient fails" fails_with kept "encrypting kept failed: "
check "a bad recipient leaves no partial file" test ! -e kept.age.part -a ! -e kept.age
echo "older" >kept.age
check "an existing .age fails" fails_with kept "kept.age is there already"
check "an existing .age stays" test "$(cat kept.age)" = older
rm -f kept.age
ln -s kept link
check "a link is refused" fails_with link "no dump file to encrypt"
check "the link's target stays clear" test ! -e kept.age -a ! -e link.age

if [ $fails -ne 0 ]; then
  echo "$fails check(s) failed"
  exit 1
fi
echo "all checks passed"
