#!/usr/bin/env bash
# The whole benchmark: builds what it needs, measures, prints the table and writes
# docs/benchmarks.md. See bench/README.md for the sizes (BENCH_QUICK=1 for a short run).
set -euo pipefail
cd "$(dirname "$0")/.."
# The engineer's own test port, as scripts/test.sh builds with it: the bench then neither
# rebuilds the tests' programs for another URL nor serves on a port another worktree uses.
PORT="${BENCH_PORT:-${TARN_TEST_PORT:-18380}}"
export BENCH_PORT="$PORT"
URL="http://127.0.0.1:$PORT/dedivur/update/pim"
JOBS="${JOBS:-2}"
SECTIONS="${BENCH_SECTIONS:-1 2 3 4 5 6 7 8 9 10}"
export BENCH_SECTIONS="$SECTIONS"
# Wine on one CPU (the last one) unless BENCH_CPUS says otherwise; BENCH_CPUS= (empty) pins nothing.
export BENCH_CPUS="${BENCH_CPUS-$(($(nproc) - 1))}"
WORK="${BENCH_WORK:-$(pwd)/build/bench}"
export BENCH_WORK="$WORK"
mkdir -p "$WORK"
# The bench's own prefixes, never the tests' one: the figures come from a prefix whose X11 driver
# leaves windows unmanaged (without a window manager Wine otherwise waits up to 2 s when a window
# hides); section 7 repeats the whole-run figures in a prefix with the defaults.
ARCH_GUESS="$( (/usr/lib/wine/wine --version >/dev/null 2>&1 && echo win32) || echo win64)"
export TARN_WINEPREFIX="$WORK/wine-${TARN_WINE_ARCH:-$ARCH_GUESS}"
# shellcheck source=../scripts/wine-env.sh
. scripts/wine-env.sh

configure() {  # preset: configured with the test URL, reconfigured only when it differs
  local dir="build/$1"
  if ! grep -qs "^UPDATE_CATALOGUE_URL:STRING=$URL\$" "$dir/CMakeCache.txt"; then
    cmake --preset "$1" -DUPDATE_CATALOGUE_URL="$URL" >"$WORK/configure-$1.log"
  fi
}
echo "building (native: update-catalogue core_bench; $TARN_WINE_ARCH: updater, stand-in client, bench programs)" >&2
configure native
configure "$TARN_WINE_ARCH"
cmake --build --preset native -j "$JOBS" --target update-catalogue core_bench >"$WORK/build-native.log"
# TarnFileUpdater_p1 and _p8: the updater with 1 and 8 transfers in flight, for section 9;
# TarnFileUpdater_maps, built with UPDATE_BLOCK_MAPS, and blockmap_bench for section 10.
cmake --build --preset "$TARN_WINE_ARCH" -j "$JOBS" --target TarnFileUpdater TarnFileUpdater_p1 TarnFileUpdater_p8 \
  TarnFileUpdater_maps standin_client wininet_fetch trivial blockmap_bench \
  >"$WORK/build-$TARN_WINE_ARCH.log"

tarn_wine_prefix
MANAGED_PREFIX="$WINEPREFIX-managed"
if [ ! -f "$MANAGED_PREFIX/.tarn-bench-managed" ]; then
  /usr/bin/wineserver -k >/dev/null 2>&1 || true
  rm -rf "$MANAGED_PREFIX"
  cp -a "$WINEPREFIX" "$MANAGED_PREFIX"
  WINEPREFIX="$MANAGED_PREFIX" "$WINE" reg delete 'HKCU\Software\Wine\X11 Driver' /v Managed /f >/dev/null 2>&1 || true
  WINEPREFIX="$MANAGED_PREFIX" /usr/bin/wineserver -w >/dev/null 2>&1 || true
  touch "$MANAGED_PREFIX/.tarn-bench-managed"
fi
if [ ! -f "$WINEPREFIX/.tarn-bench-unmanaged" ]; then
  "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
  /usr/bin/wineserver -w >/dev/null 2>&1 || true
  touch "$WINEPREFIX/.tarn-bench-unmanaged"
fi
export BENCH_PREFIX="$WINEPREFIX" BENCH_PREFIX_MANAGED="$MANAGED_PREFIX"

if [[ " $SECTIONS " == *" 3 "* ]]; then
  # Engine core, natively: medians, then instruction counts of one run of each part.
  echo "[3] engine core (native), median runs and callgrind" >&2
  CORE_RUNS="${BENCH_CORE_RUNS:-5}"
  : >"$WORK/core.txt"
  for i in $(seq "$CORE_RUNS"); do build/native/core_bench >>"$WORK/core.txt"; done
  rm -f "$WORK"/callgrind.out.*
  (cd "$WORK" && timeout 300 valgrind --tool=callgrind --callgrind-out-file="$WORK/callgrind.out.%p" \
     "$TARN_ROOT/build/native/core_bench" >"$WORK/core-callgrind.txt" 2>"$WORK/callgrind.log")
  grep -H '^desc: Trigger\|^summary' "$WORK"/callgrind.out.* >"$WORK/callgrind-summary.txt"
fi

# Everything under Wine; the Python side stops what it starts, this trap is the last resort.
cleanup() {
  WINEPREFIX="$BENCH_PREFIX" /usr/bin/wineserver -k >/dev/null 2>&1 || true
  WINEPREFIX="$BENCH_PREFIX_MANAGED" /usr/bin/wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT
timeout "${BENCH_TIMEOUT:-1500}" /usr/bin/python3 bench/bench.py
/usr/bin/python3 bench/report.py
