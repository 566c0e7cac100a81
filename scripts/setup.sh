#!/usr/bin/env bash
# Installs every Debian package the project needs. Safe to run again: it only
# installs what is missing.
set -euo pipefail

packages=(
  cmake g++ make pkg-config python3 ccache curl
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libturbojpeg0-dev
  # country names (English, and Chinese from its zh_CN catalogue) for a card's nationality, made into a table at build time
  iso-codes
  nlohmann-json3-dev libcli11-dev libboost1.81-dev
  clang libclang-rt-14-dev
  llvm lld osslsigncode openssl mono-mcs
  # the service's MSI packages: wixl builds them, msitools (msibuild, msiinfo, msiextract) edits and reads them
  wixl msitools
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine wine64
  chromium chromium-driver python3-selenium fonts-wqy-microhei
  # the web tests in Firefox (driven through its own Marionette), and a display for Chromium's permission prompt
  firefox-esr xvfb
  # The npm package of the web client (npm pack) and its declarations' check
  node-typescript
  util-linux procps
  # Debian packages: shlibdeps, lintian, manual pages from --help
  dpkg-dev lintian help2man
  # q48-service's units: systemd-socket-activate, systemd-analyze (verify, security); deb-systemd-helper
  systemd init-system-helpers
  # arm64: cross compiler, arm64 libraries (multiarch), qemu for the tests
  g++-aarch64-linux-gnu libturbojpeg0-dev:arm64 libgtest-dev:arm64 libgmock-dev:arm64 libstdc++6:arm64
  qemu-user-static
)

sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"

# The arm64 libraries come from Debian's multiarch packages.
if ! dpkg --print-foreign-architectures | grep -x arm64 >/dev/null; then
  echo "setup: adding the arm64 architecture"
  $sudo_cmd dpkg --add-architecture arm64
fi

# Node and npm: Debian's, unless a Node.js from another source is there
# (Debian's npm package conflicts with it; such a Node.js normally bundles
# its own npm, and when that npm is missing or broken it is fetched below).
foreign_node=""
if command -v node >/dev/null && ! dpkg-query -W -f='${Version}' nodejs 2>/dev/null | grep -q deb; then
  dpkg-query -W nodejs >/dev/null 2>&1 && foreign_node=yes
fi
if [ -z "$foreign_node" ] && ! npm --version >/dev/null 2>&1; then
  packages+=(nodejs npm)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
else
  echo "setup: all packages present"
fi

# A foreign Node.js whose bundled npm is missing or broken: npm itself from
# the npm registry, checked against the registry's sha512 before it is used.
if [ -n "$foreign_node" ] && ! npm --version >/dev/null 2>&1; then
  npm_version=10.9.2
  echo "setup: installing npm $npm_version from the npm registry"
  tmp=$(mktemp -d)
  meta=$(curl -fsSL "https://registry.npmjs.org/npm/$npm_version")
  url=$(node -e 'const m=JSON.parse(process.argv[1]);console.log(m.dist.tarball)' "$meta")
  sri=$(node -e 'const m=JSON.parse(process.argv[1]);console.log(m.dist.integrity)' "$meta")
  curl -fsSL -o "$tmp/npm.tgz" "$url"
  got="sha512-$(openssl dgst -sha512 -binary "$tmp/npm.tgz" | base64 -w0)"
  if [ "$got" != "$sri" ]; then
    echo "setup: npm $npm_version does not match the registry's checksum" >&2
    exit 1
  fi
  $sudo_cmd rm -rf /usr/local/lib/npm
  $sudo_cmd mkdir -p /usr/local/lib/npm
  $sudo_cmd tar -xzf "$tmp/npm.tgz" -C /usr/local/lib/npm --strip-components=1
  $sudo_cmd ln -sf /usr/local/lib/npm/bin/npm-cli.js /usr/local/bin/npm
  $sudo_cmd ln -sf /usr/local/lib/npm/bin/npx-cli.js /usr/local/bin/npx
  rm -rf "$tmp"
  npm --version >/dev/null
fi
