#!/usr/bin/env bash
# Builds the Debian package build/salvor_<version>_<arch>.deb: the
# collector and salvor-send, hardened, with the configuration
# /etc/salvor/salvor.xml, the systemd unit, its start parameters, the
# log's common preferences (rotation on), the dump journal's logrotate
# file, the manual pages, README.Debian and the example hooks (when the
# tree has them). Install it with: apt install ./build/salvor_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

dir=build-pkg
flags="-D_FORTIFY_SOURCE=2 -fstack-protector-strong -fstack-clash-protection -fcf-protection"
scripts/build.sh "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSALVOR_TESTS=OFF -DSALVOR_BENCH=OFF \
   -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="-Wl,-z,relro,-z,now"

version=$(sed -n 's/^project(salvor VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
stage=$(mktemp -d)
chmod 755 "$stage"
trap 'rm -rf "$stage"' EXIT

install -D -m 755 "$dir/collector/salvor" "$stage/usr/sbin/salvor"
install -D -m 755 "$dir/tools/salvor-send" "$stage/usr/bin/salvor-send"
strip --strip-unneeded --remove-section=.comment --remove-section=.note \
   "$stage/usr/sbin/salvor" "$stage/usr/bin/salvor-send"
install -D -m 644 packaging/salvor.xml "$stage/etc/salvor/salvor.xml"
install -D -m 644 packaging/quillon-network-coredump.default \
   "$stage/etc/default/quillon-network-coredump"
install -D -m 644 packaging/quillon-network-coredump.service \
   "$stage/lib/systemd/system/quillon-network-coredump.service"
# The log's common preferences. The file lies in /etc/salvor, where a
# conffile's name may be (no blanks); the preference folder, which the
# service could not make as it sees /etc read-only, links to it.
install -D -m 644 packaging/config.ini "$stage/etc/salvor/config.ini"
prefs="$stage/etc/Quillon/Quillon Orvex dump collector"
mkdir -p "$prefs"
ln -s ../../salvor/config.ini "$prefs/config.ini"
install -D -m 644 packaging/salvor.logrotate "$stage/etc/logrotate.d/salvor"
install -D -m 644 packaging/60-salvor.conf "$stage/usr/lib/sysctl.d/60-salvor.conf"
install -D -m 644 packaging/man/salvor.8 "$stage/usr/share/man/man8/salvor.8"
install -D -m 644 packaging/man/salvor-send.1 "$stage/usr/share/man/man1/salvor-send.1"
gzip -9n "$stage/usr/share/man/man8/salvor.8" "$stage/usr/share/man/man1/salvor-send.1"
install -D -m 644 packaging/copyright "$stage/usr/share/doc/salvor/copyright"
install -D -m 644 packaging/changelog "$stage/usr/share/doc/salvor/changelog"
gzip -9n "$stage/usr/share/doc/salvor/changelog"
# The example hooks, where a configuration can name them (a system may
# leave out /usr/share/doc), and among the examples; each suggests the
# package of the program it runs.
suggests=
for hook in zstd-complete:zstd age-complete:age; do
  name=${hook%:*}
  [ -f "packaging/hooks/$name" ] || continue
  install -D -m 755 "packaging/hooks/$name" "$stage/usr/share/salvor/hooks/$name"
  mkdir -p "$stage/usr/share/doc/salvor/examples"
  ln -s "../../../salvor/hooks/$name" "$stage/usr/share/doc/salvor/examples/$name"
  suggests="${suggests:+$suggests, }${hook#*:}"
done
suggests=${suggests:+Suggests: $suggests}
if [ -n "$suggests" ]; then
  cp packaging/README.Debian "$stage/usr/share/doc/salvor/README.Debian"
else
  # Without the hook, without the paragraph that names it (the last one).
  sed '/^Examples$/,$d' packaging/README.Debian > "$stage/usr/share/doc/salvor/README.Debian"
fi
chmod 644 "$stage/usr/share/doc/salvor/README.Debian"
gzip -9n "$stage/usr/share/doc/salvor/README.Debian"

# The packages of the shared libraries the two programs load, as
# dpkg-shlibdeps finds them (it wants a debian/control to run in).
shlib=$(mktemp -d)
mkdir -p "$shlib/debian"
printf 'Source: salvor\n\nPackage: salvor\nArchitecture: any\n' > "$shlib/debian/control"
depends=$(cd "$shlib" && dpkg-shlibdeps -O "$stage/usr/sbin/salvor" "$stage/usr/bin/salvor-send" \
   2>/dev/null | sed -n 's/^shlibs:Depends=//p')
rm -rf "$shlib"

mkdir -p "$stage/DEBIAN"
cat > "$stage/DEBIAN/control" <<CONTROL
Package: salvor
Version: $version
Architecture: $arch
Maintainer: salvor developers <salvor@salvor.example>
Installed-Size: $(du -sk --exclude=DEBIAN "$stage" | cut -f1)
Depends: $depends
${suggests:+$suggests
}Section: admin
Priority: optional
Description: network core-dump collector
 Crashed hosts stream their core dumps to salvor over UDP; it stores each
 dump as a file, one directory per sending host, and logs what it did.
 The package runs it as the systemd service quillon-network-coredump on
 UDP port 6500, with dumps in /var/lib/salvor and its log in
 /var/log/salvor. It also installs salvor-send, which sends a file as a
 dump.
CONTROL
# Every file under /etc is the operator's to change.
(cd "$stage" && find etc -type f -printf '/%p\n' | sort) > "$stage/DEBIAN/conffiles"
install -m 755 packaging/debian/postinst packaging/debian/prerm packaging/debian/postrm \
   "$stage/DEBIAN/"
(cd "$stage" && find . -type f ! -path './DEBIAN/*' ! -path './etc/*' -printf '%P\0' |
   sort -z | xargs -0 md5sum > DEBIAN/md5sums)
chmod 644 "$stage/DEBIAN/md5sums" "$stage/DEBIAN/conffiles" "$stage/DEBIAN/control"

out="build/salvor_${version}_${arch}.deb"
mkdir -p build
dpkg-deb --root-owner-group -Zxz --build "$stage" "$out" >/dev/null
echo "$out"
