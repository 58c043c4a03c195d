#!/usr/bin/env bash
# Unpacks Debian's OpenSSL source package (with Debian's patches applied) into $1.
# Needs a deb-src entry in the apt sources; .ci/install-deps.sh adds one.
set -euo pipefail
dest=$1
if [ -f "$dest/Configure" ]; then exit 0; fi
work=$(dirname "$dest")/fetch
rm -rf "$work" && mkdir -p "$work"
cd "$work"
apt-get source -qq openssl >/dev/null
src=$(find . -maxdepth 1 -type d -name 'openssl-*' | head -n 1)
[ -n "$src" ] || { echo "apt-get source openssl produced no source tree" >&2; exit 1; }
rm -rf "$dest"
mv "$src" "$dest"
cd / && rm -rf "$work"
