#!/usr/bin/env bash
# Installs every package the native and Windows builds and their tests need.
# Idempotent: a second run on the same machine does little.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

SRC=/etc/apt/sources.list.d/debian.sources
need_update=0
# deb-src entries are needed for "apt-get source openssl" (the Windows libcrypto).
if [ -f "$SRC" ] && ! grep -q '^Types:.*deb-src' "$SRC"; then
  sed -i 's/^Types: deb$/Types: deb deb-src/' "$SRC"
  need_update=1
elif [ ! -f "$SRC" ] && ! grep -rqs '^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  grep -h '^deb ' /etc/apt/sources.list 2>/dev/null | sed 's/^deb /deb-src /' > /etc/apt/sources.list.d/qx-src.list || true
  need_update=1
fi
# 32-bit Wine (for the 32-bit driver installer) only where the kernel runs
# 32-bit programs: elsewhere it could be installed but never started.
wine32=()
if bash "$(dirname "$0")/host-runs-32bit.sh" -q; then
  wine32=(wine32:i386)
  if ! dpkg --print-foreign-architectures | grep -q i386; then
    dpkg --add-architecture i386
    need_update=1
  fi
else
  echo "this host cannot run 32-bit programs: wine32 is not installed (32-bit Windows tests will be skipped)"
fi

PKGS=(build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev llvm
      libssl-dev libsimpleini-dev libpcsclite-dev libxml2-dev libgtest-dev libgmock-dev libbenchmark-dev
      mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
      wine wine64 "${wine32[@]}" xvfb xauth dpkg-dev perl binutils-mingw-w64-x86-64 openssl
      pcscd vsmartcard-vpcd libp11-kit-dev opensc gnutls-bin python3-pykcs11
      libengine-pkcs11-openssl openssh-client fonts-wqy-microhei tmux)
missing=()
for p in "${PKGS[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ $need_update = 1 ]; then
  apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
# mingw-w64 builds must use the posix thread model (std::thread, std::mutex).
for t in x86_64-w64-mingw32 i686-w64-mingw32; do
  for c in gcc g++; do
    if [ -e /usr/bin/$t-$c-posix ]; then
      update-alternatives --set $t-$c /usr/bin/$t-$c-posix >/dev/null 2>&1 || true
    fi
  done
done
echo "dependencies ready"
