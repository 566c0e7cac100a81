#!/usr/bin/env bash
# q48reader-service's systemd units, as packaged, checked without systemd
# running: the socket and the system service in /usr/lib/systemd/system and
# no user unit; the socket loopback-only and enabled from boot; the service
# taking it, under its own user in the dialout group with a private cache
# folder; `systemd-analyze verify` accepts both; `systemd-analyze security
# --offline=true` rates the service's exposure at 2.0 or less. Exit 77: skipped.
# Usage: deb_units_test.sh DEB_DIR
set -euo pipefail
debs=$(cd "$1" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }
command -v systemd-analyze >/dev/null || { echo "skipped: systemd-analyze is missing (scripts/setup.sh installs systemd)"; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "$debs"/q48reader-service_*.deb "$work/root"
units=$work/root/usr/lib/systemd/system
socket=$units/q48-service.socket service=$units/q48-service.service
[ -f "$socket" ] && [ -f "$service" ] || fail "the units are not in /usr/lib/systemd/system: $(cd "$work/root" && find . -name 'q48-service.*')"
[ ! -e "$work/root/usr/lib/systemd/user" ] || fail "a user unit is still packaged"

# One value of KEY in the unit FILE (the last, as systemd reads it).
value() { sed -n "s/^$2=//p" "$1" | tail -n 1; }
[ "$(value "$socket" ListenStream)" = 127.0.0.1:18848 ] || fail "the socket listens on $(value "$socket" ListenStream)"
[ "$(value "$socket" WantedBy)" = sockets.target ] || fail "the socket is not wanted by sockets.target"
for expected in ExecStart=/usr/bin/q48-service Requires=q48-service.socket After=q48-service.socket DynamicUser=yes \
  SupplementaryGroups=dialout CacheDirectory=q48-service CacheDirectoryMode=0700 PrivateNetwork=yes; do
  grep -qx "$expected" "$service" || fail "the service unit lacks $expected"
done
# The reader must stay reachable: its tty is allowed, /dev is not replaced.
grep -qx 'DeviceAllow=char-ttyUSB rw' "$service" || fail "the service may not open the reader's tty"
! grep -qx 'PrivateDevices=yes' "$service" || fail "PrivateDevices=yes hides /dev/ttyUSB*"
# systemd finds the ttyUSB group in /proc/devices only once the USB serial core is loaded.
grep -qx usbserial "$work/root/usr/lib/modules-load.d/q48reader-service.conf" || fail "usbserial is not loaded at boot"

# verify needs the program to exist: the packaged one, named where it was extracted.
mkdir "$work/verify"
cp "$socket" "$work/verify/"
sed "s|^ExecStart=/usr/bin/|ExecStart=$work/root/usr/bin/|" "$service" >"$work/verify/q48-service.service"
(cd "$work/verify" && systemd-analyze verify --man=no ./q48-service.socket ./q48-service.service) >"$work/verify.log" 2>&1 ||
  { cat "$work/verify.log"; fail "systemd-analyze verify"; }
[ ! -s "$work/verify.log" ] || { cat "$work/verify.log"; fail "systemd-analyze verify complains"; }

# The packaged file itself, as it is. --threshold counts in tenths of the figure shown.
(cd "$units" && systemd-analyze security --offline=true --threshold=20 --no-pager q48-service.service) >"$work/security.log" 2>&1 ||
  { cat "$work/security.log"; fail "the service's exposure is above 2.0"; }
figure=$(sed -n 's/.*Overall exposure level for q48-service.service: \([0-9.]*\).*/\1/p' "$work/security.log")
[ -n "$figure" ] || { cat "$work/security.log"; fail "no exposure figure"; }
awk -v f="$figure" 'BEGIN { exit !(f <= 2.0) }' || fail "exposure $figure"
echo "units verified; exposure of q48-service.service: $figure"
