#!/usr/bin/env bash
# Makes the Debian packages of a build tree into OUT (cpack) and checks them
# without installing: the five packages of the build's architecture, every
# installed file in exactly one of them (the service's settings file in /etc,
# a conffile that allows no origin), the library's ELF facts (machine,
# soname, exactly the five exports, needed libraries), stripped binaries
# without RPATH, dependencies from shlibdeps, and a copyright file and
# changelog in each.
# Usage: deb_build_test.sh BUILD_DIR OUT_DIR CMAKE_SYSTEM_PROCESSOR PROJECT_VERSION
set -euo pipefail
build=$1 out=$2 processor=$3 version=$4
fail() { echo "FAIL: $*" >&2; exit 1; }

# What each architecture's packages must be, written here independently of
# how the build derives it.
case $processor in
  x86_64) arch=amd64 machine="Advanced Micro Devices X86-64" ;;
  aarch64) arch=arm64 machine=AArch64 ;;
  *) fail "no expectation for processor $processor" ;;
esac
packages="libq48reader1 libq48reader-dev q48reader-tools q48reader-service q48reader-standin-decoder"

rm -rf "$out"
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -G DEB -B "$out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
rm -rf "$out/_CPack_Packages"

found=$(cd "$out" && ls ./*.deb | sed 's|^\./||' | sort | tr '\n' ' ')
expected=""
for p in $packages; do
  deb=$(cd "$out" && ls "${p}_${version}"-*"_${arch}.deb" 2>/dev/null) || fail "no $p package for $arch in: $found"
  expected+="$deb "
done
[ "$(echo "$expected" | tr ' ' '\n' | sed '/^$/d' | sort | tr '\n' ' ')" = "$found" ] || fail "packages: $found"

# Every file that cmake --install writes is in exactly one package.
cmake --install "$build" --prefix "$work/stage" >/dev/null
(cd "$work/stage" && find . ! -type d | sed 's|^\./||' | sort) >"$work/installed"
for p in $packages; do
  deb=$out/$(cd "$out" && ls "${p}"_*.deb)
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$p: Architecture $(dpkg-deb -f "$deb" Architecture)"
  dpkg-deb -x "$deb" "$work/$p"
  (cd "$work/$p/usr" && find . ! -type d | sed 's|^\./||') >>"$work/packaged"
  [ ! -d "$work/$p/etc" ] || (cd "$work/$p" && find etc ! -type d) >>"$work/packaged"
  for doc in copyright changelog.Debian.gz; do
    [ -f "$work/$p/usr/share/doc/$p/$doc" ] || fail "$p: no /usr/share/doc/$p/$doc"
  done
  grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
    "$work/$p/usr/share/doc/$p/copyright" || fail "$p: copyright is not in the machine-readable format"
  [ -n "$(dpkg-deb -f "$deb" Maintainer)" ] || fail "$p: no Maintainer"
done
sort "$work/packaged" >"$work/packaged.sorted"
duplicates=$(uniq -d "$work/packaged.sorted")
[ -z "$duplicates" ] || fail "in more than one package: $duplicates"
diff -u "$work/installed" "$work/packaged.sorted" || fail "the packages and cmake --install differ (- installed only, + packaged only)"

# Dependencies come from shlibdeps; the development package needs the library
# of the same version.
for p in libq48reader1 q48reader-tools q48reader-service q48reader-standin-decoder; do
  depends=$(dpkg-deb -f "$out/$(cd "$out" && ls "${p}"_*.deb)" Depends)
  [[ $depends == *libc6* ]] || fail "$p: Depends has no libc6 (shlibdeps did not run?): $depends"
done
[[ $(dpkg-deb -f "$out/$(cd "$out" && ls libq48reader1_*.deb)" Depends) == *libturbojpeg0* ]] || fail "libq48reader1 does not depend on libturbojpeg0"
dev_depends=$(dpkg-deb -f "$out/$(cd "$out" && ls libq48reader-dev_*.deb)" Depends)
[[ $dev_depends == *"libq48reader1 (= ${version}-"* ]] || fail "libq48reader-dev: Depends $dev_depends"

# The service: in its own package, its settings file a conffile with no
# origin allowed.
service_deb=$out/$(cd "$out" && ls q48reader-service_*.deb)
[ -f "$work/q48reader-service/usr/bin/q48-service" ] || fail "q48-service is not in q48reader-service"
dpkg-deb -e "$service_deb" "$work/service-control"
[ "$(cat "$work/service-control/conffiles")" = /etc/q48reader/q48-service.json ] || fail "conffiles: $(cat "$work/service-control/conffiles")"
python3 -c 'import json, sys; sys.exit(json.load(open(sys.argv[1])).get("allow-origin", []) != [])' \
  "$work/q48reader-service/etc/q48reader/q48-service.json" || fail "the packaged settings allow an origin"

# Binaries: the build's machine, stripped, no RPATH or RUNPATH.
while IFS= read -r file; do
  header=$(readelf -h "$file" 2>/dev/null) || continue
  name=${file#"$work"/}
  [[ $header == *"Machine:"*"$machine"* ]] || fail "$name: not $machine"
  sections=$(readelf -S -W "$file")
  [[ $sections != *.debug_info* && $sections != *" .symtab "* ]] || fail "$name: not stripped"
  ! readelf -d "$file" | grep -E '\((RPATH|RUNPATH)\)' >/dev/null || fail "$name: has an RPATH or RUNPATH"
done < <(find "$work"/q48reader-* "$work"/libq48reader* -type f)

# The library: its soname, the five exports and nothing else, and no
# dependency beyond the C and C++ runtimes and TurboJPEG (the decoder is
# loaded at run time, never linked).
library=$(find "$work/libq48reader1" -name 'libQ48Reader.so.*.*')
dynamic=$(readelf -d "$library")
[[ $dynamic == *"Library soname: [libQ48Reader.so.1]"* ]] || fail "soname: $dynamic"
exports=$(readelf --dyn-syms -W "$library" | awk '$1 ~ /^[0-9]+:$/ && $5 != "LOCAL" && $7 != "UND" {print $8}' | sort | tr '\n' ' ')
[ "$exports" = "zelListReaderCard zelReadCard zelReadCardType zelReadICCID zelWriteCard " ] || fail "exports: $exports"
needed=$(echo "$dynamic" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
for lib in $needed; do
  case $lib in
    libc.so.6 | libm.so.6 | libstdc++.so.6 | libgcc_s.so.1 | libturbojpeg.so.0 | ld-linux-*.so.*) ;;
    *) fail "the library needs $lib (all: $needed)" ;;
  esac
done
[[ " $needed" == *" libc.so.6 "* && $needed == *libturbojpeg.so.0* ]] || fail "needed: $needed"

echo "packages for $arch: $found"
