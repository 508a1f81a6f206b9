#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian machine; quick when all is there.
set -euo pipefail
packages=(cmake g++ clang libclang-rt-14-dev googletest clang-format cppcheck mingw-w64
          wine wine32 wine64 xvfb x11-apps imagemagick python3
          binutils-arm-none-eabi help2man lintian icoutils librsvg2-bin zip unzip
          strip-nondeterminism dpkg-dev fakeroot
          lld wasi-libc libc++-14-dev-wasm32 libc++abi-14-dev-wasm32 libclang-rt-14-dev-wasm32
          binaryen chromium nodejs ser2net osslsigncode openssl)
missing=()
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  missing+=(wine32)
fi
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
# npm comes with some builds of nodejs and is a package of its own in Debian's.
command -v npm >/dev/null || { apt-get update -qq && apt-get install -y -qq npm >/dev/null; }
# The browser tests' driver, as package-lock.json pins it; the browser is Debian's chromium.
cd "$(dirname "$0")/.."
if ! cmp -s package-lock.json node_modules/.quarv-installed 2>/dev/null; then
  npm ci --no-audit --no-fund --loglevel=error
  cp package-lock.json node_modules/.quarv-installed
fi
