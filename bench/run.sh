#!/usr/bin/env bash
# The whole benchmark: builds what it needs, measures, prints the table and writes
# docs/benchmarks.md. See bench/README.md for the sizes (BENCH_QUICK=1 for a short run).
set -euo pipefail
cd "$(dirname "$0")/.."
URL=http://127.0.0.1:18380/dedivur/update/pim
JOBS="${JOBS:-2}"
# shellcheck source=../scripts/wine-env.sh
. scripts/wine-env.sh
WORK="${BENCH_WORK:-$TARN_ROOT/build/bench}"
export BENCH_WORK="$WORK"
mkdir -p "$WORK"

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
cmake --build --preset "$TARN_WINE_ARCH" -j "$JOBS" --target TarnFileUpdater standin_client wininet_fetch trivial \
  >"$WORK/build-$TARN_WINE_ARCH.log"
tarn_wine_prefix

# Engine core, natively: medians, then instruction counts of one run of each part.
echo "[3] engine core (native), median runs and callgrind" >&2
CORE_RUNS="${BENCH_CORE_RUNS:-5}"
: >"$WORK/core.txt"
for i in $(seq "$CORE_RUNS"); do build/native/core_bench >>"$WORK/core.txt"; done
rm -f "$WORK"/callgrind.out.*
(cd "$WORK" && timeout 300 valgrind --tool=callgrind --callgrind-out-file="$WORK/callgrind.out.%p" \
   "$TARN_ROOT/build/native/core_bench" >"$WORK/core-callgrind.txt" 2>"$WORK/callgrind.log")
grep -H '^desc: Trigger\|^summary' "$WORK"/callgrind.out.* >"$WORK/callgrind-summary.txt"

# Everything under Wine; the Python side stops what it starts, this trap is the last resort.
cleanup() { /usr/bin/wineserver -k >/dev/null 2>&1 || true; }
trap cleanup EXIT
timeout "${BENCH_TIMEOUT:-1500}" /usr/bin/python3 bench/bench.py
/usr/bin/python3 bench/report.py
