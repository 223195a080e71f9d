#!/bin/bash
# The Debian package made from this build holds the programs, English.so, the systemd units
# and the manual pages (and the desktop program with its launcher when it is built), and the
# vantreld it installs runs.
# Usage: PackageTest.sh BUILD-DIRECTORY VERSION
set -euo pipefail
build=$1
version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cd "$build"
if ! cpack -G DEB -B "$work" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  exit 1
fi
deb=$(ls "$work"/*.deb)
dpkg-deb -c "$deb" >"$work/list"
desktop=()
if [ -x "$build/bin/vantrel" ]; then
  desktop=(./usr/bin/vantrel ./usr/libexec/vantrel/vantrel ./usr/share/applications/vantrel.desktop
    ./usr/share/icons/hicolor/scalable/apps/vantrel.svg)
fi
for entry in "${desktop[@]}" \
  ./usr/bin/vantreld ./usr/bin/setupc ./usr/bin/vantrel-devsim \
  ./usr/libexec/vantrel/vantreld ./usr/libexec/vantrel/setupc ./usr/libexec/vantrel/vantrel-devsim \
  ./usr/libexec/vantrel/English.so \
  ./usr/lib/systemd/system/vantreld.service ./usr/lib/systemd/system/vantrel-pairs.service \
  ./usr/share/man/man8/vantreld.8.gz ./usr/share/man/man8/setupc.8.gz ./usr/share/man/man1/vantrel-devsim.1.gz; do
  if ! grep -Eq " ${entry//./\\.}( -> .*)?$" "$work/list"; then
    echo "the package lacks $entry:"
    cat "$work/list"
    exit 1
  fi
done

dpkg-deb -x "$deb" "$work/root"
root=$work/root
shown=$("$root/usr/bin/vantreld" --version)
[ "$shown" = "vantreld $version" ] || { echo "vantreld --version says: $shown"; exit 1; }
unit=$root/usr/lib/systemd/system/vantreld.service
for line in ExecStart=/usr/bin/vantreld "ExecReload=/bin/kill -HUP \$MAINPID" User=vantrel Group=dialout \
  StateDirectory=vantrel LimitNOFILE=65536 Restart=on-failure; do
  grep -qxF "$line" "$unit" || { echo "the unit lacks $line:"; cat "$unit"; exit 1; }
done
zcat "$root/usr/share/man/man8/vantreld.8.gz" | grep -qF '\fB\-\-quiet' || { echo "the manual page lacks --quiet"; exit 1; }
dpkg-deb -f "$deb" Depends | grep -q adduser || { echo "the package does not depend on adduser"; exit 1; }
echo "package ok: $(basename "$deb")"
