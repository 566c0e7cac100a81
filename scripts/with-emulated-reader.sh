#!/usr/bin/env bash
# Runs a program against the reader emulator as if a Q48 reader were
# plugged in: the library's exports find it on /dev/ttyUSB0 through /sys.
#
#   scripts/with-emulated-reader.sh [q48-emulator options] -- PROGRAM [ARGS...]
#
# The program runs in a private mount namespace (a user namespace when not
# root) whose /sys holds one FTDI 0403:6001 serial port and whose
# /dev/ttyUSB0 is the emulator's pty. Nothing outside the namespace changes.
# Q48_BIN names the folder with q48-emulator and libWltRS.so
# (default: build/linux/bin).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bin=${Q48_BIN:-$here/build/linux/bin}

emulator_args=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do emulator_args+=("$1"); shift; done
[ "${1:-}" = "--" ] && shift
[ $# -gt 0 ] || { echo "usage: $0 [q48-emulator options] -- PROGRAM [ARGS...]" >&2; exit 2; }
[ -x "$bin/q48-emulator" ] || { echo "$0: no $bin/q48-emulator (build the linux preset first)" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/q48-reader-XXXXXX")
emulator=""
cleanup() {
  [ -n "$emulator" ] && kill "$emulator" 2>/dev/null && wait "$emulator" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

"$bin/q48-emulator" "${emulator_args[@]}" >"$work/emulator.out" 2>"${Q48_EMULATOR_LOG:-/dev/null}" &
emulator=$!
for _ in $(seq 100); do [ -s "$work/emulator.out" ] && break; sleep 0.05; done
pty=$(head -n 1 "$work/emulator.out")
[ -n "$pty" ] || { echo "$0: the emulator did not start" >&2; exit 1; }

# A sysfs tree with one USB serial port of the reader's identity.
usb=devices/pci0000:00/usb1/1-1
mkdir -p "$work/sys/$usb/1-1:1.0/ttyUSB0/tty/ttyUSB0" "$work/sys/class/tty/ttyUSB0" "$work/pts" "$work/olddev"
echo 0403 >"$work/sys/$usb/idVendor"
echo 6001 >"$work/sys/$usb/idProduct"
ln -s "../../../$usb/1-1:1.0/ttyUSB0" "$work/sys/class/tty/ttyUSB0/device"

namespace=(unshare --mount --propagation private)
[ "$(id -u)" -eq 0 ] || namespace=(unshare --user --map-root-user --mount --propagation private)

export Q48_NS_WORK="$work" Q48_NS_PTY="$pty"
export LD_LIBRARY_PATH="$bin${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
"${namespace[@]}" sh -c '
  set -e
  w=$Q48_NS_WORK
  mount --bind /dev/pts "$w/pts"
  mount --rbind /dev "$w/olddev"
  mount --bind "$w/sys" /sys
  mount -t tmpfs -o mode=755 none /dev
  mkdir /dev/pts
  mount --bind "$w/pts" /dev/pts
  for node in null zero random urandom tty; do
    touch "/dev/$node" && mount --bind "$w/olddev/$node" "/dev/$node"
  done
  ln -s /proc/self/fd /dev/fd
  ln -s "$Q48_NS_PTY" /dev/ttyUSB0
  unset Q48_NS_WORK Q48_NS_PTY
  exec "$@"
' q48-reader "$@"
