#!/usr/bin/env bash
# Installs the amd64 packages made by deb_build_test.sh on this machine (root:
# it changes the system) and uses them as a desk would: a consumer project
# built against the installed development package alone, q48 read-card from
# PATH against the installed emulator with the stand-in decoder found by the
# loader, the udev rule where udev reads it, and q48-service: installed as
# an upgrade from 1.0.0-2 (whose user unit was enabled for every user: that
# enablement must go), its socket enabled from boot, and the service run
# with its conffile's settings. Then removes and purges them and checks that
# nothing is left. Packages left by an earlier failed run are purged first.
# Exit 77: skipped.
# Usage: deb_install_test.sh DEB_DIR CONSUMER_SOURCE_DIR [OLD_SERVICE_DIR]
#   OLD_SERVICE_DIR: the user unit and maintainer scripts of q48reader-service
#   1.0.0-2 (default: service-1.0.0-2 beside this script)
set -euo pipefail
debs=$(cd "$1" && pwd) consumer=$(cd "$2" && pwd) old_service=$(cd "${3:-$(dirname "$0")/service-1.0.0-2}" && pwd)
packages="q48reader-service libq48reader-dev q48reader-tools q48reader-standin-decoder libq48reader1"
fail() { echo "FAIL: $*" >&2; exit 1; }

if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: installing packages needs root (CI runs this as root)"
  exit 77
fi
ls "$debs"/*.deb >/dev/null 2>&1 || fail "no packages in $debs"

work=$(mktemp -d)
emulator=""
service=""
cleanup() {
  [ -z "$service" ] || { kill "$service" 2>/dev/null || true; wait "$service" 2>/dev/null || true; }
  [ -z "$emulator" ] || { kill "$emulator" 2>/dev/null || true; wait "$emulator" 2>/dev/null || true; }
  # shellcheck disable=SC2086
  dpkg --purge $packages >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# q48reader-service 1.0.0-2, remade from this one: the program and settings
# of today (the upgrade does not depend on them), with the user unit and the
# maintainer scripts that 1.0.0-2 had.
new_service=$(ls "$debs"/q48reader-service_*.deb)
dpkg-deb -R "$new_service" "$work/old"
rm -rf "$work/old/usr/lib/systemd/system" "$work/old/DEBIAN/preinst" "$work/old/DEBIAN/prerm" "$work/old/DEBIAN/md5sums"
install -D -m 644 "$old_service/q48-service.service" "$work/old/usr/lib/systemd/user/q48-service.service"
install -m 755 "$old_service/postinst" "$old_service/postrm" "$work/old/DEBIAN/"
sed -i 's/^Version: .*/Version: 1.0.0-2/' "$work/old/DEBIAN/control"
dpkg-deb -b --root-owner-group "$work/old" "$work/q48reader-service_1.0.0-2.deb" >/dev/null

user_unit=/usr/lib/systemd/user/q48-service.service
user_link=/etc/systemd/user/default.target.wants/q48-service.service
user_state=/var/lib/systemd/deb-systemd-user-helper-enabled
# shellcheck disable=SC2086
dpkg --purge $packages >/dev/null 2>&1 || true
dpkg -i $(ls "$debs"/*.deb | grep -v /q48reader-service_) "$work/q48reader-service_1.0.0-2.deb" >"$work/dpkg.log" 2>&1 ||
  { cat "$work/dpkg.log"; fail "dpkg -i with q48reader-service 1.0.0-2"; }
[ "$(readlink "$user_link")" = "$user_unit" ] || fail "1.0.0-2 did not enable its user unit: $(ls -l "$user_link" 2>&1)"

# The upgrade: the user unit's enablement and deb-systemd-helper's record of
# it go; the socket is enabled from boot, with the helper's record of it.
dpkg -i "$new_service" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i (the upgrade from 1.0.0-2)"; }
[ ! -e "$user_unit" ] || fail "the user unit is still installed"
[ ! -L "$user_link" ] || fail "the user unit is still enabled: $user_link"
left=$(find /etc/systemd/user "$user_state" /var/lib/systemd/deb-systemd-user-helper-masked -name 'q48-service*' 2>/dev/null || true)
[ -z "$left" ] || fail "the user unit's state is left: $left"
units=/usr/lib/systemd/system
socket_link=/etc/systemd/system/sockets.target.wants/q48-service.socket
# deb-systemd-helper may name it by /lib, an alias of /usr/lib on merged systems.
[[ $(readlink "$socket_link") =~ ^(/usr)?/lib/systemd/system/q48-service.socket$ ]] ||
  fail "the socket is not enabled: $(ls -l "$socket_link" 2>&1)"
[ -f /var/lib/systemd/deb-systemd-helper-enabled/q48-service.socket.dsh-also ] || fail "deb-systemd-helper has no record of the socket"
# Where systemd runs, the installed units as they are.
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify --man=no "$units/q48-service.socket" "$units/q48-service.service" >"$work/verify.log" 2>&1 ||
    { cat "$work/verify.log"; fail "systemd-analyze verify on the installed units"; }
fi
for p in $packages; do
  dpkg-query -L "$p" >>"$work/files"
done
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
libdir=/usr/lib/$multiarch
# The loader may name it by /lib, an alias of /usr/lib on merged systems.
in_libdir="(/usr)?/lib/$multiarch"

# The library and the decoder are in the loader's cache (the ldconfig trigger
# ran). Pipes end in grep without -q: an early exit would fail the pipe.
ldconfig -p | grep -E "libQ48Reader.so.1 .*=> $in_libdir/libQ48Reader.so.1$" >/dev/null || fail "libQ48Reader.so.1 is not in the loader's cache"
ldconfig -p | grep -E "libWltRS.so .*=> $in_libdir/libWltRS.so$" >/dev/null || fail "libWltRS.so is not in the loader's cache"

# A consumer project built against the installed package alone: no prefix,
# no search paths from the environment.
clean_env=(env -u CMAKE_PREFIX_PATH -u PKG_CONFIG_PATH -u LD_LIBRARY_PATH -u Q48Reader_DIR)
"${clean_env[@]}" cmake -S "$consumer" -B "$work/consumer" >"$work/consumer.log" 2>&1 || { cat "$work/consumer.log"; fail "configure the consumer"; }
grep -qx "Q48Reader_DIR:PATH=$libdir/cmake/Q48Reader" "$work/consumer/CMakeCache.txt" || fail "find_package did not find the installed package: $(grep Q48Reader_DIR "$work/consumer/CMakeCache.txt")"
"${clean_env[@]}" cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1 || { cat "$work/consumer.log"; fail "build the consumer"; }
for program in consumer_cmake consumer_pkgconfig; do
  ldd "$work/consumer/$program" | grep -E "libQ48Reader.so.1 => $in_libdir/libQ48Reader.so.1 " >/dev/null || fail "$program does not use the installed library"
  "${clean_env[@]}" "$work/consumer/$program" >/dev/null || fail "$program"
done

# q48 read-card from PATH against the installed emulator; the portrait is
# converted by the stand-in decoder, which q48 finds by its bare name.
[ "$(command -v q48)" = /usr/bin/q48 ] || fail "q48 on PATH is $(command -v q48)"
[ "$(command -v q48-emulator)" = /usr/bin/q48-emulator ] || fail "q48-emulator on PATH is $(command -v q48-emulator)"
cd "$work"
q48-emulator --profile /usr/share/q48reader/profiles/sample-card.json >emulator.out 2>emulator.log &
emulator=$!
for _ in $(seq 100); do
  [ -s emulator.out ] && break
  sleep 0.1
done
device=$(head -n 1 emulator.out)
[ -c "$device" ] || { cat emulator.log; fail "the emulator gave no device"; }
HOME=$work XDG_CACHE_HOME=$work/cache "${clean_env[@]}" q48 --port "$device" read-card --photo "$work/portrait.jpg" >read-card.out 2>&1 ||
  { cat read-card.out; fail "q48 read-card"; }
[ "$(head -c 3 "$work/portrait.jpg" | od -An -tx1 | tr -d ' \n')" = ffd8ff ] || fail "the portrait was not converted to a JPEG"

# q48-service: its settings a conffile that allows no origin, and the
# service, started as the unit starts it (here in the foreground, binding the
# listen setting), reads them.
unit=$units/q48-service.service
settings=/etc/q48reader/q48-service.json
dpkg-query -W -f='${Conffiles}\n' q48reader-service | grep -q "^ $settings " || fail "$settings is not a conffile"
python3 -c 'import json, sys; sys.exit(json.load(open(sys.argv[1])).get("allow-origin", []) != [])' "$settings" ||
  fail "$settings allows an origin"
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
[ "$exec_start" = /usr/bin/q48-service ] || fail "the unit starts $exec_start"
printf '{"listen": "127.0.0.1:0", "port": "%s", "allow-origin": ["https://counter.example"], "watch-interval": 700}\n' \
  "$device" >"$settings"
$exec_start >service.out 2>service.log &
service=$!
for _ in $(seq 100); do
  [ -s service.out ] && break
  sleep 0.1
done
url=$(sed -n 's|.*listening on \(http://127.0.0.1:[0-9]*/\)$|\1|p' service.out)
[ -n "$url" ] || { cat service.out service.log; fail "q48-service did not start"; }
for expected in "settings from $settings;" "reader $device;" "origins allowed besides its own: https://counter.example;" \
  "every 700 ms"; do
  grep -qF "$expected" service.log || { cat service.log; fail "q48-service does not report \"$expected\""; }
done
python3 - "$url" <<'PY' || fail "the allowed origin cannot read the card type"
import http.client, json, sys, urllib.parse
address = urllib.parse.urlparse(sys.argv[1])
connection = http.client.HTTPConnection(address.hostname, address.port, timeout=30)
connection.request("POST", "/v1/card-type", "{}", {"Content-Type": "application/json", "Origin": "https://counter.example"})
answer = connection.getresponse()
body = json.loads(answer.read())
sys.exit(answer.status != 200 or answer.getheader("Access-Control-Allow-Origin") != "https://counter.example"
         or body["result"] != 1)
PY
kill "$service"
wait "$service" 2>/dev/null || true
service=""
kill "$emulator"
wait "$emulator" 2>/dev/null || true
emulator=""

# The udev rule: where udev reads it, early enough for uaccess (acted on in
# 73-seat-late.rules), with its three settings on the rule that matches the
# reader's tty, and parsed by udev without complaint.
rule=$(grep '/rules.d/' "$work/files" | grep '\.rules$') || fail "no udev rule installed"
[[ $rule == /usr/lib/udev/rules.d/* || $rule == /lib/udev/rules.d/* ]] || fail "udev rule at $rule"
[ "$(basename "$rule" | sed 's/-.*//')" -lt 73 ] || fail "$rule sorts after 73-seat-late.rules: uaccess would not apply"
line=$(grep -v '^[[:space:]]*#' "$rule" | grep 'SUBSYSTEM=="tty"') || fail "$rule has no rule for ttys"
for setting in 'ATTRS{idVendor}=="0403"' 'ATTRS{idProduct}=="6001"' 'TAG+="uaccess"' 'ENV{ID_MM_DEVICE_IGNORE}="1"' 'SYMLINK+="q48reader"'; do
  [[ $line == *"$setting"* ]] || fail "$rule: the reader's rule lacks $setting"
done
if command -v udevadm >/dev/null 2>&1; then
  udevadm test --action=add /sys/class/tty/tty0 >"$work/udev.log" 2>&1 || true
  grep -q "Reading rules file: $rule" "$work/udev.log" || grep -q "Reading rules file: .*/$(basename "$rule")" "$work/udev.log" ||
    fail "udev does not read $rule"
  ! grep "$(basename "$rule"):" "$work/udev.log" || fail "udev complains about $rule"
else
  echo "note: no udevadm here, the rule's syntax was not checked by udev"
fi

# Removed, the socket is masked, so that the enablement link left until
# purge starts nothing. The cache folder that systemd makes for the service's
# dynamic user, as it would be after a run.
dpkg -r q48reader-service >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -r q48reader-service"; }
[ "$(readlink /etc/systemd/system/q48-service.socket)" = /dev/null ] || fail "the removed socket is not masked"
mkdir -p -m 0700 /var/cache/private/q48-service
touch /var/cache/private/q48-service/pic.wlt
ln -sfn private/q48-service /var/cache/q48-service

# Purged, nothing is left: not the links, nor the mask, nor the conffile
# (changed above), nor deb-systemd-helper's records, nor the cache folder.
# shellcheck disable=SC2086
dpkg --purge $packages >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg --purge"; }
for p in $packages; do
  status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null || true)
  [ -z "$status" ] || [[ $status == un* || $status == pn* ]] || fail "$p is still known to dpkg: $status"
done
while IFS= read -r path; do
  case $path in
    /. | /etc | /usr | /usr/bin | /usr/include | /usr/lib | /usr/share | /usr/share/doc | /usr/share/man | /usr/share/man/man1 | \
      /usr/lib/udev | /usr/lib/udev/rules.d | /usr/lib/systemd | /usr/lib/systemd/system | /usr/lib/modules-load.d | \
      "$libdir" | "$libdir/cmake" | "$libdir/pkgconfig" | \
      /usr/share/lintian | /usr/share/lintian/overrides) continue ;;
  esac
  [ ! -e "$path" ] && [ ! -L "$path" ] || fail "left behind: $path"
done <"$work/files"
! ldconfig -p | grep -E 'libQ48Reader|libWltRS' >/dev/null || fail "the loader's cache still lists the libraries"
left=$(find /etc/systemd/system /etc/systemd/user /var/lib/systemd/deb-systemd-helper-enabled \
  /var/lib/systemd/deb-systemd-helper-masked "$user_state" /var/lib/systemd/deb-systemd-user-helper-masked \
  -name 'q48-service*' 2>/dev/null || true)
[ -z "$left" ] || fail "left behind: $left"
[ ! -e /var/cache/q48-service ] && [ ! -L /var/cache/q48-service ] && [ ! -e /var/cache/private/q48-service ] ||
  fail "left behind: the cache folder"
echo "installed, used and removed: $(cd "$debs" && ls ./*.deb | tr '\n' ' ')"
