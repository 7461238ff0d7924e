#!/usr/bin/env bash
# Sets up the machine, builds everything and runs every test suite:
#   1. unit tests natively (ctest)
#   2. the same unit tests as a Windows program under Wine, Korean locale
#   3. end-to-end tests: the real executables under Wine on a virtual display against local
#      HTTP servers on 127.0.0.1
# Prints the Windows build that ran ("arch: win32" or "arch: win64"), then a closing
# "all suites: N passed, N failed" line over all suites, and exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)

./scripts/setup.sh || exit 1
source scripts/wine-env.sh

# Tests talk to servers on this machine only.
TEST_URL="http://127.0.0.1:${TARN_TEST_PORT:-18380}/dedivur/update/pim"
JOBS=${JOBS:-2}

build() {
  local preset=$1; shift
  cmake --preset "$preset" "$@" >"build/configure-$preset.log" 2>&1 || { cat "build/configure-$preset.log"; return 1; }
  cmake --build --preset "$preset" -j "$JOBS" || return 1
}

mkdir -p build
build native || exit 1
build win32 -DUPDATE_CATALOGUE_URL="$TEST_URL" || exit 1
if [ "$TARN_WINE_ARCH" = win64 ]; then
  echo "note: this kernel runs no 32-bit programs; Windows tests use the x86-64 build of the same sources"
  build win64 -DUPDATE_CATALOGUE_URL="$TEST_URL" || exit 1
fi

passed=0
failed=0
count_gtest() {  # counts from a GoogleTest log
  local log=$1
  local p f
  p=$(grep -E '^\[  PASSED  \] [0-9]+ test' "$log" | grep -oE '[0-9]+' | head -1)
  f=$(grep -E '^\[  FAILED  \] [0-9]+ test' "$log" | grep -oE '[0-9]+' | head -1)
  passed=$((passed + ${p:-0}))
  failed=$((failed + ${f:-0}))
}

echo "== lint =="
scripts/lint.sh || failed=$((failed + 1))

echo "== unit tests, native =="
ctest --test-dir build/native --output-on-failure -j "$JOBS" | tee build/unit-native.log
n_ok=$(grep -oE '[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' build/unit-native.log | tail -1)
total=$(echo "$n_ok" | grep -oE '[0-9]+$')
nfail=$(echo "$n_ok" | grep -oE ', [0-9]+ tests failed' | grep -oE '[0-9]+')
if [ -z "$total" ]; then failed=$((failed + 1)); else passed=$((passed + total - nfail)); failed=$((failed + nfail)); fi

echo "== unit tests, Windows ($TARN_WINE_ARCH) under Wine =="
scripts/wine-run.sh --timeout 600 "$TARN_WIN_BUILD/tests/unit/tarn_unit_tests.exe" 2>&1 | tee build/unit-wine.log
if grep -qE '^\[  PASSED  \]' build/unit-wine.log; then count_gtest build/unit-wine.log; else failed=$((failed + 1)); fi

if [ -d tests/e2e ] && ls tests/e2e/test_*.py >/dev/null 2>&1; then
  echo "== end-to-end tests under Wine =="
  /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/e2e 2>&1 | tee build/e2e.log
  line=$(grep -E '[0-9]+ (passed|failed)' build/e2e.log | tail -1)
  p=$(echo "$line" | grep -oE '[0-9]+ passed' | grep -oE '[0-9]+')
  f=$(echo "$line" | grep -oE '[0-9]+ (failed|error|errors)' | awk '{s+=$1} END {print s+0}')
  [ -n "$line" ] || f=1
  passed=$((passed + ${p:-0}))
  failed=$((failed + ${f:-0}))
fi

/usr/bin/wineserver -k >/dev/null 2>&1 || true
echo
echo "arch: $TARN_WINE_ARCH"
echo "all suites: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
