#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer, UndefinedBehaviorSanitizer) and runs
# each on a seed corpus made by the publisher's tool. Not part of the test suites.
#
#   fuzz/run.sh [SECONDS]      run each target for SECONDS (default 300)
#   FUZZ_RUNS=N fuzz/run.sh    run each target for N executions instead
#   FUZZ_TARGETS="blockmap" fuzz/run.sh   only these targets
#
# Inputs that crash are kept as build/fuzz/crashes/<target>-crash-*; replay one with
# build/native/fuzz/<target>_fuzzer FILE. The corpus grows in build/fuzz/corpus/<target>.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
SECONDS_PER_TARGET=${1:-300}

./scripts/setup.sh --fuzz >/dev/null

OUT=$ROOT/build/fuzz
SEEDS=$OUT/seeds
TARGETS=${FUZZ_TARGETS:-catalogue signature transfer blockmap}
for target in $TARGETS; do mkdir -p "$OUT/corpus/$target"; done
mkdir -p "$OUT/crashes"

# The seed corpus: a signed release made by the tool of the normal native build.
cmake --preset native >/dev/null
cmake --build --preset native -j 2 --target update-catalogue >/dev/null
TOOL=$ROOT/build/native/update-catalogue
rm -rf "$SEEDS"
mkdir -p "$SEEDS/release/bin" "$SEEDS/release/한글" "$SEEDS/empty" "$SEEDS/catalogue" "$SEEDS/signature" "$SEEDS/transfer" \
  "$SEEDS/blockmap"
printf 'first file' >"$SEEDS/release/a.txt"
head -c 10000 /dev/zero | tr '\0' 'b' >"$SEEDS/release/bin/b.dll"
printf 'x' >"$SEEDS/release/한글/설정.txt"
touch -d '2009-03-07 05:05:08 UTC' "$SEEDS/release/a.txt" "$SEEDS/release/bin/b.dll"
PUBLIC_KEY=$("$TOOL" keygen "$SEEDS/key.pem" | tail -1)
"$TOOL" build "$SEEDS/release" --base-url http://127.0.0.1/files/ --base-url https://h/f/ \
  -o "$SEEDS/pim" --sign "$SEEDS/key.pem" --sequence 7 --expires-days 30 >/dev/null 2>&1
"$TOOL" build "$SEEDS/empty" --base-url http://127.0.0.1/files/ -o "$SEEDS/pim-empty" >/dev/null 2>&1
cp "$SEEDS/pim" "$SEEDS/pim-empty" "$SEEDS/catalogue/"
# Block maps of every seed file, a short last block, an empty file and several blocks among them.
"$TOOL" stage "$SEEDS/release" "$SEEDS/www" --base-url http://127.0.0.1/files/ --block-maps --min-size 0 >/dev/null
find "$SEEDS/www" -name '*.tarnblocks' | { i=0; while read -r map; do cp "$map" "$SEEDS/blockmap/seed-$i"; i=$((i + 1)); done; }
# Signature inputs: catalogue length, flags, now, last sequence, catalogue, signature file.
/usr/bin/python3 - "$SEEDS" <<'PY'
import struct, sys, time
seeds = sys.argv[1]
catalogue = open(f"{seeds}/pim", "rb").read()
sig = open(f"{seeds}/pim.sig", "rb").read()
now = int(time.time())
for i, (flags, t, last) in enumerate([(0, now, 0), (1, now, 0), (1, now + 40 * 86400, 0), (1, now, 8), (2, now, 0)]):
    with open(f"{seeds}/signature/seed-{i}", "wb") as f:
        f.write(struct.pack("<IBQQ", len(catalogue), flags, t, last) + catalogue + sig)
# Transfer inputs: selector 0 and a record (FNV-1a checksum), selector 1 and a header value.
def record(target, validator, kind):
    body = b"TARNREC1" + struct.pack("<BBHHqQ", kind, 0, len(target), len(validator), 1000, 77) + target + validator
    h = 2166136261
    for b in body:
        h = ((h ^ b) * 16777619) & 0xFFFFFFFF
    return body + struct.pack("<I", h)
seeds_transfer = [b"\0" + record(b"bin\\a.dll", b'"v1"', 1), b"\0" + record(b"x", b"", 0),
                  b"\1bytes 500-999/1000", b'\1"abc"', b"\1~tn0a1v.new"]
for i, data in enumerate(seeds_transfer):
    with open(f"{seeds}/transfer/seed-{i}", "wb") as f:
        f.write(data)
PY

# The fuzz build: the portable core and the targets only.
cmake -S . -B "$OUT/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 >"$OUT/configure.log"
cmake --build "$OUT/build" -j 2 >"$OUT/build.log"

if [ -n "${FUZZ_RUNS:-}" ]; then limit=(-runs="$FUZZ_RUNS"); else limit=(-max_total_time="$SECONDS_PER_TARGET"); fi
summary=()
for target in $TARGETS; do
  max_len=16384
  log=$OUT/$target.log
  if [ -n "${FUZZ_RUNS:-}" ]; then echo "== $target: $FUZZ_RUNS runs"; else echo "== $target: $SECONDS_PER_TARGET s"; fi
  set +e
  TARN_FUZZ_PUBLIC_KEY=$PUBLIC_KEY "$OUT/build/fuzz/${target}_fuzzer" "${limit[@]}" -max_len=$max_len \
    -print_final_stats=1 -artifact_prefix="$OUT/crashes/$target-" \
    "$OUT/corpus/$target" "$SEEDS/$target" >"$log" 2>&1
  rc=$?
  set -e
  runs=$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -oE '[0-9]+$' | tail -1)
  crashes=$(find "$OUT/crashes" -name "$target-*" | wc -l)
  summary+=("$target: ${runs:-?} executions, exit $rc, $crashes crash inputs kept")
  tail -n 12 "$log"
done
echo
printf '%s\n' "${summary[@]}"
