#!/usr/bin/env bash
# Signs the programs and DLLs of Windows kits and the service's MSI packages
# (Authenticode, SHA-256, with osslsigncode) and brings each kit's SHA256SUMS
# up to date.
#
#   scripts/sign.sh (--cert CERT.pem --key KEY.pem | --pkcs12 CERT.pfx)
#                   [--pass-file FILE] [--timestamp URL] KIT|MSI...
#
# KIT is a kit zip made by cpack (build/windows-x86/package/Q48Reader-*-win32.zip),
# replaced by its signed self, or an unpacked kit folder, signed in place. MSI
# is a package such as build/windows-x86/package/Q48Reader-Service-*-x86.msi,
# signed in place. The programs inside a package are the build tree's
# kit/service files as they were when it was made: to ship them signed too, sign those
# files with osslsigncode first, then remake the package
# (cmake -DQ48_VERSION=<version> -DQ48_OUT=<package> -P build/<preset>/msi/make-msi.cmake)
# and sign it here.
# Every .exe and .dll under bin/ and service/ is signed. The kit's checksums are checked
# before anything is signed, and a kit is only replaced once all of it is
# signed. The debug zip needs no signing: its .debug files carry no code that
# runs, and a debug link names its file by name and CRC, which signing leaves
# alone.
#
# A real release needs a code-signing certificate from a certification
# authority that Windows trusts (with its key, often on a token); a
# self-signed certificate is for tests only. --timestamp names an RFC 3161
# time-stamping server, so that the signatures outlive the certificate.
set -euo pipefail

usage() {
  sed -n '5,6p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}
die() {
  echo "sign.sh: $*" >&2
  exit 1
}

credentials=()
extra=()
kits=()
while [ $# -gt 0 ]; do
  case $1 in
    --cert) [ $# -ge 2 ] || usage; credentials+=(-certs "$2"); shift 2 ;;
    --key) [ $# -ge 2 ] || usage; credentials+=(-key "$2"); shift 2 ;;
    --pkcs12) [ $# -ge 2 ] || usage; credentials+=(-pkcs12 "$2"); shift 2 ;;
    --pass-file) [ $# -ge 2 ] || usage; extra+=(-readpass "$2"); shift 2 ;;
    --timestamp) [ $# -ge 2 ] || usage; extra+=(-ts "$2"); shift 2 ;;
    -h|--help) usage ;;
    -*) echo "sign.sh: unknown option $1" >&2; usage ;;
    *) kits+=("$1"); shift ;;
  esac
done
[ ${#kits[@]} -gt 0 ] && [ ${#credentials[@]} -gt 0 ] || usage
command -v osslsigncode >/dev/null || die "osslsigncode is not installed (Debian package osslsigncode)"

# Signs every binary of an unpacked kit (the folder holding SHA256SUMS) and
# rewrites SHA256SUMS for the same files.
sign_folder() {
  local kit=$1 label=$2
  [ -f "$kit/SHA256SUMS" ] || die "$kit is not a kit: no SHA256SUMS"
  (cd "$kit" && sha256sum --check --quiet --strict SHA256SUMS) || die "$kit: files differ from SHA256SUMS"
  local file count=0
  while IFS= read -r -d '' file; do
    osslsigncode sign "${credentials[@]}" "${extra[@]}" -h sha256 -n "Q48Reader" \
      -in "$file" -out "$file.signed" >/dev/null || die "cannot sign $file"
    mv "$file.signed" "$file"
    count=$((count + 1))
  done < <(find "$kit/bin" "$kit/service" -type f \( -iname '*.exe' -o -iname '*.dll' \) -print0 2>/dev/null)
  [ $count -gt 0 ] || die "$kit/bin holds no programs or DLLs"
  # The names are the second field of sha256sum's own lines.
  (cd "$kit" && sed 's/^[0-9a-f]*  //' SHA256SUMS | tr '\n' '\0' | xargs -0 sha256sum > SHA256SUMS.new &&
    mv SHA256SUMS.new SHA256SUMS)
  echo "sign.sh: signed $count files of $label"
}

for kit in "${kits[@]}"; do
  if [[ $kit == *.msi ]]; then
    [ -f "$kit" ] || die "$kit: no such package"
    osslsigncode sign "${credentials[@]}" "${extra[@]}" -h sha256 -n "Q48Reader Service" \
      -in "$kit" -out "$kit.signed" >/dev/null || { rm -f "$kit.signed"; die "cannot sign $kit"; }
    mv "$kit.signed" "$kit"
    echo "sign.sh: signed $kit"
    continue
  fi
  if [ -d "$kit" ]; then
    sign_folder "$kit" "$kit"
    continue
  fi
  [ -f "$kit" ] || die "$kit: no such kit"
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  zip=$(cd "$(dirname "$kit")" && pwd)/$(basename "$kit")
  (cd "$work" && cmake -E tar xf "$zip") || die "cannot unpack $kit"
  top=$(cd "$work" && ls)
  [ "$(echo "$top" | wc -l)" -eq 1 ] && [ -d "$work/$top" ] || die "$kit: expected one top folder"
  sign_folder "$work/$top" "$kit"
  (cd "$work" && cmake -E tar cf signed.zip --format=zip "$top") || die "cannot pack $kit"
  mv "$work/signed.zip" "$zip"
  rm -rf "$work"
  trap - EXIT
done
