#!/usr/bin/env bash
# run_ccidsetup.sh PROGRAM INF STATUS PATTERN [RUNNER...]
# Copies PROGRAM into a fresh directory (with INF as "usbccid.inf" unless INF
# is empty), runs it (through RUNNER when given) and checks that it prints
# exactly one line matching the extended regular expression PATTERN and exits
# with STATUS.  A runner that cannot start the program exits 77: passed on.
set -u
program=$1 inf=$2 status=$3 pattern=$4
shift 4
dir=$(mktemp -d "${TMPDIR:-/tmp}/ccidsetup.XXXXXX") || exit 1
trap 'rm -rf "$dir"' EXIT
name=$(basename "$program")
cp "$program" "$dir/$name" || exit 1
if [ -n "$inf" ]; then cp "$inf" "$dir/usbccid.inf" || exit 1; fi
"$@" "$dir/$name" >"$dir/output"
rc=$?
if [ "$rc" = 77 ] && [ $# -gt 0 ]; then
  cat "$dir/output"  # the runner's reason
  exit 77
fi
text=$(cat "$dir/output"; echo .)
text=${text%.}
echo "output: $(printf '%q' "$text")"
echo "exit status: $rc"
# A Windows console program ends its line with CR LF.
case "$text" in *$'\r\n') text=${text%$'\r\n'} ;; *$'\n') text=${text%$'\n'} ;;
  *) echo "FAIL: the output does not end with a line break"; exit 1 ;; esac
case "$text" in *$'\n'*|*$'\r'*) echo "FAIL: more than one line"; exit 1 ;; esac
[ "$rc" = "$status" ] || { echo "FAIL: exit status $rc, expected $status"; exit 1; }
[[ "$text" =~ $pattern ]] || { echo "FAIL: the line does not match $pattern"; exit 1; }
echo PASS
