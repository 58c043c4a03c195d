#!/usr/bin/env bash
# Runs a Windows test executable under Wine in a private prefix.
# QX_WINEPREFIX (default: /tmp/qx-wine-$UID) holds the prefix; it is created on
# first use.  Mono and Gecko are switched off so that no installer is asked for.
set -u
export WINEPREFIX=${QX_WINEPREFIX:-/tmp/qx-wine-$(id -u)}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d"
export WINEARCH=${WINEARCH:-win64}
if [ ! -d "$WINEPREFIX/drive_c" ]; then
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w 2>/dev/null || true
fi
exe=$1; shift
case "$exe" in *.exe) ;; *) [ -f "$exe.exe" ] && exe="$exe.exe" ;; esac
exec wine "$exe" "$@"
