#!/bin/sh
# Compiles client_types.ts against the q48reader-client package as an
# integrator's project installs it. Usage: check_client_types.sh PACKAGE.tgz
set -eu
tsc=$(command -v tsc) || { echo "tsc is not installed (Debian package node-typescript)"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/node_modules/q48reader-client"
tar -xzf "$1" -C "$work/node_modules/q48reader-client" --strip-components=1
cp "$(dirname "$0")/client_types.ts" "$work/"
echo '{"type": "module"}' > "$work/package.json"
cd "$work"
"$tsc" --strict --noEmit --target es2022 --module node16 --moduleResolution node16 --lib es2022,dom client_types.ts
echo "client_types.ts compiles against $(basename "$1")"
