#!/usr/bin/env bash
# Builds the libFuzzer targets into build-fuzz (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each in turn for the given seconds
# (default 1800), starting from its seed corpus in fuzz/corpus/<target>.
# New inputs gather in build-fuzz/corpus/<target>; a crash leaves its input
# in build-fuzz/artifacts/ and fails the script. Prints the executions of
# every target.
#
# The targets that need real files (the dictionary, the configuration, the
# log and the data directory) keep them in a scratch directory on tmpfs
# (/dev/shm) when there is one: on a disk file system every rewrite of a
# truncated file is flushed on close, which costs more than the input.
#
# Inputs are at most 4,096 bytes, however large those of an older corpus
# are: every target reaches its long cases from short inputs.
# SALVOR_FUZZ_TARGETS picks targets (names separated by blanks);
# SALVOR_FUZZ_RUNS ends each target after that many executions, when the
# seconds have not run out first.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-1800}
scripts/deps.sh fuzz
cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DSALVOR_FUZZ=ON \
      -DSALVOR_TESTS=OFF -DSALVOR_BENCH=OFF >/dev/null
ninja -C build-fuzz -j "$(nproc)"

# Every target the build defines, as its CMakeLists.txt lists them.
# shellcheck disable=SC2206
targets=(${SALVOR_FUZZ_TARGETS:-$(cat build-fuzz/fuzz/targets.txt)})
limits=(-max_total_time="$seconds" -max_len=4096)
if [ -n "${SALVOR_FUZZ_RUNS:-}" ]; then
  limits+=(-runs="$SALVOR_FUZZ_RUNS")
fi
root=$PWD
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  scratch=$(mktemp -d /dev/shm/salvorFuzz.XXXXXX)
else
  scratch=$(mktemp -d "$root/build-fuzz/tmp.XXXXXX")
fi
trap 'rm -rf "$scratch"' EXIT
mkdir -p build-fuzz/artifacts
failed=0
summary=""
for t in "${targets[@]}"; do
  mkdir -p "build-fuzz/corpus/$t"
  out="build-fuzz/$t.out"
  start=$(date +%s)
  # A fresh scratch directory for every target.
  rm -rf "$scratch" && mkdir -p "$scratch"
  if (cd "$scratch" && TMPDIR="$scratch" "$root/build-fuzz/fuzz/$t" "${limits[@]}" -print_final_stats=1 \
        -rss_limit_mb=2048 -artifact_prefix="$root/build-fuzz/artifacts/$t-" \
        "$root/build-fuzz/corpus/$t" "$root/fuzz/corpus/$t") >"$out" 2>&1; then
    result=clean
  else
    result=FAILED
    failed=1
    grep -E "ERROR|SUMMARY" "$out" | head -5 >&2 || true
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out" | tail -1)
  line=$(printf '%-16s %12s executions in %5ss  %s' "$t" "${runs:-?}" "$(( $(date +%s) - start ))" "$result")
  echo "$line"
  summary+="$line"$'\n'
done
echo "----"
printf '%s' "$summary"
exit $failed
