#!/usr/bin/env bash
# Builds the native core benchmark and runs it: bench/core.sh
set -euo pipefail
cd "$(dirname "$0")/.."
[ -f build/native/build.ninja ] || cmake --preset native >/dev/null
cmake --build --preset native --target core_bench -j "${JOBS:-2}" >/dev/null
exec build/native/core_bench
