#!/usr/bin/env bash
# Cross-builds the libraries the Windows build links (libxml2, ICU and
# GoogleTest) for mingw-w64, each into a cache outside the checkout keyed
# by its Debian version, once: a later run finds them and builds nothing.
# libxml2 and ICU are built from Debian's own source packages, GoogleTest
# from the sources Debian installs in /usr/src/googletest. Prints the
# installed prefixes as a CMake list on its last line; the builds' output
# goes to <cache>/<name>-<version>.log.
# Needs what "scripts/deps.sh windows" installs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/salvor-win-deps
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

buildLibxml2() { # prefix version work
  fetchSource libxml2 "$2" "$3/src"
  cmake -S "$3/src" -B "$3/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$1" -DBUILD_SHARED_LIBS=OFF \
    -DLIBXML2_WITH_PYTHON=OFF -DLIBXML2_WITH_ZLIB=OFF -DLIBXML2_WITH_LZMA=OFF \
    -DLIBXML2_WITH_ICONV=OFF -DLIBXML2_WITH_ICU=OFF -DLIBXML2_WITH_HTTP=OFF \
    -DLIBXML2_WITH_FTP=OFF -DLIBXML2_WITH_TESTS=OFF -DLIBXML2_WITH_PROGRAMS=OFF
  nice ninja -C "$3/build" -j "$jobs" install
}

buildIcu() { # prefix version work
  fetchSource icu "$2" "$3/src"
  local opts=(--disable-tests --disable-samples --disable-extras)
  mkdir -p "$3/native" "$3/cross"
  # ICU's build tools run on the build machine: a native build first.
  (cd "$3/native" && "$3/src/source/configure" "${opts[@]}" && nice make -j "$jobs")
  # The cross build makes no tools: they would link ICU's libraries by
  # their plain names, which a static Windows build prefixes with "s".
  (cd "$3/cross" && "$3/src/source/configure" "${opts[@]}" --disable-tools \
     --host=x86_64-w64-mingw32 \
     --with-cross-build="$3/native" --enable-static --disable-shared \
     --with-data-packaging=static --prefix="$1" \
     CC=x86_64-w64-mingw32-gcc-posix CXX=x86_64-w64-mingw32-g++-posix \
     && nice make -j "$jobs" && mkdir -p "$1/bin" && make install)
  # The data library installed in lib/ is a stub; the real archive goes to
  # bin/ (which the install, without tools, does not create itself).
  cp "$1/bin/sicudt.a" "$1/lib/libsicudt.a"
}

buildGtest() { # prefix version work
  cmake -S /usr/src/googletest -B "$3/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$1" -DBUILD_GMOCK=OFF \
    -Dgtest_disable_pthreads=OFF
  nice ninja -C "$3/build" -j "$jobs" install
}

# Builds $1 (with function $2) at Debian version $3 unless the cache has it.
dep() {
  local name=$1 fn=$2 version=$3
  local key=$name-${version//[:~]/_}
  local prefix=$cache/$key
  if [ ! -f "$prefix/.done" ]; then
    echo "Building $name $version for Windows (log: $cache/$key.log)" >&2
    local work=$cache/work/$key start=$SECONDS
    rm -rf "$prefix" "$work"
    mkdir -p "$work"
    if ! "$fn" "$prefix" "$version" "$work" > "$cache/$key.log" 2>&1; then
      echo "Building $name failed; the end of its log:" >&2
      tail -30 "$cache/$key.log" >&2
      exit 1
    fi
    rm -rf "$work"
    touch "$prefix/.done"
    echo "Built $name in $((SECONDS - start)) s" >&2
  fi
  prefixes+=("$prefix")
}

prefixes=()
dep libxml2 buildLibxml2 "$(debVersion libxml2-dev)"
dep icu buildIcu "$(debVersion libicu-dev)"
dep googletest buildGtest "$(debVersion googletest)"
(IFS=';'; echo "${prefixes[*]}")
