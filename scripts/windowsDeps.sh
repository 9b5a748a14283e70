#!/usr/bin/env bash
# Cross-builds the libraries the Windows build links (libxml2, ICU,
# libsodium and GoogleTest) for mingw-w64, each into a cache outside the checkout keyed
# by its Debian version, once: a later run finds them and builds nothing.
# libxml2, ICU and libsodium are built from Debian's own source packages, GoogleTest
# from the sources Debian installs in /usr/src/googletest. Prints the
# installed prefixes as a CMake list on its last line; the builds' output
# goes to <cache>/<name>-<version>.log. Only what the Windows build links
# is built: ICU's common library with the converters' data, libxml2's
# parser and tree, libsodium's minimal build (static), GoogleTest without
# GoogleMock.
# The cache is ~/.cache/salvor-win-deps ($XDG_CACHE_HOME's when set), or
# the directory SALVOR_WIN_DEPS_CACHE names.
# Needs what "scripts/deps.sh windows" installs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cache=${SALVOR_WIN_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/salvor-win-deps}
toolchain=$root/cmake/mingw-w64.cmake
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))
mkdir -p "$cache"

# The version of a source package: that of the native development package
# the Linux build uses, else the candidate apt would install.
debVersion() {
  local v
  v=$(dpkg-query -W -f='${Version}' "$1" 2>/dev/null || true)
  [ -n "$v" ] || v=$(apt-cache policy "$1" | awk '/Candidate:/ {print $2}')
  [ -n "$v" ] && [ "$v" != "(none)" ] || { echo "no version of $1 known to apt" >&2; exit 1; }
  echo "$v"
}

# apt-get with the machine's Debian mirrors as source entries, in a
# configuration and package lists of its own: the system's stay untouched.
aptSrc() {
  local conf=$cache/apt
  if [ ! -d "$conf/lists" ]; then
    mkdir -p "$conf/sources.list.d" "$conf/lists/partial"
    if ls /etc/apt/sources.list.d/*.sources >/dev/null 2>&1; then
      cat /etc/apt/sources.list.d/*.sources | grep -v '^#' \
        | sed 's/^Types:.*/Types: deb-src/' > "$conf/sources.list.d/debian-src.sources"
    fi
    if [ -f /etc/apt/sources.list ]; then
      sed -n 's/^deb /deb-src /p' /etc/apt/sources.list > "$conf/sources.list.d/debian-src.list"
    fi
  fi
  apt-get -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$conf/sources.list.d" \
          -o Dir::State::Lists="$conf/lists" "$@"
}

# Unpacks source package $1 at version $2 into directory $3.
fetchSource() {
  local src=$cache/src
  mkdir -p "$src"
  if ! ls "$src/$1_${2#*:}.dsc" >/dev/null 2>&1; then
    [ -f "$cache/apt/updated" ] || { aptSrc update -qq && touch "$cache/apt/updated"; }
    (cd "$src" && aptSrc source -qq --download-only "$1=$2")
  fi
  rm -rf "$3"
  dpkg-source --no-check -x "$src/$1_${2#*:}.dsc" "$3" >/dev/null
}

# The configuration reads XML files into a tree: the parser (with its
# built-in encodings) and the tree are built, the other modules are not.
buildLibxml2() { # prefix version work
  fetchSource libxml2 "$2" "$3/src"
  local off=()
  for part in PYTHON ZLIB LZMA ICONV ICU HTTP FTP TESTS PROGRAMS C14N CATALOG DEBUG DOCB HTML \
              LEGACY MODULES PATTERN READER SCHEMAS SCHEMATRON WRITER XINCLUDE XPATH XPTR; do
    off+=("-DLIBXML2_WITH_$part=OFF")
  done
  cmake -S "$3/src" -B "$3/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$1" -DBUILD_SHARED_LIBS=OFF "${off[@]}"
  nice ninja -C "$3/build" -j "$jobs" install
}

# The library uses ICU's converters only: its common library and the
# converters' data (every converter, with the alias table) are built, not
# the i18n and io libraries, the tools, the locale, collation and other
# data.
buildIcu() { # prefix version work
  fetchSource icu "$2" "$3/src"
  local src=$3/src/source native=$3/native
  local opts=(--disable-tests --disable-samples --disable-extras --disable-icuio
              --disable-layoutex)
  mkdir -p "$native" "$3/cross"
  icuNativeTools "$src" "$native" "$2" "${opts[@]}" &&
  icuTrimData "$native" "$src/data/in" &&
  # The cross build makes no tools: they would link ICU's libraries by
  # their plain names, which a static Windows build prefixes with "s".
  (cd "$3/cross" && "$src/configure" "${opts[@]}" --disable-tools \
     --host=x86_64-w64-mingw32 \
     --with-cross-build="$native" --enable-static --disable-shared \
     --with-data-packaging=static --prefix="$1" \
     CC=x86_64-w64-mingw32-gcc-posix CXX=x86_64-w64-mingw32-g++-posix && mkdir -p lib bin &&
     for dir in common data; do
       nice make -j "$jobs" -C "$dir" && mkdir -p "$1/bin" && make -C "$dir" install || exit 1
     done) &&
  # The data library goes to bin/ as Windows builds install it.
  mv "$1/bin/sicudt.a" "$1/lib/libsicudt.a" && rmdir "$1/bin"
}

# The cross build packs its data with two tools that run on the build
# machine, icupkg and pkgdata, found in the bin/ of a native build
# directory $2 (configured from sources $1 with options $4...). Those of
# the machine's ICU (icu-devtools, which libicu-dev brings) serve when
# they are of the same version $3; else they are built, with the
# libraries they link, unoptimised as they only copy data.
icuNativeTools() {
  local src=$1 native=$2 version=$3
  shift 3
  (cd "$native" && "$src/configure" "$@" CFLAGS=-O0 CXXFLAGS=-O0 &&
     nice make -j "$jobs" all-local && mkdir -p lib bin) || return 1
  if [ "$(dpkg-query -W -f='${Version}' icu-devtools 2>/dev/null)" = "$version" ]; then
    ln -s /usr/sbin/icupkg /usr/bin/pkgdata "$native/bin/"
    return
  fi
  for dir in stubdata common i18n tools/toolutil tools/icupkg tools/pkgdata; do
    nice make -j "$jobs" -C "$native/$dir" || return 1
  done
}

# Leaves in the data archive of directory $2 only the converters and their
# alias table, with the icupkg of native build directory $1. (The archive's
# name is that of its items' package: the new one is made under the same
# name, in a directory of its own.)
icuTrimData() {
  local icupkg=(env "LD_LIBRARY_PATH=$1/lib:$1/stubdata" "$1/bin/icupkg")
  local archive
  archive=$(ls "$2"/icudt*l.dat) &&
  "${icupkg[@]}" --list "$archive" > "$2/items.txt" &&
  grep -vE '\.cnv$|^cnvalias\.icu$' "$2/items.txt" > "$2/dropped.txt" &&
  mkdir -p "$2/trimmed" &&
  "${icupkg[@]}" --remove "$2/dropped.txt" "$archive" "$2/trimmed/${archive##*/}" &&
  mv "$2/trimmed/${archive##*/}" "$archive" && rm -r "$2/items.txt" "$2/dropped.txt" "$2/trimmed"
}

# The sealed datagrams need libsodium's AEAD, BLAKE2b, base64 and guarded
# memory, all of which its minimal build keeps; static, so that the
# programs need no DLL beside them.
buildLibsodium() { # prefix version work
  fetchSource libsodium "$2" "$3/src"
  (cd "$3/src" && autoreconf -fi && ./configure --host=x86_64-w64-mingw32 --prefix="$1" --enable-minimal \
     --disable-shared --enable-static --disable-dependency-tracking &&
   nice make -j "$jobs" install)
}

buildGtest() { # prefix version work
  cmake -S /usr/src/googletest -B "$3/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$1" -DBUILD_GMOCK=OFF \
    -Dgtest_disable_pthreads=OFF
  nice ninja -C "$3/build" -j "$jobs" install
}

# Sets cpuSeconds to the user and system CPU seconds of the script's
# finished child processes (times runs in this shell: a subshell would
# count its own).
childCpuSeconds() {
  times > "$cache/times"
  cpuSeconds=$(awk 'NR == 2 {
    t = 0
    for (i = 1; i <= 2; i++) { split($i, p, /[ms]/); t += p[1] * 60 + p[2] }
    printf "%d\n", t }' "$cache/times")
  rm -f "$cache/times"
}

# Builds $1 (with function $2) at Debian version $3 unless the cache has it.
dep() {
  local name=$1 fn=$2 version=$3
  local key=$name-${version//[:~]/_}
  local prefix=$cache/$key
  if [ ! -f "$prefix/.done" ]; then
    echo "Building $name $version for Windows (log: $cache/$key.log)" >&2
    local work=$cache/work/$key start=$SECONDS cpu
    rm -rf "$prefix" "$work"
    mkdir -p "$work"
    childCpuSeconds
    cpu=$cpuSeconds
    if ! "$fn" "$prefix" "$version" "$work" > "$cache/$key.log" 2>&1; then
      echo "Building $name failed; the end of its log:" >&2
      tail -30 "$cache/$key.log" >&2
      exit 1
    fi
    rm -rf "$work"
    touch "$prefix/.done"
    childCpuSeconds
    echo "Built $name in $((SECONDS - start)) s ($((cpuSeconds - cpu)) s of CPU)" >&2
  fi
  prefixes+=("$prefix")
}

prefixes=()
dep libxml2 buildLibxml2 "$(debVersion libxml2-dev)"
dep icu buildIcu "$(debVersion libicu-dev)"
dep libsodium buildLibsodium "$(debVersion libsodium-dev)"
dep googletest buildGtest "$(debVersion googletest)"
(IFS=';'; echo "${prefixes[*]}")
