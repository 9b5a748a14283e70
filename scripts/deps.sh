#!/usr/bin/env bash
# Installs the Debian packages the project needs, when any is missing.
# With "test", also what the test command needs beyond the build
# (lintian, which checks the Debian package; makedumpfile, whose -R the
# client's flattened-stream test compares with; age, which the example
# hook that encrypts dumps at rest runs; debootstrap and
# systemd-nspawn, which make and boot the container that the package is
# tried in; promtool, of the prometheus package, which checks the metrics
# file as a node exporter would read it; and the fuzzers' compiler);
# with "fuzz", the fuzzers' compiler (clang with libFuzzer and the
# sanitizers' run-time); with "windows", also what the Windows build
# (scripts/build-windows.sh) needs: the mingw-w64 compiler with C++
# threads, Wine for its tests, make for ICU's build, and the autotools that
# make libsodium's configure script (its source package has none).
set -euo pipefail

# The build needs the compiler, CMake, Ninja, libxml2, ICU, libsystemd and
# libacl (the safe temporary directory checks POSIX ACLs) and libsodium
# (the sealed datagrams' authenticated encryption); the tests need
# GoogleTest; the log benchmark compares against spdlog, the dictionary
# benchmark against inih.
packages=(g++ cmake ninja-build pkg-config libxml2-dev libicu-dev libsystemd-dev
          libacl1-dev libsodium-dev libgtest-dev libspdlog-dev libinih-dev)
packages+=(dpkg-dev)
if [ "${1:-}" = test ]; then
  packages+=(lintian makedumpfile age)
fi
if [ "${1:-}" = test ] || [ "${1:-}" = fuzz ]; then
  packages+=(clang-14 libclang-rt-14-dev)
fi
# Installs the packages of "$@" that are missing; the options before "--"
# go to apt-get install.
install() {
  local opts=()
  while [ "$1" != -- ]; do opts+=("$1"); shift; done
  shift
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${opts[@]}" "${missing[@]}"
  fi
}
install -- "${packages[@]}"
if [ "${1:-}" = test ]; then
  # systemd-container's recommendations would change the host's
  # nsswitch.conf; nspawn needs none of them. Of prometheus only promtool
  # is used.
  install --no-install-recommends -- systemd-container debootstrap prometheus
fi
if [ "${1:-}" = windows ]; then
  # Wine's recommendations (fonts, sound, 32-bit parts) serve no test here.
  install --no-install-recommends -- g++-mingw-w64-x86-64-posix wine64 wine make \
    autoconf automake libtool
fi
