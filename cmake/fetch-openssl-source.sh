#!/usr/bin/env bash
# Unpacks Debian's OpenSSL source package (with Debian's patches applied) into $1.
# Needs a deb-src entry in the apt sources; .ci/install-deps.sh adds one.
set -euo pipefail
dest=$1
if [ -f "$dest/Configure" ]; then exit 0; fi
work=$(dirname "$dest")/fetch
rm -rf "$work" && mkdir -p "$work"
cd "$work"
# The newest source version may not be on every mirror yet: try the
# versions apt knows, newest first.
ok=0
for v in $(apt-cache showsrc openssl 2>/dev/null | sed -n 's/^Version: //p' | sort -V -r -u); do
  if apt-get source -qq "openssl=$v" >/dev/null 2>&1; then ok=1; break; fi
  rm -rf ./*
done
[ $ok = 1 ] || { echo "apt-get source openssl failed for every version" >&2; exit 1; }
src=$(find . -maxdepth 1 -type d -name 'openssl-*' | head -n 1)
[ -n "$src" ] || { echo "apt-get source openssl produced no source tree" >&2; exit 1; }
rm -rf "$dest"
mv "$src" "$dest"
cd / && rm -rf "$work"
