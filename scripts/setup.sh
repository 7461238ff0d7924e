#!/usr/bin/env bash
# Installs everything the builds, the tests, the demo and the benchmarks need on a Debian 12 amd64
# machine, from Debian's own packages. Safe to run again: it only installs what is missing.
#   scripts/setup.sh          what the builds and tests need
#   scripts/setup.sh --fuzz   that and clang with libFuzzer, for fuzz/run.sh
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

packages=(
  build-essential cmake ninja-build googletest
  g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
  wine wine32:i386 wine64 xvfb xauth x11-apps x11-utils imagemagick
  fonts-nanum locales
  nginx-light lighttpd curl libcurl4-openssl-dev
  python3 python3-pytest
  valgrind
  # OpenSSL: the native build's signatures, and test certificates. Wine's TLS and its BCrypt
  # signature checks load GnuTLS, which Wine only recommends.
  libssl-dev openssl libgnutls30 libgnutls30:i386
)
if [ "${1:-}" = "--fuzz" ]; then
  packages+=(clang-14 libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Wine maps CP949 file names to UTF-8 names on disk only when the glibc locale exists.
if ! locale -a 2>/dev/null | grep -qi '^ko_KR\.utf-\?8$'; then
  $SUDO localedef -i ko_KR -f UTF-8 ko_KR.UTF-8
fi

echo "setup: all packages present"
