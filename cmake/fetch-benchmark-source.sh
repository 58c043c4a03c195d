#!/usr/bin/env bash
# Unpacks Debian's Google Benchmark source package into $1 (for builds whose
# compiler has no benchmark library of the system, such as mingw-w64).
# Needs a deb-src entry in the apt sources, as for OpenSSL.
set -euo pipefail
dest=$1
if [ -f "$dest/CMakeLists.txt" ]; then exit 0; fi
work=$(dirname "$dest")/benchmark-fetch
rm -rf "$work" && mkdir -p "$work"
cd "$work"
apt-get source -qq benchmark >/dev/null 2>&1 || { echo "apt-get source benchmark failed" >&2; exit 1; }
src=$(find . -maxdepth 1 -type d -name 'benchmark-*' | head -n 1)
[ -n "$src" ] || { echo "apt-get source benchmark produced no source tree" >&2; exit 1; }
rm -rf "$dest"
mv "$src" "$dest"
cd / && rm -rf "$work"
