#!/usr/bin/env bash
# The main job on a fresh machine: build the Linux library and tools, start
# the reader emulator with the sample card, and read the card through the
# library with the q48 client.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset linux >/dev/null
cmake --build --preset linux -j"$(nproc 2>/dev/null || echo 2)" --target Q48Reader q48 q48-emulator WltRS >/dev/null

bin=build/linux/bin
out=build/demo
mkdir -p "$out"
"$bin/q48-emulator" >"$out/emulator.out" 2>"$out/emulator.log" &
emulator=$!
trap 'kill "$emulator" 2>/dev/null || true; wait "$emulator" 2>/dev/null || true' EXIT

for _ in $(seq 50); do
  [ -s "$out/emulator.out" ] && break
  sleep 0.1
done
device=$(head -n 1 "$out/emulator.out")
[ -n "$device" ] || { echo "demo: the emulator did not start" >&2; exit 1; }

echo "Reader emulator (sample card) on $device"
echo "\$ q48 --port $device read-card --photo $out/portrait.jpg"
"$bin/q48" --port "$device" read-card --photo "$out/portrait.jpg"
