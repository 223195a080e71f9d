#!/bin/bash
# The Debian packages made from this build: vantreld (the service and its tools, without Qt)
# holds the programs, English.so, the units, the manual pages, the copyright and changelog;
# vantrel (the desktop program, when it is built) depends on it. Then, as root on a machine
# without Vantrel installed (the CI machine), the packages are installed and used as an
# administrator would: vantreld --version, tunnel list and add as root, tunnel list as a
# member of the group vantrel, a hand-started service and pair, remove, purge.
# Usage: PackageTest.sh BUILD-DIRECTORY VERSION
set -euo pipefail
build=$1
version=$2
work=$(mktemp -d)
chmod 0755 "$work"
trap 'rm -rf "$work"' EXIT

fail() {
  echo "$*" >&2
  exit 1
}

cd "$build"
if ! cpack -G DEB -B "$work" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  exit 1
fi
headless=$work/vantreld_${version}_$(dpkg --print-architecture).deb
desktop=$work/vantrel_${version}_$(dpkg --print-architecture).deb
[ -f "$headless" ] || fail "no $headless: $(ls "$work")"
with_desktop=false
[ -x "$build/bin/vantrel" ] && with_desktop=true
if $with_desktop; then [ -f "$desktop" ] || fail "no $desktop: $(ls "$work")"; fi

# Each package holds what it should, and nothing of the other.
has_entries() {
  local deb=$1
  shift
  dpkg-deb -c "$deb" >"$work/list"
  for entry in "$@"; do
    grep -Eq " ${entry//./\\.}( -> .*)?$" "$work/list" || { cat "$work/list"; fail "$(basename "$deb") lacks $entry"; }
  done
}
has_entries "$headless" ./usr/bin/vantreld ./usr/bin/setupc ./usr/bin/vantrel-devsim \
  ./usr/libexec/vantrel/vantreld ./usr/libexec/vantrel/setupc ./usr/libexec/vantrel/vantrel-devsim \
  ./usr/libexec/vantrel/English.so ./usr/libexec/vantrel/installed-by-package ./etc/default/vantrel \
  ./usr/lib/systemd/system/vantreld.service ./usr/lib/systemd/system/vantrel-pairs.service \
  ./usr/share/man/man8/vantreld.8.gz ./usr/share/man/man8/setupc.8.gz ./usr/share/man/man1/vantrel-devsim.1.gz \
  ./usr/share/doc/vantreld/copyright ./usr/share/doc/vantreld/changelog.gz
! grep -q "vantrel/vantrel$" "$work/list" || fail "the headless package holds the desktop program"
dpkg-deb -f "$headless" Depends | grep -q adduser || fail "vantreld does not depend on adduser"
! dpkg-deb -f "$headless" Depends | grep -qi qt || fail "vantreld depends on Qt: $(dpkg-deb -f "$headless" Depends)"
[ "$(dpkg-deb -f "$headless" Maintainer)" = "Vantrel maintainers <maintainers@vantrel.org>" ] ||
  fail "maintainer: $(dpkg-deb -f "$headless" Maintainer)"
if $with_desktop; then
  has_entries "$desktop" ./usr/bin/vantrel ./usr/libexec/vantrel/vantrel ./usr/share/applications/vantrel.desktop \
    ./usr/share/icons/hicolor/scalable/apps/vantrel.svg ./usr/share/man/man1/vantrel.1.gz \
    ./usr/share/doc/vantrel/copyright ./usr/share/doc/vantrel/changelog.gz
  dpkg-deb -f "$desktop" Depends | grep -qF "vantreld (= $version)" ||
    fail "vantrel does not depend on this vantreld: $(dpkg-deb -f "$desktop" Depends)"
fi

root=$work/root
dpkg-deb -x "$headless" "$root"
$with_desktop && dpkg-deb -x "$desktop" "$root"
zcat "$root/usr/share/doc/vantreld/changelog.gz" | head -1 | grep -qF "vantrel ($version)" ||
  fail "the changelog's last entry is not $version"

# The hand-written manual pages have every section and name the variables.
for page in man8/vantreld.8 man8/setupc.8 man1/vantrel-devsim.1 $($with_desktop && echo man1/vantrel.1); do
  text=$(zcat "$root/usr/share/man/$page.gz")
  for section in NAME SYNOPSIS DESCRIPTION COMMANDS OPTIONS FILES ENVIRONMENT SIGNALS '"EXIT STATUS"' EXAMPLES; do
    grep -q "^\.SH $section\$" <<<"$text" || fail "$page lacks the section $section"
  done
done
for variable in VANTREL_APP_DIR VANTREL_PORT_DIR; do
  zcat "$root/usr/share/man/man8/vantreld.8.gz" | grep -q "$variable" || fail "vantreld(8) does not name $variable"
done

# The units as the issue lists them, and what systemd makes of them.
for line in User=vantrel Group=vantrel "SupplementaryGroups=dialout tty" StateDirectory=vantrel \
  StateDirectoryMode=2770 UMask=0007 ExecStart=/usr/bin/vantreld "ExecReload=/bin/kill -HUP \$MAINPID" \
  LimitNOFILE=65536 Restart=on-failure NoNewPrivileges=yes ProtectSystem=strict ProtectHome=yes PrivateTmp=yes \
  DevicePolicy=closed LockPersonality=yes RestrictRealtime=yes SystemCallFilter=@system-service \
  MemoryDenyWriteExecute=yes; do
  grep -qxF "$line" "$root/usr/lib/systemd/system/vantreld.service" || fail "vantreld.service lacks $line"
done
for line in User=vantrel "ExecStart=/usr/bin/setupc restore" KillSignal=SIGKILL NoNewPrivileges=yes \
  ProtectSystem=strict; do
  grep -qxF "$line" "$root/usr/lib/systemd/system/vantrel-pairs.service" || fail "vantrel-pairs.service lacks $line"
done
if command -v systemd-analyze >/dev/null; then
  for unit in vantreld vantrel-pairs; do
    score=$(systemd-analyze security --offline=yes --no-pager "$root/usr/lib/systemd/system/$unit.service" 2>&1 |
      sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
    [ -n "$score" ] || fail "systemd-analyze gave no score for $unit.service"
    awk -v s="$score" 'BEGIN { exit !(s <= 4.0) }' || fail "$unit.service is rated $score, above 4.0"
  done
fi
if command -v lintian >/dev/null; then
  lintian --fail-on error,warning "$headless" $($with_desktop && echo "$desktop") || fail "lintian reports the above"
fi

shown=$("$root/usr/bin/vantreld" --version)
[ "$shown" = "vantreld $version" ] || fail "vantreld --version says: $shown"
echo "packages ok: $(basename "$headless")$($with_desktop && echo ", $(basename "$desktop")")"

# The administrator's walk, on a machine that may have it installed and removed again.
if [ "$(id -u)" -ne 0 ] || dpkg-query -W -f='${Status}' vantreld 2>/dev/null | grep -q "ok installed"; then
  echo "not installed here: needs root on a machine without vantreld installed"
  exit 0
fi
member=vantrel-ci-member
installed=false
cleanup() {
  if $installed; then dpkg --purge vantrel vantreld >/dev/null 2>&1 || true; fi
  userdel "$member" >/dev/null 2>&1 || true
  if [ -f "$work/default.saved" ]; then rm -rf /etc/vantrel; fi
  rm -rf "$work"
}
trap cleanup EXIT

packages=("$headless")
$with_desktop && packages+=("$desktop")
installed=true
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${packages[@]}" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "the packages do not install"; }

[ "$(vantreld --version)" = "vantreld $version" ] || fail "installed vantreld --version says: $(vantreld --version)"
if $with_desktop; then
  [ "$(vantrel --version)" = "vantrel $version" ] || fail "installed vantrel --version says: $(vantrel --version)"
fi
[ "$(id -gn vantrel)" = vantrel ] || fail "the user vantrel's group is $(id -gn vantrel)"
for group in dialout tty; do id -Gn vantrel | grep -qw "$group" || fail "the user vantrel is not in $group"; done
[ "$(stat -c '%U:%G %a' /var/lib/vantrel)" = "vantrel:vantrel 2770" ] ||
  fail "/var/lib/vantrel is $(stat -c '%U:%G %a' /var/lib/vantrel)"

# Root configures: what it makes belongs to the service.
cd /
vantreld tunnel list >"$work/out" 2>&1 || { cat "$work/out"; fail "vantreld tunnel list fails as root"; }
vantreld tunnel add 0000000A --port COM3 >"$work/out" 2>&1 || { cat "$work/out"; fail "tunnel add fails as root"; }
[ "$(stat -c '%U:%G %a' /var/lib/vantrel/Info.db)" = "vantrel:vantrel 660" ] ||
  fail "Info.db is $(stat -c '%U:%G %a' /var/lib/vantrel/Info.db)"
[ ! -e /usr/libexec/vantrel/Info.db ] || fail "a second Info.db was made beside the programs"

# The administrator may name another folder: /etc/vantrel/vantrel.conf before
# /etc/default/vantrel; a line that cannot be used stops the programs with its reason.
if [ ! -e /etc/vantrel ]; then
  mkdir -p /etc/vantrel "$work/default-home" "$work/conf-home"
  chown vantrel:vantrel "$work/default-home" "$work/conf-home"
  cp /etc/default/vantrel "$work/default.saved"
  echo "VANTREL_APP_DIR=$work/default-home" >>/etc/default/vantrel
  echo "VANTREL_APP_DIR=\"$work/conf-home\"" >/etc/vantrel/vantrel.conf
  vantreld tunnel list >"$work/out" 2>&1 || { cat "$work/out"; fail "tunnel list fails with a configured folder"; }
  [ -f "$work/conf-home/Info.db" ] && [ ! -e "$work/default-home/Info.db" ] ||
    fail "vantrel.conf does not win over /etc/default/vantrel"
  echo "VANTREL_APP_DIR=relative" >/etc/vantrel/vantrel.conf
  if vantreld tunnel list >"$work/out" 2>&1; then fail "a relative VANTREL_APP_DIR is taken"; fi
  grep -q "VANTREL_APP_DIR is not an absolute path" "$work/out" || { cat "$work/out"; fail "no reason for the bad line"; }
  rm -r /etc/vantrel
  cp "$work/default.saved" /etc/default/vantrel
fi

# A member of the group reads and manages; another user is told which group to join.
useradd --system --no-create-home --shell /usr/sbin/nologin --groups vantrel "$member"
runuser -u "$member" -- vantreld tunnel list >"$work/out" 2>&1 ||
  { cat "$work/out"; fail "vantreld tunnel list fails for a member of the group vantrel"; }
grep -q 0000000A "$work/out" || { cat "$work/out"; fail "the member does not see the tunnel"; }
runuser -u "$member" -- vantreld tunnel add 0000000B --port COM4 >"$work/out" 2>&1 ||
  { cat "$work/out"; fail "a member of the group vantrel cannot add a tunnel"; }
runuser -u vantrel -- vantreld tunnel list >"$work/out" 2>&1 && grep -q 0000000B "$work/out" ||
  { cat "$work/out"; fail "the service's user does not read what the member added"; }
for file in /var/lib/vantrel/Info.db*; do
  [ "$(stat -c %G:%a "$file")" = vantrel:660 ] || fail "$file is $(stat -c %U:%G:%a "$file"), not the group's 660"
done
if runuser -u nobody -- vantreld tunnel list >"$work/out" 2>&1; then fail "nobody reads the service's data"; fi
grep -q "permission denied: the folder /var/lib/vantrel belongs to user vantrel and group vantrel (mode 2770); join the group vantrel" \
  "$work/out" || { cat "$work/out"; fail "nobody is not told which group to join"; }

# Something of ours running when the package goes: a pair and a service started by hand.
setupc install PortName=COM3 PortName=COM3_FF >"$work/out" 2>&1 || { cat "$work/out"; fail "setupc install fails"; }
holder=$(setupc list | sed -n 's/.*held by process \([0-9]*\).*/\1/p')
[ -n "$holder" ] || fail "no holder: $(setupc list)"
started=false
for attempt in 1 2 3 4 5; do
  port=$((20000 + RANDOM % 40000))
  vantreld settings set --ip 127.0.0.1 --port "$port" >/dev/null
  LC_ALL=C.UTF-8 vantreld >"$work/service" 2>&1 &
  service=$!
  for _ in $(seq 200); do
    grep -q "Service started." "$work/service" && { started=true; break; }
    kill -0 "$service" 2>/dev/null || break
    sleep 0.1
  done
  $started && break
done
$started || { cat "$work/service"; fail "vantreld did not start"; }
[ "$(stat -c %U "/proc/$service")" = vantrel ] || fail "vantreld started by root runs as $(stat -c %U "/proc/$service")"

dpkg --remove $($with_desktop && echo vantrel) vantreld >"$work/remove.log" 2>&1 || { cat "$work/remove.log"; fail "remove fails"; }
# Gone, or a zombie nobody has reaped yet.
alive() { [ -r "/proc/$1/stat" ] && ! sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | grep -q '^Z'; }
for pid in "$holder" "$service"; do
  for _ in $(seq 200); do alive "$pid" || break; sleep 0.1; done
  ! alive "$pid" || fail "process $pid ($(cat "/proc/$pid/comm")) outlives the removed package"
done
wait "$service" || true
[ -f /var/lib/vantrel/Info.db ] || fail "remove took the service's data"
dpkg --purge $($with_desktop && echo vantrel) vantreld >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "purge fails"; }
installed=false
[ ! -e /var/lib/vantrel ] || fail "purge left /var/lib/vantrel"
[ ! -e /etc/default/vantrel ] || fail "purge left /etc/default/vantrel"
echo "installed, used as root and as a member of the group vantrel, removed and purged"
