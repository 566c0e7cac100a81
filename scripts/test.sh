#!/usr/bin/env bash
# The whole test suite: the Linux build with its tests (the amd64 Debian
# packages' among them: checked, linted and, as root, installed and removed),
# the arm64 cross build with its tests under qemu and its packages, the same
# tests under AddressSanitizer+UBSan and ThreadSanitizer, both Windows builds
# with their kits and the service's MSI packages (made by the build), their
# static checks and the Wine tests (run from the Linux test tree), and a
# bounded fuzzing run.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)

# ccache (cmake/CompilerCache.cmake): paths under this checkout are hashed
# relative to it, so a fresh clone at another path reuses what was compiled.
export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1

build() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j"$jobs"
}

# Windows builds first: the Linux test tree runs them under wine64 and checks
# their kits, which cpack makes.
for preset in windows-x86 windows-x64; do
  build "$preset"
  (cd "build/$preset" && cpack)
done

build linux
ctest --preset linux -j"$jobs"
(cd build/linux && cpack >/dev/null)          # build/linux/package/*_amd64.deb

# arm64: statically linked test programs under qemu-aarch64-static (the test
# preset leaves out the labels native-only, wine and kit), then the packages.
build linux-arm64
ctest --preset linux-arm64 -j"$jobs"
(cd build/linux-arm64 && cpack >/dev/null)    # build/linux-arm64/package/*_arm64.deb

# Fuzz smoke: every target for a bounded time under ASan and UBSan.
FUZZ_SECONDS=${FUZZ_SECONDS:-60} bash scripts/fuzz.sh

for preset in linux-asan linux-tsan; do
  build "$preset"
  ctest --preset "$preset" -j"$jobs" -LE 'wine|bench'
done
