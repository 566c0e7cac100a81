#!/usr/bin/env bash
# Installs the build tree into a temporary prefix, then builds and runs a
# consumer project against it with find_package and with pkg-config.
set -euo pipefail
build=$1
source_dir=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

libdir=$work/prefix/$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
cmake --install "$build" --prefix "$work/prefix" >/dev/null
PKG_CONFIG_PATH="$libdir/pkgconfig" cmake -S "$source_dir/consumer" -B "$work/build" \
  -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/build" >/dev/null
for program in consumer_cmake consumer_pkgconfig; do
  LD_LIBRARY_PATH="$libdir" "$work/build/$program"
done
# The installed library exports the five functions and nothing else.
exports=$(nm -D --defined-only "$libdir/libQ48Reader.so" | awk '{print $3}' | sort | tr '\n' ' ')
expected="zelListReaderCard zelReadCard zelReadCardType zelReadICCID zelWriteCard "
[ "$exports" = "$expected" ] || { echo "exports: $exports"; exit 1; }
echo "consumer: ok"
