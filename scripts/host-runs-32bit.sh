#!/usr/bin/env bash
# Exits 0 when this host's kernel executes 32-bit x86 programs, 1 when not
# (an x86-64 kernel built without IA-32 emulation answers "Exec format error").
# It tries a 93-byte static i386 ELF program that only calls exit(0), so it
# needs no 32-bit library or package.
set -u
probe=$(mktemp "${TMPDIR:-/tmp}/qx-i386-probe.XXXXXX")
trap 'rm -f "$probe"' EXIT
# ELF header (52 bytes), one PT_LOAD program header (32 bytes), then
#   mov eax, 1 ; xor ebx, ebx ; int 0x80
printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'  >"$probe"
printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' >>"$probe"
printf '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00' >>"$probe"
printf '\x00\x00\x00\x00' >>"$probe"
printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' >>"$probe"
printf '\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' >>"$probe"
printf '\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >>"$probe"
chmod +x "$probe"
if "$probe" 2>/dev/null; then
  [ "${1:-}" = "-q" ] || echo "this host runs 32-bit programs"
  exit 0
fi
[ "${1:-}" = "-q" ] || echo "this host cannot run 32-bit programs"
exit 1
