#!/usr/bin/env bash
# Runs a Windows executable under Wine in a private prefix.
#   wine-run.sh PROGRAM[.exe] ARGS...   or   wine-run.sh --can-run-32
#
# QX_WINEPREFIX (default: /tmp/qx-wine-$UID) holds the prefix; it is created on
# first use.  Mono and Gecko are switched off so that no installer is asked for.
#
# The loader is chosen here, never by Debian's `wine` wrapper: the wrapper
# starts the 32-bit loader whenever wine32 is installed, and on a kernel
# without 32-bit program support that fails with "Exec format error" for every
# program, 64-bit ones included.  So:
#   - a 64-bit program (and the prefix creation) runs with the 64-bit loader,
#     $QX_WINE64_LOADER, else /usr/lib/wine/wine64, else wine64 on the path;
#   - a 32-bit program runs with the 32-bit loader, $QX_WINE32_LOADER, else
#     /usr/lib/wine/wine (never the `wine` wrapper), but only where that loader
#     can start at all.  Where it cannot, the program is skipped: the reason
#     goes to standard output and the exit code is 77, CTest's skip code.
#     QX_WINE32=yes|no (with QX_WINE32_WHY) carries a decision made once by
#     the test command; without it the loader is tried here.
# Any other failure is the program's own and is passed on.
set -u
export WINEPREFIX=${QX_WINEPREFIX:-/tmp/qx-wine-$(id -u)}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d"
export WINEARCH=${WINEARCH:-win64}

first_executable() {  # first_executable CANDIDATE... -> path of the first that exists
  local c
  for c in "$@"; do
    [ -n "$c" ] || continue
    case "$c" in
      */*) [ -x "$c" ] && { echo "$c"; return 0; } ;;
      *) command -v "$c" 2>/dev/null && return 0 ;;
    esac
  done
  return 1
}

wine64_loader() {
  first_executable "${QX_WINE64_LOADER:-}" /usr/lib/wine/wine64 /usr/lib64/wine/wine64 wine64 \
    || { echo "wine-run: no 64-bit Wine loader found (install wine64)" >&2; exit 127; }
}

wine32_loader() {
  first_executable "${QX_WINE32_LOADER:-}" /usr/lib/wine/wine /usr/lib/i386-linux-gnu/wine/wine
}

# The machine field of a PE image: 014c i386, 8664 x86-64 (empty if not PE).
pe_machine() {
  local off
  off=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ') || return 0
  [ -n "$off" ] || return 0
  [ "$(od -An -c -j"$off" -N2 "$1" 2>/dev/null | tr -d ' ')" = "PE" ] || return 0
  od -An -tx2 -j$((off + 4)) -N2 "$1" 2>/dev/null | tr -d ' '
}

# Decides whether 32-bit programs can run; sets why32 when they cannot.
why32=""
can_run_32() {
  case "${QX_WINE32:-}" in
    yes) return 0 ;;
    no) why32=${QX_WINE32_WHY:-this host cannot run 32-bit programs}; return 1 ;;
  esac
  local loader out rc
  if ! loader=$(wine32_loader); then
    why32="no 32-bit Wine loader is installed (wine32)"
    return 1
  fi
  out=$("$loader" --version 2>&1); rc=$?
  if [ $rc != 0 ]; then
    case "$out" in
      *"Exec format error"*) why32="this host cannot execute 32-bit programs ($loader: Exec format error)" ;;
      *) why32="the 32-bit Wine loader does not start ($loader exits $rc: ${out%%$'\n'*})" ;;
    esac
    return 1
  fi
  return 0
}

# --can-run-32: print whether 32-bit programs can run here ("yes", or the
# reason they cannot, with exit code 1).  The test command asks once.
if [ "${1:-}" = "--can-run-32" ]; then
  QX_WINE32=""
  if can_run_32; then echo yes; exit 0; fi
  echo "$why32"; exit 1
fi

exe=$1; shift
case "$exe" in *.exe) ;; *) [ -f "$exe.exe" ] && exe="$exe.exe" ;; esac

if [ "$(pe_machine "$exe")" = "014c" ]; then
  if ! can_run_32; then
    echo "SKIPPED: $(basename "$exe") is a 32-bit program and $why32"
    exit 77
  fi
fi

if [ ! -d "$WINEPREFIX/drive_c" ]; then
  mkdir -p "$WINEPREFIX"
  "$(wine64_loader)" wineboot -i >/dev/null 2>&1 || true
  wineserver -w 2>/dev/null || true
fi

# Dialog settings, once per prefix: windows without a window manager get no
# frame of Wine's own (X11 Driver Managed/Decorated = N), and the dialog
# fonts fall back to WenQuanYi Micro Hei (fonts-wqy-microhei) so that Chinese
# text is drawn rather than boxes.  Read by a program when it starts.
if [ ! -f "$WINEPREFIX/.qx-dialog-settings" ]; then
  loader=$(wine64_loader)
  fonts='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes'
  "$loader" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 &&
  "$loader" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1 &&
  "$loader" reg add "$fonts" /v SimSun /d 'WenQuanYi Micro Hei' /f >/dev/null 2>&1 &&
  "$loader" reg add "$fonts" /v 'MS Shell Dlg' /d 'WenQuanYi Micro Hei' /f >/dev/null 2>&1 &&
  touch "$WINEPREFIX/.qx-dialog-settings"
fi

if [ "$(pe_machine "$exe")" = "014c" ]; then
  exec "$(wine32_loader)" "$exe" "$@"
fi
exec "$(wine64_loader)" "$exe" "$@"
