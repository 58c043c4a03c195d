#!/usr/bin/env bash
# Builds and tests everything on a fresh machine: installs the packages, builds
# the native debug, sanitizer and Windows (mingw-w64) trees, runs the native
# tests plain, under AddressSanitizer+UndefinedBehaviorSanitizer and (lock and
# shared-memory tests) under ThreadSanitizer, and the Windows test executables
# under Wine.  Usage: scripts/test-all.sh [--skip-deps]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${QX_JOBS:-2}

declare -a timing=()
stage() {  # stage NAME COMMAND...
  local name=$1; shift
  local t0=$(date +%s)
  echo "=== $name"
  "$@"
  timing+=("$(printf '%-28s %5ds' "$name" $(( $(date +%s) - t0 )))")
}

# counted PRESET [xvfb-run -a] ctest ...: runs a CTest command, keeps its
# output in build/logs/ and adds its counts to the totals printed at the end.
total_pass=0 total_fail=0 total_skip=0
counted() {
  local name=$1; shift
  mkdir -p "$root/build/logs"
  local log="$root/build/logs/ctest-$name.log" rc=0
  "$@" 2>&1 | tee "$log" || rc=$?
  local line ran failed skipped
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  failed=$(sed -E 's/.* ([0-9]+) tests? failed out of.*/\1/' <<<"$line")
  ran=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  skipped=$(grep -cE '^[[:space:]]*[0-9]+ - .*\(Skipped\)' "$log" || true)
  if [ -n "$line" ]; then
    total_fail=$((total_fail + failed)); total_skip=$((total_skip + skipped))
    total_pass=$((total_pass + ran - failed - skipped))
  fi
  return $rc
}

if [ "${1:-}" != "--skip-deps" ]; then
  stage "install packages" bash scripts/install-deps.sh
fi

# The reader tests (vtoken_pcsc_tests) talk to pcscd with vpcd's virtual
# readers; the daemon runs for the whole script.
stage "pcscd" bash scripts/start-pcscd.sh
trap 'bash scripts/start-pcscd.sh stop >/dev/null 2>&1 || true' EXIT

# Native: debug, then the sanitizers.
stage "native build" bash -c "cmake --preset native >/dev/null && cmake --build --preset native -j $jobs"
stage "native tests" counted native ctest --preset native -j "$jobs"
stage "native-asan build" bash -c "cmake --preset native-asan >/dev/null && cmake --build --preset native-asan -j $jobs"
stage "native-asan tests" counted native-asan ctest --preset native-asan -j "$jobs"
# ThreadSanitizer: the tests labelled "threads" (locks, shared memory, devices).
tsan_build() {
  cmake --preset native-tsan >/dev/null
  local targets
  targets=$(ctest --test-dir build/native-tsan -N -L threads | sed -n 's/^ *Test *#[0-9]*: //p')
  cmake --build --preset native-tsan -j "$jobs" --target $targets QXTokenKernel QXDevice QXSoftAlg QXPlatformTestModule
}
stage "native-tsan build" tsan_build
stage "native-tsan tests" counted native-tsan ctest --preset native-tsan -j "$jobs"

# Fuzzers (clang, libFuzzer with AddressSanitizer): a short run of each one.
run_fuzzers() {
  cmake --preset native-fuzz >/dev/null
  local targets
  targets=$(ninja -C build/native-fuzz -t targets all | sed -n 's/^\([A-Za-z0-9_]*_fuzz\): .*/\1/p' | grep -v '^cmake_' | sort -u)
  [ -n "$targets" ] || return 0
  cmake --build --preset native-fuzz -j "$jobs" --target $targets
  for t in $targets; do
    echo "--- $t"
    mkdir -p "build/native-fuzz/corpus/$t"
    local log="build/native-fuzz/$t.log" rc=0
    "build/native-fuzz/bin/$t" -max_total_time="${QX_FUZZ_SECONDS:-20}" -print_final_stats=1 \
      "build/native-fuzz/corpus/$t" >"$log" 2>&1 || rc=$?
    grep -E '^stat::number_of_executed_units' "$log" || true
    if [ $rc != 0 ]; then tail -n 60 "$log"; echo "$t failed"; return 1; fi
  done
}
stage "fuzzers" run_fuzzers

# Benchmarks are built (not run: speed is measured by hand, never asserted).
build_benchmarks() {
  cmake --preset native-release >/dev/null
  local targets
  targets=$(ninja -C build/native-release -t targets all | sed -n 's/^\([A-Za-z0-9_]*_bench\): .*/\1/p' | grep -v '^cmake_' | sort -u)
  [ -z "$targets" ] || cmake --build --preset native-release -j "$jobs" --target $targets
}
stage "benchmarks build" build_benchmarks

# Windows under Wine, in a fresh prefix inside the build tree.  64-bit
# programs always run with the 64-bit loader (cmake/wine-run.sh).  Whether
# 32-bit programs can run is decided once, here: where they cannot, their
# tests are reported as skipped with the reason.
export QX_WINEPREFIX="$root/build/win64/wineprefix"
rm -rf "$QX_WINEPREFIX"
if QX_WINE32_WHY=$(bash cmake/wine-run.sh --can-run-32); then
  export QX_WINE32=yes QX_WINE32_WHY=""
else
  export QX_WINE32=no QX_WINE32_WHY
fi
wine64=$(for l in /usr/lib/wine/wine64 /usr/lib64/wine/wine64 "$(command -v wine64 || true)"; do
           [ -n "$l" ] && [ -x "$l" ] && { echo "$l"; break; }; done)
[ -n "$wine64" ] || { echo "no 64-bit Wine loader (wine64) found"; exit 1; }
stage "wine prefix" bash -c "WINEPREFIX=$QX_WINEPREFIX WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES='mscoree=;mshtml=' $wine64 wineboot -i >/dev/null 2>&1; WINEPREFIX=$QX_WINEPREFIX wineserver -w"

# The 32-bit driver installer: always built; its tests run under 32-bit Wine
# where the host can run 32-bit programs and are skipped elsewhere.  It goes
# first so that a host that skips them still ends on the 64-bit run's summary.
win32_note=""
if [ -f ccidsetup/CMakeLists.txt ]; then
  stage "win32 build" bash -c "cmake --preset win32 >/dev/null && cmake --build --preset win32 -j $jobs"
  if [ -n "$(ctest --test-dir build/win32 -N | sed -n 's/^ *Test *#[0-9]*: //p')" ]; then
    stage "win32 tests (Wine)" counted win32 xvfb-run -a ctest --preset win32 -j "$jobs"
    if [ "$QX_WINE32" = no ]; then
      win32_note="32-bit Windows tests skipped: $QX_WINE32_WHY"
    fi
  fi
fi

stage "win64 build" bash -c "cmake --preset win64 >/dev/null && cmake --build --preset win64 -j $jobs"
# A 24-bit screen: the dialog test photographs every dialog into
# build/win64/screenshots/ (kept as CI artifacts).
stage "win64 tests (Wine)" counted win64 xvfb-run -a -s "-screen 0 1280x1024x24" ctest --preset win64 -j "$jobs"

echo
echo "=== timing"
printf '%s\n' "${timing[@]}"
[ -z "$win32_note" ] || echo "$win32_note"
echo "total: $total_pass passed, $total_fail failed, $total_skip skipped"
