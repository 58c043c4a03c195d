#!/usr/bin/env bash
# wine_runner_test.sh RUNNER PROBE64.exe
# Checks the runner's loader choice with loaders that cannot start.
set -u
runner=$1 probe=$2
# The test command's own decision about 32-bit programs must not leak in.
unset QX_WINE32 QX_WINE32_WHY QX_WINE32_LOADER QX_WINE64_LOADER
tmp=$(mktemp -d "${TMPDIR:-/tmp}/qx-wine-runner.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
failures=0 checks=0

check() {  # check NAME EXPECTED_RC PATTERN ACTUAL_RC OUTPUT
  checks=$((checks + 1))
  if [ "$4" != "$2" ]; then
    echo "FAIL $1: exit $4, expected $2; output: $5"; failures=$((failures + 1)); return
  fi
  if [ -n "$3" ] && ! grep -q -- "$3" <<<"$5"; then
    echo "FAIL $1: output lacks '$3': $5"; failures=$((failures + 1)); return
  fi
  echo "ok   $1"
}

# A loader the kernel refuses to execute: a well-formed ELF program for
# another machine (ARM), so execve answers ENOEXEC on any x86 host.
bad_loader=$tmp/bad-loader
printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x28\x00\x01\x00\x00\x00' >"$bad_loader"
printf '\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00' >>"$bad_loader"
printf '\x00\x00\x00\x00\x00\x00' >>"$bad_loader"
chmod +x "$bad_loader"

# A 32-bit PE image: the runner decides by its header's machine field (014c)
# and must not try to start it when the 32-bit loader cannot run.
pe32=$tmp/tiny32.exe
{ printf 'MZ'; head -c 58 /dev/zero; printf '\x40\x00\x00\x00'; printf 'PE\x00\x00\x4c\x01'; head -c 64 /dev/zero; } >"$pe32"

out=$(QX_WINE32_LOADER=$bad_loader bash "$runner" "$pe32" 2>&1); rc=$?
check "32-bit program skipped when its loader cannot execute" 77 "Exec format error" $rc "$out"
check "skip says so" 77 "SKIPPED: tiny32.exe is a 32-bit program" $rc "$out"

out=$(QX_WINE32_LOADER=$bad_loader bash "$runner" "$probe" 0 2>&1); rc=$?
check "64-bit program runs with the 64-bit loader beside a broken 32-bit one" 0 "probe exits 0" $rc "$out"

out=$(QX_WINE32_LOADER=$bad_loader bash "$runner" "$probe" 3 2>&1); rc=$?
check "a 64-bit program's failure is passed on" 3 "probe exits 3" $rc "$out"

out=$(QX_WINE32_LOADER=$bad_loader bash "$runner" --can-run-32 2>&1); rc=$?
check "--can-run-32 gives the reason" 1 "cannot execute 32-bit programs" $rc "$out"

out=$(QX_WINE32=no QX_WINE32_WHY="decided once elsewhere" bash "$runner" "$pe32" 2>&1); rc=$?
check "a decision made once is used as given" 77 "decided once elsewhere" $rc "$out"

out=$(QX_WINE32_LOADER=$tmp/none bash "$runner" "$probe" 0 2>&1); rc=$?
check "a missing 32-bit loader does not matter to 64-bit programs" 0 "probe exits 0" $rc "$out"

out=$(QX_WINE64_LOADER=$bad_loader bash "$runner" "$probe" 0 2>&1); rc=$?
if [ $rc = 0 ] || [ $rc = 77 ]; then
  echo "FAIL a broken 64-bit loader must fail the run: exit $rc; output: $out"; failures=$((failures + 1))
else
  echo "ok   a broken 64-bit loader fails the run (exit $rc)"
fi
checks=$((checks + 1))

echo "$((checks - failures)) passed, $failures failed"
[ $failures = 0 ]
